// Shortest digits by Raffaello Giulietti's Schubfach method, for binary32: the decimal interval
// that rounds to the float is computed exactly enough from a 64-bit table of powers of ten, and
// the shortest decimal in it (the nearest of those, when several are) is taken.
#include "store/float_text.h"

#include <bit>
#include <cstdint>
#include <cmath>
#include <cstring>

namespace quarn::store {
namespace {

constexpr int kPow10Min = -31;
constexpr int kPow10Max = 45;

// g[k - kPow10Min] = floor(10^k / 2^(floor(log2(10^k)) - 63)) + 1: the 64 leading bits of 10^k,
// rounded up.
constexpr std::uint64_t kPow10[kPow10Max - kPow10Min + 1] = {
    0x81CEB32C4B43FCF5, 0xA2425FF75E14FC32, 0xCAD2F7F5359A3B3F,
    0xFD87B5F28300CA0E, 0x9E74D1B791E07E49, 0xC612062576589DDB,
    0xF79687AED3EEC552, 0x9ABE14CD44753B53, 0xC16D9A0095928A28,
    0xF1C90080BAF72CB2, 0x971DA05074DA7BEF, 0xBCE5086492111AEB,
    0xEC1E4A7DB69561A6, 0x9392EE8E921D5D08, 0xB877AA3236A4B44A,
    0xE69594BEC44DE15C, 0x901D7CF73AB0ACDA, 0xB424DC35095CD810,
    0xE12E13424BB40E14, 0x8CBCCC096F5088CC, 0xAFEBFF0BCB24AAFF,
    0xDBE6FECEBDEDD5BF, 0x89705F4136B4A598, 0xABCC77118461CEFD,
    0xD6BF94D5E57A42BD, 0x8637BD05AF6C69B6, 0xA7C5AC471B478424,
    0xD1B71758E219652C, 0x83126E978D4FDF3C, 0xA3D70A3D70A3D70B,
    0xCCCCCCCCCCCCCCCD, 0x8000000000000001, 0xA000000000000001,
    0xC800000000000001, 0xFA00000000000001, 0x9C40000000000001,
    0xC350000000000001, 0xF424000000000001, 0x9896800000000001,
    0xBEBC200000000001, 0xEE6B280000000001, 0x9502F90000000001,
    0xBA43B74000000001, 0xE8D4A51000000001, 0x9184E72A00000001,
    0xB5E620F480000001, 0xE35FA931A0000001, 0x8E1BC9BF04000001,
    0xB1A2BC2EC5000001, 0xDE0B6B3A76400001, 0x8AC7230489E80001,
    0xAD78EBC5AC620001, 0xD8D726B7177A8001, 0x878678326EAC9001,
    0xA968163F0A57B401, 0xD3C21BCECCEDA101, 0x84595161401484A1,
    0xA56FA5B99019A5C9, 0xCECB8F27F4200F3B, 0x813F3978F8940985,
    0xA18F07D736B90BE6, 0xC9F2C9CD04674EDF, 0xFC6F7C4045812297,
    0x9DC5ADA82B70B59E, 0xC5371912364CE306, 0xF684DF56C3E01BC7,
    0x9A130B963A6C115D, 0xC097CE7BC90715B4, 0xF0BDC21ABB48DB21,
    0x96769950B50D88F5, 0xBC143FA4E250EB32, 0xEB194F8E1AE525FE,
    0x92EFD1B8D0CF37BF, 0xB7ABC627050305AE, 0xE596B7B0C643C71A,
    0x8F7E32CE7BEA5C70, 0xB35DBF821AE4F38C,
};

// floor(log10(2^e)), floor(log10(3/4 * 2^e)), floor(log2(10^e)), for the exponents of floats.
int floor_log10_pow2(int e) { return (e * 1262611) >> 22; }
int floor_log10_three_quarters_pow2(int e) { return (e * 1262611 - 524031) >> 22; }
int floor_log2_pow10(int e) { return (e * 1741647) >> 19; }

// The bits 64..95 of g * cp, with the lowest bit set when any bit below them is (round to odd).
std::uint32_t round_to_odd(std::uint64_t g, std::uint32_t cp) {
  const unsigned __int128 p = static_cast<unsigned __int128>(g) * cp;
  const auto y1 = static_cast<std::uint32_t>(p >> 64);
  const auto y0 = static_cast<std::uint32_t>(p >> 32);
  return y1 | (y0 > 1 ? 1u : 0u);
}

struct Decimal {
  std::uint32_t digits;  // without trailing zeros
  int exponent;          // value = digits * 10^exponent
};

// A finite, non-zero float's shortest decimal.
Decimal shortest(std::uint32_t bits) {
  const std::uint32_t fraction = bits & 0x7fffffu;
  const std::uint32_t biased = (bits >> 23) & 0xffu;
  std::uint32_t c;
  int q;
  if (biased != 0) {
    c = fraction | 0x800000u;
    q = static_cast<int>(biased) - 150;
  } else {
    c = fraction;
    q = -149;
  }
  const bool is_even = (c % 2) == 0;
  const bool lower_closer = fraction == 0 && biased > 1;
  const std::uint32_t cbl = 4 * c - 2 + (lower_closer ? 1 : 0);
  const std::uint32_t cb = 4 * c;
  const std::uint32_t cbr = 4 * c + 2;
  const int k = lower_closer ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
  const int h = q + floor_log2_pow10(-k) + 1;
  const std::uint64_t pow10 = kPow10[-k - kPow10Min];
  const std::uint32_t vbl = round_to_odd(pow10, cbl << h);
  const std::uint32_t vb = round_to_odd(pow10, cb << h);
  const std::uint32_t vbr = round_to_odd(pow10, cbr << h);
  const std::uint32_t lower = vbl + (is_even ? 0 : 1);
  const std::uint32_t upper = vbr - (is_even ? 0 : 1);

  Decimal d{0, k};
  const std::uint32_t s = vb / 4;
  bool done = false;
  if (s >= 10) {
    const std::uint32_t sp = s / 10;
    const bool up_inside = lower <= 40 * sp;
    const bool wp_inside = 40 * sp + 40 <= upper;
    if (up_inside != wp_inside) {
      d = {sp + (wp_inside ? 1 : 0), k + 1};
      done = true;
    }
  }
  if (!done) {
    const bool u_inside = lower <= 4 * s;
    const bool w_inside = 4 * s + 4 <= upper;
    if (u_inside != w_inside) {
      d = {s + (w_inside ? 1 : 0), k};
    } else {
      const std::uint32_t mid = 4 * s + 2;
      const bool round_up = vb > mid || (vb == mid && (s & 1) != 0);
      d = {s + (round_up ? 1 : 0), k};
    }
  }
  while (d.digits % 10 == 0) {
    d.digits /= 10;
    ++d.exponent;
  }
  return d;
}

int digit_count(std::uint32_t v) {
  constexpr std::uint32_t kPowers[] = {10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000,
                                       1000000000};
  int n = 1;
  while (n < 10 && v >= kPowers[n - 1]) ++n;
  return n;
}

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The n decimal digits of v at out, two at a time.
void put_digits(char* out, std::uint64_t v, int n) {
  while (n >= 2) {
    const auto pair = static_cast<std::size_t>(v % 100) * 2;
    v /= 100;
    n -= 2;
    out[n] = kPairs[pair];
    out[n + 1] = kPairs[pair + 1];
  }
  if (n == 1) out[0] = static_cast<char>('0' + v);
}

}  // namespace

char* write_shortest(char* out, float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  if (bits >> 31) *out++ = '-';
  if ((bits & 0x7fffffffu) == 0) {
    *out++ = '0';
    return out;
  }
  const Decimal d = shortest(bits);
  const int n = digit_count(d.digits);
  const int point = n + d.exponent;  // digits before the decimal point (may be <= 0)
  const int exp10 = point - 1;
  const int exp_digits = (exp10 >= 100 || exp10 <= -100) ? 3 : 2;
  const int scientific = n + (n > 1 ? 1 : 0) + 2 + exp_digits;
  const int fixed = d.exponent >= 0 ? n + d.exponent : (point > 0 ? n + 1 : 2 - d.exponent);
  if (fixed <= scientific) {
    if (d.exponent >= 0) {
      // As many characters as the shortest digits and their zeros, but nearer: the float's own
      // value, an integer below 10^15 here.
      put_digits(out, static_cast<std::uint64_t>(std::fabs(value)), fixed);
      return out + fixed;
    }
    if (point > 0) {
      char digits[10];
      put_digits(digits, d.digits, n);
      std::memcpy(out, digits, static_cast<std::size_t>(point));
      out[point] = '.';
      std::memcpy(out + point + 1, digits + point, static_cast<std::size_t>(n - point));
      return out + n + 1;
    }
    out[0] = '0';
    out[1] = '.';
    std::memset(out + 2, '0', static_cast<std::size_t>(-point));
    put_digits(out + 2 - point, d.digits, n);
    return out + 2 - d.exponent;
  }
  char digits[10];
  put_digits(digits, d.digits, n);
  *out++ = digits[0];
  if (n > 1) {
    *out++ = '.';
    std::memcpy(out, digits + 1, static_cast<std::size_t>(n - 1));
    out += n - 1;
  }
  *out++ = 'e';
  *out++ = exp10 < 0 ? '-' : '+';
  put_digits(out, static_cast<std::uint32_t>(exp10 < 0 ? -exp10 : exp10), exp_digits);
  return out + exp_digits;
}

}  // namespace quarn::store
