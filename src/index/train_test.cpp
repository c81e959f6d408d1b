#include <gtest/gtest.h>

#include <algorithm>

#include "index/index.h"
#include "index/kernels.h"
#include "index/test_util.h"
#include "index/train.h"

namespace quarn::index {
namespace {

TEST(IndexTraining, PartitionCounts) {
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {
      {1, 1}, {2, 2}, {10, 4}, {100, 10}, {1000, 32}, {100000, 317}};
  for (auto [n, p] : cases) EXPECT_EQ(partition_count(n), p) << n;
}

TEST(IndexTraining, SubspaceBoundaries) {
  EXPECT_EQ(subspace_offsets(4), (std::vector<std::uint64_t>{0, 4}));
  EXPECT_EQ(subspace_offsets(7), (std::vector<std::uint64_t>{0, 7}));
  EXPECT_EQ(subspace_offsets(16), (std::vector<std::uint64_t>{0, 8, 16}));
  EXPECT_EQ(subspace_offsets(0), (std::vector<std::uint64_t>{0}));
  std::vector<std::uint64_t> widths;
  const auto hundred = subspace_offsets(100);
  for (std::size_t m = 0; m + 1 < hundred.size(); ++m) widths.push_back(hundred[m + 1] - hundred[m]);
  EXPECT_EQ(widths, (std::vector<std::uint64_t>{8, 8, 9, 8, 8, 9, 8, 8, 9, 8, 8, 9}));
  const auto wide = subspace_offsets(384);
  ASSERT_EQ(wide.size(), 49u);
  for (std::size_t m = 0; m < 48; ++m) EXPECT_EQ(wide[m], 8 * m);
}

TEST(IndexTraining, KmeansCountsAndSeeds) {
  const std::vector<float> pts = {0, 0, 1, 0, 10, 10, 11, 10, 50, 50};  // five 2-d points
  ChaChaRng rng(kTrainingSeed);
  EXPECT_EQ(kmeans(pts, 5, 2, 0, 3, rng).size(), 2u);    // k = 0: one centroid
  EXPECT_EQ(kmeans(pts, 5, 2, 9, 3, rng).size(), 10u);   // k > n: n centroids
  const std::vector<float> seeds = kmeans(pts, 5, 2, 3, 0, rng);
  ASSERT_EQ(seeds.size(), 6u);
  for (std::size_t c = 0; c < 3; ++c) {  // no rounds: every centroid is a copy of a point
    bool found = false;
    for (std::size_t p = 0; p < 5; ++p) found |= seeds[2 * c] == pts[2 * p] && seeds[2 * c + 1] == pts[2 * p + 1];
    EXPECT_TRUE(found) << c;
  }
}

TEST(IndexTraining, KmeansConvergesOnSeparatedGroups) {
  const std::vector<float> pts = {0, 1, 10, 11, 0.5f, 10.5f};
  ChaChaRng rng(kTrainingSeed);
  std::vector<float> c = kmeans(pts, 6, 1, 2, 5, rng);
  std::sort(c.begin(), c.end());
  EXPECT_EQ(c, (std::vector<float>{0.5f, 10.5f}));
}

TEST(IndexTraining, IdenticalPointsDrawFurtherSeedsUniformly) {
  const std::vector<float> pts(4 * 3, 2.5f);  // four identical 3-d points
  ChaChaRng rng(kTrainingSeed), replay(kTrainingSeed);
  const std::vector<float> c = kmeans(pts, 4, 3, 3, 0, rng);
  EXPECT_EQ(c, std::vector<float>(9, 2.5f));
  for (int i = 0; i < 3; ++i) replay.below_u64(4);  // the first seed, then two uniform draws
  EXPECT_EQ(rng.next_u32(), replay.next_u32());
}

TEST(IndexTraining, RefusesEmptyAndZeroDimensionalInput) {
  auto empty = train({}, {}, 8);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().message(), "invalid argument: cannot build an index over an empty database");
  const std::vector<Ulid> one = testing::ids(1);
  for (auto [vectors, d] : {std::pair{std::vector<float>{}, std::uint64_t{0}},
                            std::pair{std::vector<float>{1, 2, 3}, std::uint64_t{2}}}) {
    auto result = train(one, vectors, d);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), ErrorKind::InvalidArgument);
  }
}

TEST(IndexTraining, BuildsTheSpecifiedShape) {
  struct Case { std::size_t n, d, partitions; std::vector<std::uint64_t> ks; };
  const Case cases[] = {{1, 4, 1, {1}}, {100, 16, 10, {100, 100}}, {1000, 7, 32, {256}}};
  for (const Case& c : cases) {
    const std::vector<float> vectors = testing::clustered(c.n, c.d, 5, 2);
    auto index = train(testing::ids(c.n), vectors, c.d);
    ASSERT_TRUE(index.has_value());
    const IvfPqIndex& x = **index;
    EXPECT_EQ(x.n_partitions, c.partitions);
    EXPECT_EQ(x.pq.ks, c.ks);
    EXPECT_EQ(x.n_probe, 8u);
    EXPECT_EQ(x.n_rerank, 64u);
    EXPECT_EQ(x.vector_count(), c.n);
    EXPECT_EQ(x.partition_of.size(), c.n);
    EXPECT_TRUE(validate_index(x).has_value());
    const std::vector<float> first(vectors.begin(), vectors.begin() + c.d);
    EXPECT_EQ(probe(x, first, 8, 64).size(), std::min<std::size_t>(64, c.n));
  }
}

TEST(IndexTraining, FilledIndexEqualsAddingEveryVector) {
  const std::size_t n = 700, d = 12;
  const std::vector<float> vectors = testing::clustered(n, d, 9, 5);
  auto index = train(testing::ids(n), vectors, d);
  ASSERT_TRUE(index.has_value());
  IvfPqIndex again = **index;
  for (Posting& p : again.partitions) p = {};
  again.partition_of.clear();
  const auto ids = testing::ids(n);
  for (std::size_t i = 0; i < n; ++i) again.add(ids[i], std::span(vectors).subspan(i * d, d));
  EXPECT_EQ(again.partitions, (*index)->partitions);
}

// Builds are repeatable, and the SIMD kernels give the same index as the scalar definition.
TEST(IndexTraining, BuildsAreDeterministicAndKernelIndependent) {
  const std::size_t n = 1200, d = 20;  // 35 partitions, two subspaces of 10
  std::vector<float> vectors = testing::clustered(n, d, 40, 8);
  const auto ids = testing::ids(n);
  std::vector<Bytes> encodings;
  for (auto isa : {kernels::supported_isa(), kernels::supported_isa(), kernels::Isa::Avx2,
                   kernels::Isa::Scalar}) {
    kernels::set_isa(isa);
    auto index = train(ids, vectors, d);
    ASSERT_TRUE(index.has_value());
    encodings.push_back(encode_index(**index).value());
  }
  kernels::set_isa(kernels::supported_isa());
  for (std::size_t i = 1; i < encodings.size(); ++i) EXPECT_EQ(encodings[i], encodings[0]) << i;
}

}  // namespace
}  // namespace quarn::index
