// The portable export format: JSON Lines in UTF-8, one JSON object per line, each line ending in
// "\n". Another program can read it with any JSON parser; quarn reads it back exactly.
//
// Line 1 describes the file:
//   {"format":"quarn-jsonl","version":1,"dimensions":4,"memories":2}
// Every further line is one memory, with the thirteen fields of the memory dict in its order:
//   {"id":"01KC...","content":"...","memory_type":"semantic","vector":[0.5,-1.25,0,1e-45],
//    "agent_id":"default","session_id":null,"scope":"private","created_at":1767225600,
//    "accessed_at":1767225600,"access_count":0,"importance":0.5,"ttl_secs":null,"metadata":{}}
// and a soft-deleted memory (written only when asked for) has a fourteenth, "deleted":true.
// "memories" counts the memory lines, so that a file cut at a line boundary is recognised.
//
// Values, as written:
//   vector elements, importance  32-bit floats as the shortest decimal that reads back to the same
//                                float ("0.1", "-0", "3.4028235e+38"). NaN and the infinities, which
//                                JSON numbers cannot hold, are the strings "Infinity", "-Infinity",
//                                "NaN" (the quiet NaN 0x7fc00000) or "NaN:xxxxxxxx" (any other NaN,
//                                its 32 bits in hex), so that they too read back bit for bit.
//   created_at, accessed_at,     integers; ttl_secs and session_id null when absent.
//   access_count, ttl_secs
//   metadata                     JSON with its own types: an integer (unsigned 64-bit, or negative
//                                signed 64-bit) has no fraction or exponent, a 64-bit float always
//                                has one ("2.0", "1e+22"), so the two stay apart. Keys ascending.
//                                A non-finite metadata float, which remember never stores (it stores
//                                null), is written as null.
//   texts                        UTF-8; '"', '\' and control characters escaped, nothing else.
//
// Reading accepts any valid JSON for a line (whitespace, escapes, members in any order) and
// checks every field: its type, the vector's length against the database, integer ranges, ids,
// type and scope names (ASCII case ignored, as remember does). Unknown or repeated members are
// refused. A number beyond a 32-bit float's range is refused; one too small for it reads as zero.
// In metadata, an integer beyond the 64-bit ranges becomes the nearest float and a float beyond
// the 64-bit range becomes null, as remember does with the Python values json.loads would give.
//
// Bounds (untrusted input): a line holds at most kMaxLineBytes bytes and its metadata at most
// kMaxMetadataValues values nested at most as deep as a record allows (the metadata object is level
// 2, as in the record). The writer refuses a memory that would break them, so that every export
// can be read back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error/error.h"
#include "memory/memory.h"

namespace quarn::store::jsonl {

inline constexpr std::string_view kFormatName = "quarn-jsonl";
inline constexpr std::uint64_t kFormatVersion = 1;
inline constexpr std::size_t kMaxLineBytes = std::size_t{16} << 20;
inline constexpr std::size_t kMaxMetadataValues = std::size_t{1} << 20;
// The NaN that Python's float("nan") and most arithmetic give, once narrowed to 32 bits.
inline constexpr std::uint32_t kQuietNan = 0x7fc00000u;
// Nesting level of the metadata object, as in a record (whose array is level 1).
inline constexpr std::size_t kMetadataLevel = 2;

struct FileHeader {
  std::uint64_t dimensions = 0;
  std::uint64_t memories = 0;
};

// One memory line as read.
struct Entry {
  memory::Memory memory;
  bool deleted = false;
};

// Writing: each appends one line, "\n" included.
void append_header(std::string& out, const FileHeader& header);
// Serialization error naming the memory when a text is not valid UTF-8 or the line would break a
// bound; `out` is then left as it was.
[[nodiscard]] Result<void> append_memory(std::string& out, const memory::Memory& memory,
                                         bool deleted);

// Pieces of the writer, for other JSON output (the command line's): the memory object alone, a
// metadata object, and a JSON string. They fail (Serialization) as append_memory does, on text that
// is not valid UTF-8 or metadata beyond the bounds.
[[nodiscard]] Result<void> append_memory_object(std::string& out, const memory::Memory& memory);
[[nodiscard]] Result<void> append_metadata(std::string& out, const memory::JsonObject& metadata);
[[nodiscard]] Result<void> append_string(std::string& out, std::string_view text);

// Reading one line, without its "\n". Errors: InvalidArgument whose text says what is wrong, and
// where, for a line that is not valid JSON.
[[nodiscard]] Result<FileHeader> parse_header(std::string_view line);
[[nodiscard]] Result<Entry> parse_memory(std::string_view line, std::uint64_t dimensions);

}  // namespace quarn::store::jsonl
