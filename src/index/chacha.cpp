#include "index/chacha.h"

#include <bit>

namespace quarn::index {
namespace {

inline void quarter(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

void chacha_block(const std::array<std::uint32_t, 16>& in, std::array<std::uint32_t, 16>& out,
                  int rounds) {
  std::array<std::uint32_t, 16> x = in;
  for (int r = 0; r < rounds; r += 2) {
    quarter(x, 0, 4, 8, 12);
    quarter(x, 1, 5, 9, 13);
    quarter(x, 2, 6, 10, 14);
    quarter(x, 3, 7, 11, 15);
    quarter(x, 0, 5, 10, 15);
    quarter(x, 1, 6, 11, 12);
    quarter(x, 2, 7, 8, 13);
    quarter(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

ChaChaRng::ChaChaRng(const Seed& seed, int rounds) : rounds_(rounds) {
  input_[0] = 0x61707865;  // "expa"
  input_[1] = 0x3320646e;  // "nd 3"
  input_[2] = 0x79622d32;  // "2-by"
  input_[3] = 0x6b206574;  // "te k"
  for (int i = 0; i < 8; ++i) {
    input_[4 + i] = static_cast<std::uint32_t>(seed[4 * i]) |
                    static_cast<std::uint32_t>(seed[4 * i + 1]) << 8 |
                    static_cast<std::uint32_t>(seed[4 * i + 2]) << 16 |
                    static_cast<std::uint32_t>(seed[4 * i + 3]) << 24;
  }
}

void ChaChaRng::refill() {
  chacha_block(input_, block_, rounds_);
  if (++input_[12] == 0) ++input_[13];
  used_ = 0;
}

std::uint32_t ChaChaRng::next_u32() {
  if (used_ == 16) refill();
  return block_[used_++];
}

std::uint64_t ChaChaRng::next_u64() {
  const std::uint64_t lo = next_u32();
  const std::uint64_t hi = next_u32();
  return hi << 32 | lo;
}

std::uint64_t ChaChaRng::below_u64(std::uint64_t range) {
  if (range == 0) return 0;
  unsigned __int128 m = static_cast<unsigned __int128>(next_u64()) * range;
  auto low = static_cast<std::uint64_t>(m);
  if (low < range) {
    const std::uint64_t threshold = (0 - range) % range;  // 2^64 mod range
    while (low < threshold) {
      m = static_cast<unsigned __int128>(next_u64()) * range;
      low = static_cast<std::uint64_t>(m);
    }
  }
  return static_cast<std::uint64_t>(m >> 64);
}

std::uint32_t ChaChaRng::below_u32(std::uint32_t range) {
  if (range == 0) return 0;
  std::uint64_t m = static_cast<std::uint64_t>(next_u32()) * range;
  auto low = static_cast<std::uint32_t>(m);
  if (low < range) {
    const std::uint32_t threshold = (0u - range) % range;  // 2^32 mod range
    while (low < threshold) {
      m = static_cast<std::uint64_t>(next_u32()) * range;
      low = static_cast<std::uint32_t>(m);
    }
  }
  return static_cast<std::uint32_t>(m >> 32);
}

float ChaChaRng::uniform_f32() {
  return static_cast<float>(next_u32() >> 8) * (1.0f / 16777216.0f);
}

}  // namespace quarn::index
