// MessagePack reading and writing shared by every stored structure (record, catalog, manifest,
// index). Writing goes through msgpack-cxx's packer, which picks the shortest integer and header
// forms. Reading unpacks with limits tied to the input size, so a header that claims four billion
// elements fails at once instead of allocating, and refuses nesting deeper than kMaxNesting.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include <msgpack.hpp>

#include "error/error.h"
#include "format/bytes.h"
#include "memory/ulid.h"

namespace quarn::mp {

// A packer sink that appends to a byte vector.
struct ByteSink {
  Bytes* out;
  // resize + memcpy rather than insert: g++ 12 at -O2 reports a false -Wstringop-overflow for an
  // inlined insert of a few bytes.
  void write(const char* data, std::size_t size) {
    const std::size_t at = out->size();
    out->resize(at + size);
    std::memcpy(out->data() + at, data, size);
  }
};
using Packer = msgpack::packer<ByteSink>;

// The 16-byte big-endian form of an id as bin 8.
void pack_id(Packer& packer, const memory::Ulid& id);

// Always float32 (0xca) and float64 (0xcb). The packer's own pack_float and pack_double write a
// value with no fraction (1.0, -3.0) as an integer, which is not the stored form of a float field.
void pack_f32(Packer& packer, float value);
void pack_f64(Packer& packer, double value);

// Unpacks one value. The input is walked once before anything is built, so a container header is
// only allocated for after its elements were all found in the input: a chain of nested headers each
// claiming millions of elements costs nothing. Bytes after the value are ignored.
// Failure: Serialization with the decoder's text.
[[nodiscard]] Result<msgpack::object_handle> unpack(ByteView bytes);

// Reads a structure written as a positional array of exactly names.size() elements, or as a map
// keyed by the names (keys that name no field skipped whatever their type, a repeated key
// refused). `optional` flags fields that a map may leave out; a missing required field is refused.
// `field` is called once per present field with its position in `names`, in the order met.
[[nodiscard]] Result<void> read_struct(
    const msgpack::object& object, std::string_view what,
    std::initializer_list<std::string_view> names, std::uint64_t optional_mask,
    const std::function<Result<void>(std::size_t index, const msgpack::object& value)>& field);

// Field readers: any MessagePack integer form whose value fits is accepted.
[[nodiscard]] Result<std::uint64_t> as_u64(const msgpack::object& o, std::string_view field);
[[nodiscard]] Result<std::uint32_t> as_u32(const msgpack::object& o, std::string_view field);
[[nodiscard]] Result<std::int64_t> as_i64(const msgpack::object& o, std::string_view field);
[[nodiscard]] Result<bool> as_bool(const msgpack::object& o, std::string_view field);
// Integers and floats alike, as the field's float width.
[[nodiscard]] Result<float> as_f32(const msgpack::object& o, std::string_view field);
[[nodiscard]] Result<std::string_view> as_str(const msgpack::object& o, std::string_view field);
// A str whose bytes are well-formed UTF-8 (no overlong forms, surrogates or code points above
// U+10FFFF): any other bytes are refused as text.
[[nodiscard]] Result<std::string_view> as_text(const msgpack::object& o, std::string_view field);
// The offset of the first byte that does not begin a well-formed UTF-8 sequence, or npos.
[[nodiscard]] std::size_t invalid_utf8_at(std::string_view text);
// A bin of exactly 16 bytes, big-endian.
[[nodiscard]] Result<memory::Ulid> as_id(const msgpack::object& o, std::string_view field);
// An array; its elements.
[[nodiscard]] Result<std::span<const msgpack::object>> as_array(const msgpack::object& o,
                                                                std::string_view field);

}  // namespace quarn::mp
