// Small helpers shared by the index tests.
#pragma once

#include <cstdint>
#include <vector>

#include "index/index.h"

namespace quarn::index::testing {

inline Ulid id(std::uint64_t n) { return Ulid{0x0123456789ABCDEFULL, n}; }

// A small deterministic generator (splitmix64) for test data.
class TestRng {
 public:
  explicit TestRng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  float unit() { return static_cast<float>(next() >> 40) * 0x1p-24f; }  // [0, 1)
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

 private:
  std::uint64_t state_;
};

// Deterministic values in [-1, 1).
inline std::vector<float> random_floats(std::size_t count, std::uint64_t seed) {
  TestRng rng(seed);
  std::vector<float> out(count);
  for (float& v : out) v = rng.unit() * 2.0f - 1.0f;
  return out;
}

// n points around `clusters` random centres (spread 0.05), row-major, d values each.
inline std::vector<float> clustered(std::size_t n, std::size_t d, std::size_t clusters,
                                    std::uint64_t seed) {
  const std::vector<float> centres = random_floats(clusters * d, seed);
  TestRng rng(seed + 1);
  std::vector<float> out(n * d);
  for (std::size_t p = 0; p < n; ++p) {
    const std::size_t c = rng.below(clusters);
    for (std::size_t i = 0; i < d; ++i) {
      out[p * d + i] = centres[c * d + i] + (rng.unit() - 0.5f) * 0.1f;
    }
  }
  return out;
}

inline std::vector<Ulid> ids(std::size_t n) {
  std::vector<Ulid> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(id(i + 1));
  return out;
}

}  // namespace quarn::index::testing
