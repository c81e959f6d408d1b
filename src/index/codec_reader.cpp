#include "index/codec_reader.h"

#include <bit>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "memory/memory.h"

namespace quarn::index {
namespace {

QuarnError bad(std::string text) { return QuarnError::serialization(std::move(text)); }

QuarnError invalid_type(std::string_view field, std::string_view expected) {
  return bad("invalid type for `" + std::string(field) + "`: expected " + std::string(expected));
}

class Reader {
 public:
  explicit Reader(ByteView bytes) : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }

  // An array or map header: its element (or entry) count, after checking that the remaining
  // bytes can hold that many elements (at least one byte each, two per map entry).
  struct Container {
    bool is_map;
    std::uint64_t count;
  };
  [[nodiscard]] Result<Container> container(std::string_view field) {
    const std::uint8_t m = TRY(byte());
    Container c{};
    if ((m & 0xF0) == 0x90) c = {false, static_cast<std::uint64_t>(m & 0x0F)};
    else if ((m & 0xF0) == 0x80) c = {true, static_cast<std::uint64_t>(m & 0x0F)};
    else if (m == 0xDC) c = {false, TRY(big_endian(2))};
    else if (m == 0xDD) c = {false, TRY(big_endian(4))};
    else if (m == 0xDE) c = {true, TRY(big_endian(2))};
    else if (m == 0xDF) c = {true, TRY(big_endian(4))};
    else return fail(invalid_type(field, "array or map"));
    if (c.count > remaining() / (c.is_map ? 2 : 1)) return fail(bad("insufficient bytes"));
    return c;
  }

  [[nodiscard]] Result<std::uint64_t> array(std::string_view field) {
    const Container c = TRY(container(field));
    if (c.is_map) return fail(invalid_type(field, "array"));
    return c.count;
  }

  [[nodiscard]] Result<std::uint64_t> uint(std::string_view field) {
    const std::uint8_t m = TRY(byte());
    if (m < 0x80) return m;
    std::uint64_t v = 0;
    switch (m) {
      case 0xCC: return big_endian(1);
      case 0xCD: return big_endian(2);
      case 0xCE: return big_endian(4);
      case 0xCF: return big_endian(8);
      case 0xD0: v = TRY(big_endian(1)); v = static_cast<std::uint64_t>(static_cast<std::int8_t>(v)); break;
      case 0xD1: v = TRY(big_endian(2)); v = static_cast<std::uint64_t>(static_cast<std::int16_t>(v)); break;
      case 0xD2: v = TRY(big_endian(4)); v = static_cast<std::uint64_t>(static_cast<std::int32_t>(v)); break;
      case 0xD3: v = TRY(big_endian(8)); break;
      default: return fail(invalid_type(field, "unsigned integer"));
    }
    if (static_cast<std::int64_t>(v) < 0) return fail(invalid_type(field, "unsigned integer"));
    return v;
  }

  [[nodiscard]] Result<float> f32(std::string_view field) {
    const std::uint8_t m = peek();
    if (m == 0xCA) {
      ++p_;
      return std::bit_cast<float>(static_cast<std::uint32_t>(TRY(big_endian(4))));
    }
    if (m == 0xCB) {
      ++p_;
      return static_cast<float>(std::bit_cast<double>(TRY(big_endian(8))));
    }
    if (m < 0x80 || (m >= 0xCC && m <= 0xCF)) return static_cast<float>(TRY(uint(field)));
    if (m >= 0xE0 || (m >= 0xD0 && m <= 0xD3)) return static_cast<float>(TRY(sint()));
    return fail(invalid_type(field, "float"));
  }

  [[nodiscard]] Result<Ulid> id(std::string_view field) {
    const std::uint8_t m = TRY(byte());
    std::uint64_t size = 0;
    if (m == 0xC4) size = TRY(big_endian(1));
    else if (m == 0xC5) size = TRY(big_endian(2));
    else if (m == 0xC6) size = TRY(big_endian(4));
    else return fail(invalid_type(field, "16-byte binary"));
    if (size != 16) {
      return fail(bad("invalid length " + std::to_string(size) + " for `" + std::string(field) +
                      "`, expected 16 bytes"));
    }
    if (remaining() < 16) return fail(bad("insufficient bytes"));
    const Ulid value = Ulid::from_bytes(p_);
    p_ += 16;
    return value;
  }

  // A map key: text, or nothing when the key is not text (such keys name no field).
  [[nodiscard]] Result<std::string_view> key() {
    const std::uint8_t m = peek();
    std::uint64_t size = 0;
    if ((m & 0xE0) == 0xA0) {
      ++p_;
      size = m & 0x1F;
    } else if (m == 0xD9 || m == 0xDA || m == 0xDB) {
      ++p_;
      size = TRY(big_endian(m == 0xD9 ? 1 : m == 0xDA ? 2 : 4));
    } else {
      TRY(skip(1));
      return std::string_view{};
    }
    if (size > remaining()) return fail(bad("insufficient bytes"));
    const std::string_view text(reinterpret_cast<const char*>(p_), size);
    p_ += size;
    return text;
  }

  // Steps over one value of any kind, refusing nesting deeper than the limit.
  [[nodiscard]] Result<void> skip(std::size_t depth) {
    if (depth > memory::kMaxNesting) return fail(bad("depth size overflow"));
    const std::uint8_t m = peek();
    if ((m & 0xE0) == 0x80 || (m & 0xF0) == 0x90 || (m >= 0xDC && m <= 0xDF)) {
      const Container c = TRY(container("value"));
      const std::uint64_t items = c.is_map ? 2 * c.count : c.count;
      for (std::uint64_t i = 0; i < items; ++i) TRY(skip(depth + 1));
      return {};
    }
    ++p_;
    std::uint64_t body = 0;
    if (m < 0x80 || m >= 0xE0 || m == 0xC0 || m == 0xC2 || m == 0xC3) body = 0;
    else if ((m & 0xE0) == 0xA0) body = m & 0x1F;
    else if (m == 0xC4 || m == 0xD9) body = TRY(big_endian(1));
    else if (m == 0xC5 || m == 0xDA) body = TRY(big_endian(2));
    else if (m == 0xC6 || m == 0xDB) body = TRY(big_endian(4));
    else if (m == 0xC7) body = 1 + TRY(big_endian(1));
    else if (m == 0xC8) body = 1 + TRY(big_endian(2));
    else if (m == 0xC9) body = 1 + TRY(big_endian(4));
    else if (m == 0xCA || m == 0xCE || m == 0xD2) body = 4;
    else if (m == 0xCB || m == 0xCF || m == 0xD3) body = 8;
    else if (m == 0xCC || m == 0xD0) body = 1;
    else if (m == 0xCD || m == 0xD1) body = 2;
    else if (m >= 0xD4 && m <= 0xD8) body = 1 + (std::uint64_t{1} << (m - 0xD4));
    else return fail(bad("parse error"));
    if (body > remaining()) return fail(bad("insufficient bytes"));
    p_ += body;
    return {};
  }

  // The codes of a posting: fixints and uint 8 are read directly, other integer forms checked.
  [[nodiscard]] Result<void> codes(std::vector<std::uint8_t>& out) {
    const std::uint64_t count = TRY(array("codes"));
    out.clear();
    out.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      if (p_ < end_ && *p_ < 0x80) {
        out.push_back(*p_++);
        continue;
      }
      const std::uint64_t v = TRY(uint("codes"));
      if (v > 255) {
        return fail(bad("invalid value: integer `" + std::to_string(v) + "`, expected u8"));
      }
      out.push_back(static_cast<std::uint8_t>(v));
    }
    return {};
  }

 private:
  std::uint8_t peek() const { return p_ < end_ ? *p_ : 0xC1; }  // 0xC1: never used, fails

  [[nodiscard]] Result<std::uint8_t> byte() {
    if (p_ == end_) return fail(bad("insufficient bytes"));
    return *p_++;
  }

  [[nodiscard]] Result<std::uint64_t> big_endian(std::size_t size) {
    if (remaining() < size) return fail(bad("insufficient bytes"));
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v = v << 8 | *p_++;
    return v;
  }

  [[nodiscard]] Result<std::int64_t> sint() {
    const std::uint8_t m = TRY(byte());
    if (m >= 0xE0) return static_cast<std::int8_t>(m);
    const std::uint64_t v = TRY(big_endian(std::size_t{1} << (m - 0xD0)));
    switch (m) {
      case 0xD0: return static_cast<std::int8_t>(v);
      case 0xD1: return static_cast<std::int16_t>(v);
      case 0xD2: return static_cast<std::int32_t>(v);
      default: return static_cast<std::int64_t>(v);
    }
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

// A structure as a positional array of exactly names.size() fields, or as a map keyed by the
// names (unknown keys skipped, a repeated or missing field refused). field(i) reads field i.
template <class Field>
[[nodiscard]] Result<void> read_struct(Reader& r, std::string_view what, std::size_t depth,
                                       std::initializer_list<std::string_view> names,
                                       Field&& field) {
  const Reader::Container c = TRY(r.container(what));
  if (!c.is_map) {
    if (c.count != names.size()) {
      return fail(bad("invalid length " + std::to_string(c.count) + ", expected " +
                      std::string(what) + " with " + std::to_string(names.size()) + " elements"));
    }
    for (std::size_t i = 0; i < names.size(); ++i) TRY(field(i));
    return {};
  }
  std::uint64_t seen = 0;
  for (std::uint64_t e = 0; e < c.count; ++e) {
    const std::string_view key = TRY(r.key());
    std::size_t i = 0;
    for (std::string_view name : names) {
      if (name == key) break;
      ++i;
    }
    if (i == names.size()) {
      TRY(r.skip(depth + 1));
      continue;
    }
    if (seen & (std::uint64_t{1} << i)) return fail(bad("duplicate field `" + std::string(key) + "`"));
    seen |= std::uint64_t{1} << i;
    TRY(field(i));
  }
  std::size_t i = 0;
  for (std::string_view name : names) {
    if (!(seen & (std::uint64_t{1} << i++))) return fail(bad("missing field `" + std::string(name) + "`"));
  }
  return {};
}

[[nodiscard]] Result<std::vector<float>> floats(Reader& r, std::string_view field) {
  const std::uint64_t count = TRY(r.array(field));
  std::vector<float> out;
  out.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) out.push_back(TRY(r.f32(field)));
  return out;
}

[[nodiscard]] Result<std::vector<std::uint64_t>> uints(Reader& r, std::string_view field) {
  const std::uint64_t count = TRY(r.array(field));
  std::vector<std::uint64_t> out;
  out.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) out.push_back(TRY(r.uint(field)));
  return out;
}

// Depths: the index is level 1, its codebook and posting list 2, a posting 3.
[[nodiscard]] Result<void> read_codebook(Reader& r, PqCodebook& pq) {
  return read_struct(r, "struct PqCodebook", 2, {"sub_offsets", "centroids", "ks"},
                     [&](std::size_t i) -> Result<void> {
                       if (i == 0) {
                         pq.sub_offsets = TRY(uints(r, "sub_offsets"));
                       } else if (i == 1) {
                         const std::uint64_t books = TRY(r.array("centroids"));
                         pq.centroids.clear();
                         pq.centroids.reserve(books);
                         for (std::uint64_t m = 0; m < books; ++m) pq.centroids.push_back(TRY(floats(r, "centroids")));
                       } else {
                         pq.ks = TRY(uints(r, "ks"));
                       }
                       return {};
                     });
}

[[nodiscard]] Result<void> read_posting(Reader& r, Posting& posting) {
  return read_struct(r, "struct Posting", 3, {"ids", "codes"}, [&](std::size_t i) -> Result<void> {
    if (i == 1) return r.codes(posting.codes);
    const std::uint64_t count = TRY(r.array("ids"));
    posting.ids.clear();
    posting.ids.reserve(count);
    for (std::uint64_t k = 0; k < count; ++k) posting.ids.push_back(TRY(r.id("ids")));
    return {};
  });
}

}  // namespace

Result<void> read_index(ByteView bytes, IvfPqIndex& index) {
  Reader r(bytes);
  return read_struct(
      r, "struct IvfPqIndex", 1,
      {"dims", "n_partitions", "n_probe", "n_rerank", "centroids", "pq", "partitions"},
      [&](std::size_t i) -> Result<void> {
        switch (i) {
          case 0: index.dims = TRY(r.uint("dims")); break;
          case 1: index.n_partitions = TRY(r.uint("n_partitions")); break;
          case 2: index.n_probe = TRY(r.uint("n_probe")); break;
          case 3: index.n_rerank = TRY(r.uint("n_rerank")); break;
          case 4: index.centroids = TRY(floats(r, "centroids")); break;
          case 5: TRY(read_codebook(r, index.pq)); break;
          default: {
            const std::uint64_t count = TRY(r.array("partitions"));
            index.partitions.clear();
            index.partitions.reserve(count);
            for (std::uint64_t p = 0; p < count; ++p) {
              TRY(read_posting(r, index.partitions.emplace_back()));
            }
            break;
          }
        }
        return {};
      });
}

}  // namespace quarn::index
