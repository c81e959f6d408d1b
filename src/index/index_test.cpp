#include "index/index.h"

#include <gtest/gtest.h>

#include <cmath>

#include "index/test_util.h"

namespace quarn::index {
namespace {

using testing::id;

// dims 4; partitions at 0 and 10; subspaces of widths 1, 1, 2 with codewords
// {0, 5}, {0, 5}, {(0,0), (5,5), (9,9)}.
IvfPqIndex small_index() {
  IvfPqIndex index;
  index.dims = 4;
  index.n_partitions = 2;
  index.n_probe = 8;
  index.n_rerank = 64;
  index.centroids = {0, 0, 0, 0, 10, 10, 10, 10};
  index.pq.sub_offsets = {0, 1, 2, 4};
  index.pq.centroids = {{0, 5}, {0, 5}, {0, 0, 5, 5, 9, 9}};
  index.pq.ks = {2, 2, 3};
  index.partitions.resize(2);
  return index;
}

TEST(IndexModel, AddPicksNearestPartitionAndCodewordsWithLowestOnTies) {
  IvfPqIndex index = small_index();
  index.add(id(1), std::vector<float>{1, 4, 6, 6});
  index.add(id(2), std::vector<float>{9, 9, 9, 9});
  index.add(id(3), std::vector<float>{2.5f, 7.5f, 5, 5});  // ties: partition 0, codeword 0 of m0
  index.add(id(4), std::vector<float>{NAN, 0, 0, 0});      // NaN never wins: partition 0, code 0
  EXPECT_EQ(index.partitions[0].ids, (std::vector<Ulid>{id(1), id(3), id(4)}));
  EXPECT_EQ(index.partitions[0].codes, (std::vector<std::uint8_t>{0, 1, 1, 0, 1, 1, 0, 0, 0}));
  EXPECT_EQ(index.partitions[1].ids, (std::vector<Ulid>{id(2)}));
  EXPECT_EQ(index.partitions[1].codes, (std::vector<std::uint8_t>{1, 1, 2}));
  EXPECT_EQ(index.partition_of.at(id(2)), 1u);
  EXPECT_EQ(index.vector_count(), 4u);
  EXPECT_EQ(index.subspaces(), 3u);
  EXPECT_TRUE(validate_index(index).has_value());
}

TEST(IndexModel, AddingAnIdTwiceMovesIt) {
  IvfPqIndex index = small_index();
  index.add(id(1), std::vector<float>{0, 0, 0, 0});
  index.add(id(2), std::vector<float>{0, 0, 0, 0});
  index.add(id(1), std::vector<float>{9, 9, 9, 9});
  EXPECT_EQ(index.partitions[0].ids, (std::vector<Ulid>{id(2)}));
  EXPECT_EQ(index.partitions[0].codes, (std::vector<std::uint8_t>{0, 0, 0}));
  EXPECT_EQ(index.partitions[1].ids, (std::vector<Ulid>{id(1)}));
  EXPECT_EQ(index.partitions[1].codes, (std::vector<std::uint8_t>{1, 1, 2}));
  EXPECT_EQ(index.partition_of.size(), 2u);
  EXPECT_EQ(index.partition_of.at(id(1)), 1u);
}

TEST(IndexModel, RemovingTheMiddleIdKeepsTheOtherCodesAligned) {
  IvfPqIndex index = small_index();
  index.add(id(1), std::vector<float>{0, 0, 0, 0});  // codes 0 0 0
  index.add(id(2), std::vector<float>{5, 5, 5, 5});  // codes 1 1 1
  index.add(id(3), std::vector<float>{0, 0, 9, 9});  // codes 0 0 2
  index.remove(id(9));                               // not indexed: nothing changes
  EXPECT_EQ(index.vector_count(), 3u);
  index.remove(id(2));
  EXPECT_EQ(index.partitions[0].ids, (std::vector<Ulid>{id(1), id(3)}));
  EXPECT_EQ(index.partitions[0].codes, (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 2}));
  EXPECT_FALSE(index.partition_of.contains(id(2)));
  index.remove(id(2));
  EXPECT_EQ(index.vector_count(), 2u);
}

TEST(IndexModel, SmallestValidShapesNeedNoDivision) {
  // One partition, one subspace of width 0 and one codeword: every vector gets code 0.
  IvfPqIndex index;
  index.dims = 0;
  index.n_partitions = 1;
  index.pq.sub_offsets = {0, 0};
  index.pq.centroids = {{}};
  index.pq.ks = {1};
  index.partitions.resize(1);
  index.add(id(1), std::vector<float>{});
  index.add(id(2), std::vector<float>{});
  EXPECT_EQ(index.partitions[0].codes, (std::vector<std::uint8_t>{0, 0}));
  EXPECT_TRUE(validate_index(index).has_value());
  index.remove(id(1));
  EXPECT_EQ(index.partitions[0].codes, (std::vector<std::uint8_t>{0}));
}

}  // namespace
}  // namespace quarn::index
