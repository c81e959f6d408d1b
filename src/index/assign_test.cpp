#include "index/assign.h"

#include <gtest/gtest.h>

#include <cmath>

#include "index/kernels.h"
#include "index/test_util.h"

namespace quarn::index {
namespace {

std::vector<std::uint32_t> brute(const std::vector<float>& pts, std::size_t n, std::size_t w,
                                 const std::vector<float>& cents, std::size_t k) {
  const std::vector<float> blocks = kernels::make_blocks(pts.data(), n, w);
  std::vector<std::uint32_t> out(n);
  kernels::nearest(kernels::make_view(blocks, n, w, 0, w), cents.data(), k, out.data());
  return out;
}

// Over rounds of moving centroids, the bounded assignment must pick exactly what computing every
// distance picks: on clustered and spread data, with duplicate centroids (ties), centroids that
// barely move (the bounds settle most points), tiny values (underflow) and values too large to
// bound.
TEST(IndexAssign, BoundedAssignmentEqualsBruteForceEveryRound) {
  struct Case { std::size_t n, w, k; float scale; std::size_t clusters; };
  const Case cases[] = {{500, 8, 40, 1.0f, 10},  {333, 24, 17, 1.0f, 0}, {200, 3, 64, 1e-30f, 5},
                        {300, 16, 9, 1e18f, 4},  {257, 1, 5, 1.0f, 3},   {64, 40, 2, 1.0f, 2},
                        {100, 5, 1, 1.0f, 3}};
  for (const Case& c : cases) {
    std::vector<float> pts = c.clusters ? testing::clustered(c.n, c.w, c.clusters, 7)
                                        : testing::random_floats(c.n * c.w, 7);
    for (float& v : pts) v *= c.scale;
    std::vector<float> cents(c.k * c.w);
    for (std::size_t j = 0; j < c.k; ++j) {  // centroids at points, some duplicated
      const std::size_t p = (j % 3 == 2 ? j - 1 : j) * 7 % c.n;
      std::copy_n(pts.begin() + p * c.w, c.w, cents.begin() + j * c.w);
    }
    Assigner assigner(pts.data(), c.n, c.w);
    const std::vector<float> nudge = testing::random_floats(c.k * c.w, 9);
    for (int round = 0; round < 6; ++round) {
      std::vector<std::uint32_t> out(c.n);
      assigner.assign(cents.data(), c.k, out);
      EXPECT_EQ(out, brute(pts, c.n, c.w, cents, c.k)) << "n=" << c.n << " w=" << c.w << " round " << round;
      // Small moves, one centroid jumping onto another, and one round without any move.
      const float step = round == 3 ? 0.0f : 1e-3f * c.scale;
      for (std::size_t i = 0; i < cents.size(); ++i) cents[i] += step * nudge[i];
      if (round == 1 && c.k > 3) std::copy_n(cents.begin(), c.w, cents.begin() + 3 * c.w);
    }
  }
}

}  // namespace
}  // namespace quarn::index
