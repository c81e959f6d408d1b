// The scan fields of a stored record, read in one pass over its bytes without building the memory.
//
// Only the array form as encode_memory writes it is taken here, and only when every check that
// decode_memory makes passes: its shape, the text of every string (UTF-8), the names of the type
// and scope, the ranges of the integers, and the metadata's value types. Anything else (the map
// form, other number forms in the vector or importance, a non-finite value, metadata nested
// deeper than a few levels, a record it would refuse) is left to decode_memory, which then either
// reads it or reports it with its own words. So no record is taken here that decode_memory
// refuses, and every record taken yields the values decode_memory would.
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "memory/memory.h"
#include "memory/msgpack_io.h"

namespace quarn::memory {
namespace {

// Deep enough for any metadata an agent writes; deeper goes to the full decoder.
constexpr std::size_t kFastNesting = 32;

#if defined(__x86_64__)
// The float32 elements of a vector, six a step: each 128-bit half of a register takes three
// elements (15 bytes) and turns their big-endian bits into little-endian floats with one byte
// shuffle, which also gathers the three 0xca marks. Stops while fewer than eight elements are
// left (each step stores eight floats and reads one byte past its six elements), leaving `done`
// at the first element not yet read. false: an element that is not a float32 or not finite.
[[gnu::target("avx2")]] bool float_run_avx2(const std::uint8_t* at, std::size_t n, float* dest,
                                            std::size_t& done) {
  // Per half: floats from bytes 4..1, 9..6, 14..11, then the marks at 0, 5, 10 (and a zero).
  const __m256i shuffle = _mm256_setr_epi8(4, 3, 2, 1, 9, 8, 7, 6, 14, 13, 12, 11, 0, 5, 10, -128,
                                           4, 3, 2, 1, 9, 8, 7, 6, 14, 13, 12, 11, 0, 5, 10, -128);
  const __m256i order = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);  // six floats, then the marks
  const __m256i float_lanes = _mm256_setr_epi32(-1, -1, -1, -1, -1, -1, 0, 0);
  const __m256i marks_want = _mm256_setr_epi32(0, 0, 0, 0, 0, 0, 0xcacaca, 0xcacaca);
  const __m256i marks_mask = _mm256_setr_epi32(0, 0, 0, 0, 0, 0, 0xffffff, 0xffffff);
  const __m256i exponent = _mm256_set1_epi32(0x7f800000);
  __m256i bad = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 6, at += 30) {
    const __m256i bytes = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 15)), 1);
    const __m256i words = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(bytes, shuffle), order);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest + i), words);
    const __m256i not_finite =
        _mm256_cmpeq_epi32(_mm256_and_si256(words, exponent), exponent);
    bad = _mm256_or_si256(bad, _mm256_and_si256(not_finite, float_lanes));
    bad = _mm256_or_si256(bad, _mm256_and_si256(_mm256_xor_si256(words, marks_want), marks_mask));
  }
  done = i;
  return _mm256_testz_si256(bad, bad) != 0;
}
#endif

class Reader {
 public:
  explicit Reader(ByteView bytes) : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  bool byte(std::uint8_t& b) {
    if (p_ == end_) return false;
    b = *p_++;
    return true;
  }
  bool take(std::size_t n, const std::uint8_t*& at) {
    if (static_cast<std::size_t>(end_ - p_) < n) return false;
    at = p_;
    p_ += n;
    return true;
  }
  bool be(std::size_t width, std::uint64_t& v) {
    const std::uint8_t* at = nullptr;
    if (!take(width, at)) return false;
    v = 0;
    for (std::size_t i = 0; i < width; ++i) v = (v << 8) | at[i];
    return true;
  }

  // A str of well-formed UTF-8.
  bool text(std::string_view& out) {
    std::uint8_t b = 0;
    if (!byte(b)) return false;
    std::uint64_t n = 0;
    if (b >= 0xa0 && b <= 0xbf) {
      n = b & 0x1fu;
    } else if (b == 0xd9 || b == 0xda || b == 0xdb) {
      if (!be(std::size_t{1} << (b - 0xd9), n)) return false;
    } else {
      return false;
    }
    const std::uint8_t* at = nullptr;
    if (n > static_cast<std::uint64_t>(end_ - p_) || !take(static_cast<std::size_t>(n), at)) {
      return false;
    }
    out = std::string_view(reinterpret_cast<const char*>(at), static_cast<std::size_t>(n));
    return mp::invalid_utf8_at(out) == std::string_view::npos;
  }

  bool nil() {
    if (p_ != end_ && *p_ == 0xc0) {
      ++p_;
      return true;
    }
    return false;
  }

  // Any integer form: `negative` set for values below zero (then `value` holds the two's
  // complement), as the full decoder classifies them.
  bool integer(bool& negative, std::uint64_t& value) {
    std::uint8_t b = 0;
    if (!byte(b)) return false;
    negative = false;
    if (b <= 0x7f) {
      value = b;
      return true;
    }
    if (b >= 0xe0) {
      negative = true;
      value = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int8_t>(b)));
      return true;
    }
    if (b >= 0xcc && b <= 0xcf) return be(std::size_t{1} << (b - 0xcc), value);
    if (b >= 0xd0 && b <= 0xd3) {
      const std::size_t width = std::size_t{1} << (b - 0xd0);
      std::uint64_t raw = 0;
      if (!be(width, raw)) return false;
      const unsigned shift = static_cast<unsigned>(64 - 8 * width);
      const std::int64_t v = static_cast<std::int64_t>(raw << shift) >> shift;
      negative = v < 0;
      value = static_cast<std::uint64_t>(v);
      return true;
    }
    return false;
  }

  bool i64(std::int64_t& out) {
    bool negative = false;
    std::uint64_t v = 0;
    if (!integer(negative, v)) return false;
    if (!negative && v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return false;
    }
    out = static_cast<std::int64_t>(v);
    return true;
  }

  // A finite float32.
  bool f32(float& out) {
    const std::uint8_t* at = nullptr;
    if (p_ == end_ || *p_ != 0xca || !take(5, at)) return false;
    const std::uint32_t bits = (std::uint32_t{at[1]} << 24) | (std::uint32_t{at[2]} << 16) |
                               (std::uint32_t{at[3]} << 8) | at[4];
    if ((bits & 0x7f800000u) == 0x7f800000u) return false;
    out = std::bit_cast<float>(bits);
    return true;
  }

  // `count` float32 values into out, when the header says exactly that many.
  bool vector(std::span<float> out) {
    std::uint8_t b = 0;
    if (!byte(b)) return false;
    std::uint64_t n = 0;
    if (b >= 0x90 && b <= 0x9f) {
      n = b & 0x0fu;
    } else if (b == 0xdc || b == 0xdd) {
      if (!be(b == 0xdc ? 2 : 4, n)) return false;
    } else {
      return false;
    }
    if (n != out.size()) return false;
    const std::uint8_t* at = nullptr;
    if (out.size() > static_cast<std::size_t>(end_ - p_) / 5 || !take(5 * out.size(), at)) {
      return false;
    }
    std::uint32_t marks = 0, exponents = 0;
    float* dest = out.data();
    std::size_t i = 0;
#if defined(__x86_64__)
    static const bool avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    if (avx2 && !float_run_avx2(at, out.size(), dest, i)) return false;
    at += 5 * i;
#endif
    for (; i < out.size(); ++i, at += 5) {
      std::uint32_t raw;
      std::memcpy(&raw, at + 1, 4);
      std::uint32_t bits = raw;  // big-endian on the wire
      if constexpr (std::endian::native == std::endian::little) bits = std::byteswap(raw);
      marks |= at[0] ^ 0xcau;
      // An element is not finite exactly when its exponent bits are all set.
      exponents |= static_cast<std::uint32_t>((bits & 0x7f800000u) == 0x7f800000u);
      std::memcpy(dest + i, &bits, 4);
    }
    return marks == 0 && exponents == 0;
  }

  // One metadata value, or (for `key`) a map key, which must be text.
  bool json(std::size_t level) {
    if (p_ == end_) return false;
    const std::uint8_t b = *p_;
    if (b <= 0x7f || b >= 0xe0 || b == 0xc0 || b == 0xc2 || b == 0xc3) {
      ++p_;
      return true;
    }
    if ((b >= 0xa0 && b <= 0xbf) || b == 0xd9 || b == 0xda || b == 0xdb) {
      std::string_view s;
      return text(s);
    }
    if (b >= 0xcc && b <= 0xd3) {
      bool negative = false;
      std::uint64_t v = 0;
      return integer(negative, v);
    }
    if (b == 0xca || b == 0xcb) {
      const std::uint8_t* at = nullptr;
      return take(b == 0xca ? 5 : 9, at);
    }
    std::uint64_t n = 0;
    bool map = false;
    ++p_;
    if (b >= 0x80 && b <= 0x8f) {
      n = b & 0x0fu, map = true;
    } else if (b >= 0x90 && b <= 0x9f) {
      n = b & 0x0fu;
    } else if (b == 0xdc || b == 0xdd) {
      if (!be(b == 0xdc ? 2 : 4, n)) return false;
    } else if (b == 0xde || b == 0xdf) {
      if (!be(b == 0xde ? 2 : 4, n)) return false;
      map = true;
    } else {
      return false;  // bin, ext, 0xc1: the full decoder words the refusal
    }
    return container(n, map, level);
  }

  // The elements of a container at nesting `level`; a map's keys must be text.
  bool container(std::uint64_t n, bool map, std::size_t level) {
    if (level > kFastNesting) return false;
    // Every element takes a byte at least: a count beyond the bytes left is a lie.
    if (n > static_cast<std::uint64_t>(end_ - p_)) return false;
    for (std::uint64_t i = 0; i < n; ++i) {
      if (map) {
        std::string_view key;
        if (!text(key)) return false;
      }
      if (!json(level + 1)) return false;
    }
    return true;
  }

  // The metadata: a map, at nesting level 2 (the record array is level 1).
  bool metadata() {
    if (p_ == end_) return false;
    const std::uint8_t b = *p_;
    if (!((b >= 0x80 && b <= 0x8f) || b == 0xde || b == 0xdf)) return false;
    return json(2);
  }


 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

}  // namespace

bool read_scan_fields(ByteView bytes, std::span<float> vector, ScanFields& out) {
  Reader r(bytes);
  std::uint8_t head = 0;
  if (!r.byte(head) || head != 0x9d) return false;
  std::string_view text;
  if (!r.text(text)) return false;
  const auto id = Ulid::parse(text);
  if (!id) return false;
  out.id = *id;
  if (!r.text(text)) return false;
  const auto type = parse_stored_type(text);
  if (!type) return false;
  out.memory_type = *type;
  if (!r.vector(vector)) return false;
  if (!r.text(text)) return false;  // content
  if (!r.metadata()) return false;
  if (!r.text(out.agent_id)) return false;
  if (!r.nil() && !r.text(text)) return false;  // session_id
  if (!r.text(text)) return false;
  const auto scope = parse_stored_scope(text);
  if (!scope) return false;
  out.scope = *scope;
  std::int64_t accessed_at = 0;
  if (!r.i64(out.created_at) || !r.i64(accessed_at)) return false;
  bool negative = false;
  std::uint64_t count = 0;
  if (!r.integer(negative, count) || negative || count > std::numeric_limits<std::uint32_t>::max()) {
    return false;
  }
  if (!r.f32(out.importance)) return false;
  out.ttl_secs.reset();
  if (!r.nil()) {
    std::int64_t ttl = 0;
    if (!r.i64(ttl)) return false;
    out.ttl_secs = ttl;
  }
  return true;  // bytes after the record are ignored, as decode_memory ignores them
}

}  // namespace quarn::memory
