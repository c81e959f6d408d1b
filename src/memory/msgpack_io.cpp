#include "memory/msgpack_io.h"

#include <array>
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

std::uint64_t read_be(const std::uint8_t* p, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

// The first pass of unpack: checks that the input starts with one complete value nested at most
// kMaxNesting deep, building nothing, so that the second pass allocates only for elements that
// exist. Returns the decoder's description of the first fault, or nullptr. Walks the headers
// iteratively, keeping the elements still due at each open level.
const char* check_shape(ByteView bytes) {
  std::array<std::uint64_t, memory::kMaxNesting> due;
  std::size_t depth = 0;
  std::size_t pos = 0;
  const std::size_t n = bytes.size();
  const std::uint8_t* data = bytes.data();
  while (true) {
    if (depth != 0) {
      // A run of float32 elements (a vector) is stepped over without a header decode each; the
      // last element of the level goes the general way, which closes the level.
      std::uint64_t& left = due[depth - 1];
      while (left > 1 && n - pos > 5 && data[pos] == 0xca) {
        pos += 5;
        --left;
      }
    }
    if (pos >= n) return "insufficient bytes";
    const std::uint8_t b = data[pos];
    std::size_t head = 1;        // bytes before the payload or the elements
    std::size_t len_width = 0;   // width of a big-endian length or count field in the head
    std::uint64_t payload = 0;   // bytes after the head
    std::uint64_t elements = 0;  // for containers: values that follow
    bool container = false;
    if (b <= 0x7f || b >= 0xe0 || b == 0xc0 || b == 0xc2 || b == 0xc3) {
      // a single byte: fixint, nil, bool
    } else if (b <= 0x8f) {
      container = true, elements = 2 * std::uint64_t{b & 0x0fu};
    } else if (b <= 0x9f) {
      container = true, elements = b & 0x0fu;
    } else if (b <= 0xbf) {
      payload = b & 0x1fu;
    } else {
      switch (b) {
        case 0xc4: case 0xd9: len_width = 1; break;                   // bin 8, str 8
        case 0xc5: case 0xda: len_width = 2; break;                   // bin 16, str 16
        case 0xc6: case 0xdb: len_width = 4; break;                   // bin 32, str 32
        case 0xc7: len_width = 1, payload = 1; break;                 // ext 8: length, type
        case 0xc8: len_width = 2, payload = 1; break;
        case 0xc9: len_width = 4, payload = 1; break;
        case 0xca: case 0xd2: payload = 4; break;
        case 0xcb: case 0xd3: payload = 8; break;
        case 0xcc: case 0xd0: payload = 1; break;
        case 0xcd: case 0xd1: payload = 2; break;
        case 0xce: payload = 4; break;
        case 0xcf: payload = 8; break;
        case 0xd4: payload = 2; break;                                // fixext: type and data
        case 0xd5: payload = 3; break;
        case 0xd6: payload = 5; break;
        case 0xd7: payload = 9; break;
        case 0xd8: payload = 17; break;
        case 0xdc: case 0xde: container = true, len_width = 2; break; // array / map 16
        case 0xdd: case 0xdf: container = true, len_width = 4; break; // array / map 32
        default: return "parse error";                                // 0xc1
      }
    }
    if (len_width != 0) {
      if (n - pos - 1 < len_width) return "insufficient bytes";
      const std::uint64_t length = read_be(data + pos + 1, len_width);
      head += len_width;
      if (container) {
        elements = (b == 0xde || b == 0xdf) ? 2 * length : length;
      } else {
        payload += length;
      }
    }
    if (n - pos < head || n - pos - head < payload) return "insufficient bytes";
    pos += head + payload;
    if (container && elements != 0) {
      if (depth == due.size()) return "depth size overflow";
      due[depth++] = elements;
      continue;
    }
    if (container && depth == due.size()) return "depth size overflow";  // an empty one counts too
    // One value is complete: close every level it completes.
    while (depth != 0 && --due[depth - 1] == 0) --depth;
    if (depth == 0) return nullptr;
  }
}

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
  if (const char* error = check_shape(bytes)) return fail(QuarnError::serialization(error));
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
    if (kv.key.type != msgpack::type::STR) continue;  // names no field, whatever it is
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

std::size_t invalid_utf8_at(std::string_view text) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Eight ASCII bytes at a time: most stored text is ASCII.
    if (n - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const std::uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    // The well-formed sequences: the second byte's range depends on the first, which excludes
    // overlong forms, surrogates and code points above U+10FFFF.
    std::size_t width;
    std::uint8_t low = 0x80, high = 0xbf;
    if (b >= 0xc2 && b <= 0xdf) {
      width = 2;
    } else if (b >= 0xe0 && b <= 0xef) {
      width = 3;
      if (b == 0xe0) low = 0xa0;
      if (b == 0xed) high = 0x9f;
    } else if (b >= 0xf0 && b <= 0xf4) {
      width = 4;
      if (b == 0xf0) low = 0x90;
      if (b == 0xf4) high = 0x8f;
    } else {
      return i;
    }
    if (n - i < width || p[i + 1] < low || p[i + 1] > high) return i;
    for (std::size_t k = 2; k < width; ++k) {
      if ((p[i + k] & 0xc0) != 0x80) return i;
    }
    i += width;
  }
  return std::string_view::npos;
}

namespace {

[[gnu::noinline, gnu::cold]] QuarnError not_text(const msgpack::object& o, std::string_view field,
                                                  std::size_t at) {
  if (o.type != msgpack::type::STR) return invalid_type(field, "string");
  return QuarnError::serialization("invalid value for `" + std::string(field) +
                                   "`: not UTF-8 text (byte " + std::to_string(at) + ")");
}

}  // namespace

Result<std::string_view> as_text(const msgpack::object& o, std::string_view field) {
  if (o.type != msgpack::type::STR) [[unlikely]] return fail(not_text(o, field, 0));
  const std::string_view text(o.via.str.ptr, o.via.str.size);
  const std::size_t bad = invalid_utf8_at(text);
  if (bad != std::string_view::npos) [[unlikely]] return fail(not_text(o, field, bad));
  return text;
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
