#include "memory/msgpack_io.h"

#include <bit>
#include <cmath>
#include <exception>
#include <limits>

#include "memory/memory.h"

namespace quarn::mp {
namespace {

QuarnError invalid_type(std::string_view field, std::string_view expected) {
  return QuarnError::serialization("invalid type for `" + std::string(field) + "`: expected " +
                                   std::string(expected));
}

// The first pass of unpack: checks that the input holds one complete value nested at most
// kMaxNesting deep, building nothing, so the second pass allocates only for elements that exist.
struct ShapeCheck : msgpack::null_visitor {
  std::size_t depth = 0;
  const char* error = nullptr;

  bool enter() {
    if (++depth > memory::kMaxNesting) {
      error = "depth size overflow";
      return false;
    }
    return true;
  }
  bool start_array(std::uint32_t) { return enter(); }
  bool end_array() {
    --depth;
    return true;
  }
  bool start_map(std::uint32_t) { return enter(); }
  bool end_map() {
    --depth;
    return true;
  }
  void parse_error(std::size_t, std::size_t) { error = "parse error"; }
  void insufficient_bytes(std::size_t, std::size_t) { error = "insufficient bytes"; }
};

// Writes bytes that the packer has no call for (it never buffers, so order is kept).
void pack_raw(Packer& packer, const char* data, std::uint32_t size) { packer.pack_str_body(data, size); }

}  // namespace

void pack_f32(Packer& packer, float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  char buf[5] = {static_cast<char>(0xca)};
  for (int i = 0; i < 4; ++i) buf[1 + i] = static_cast<char>(bits >> (24 - 8 * i));
  pack_raw(packer, buf, sizeof buf);
}

void pack_f64(Packer& packer, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  char buf[9] = {static_cast<char>(0xcb)};
  for (int i = 0; i < 8; ++i) buf[1 + i] = static_cast<char>(bits >> (56 - 8 * i));
  pack_raw(packer, buf, sizeof buf);
}

void pack_id(Packer& packer, const memory::Ulid& id) {
  const auto bytes = id.to_bytes();
  packer.pack_bin(16);
  packer.pack_bin_body(reinterpret_cast<const char*>(bytes.data()), 16);
}

Result<msgpack::object_handle> unpack(ByteView bytes) try {
  // Every element takes at least one byte and every map entry two, so these limits bound what the
  // decoder allocates by the input size.
  const std::size_t n = bytes.size();
  const char* data = reinterpret_cast<const char*>(bytes.data());
  ShapeCheck shape;
  if (!msgpack::parse(data, n, shape)) {
    return fail(QuarnError::serialization(shape.error ? shape.error : "parse error"));
  }
  msgpack::unpack_limit limit(n, n / 2, n, n, n, memory::kMaxNesting);
  return msgpack::unpack(data, n, nullptr, nullptr, limit);
} catch (const std::bad_alloc&) {
  throw;  // out of memory is not a decoding error
} catch (const std::exception& e) {
  return fail(QuarnError::serialization(e.what()));
}

Result<void> read_struct(
    const msgpack::object& object, std::string_view what,
    std::initializer_list<std::string_view> names, std::uint64_t optional_mask,
    const std::function<Result<void>(std::size_t index, const msgpack::object& value)>& field) {
  const std::size_t count = names.size();
  if (object.type == msgpack::type::ARRAY) {
    if (object.via.array.size != count) {
      return fail(QuarnError::serialization("invalid length " + std::to_string(object.via.array.size) +
                                            ", expected " + std::string(what) + " of " +
                                            std::to_string(count) + " elements"));
    }
    for (std::size_t i = 0; i < count; ++i) TRY(field(i, object.via.array.ptr[i]));
    return {};
  }
  if (object.type != msgpack::type::MAP) return fail(invalid_type(what, "array or map"));
  std::uint64_t seen = 0;
  for (std::uint32_t k = 0; k < object.via.map.size; ++k) {
    const msgpack::object_kv& kv = object.via.map.ptr[k];
    if (kv.key.type != msgpack::type::STR) return fail(invalid_type(what, "string keys"));
    const std::string_view key(kv.key.via.str.ptr, kv.key.via.str.size);
    std::size_t index = 0;
    for (std::string_view name : names) {
      if (name == key) break;
      ++index;
    }
    if (index == count) continue;  // unknown keys are skipped
    if (seen & (1ULL << index)) {
      return fail(QuarnError::serialization("duplicate field `" + std::string(key) + "`"));
    }
    seen |= 1ULL << index;
    TRY(field(index, kv.val));
  }
  std::size_t index = 0;
  for (std::string_view name : names) {
    if (!(seen & (1ULL << index)) && !(optional_mask & (1ULL << index))) {
      return fail(QuarnError::serialization("missing field `" + std::string(name) + "`"));
    }
    ++index;
  }
  return {};
}

Result<std::uint64_t> as_u64(const msgpack::object& o, std::string_view field) {
  if (o.type == msgpack::type::POSITIVE_INTEGER) return o.via.u64;
  return fail(invalid_type(field, "unsigned integer"));
}

Result<std::uint32_t> as_u32(const msgpack::object& o, std::string_view field) {
  const std::uint64_t v = TRY(as_u64(o, field));
  if (v > std::numeric_limits<std::uint32_t>::max()) {
    return fail(QuarnError::serialization("invalid value for `" + std::string(field) +
                                          "`: " + std::to_string(v) + " does not fit u32"));
  }
  return static_cast<std::uint32_t>(v);
}

Result<std::int64_t> as_i64(const msgpack::object& o, std::string_view field) {
  if (o.type == msgpack::type::NEGATIVE_INTEGER) return o.via.i64;
  if (o.type == msgpack::type::POSITIVE_INTEGER) {
    if (o.via.u64 > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return fail(QuarnError::serialization("invalid value for `" + std::string(field) +
                                            "`: " + std::to_string(o.via.u64) + " does not fit i64"));
    }
    return static_cast<std::int64_t>(o.via.u64);
  }
  return fail(invalid_type(field, "integer"));
}

Result<bool> as_bool(const msgpack::object& o, std::string_view field) {
  if (o.type == msgpack::type::BOOLEAN) return o.via.boolean;
  return fail(invalid_type(field, "bool"));
}

Result<float> as_f32(const msgpack::object& o, std::string_view field) {
  switch (o.type) {
    case msgpack::type::FLOAT32:
    case msgpack::type::FLOAT64:
      return static_cast<float>(o.via.f64);
    case msgpack::type::POSITIVE_INTEGER:
      return static_cast<float>(o.via.u64);
    case msgpack::type::NEGATIVE_INTEGER:
      return static_cast<float>(o.via.i64);
    default:
      return fail(invalid_type(field, "float"));
  }
}

Result<std::string_view> as_str(const msgpack::object& o, std::string_view field) {
  if (o.type == msgpack::type::STR) return std::string_view(o.via.str.ptr, o.via.str.size);
  return fail(invalid_type(field, "string"));
}

Result<memory::Ulid> as_id(const msgpack::object& o, std::string_view field) {
  if (o.type != msgpack::type::BIN) return fail(invalid_type(field, "16-byte binary"));
  if (o.via.bin.size != 16) {
    return fail(QuarnError::serialization("invalid length " + std::to_string(o.via.bin.size) +
                                          " for `" + std::string(field) + "`, expected 16 bytes"));
  }
  return memory::Ulid::from_bytes(reinterpret_cast<const std::uint8_t*>(o.via.bin.ptr));
}

Result<std::span<const msgpack::object>> as_array(const msgpack::object& o, std::string_view field) {
  if (o.type != msgpack::type::ARRAY) return fail(invalid_type(field, "array"));
  return std::span<const msgpack::object>(o.via.array.ptr, o.via.array.size);
}

}  // namespace quarn::mp
