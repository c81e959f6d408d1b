// The memory record and its stored form.
//
// Stored record: a MessagePack array of exactly 13 elements (0x9d), fields in declaration order:
//   1 id: str of the 26-character text      2 memory_type: str "Episodic" | "Semantic" | ...
//   3 vector: array of float32 (0xca)       4 content: str
//   5 metadata: map, keys ascending         6 agent_id: str
//   7 session_id: nil | str                 8 scope: str "Private" | "Shared"
//   9 created_at: int, shortest form       10 accessed_at: int, shortest form
//  11 access_count: uint, shortest form    12 importance: float32
//  13 ttl_secs: nil | int, shortest form
// Metadata values: nil, bool, shortest uint / int, float64 (0xcb), str, array, map.
// Decoding also accepts a map keyed by the field names (unknown keys skipped, repeats refused,
// session_id and ttl_secs optional), nesting at most 1024 levels.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.h"
#include "format/bytes.h"
#include "memory/json.h"
#include "memory/ulid.h"

namespace quarn::memory {

enum class MemoryType : std::uint8_t { Episodic = 0, Semantic = 1, Procedural = 2, Working = 3 };
enum class Scope : std::uint8_t { Private = 0, Shared = 1 };

std::string_view stored_name(MemoryType type);  // "Episodic", ...
std::string_view python_name(MemoryType type);  // "episodic", ...
std::string_view stored_name(Scope scope);      // "Private", "Shared"
std::string_view python_name(Scope scope);      // "private", "shared"

inline constexpr std::array<MemoryType, 4> kMemoryTypes = {
    MemoryType::Episodic, MemoryType::Semantic, MemoryType::Procedural, MemoryType::Working};

// The stored names exactly as written ("Semantic"); any other text, "semantic" included: nullopt.
std::optional<MemoryType> parse_stored_type(std::string_view name);
std::optional<Scope> parse_stored_scope(std::string_view name);
// The Python names with ASCII letters in any case ("semantic", "SEMANTIC"); nothing trimmed.
std::optional<MemoryType> parse_python_type(std::string_view name);

struct Memory {
  Ulid id;
  MemoryType memory_type = MemoryType::Episodic;
  std::vector<float> vector;
  std::string content;
  JsonObject metadata;
  std::string agent_id = "default";
  std::optional<std::string> session_id;
  Scope scope = Scope::Private;
  std::int64_t created_at = 0;
  std::int64_t accessed_at = 0;
  std::uint32_t access_count = 0;
  float importance = 0.5f;
  std::optional<std::int64_t> ttl_secs;

  // A fresh id, the clock read once for created_at and accessed_at, every other field defaulted.
  [[nodiscard]] static Result<Memory> create(std::string content, MemoryType type,
                                             std::vector<float> vector);

  // now - created_at >= ttl_secs, the difference wrapping as two's-complement 64-bit.
  bool is_expired(std::int64_t now) const;

  bool operator==(const Memory&) const = default;
};

// Whole seconds since the epoch, 0 when the clock reads earlier.
std::int64_t now_secs();
// Two's-complement wrapping a - b (signed overflow would be undefined behaviour).
inline std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

// Cosine similarity in float32, sums in index order from zero; 0 when either norm is zero.
float similarity(std::span<const float> a, std::span<const float> b);

// The stored form above. Fails (Serialization) only for a text, vector or metadata container longer
// than MessagePack can count (2^32 - 1) or metadata nested deeper than the readers accept, so that
// nothing is written that could not be read back.
[[nodiscard]] Result<Bytes> encode_memory(const Memory& memory);
// Either stored form. A metadata map that repeats a key keeps the later value, as inserting into
// the map would. Any failure: Serialization with the decoder's description.
[[nodiscard]] Result<Memory> decode_memory(ByteView bytes);

// What a scan keeps of a record (its vector aside). agent_id views the bytes it was read from.
struct ScanFields {
  Ulid id;
  MemoryType memory_type = MemoryType::Episodic;
  Scope scope = Scope::Private;
  std::string_view agent_id;
  std::int64_t created_at = 0;
  float importance = 0.0f;
  std::optional<std::int64_t> ttl_secs;
};
// Reads the scan fields and the vector of a record in the array form encode_memory writes, with
// exactly vector.size() finite values, in one pass and without allocating. true: every field is
// what decode_memory would yield and decode_memory would accept the record. false: the record is
// not in that form or not one decode_memory accepts, and only decode_memory can say which; the
// outputs then hold nothing of use.
[[nodiscard]] bool read_scan_fields(ByteView bytes, std::span<float> vector, ScanFields& out);

// Deepest nesting the readers accept, counting the outermost container as level 1.
inline constexpr std::size_t kMaxNesting = 1024;

}  // namespace quarn::memory
