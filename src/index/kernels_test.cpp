#include "index/kernels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "index/test_util.h"

namespace quarn::index::kernels {
namespace {

std::vector<std::uint32_t> bits(const std::vector<float>& v) {
  std::vector<std::uint32_t> out;
  for (float f : v) out.push_back(std::bit_cast<std::uint32_t>(f));
  return out;
}

// Values with ties, signed zeros, infinities and NaNs sprinkled in.
std::vector<float> awkward(std::size_t count, std::uint8_t seed) {
  std::vector<float> v = testing::random_floats(count, seed);
  for (std::size_t i = 0; i < count; i += 7) v[i] = std::round(v[i] * 2.0f);
  if (count > 11) v[11] = -0.0f;
  if (count > 29) v[29] = std::numeric_limits<float>::infinity();
  if (count > 43) v[43] = std::numeric_limits<float>::quiet_NaN();
  return v;
}

struct Shape { std::size_t n, w, k; };

// Each SIMD kernel returns exactly what the scalar definition returns, on shapes that leave
// partial blocks, partial centroid groups and partial transposes.
TEST(IndexKernels, SimdKernelsAreBitIdenticalToScalar) {
  const Shape shapes[] = {{1, 1, 1}, {15, 7, 3}, {16, 8, 4}, {17, 9, 5}, {33, 16, 9},
                          {100, 17, 1}, {64, 33, 12}, {40, 0, 3}, {3, 5, 256},
                          {20, 8, 37}, {5, 8, 256}};
  for (const Shape& s : shapes) {
    const std::size_t stored = s.w + 3;  // views of a slice of wider points
    const std::vector<float> pts = awkward(s.n * stored, static_cast<std::uint8_t>(s.n));
    std::vector<float> cents = awkward(s.k * s.w, static_cast<std::uint8_t>(s.k + 100));
    if (s.k > 2 && s.w > 0) std::copy_n(cents.begin(), s.w, cents.begin() + 2 * s.w);  // a tie
    const std::vector<float> blocks = make_blocks(pts.data(), s.n, stored);
    const Blocks view = make_view(blocks, s.n, stored, 2, s.w);
    const std::vector<float> q(pts.begin() + 2, pts.begin() + 2 + s.w);

    auto run = [&](Isa isa) {
      set_isa(isa);
      std::vector<std::uint32_t> near(s.n);
      std::vector<float> best(s.n), second(s.n), to(s.n), rows(s.k);
      nearest(view, cents.data(), s.k, near.data(), best.data(), second.data());
      distances_to(view, cents.data() + (s.k - 1) * s.w, to.data());
      row_distances(cents.data(), s.k, s.w, q.data(), rows.data());
      return std::tuple{near, bits(best), bits(second), bits(to), bits(rows)};
    };
    const auto scalar = run(Isa::Scalar);
    // The scalar kernels themselves against the definition.
    for (std::size_t r = 0; r < s.k; ++r) {
      EXPECT_EQ(std::get<4>(scalar)[r], std::bit_cast<std::uint32_t>(distance(cents.data() + r * s.w, q.data(), s.w)));
    }
    for (Isa isa : {Isa::Avx2, Isa::Avx512}) {
      if (isa > supported_isa()) continue;
      EXPECT_EQ(run(isa), scalar) << "n=" << s.n << " w=" << s.w << " k=" << s.k;
    }
  }
  set_isa(supported_isa());
}

TEST(IndexKernels, NearestBreaksTiesLowAndNeverPicksNaN) {
  const float pts[] = {1.0f, NAN};
  const std::vector<float> blocks = make_blocks(pts, 2, 1);
  const float cents[] = {NAN, 3.0f, -1.0f, 3.0f};
  for (Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512}) {
    set_isa(isa);
    std::uint32_t out[2];
    float best[2], second[2];
    nearest(make_view(blocks, 2, 1, 0, 1), cents, 4, out, best, second);
    EXPECT_EQ(out[0], 1u);  // 1 is 2 from both 3 and -1: the lower number wins
    EXPECT_EQ(best[0], 4.0f);
    EXPECT_EQ(second[0], 4.0f);  // the runner-up ties with the winner
    EXPECT_EQ(out[1], 0u);  // only NaN distances
  }
  set_isa(supported_isa());
}

}  // namespace
}  // namespace quarn::index::kernels
