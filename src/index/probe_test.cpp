#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>

#include "index/index.h"
#include "index/kernels.h"
#include "index/test_util.h"

namespace quarn::index {
namespace {

using testing::id;

// dims 2; partitions at x = 0, 10, 20; one subspace per position with codewords {0, 1, 2}.
// Ids 1-2 sit at partition 0, 3-4 at 10, 5-6 at 20, all with codes (0, 0).
IvfPqIndex line_index() {
  IvfPqIndex index;
  index.dims = 2;
  index.n_partitions = 3;
  index.n_probe = 8;
  index.n_rerank = 64;
  index.centroids = {0, 0, 10, 0, 20, 0};
  index.pq.sub_offsets = {0, 1, 2};
  index.pq.centroids = {{0, 1, 2}, {0, 1, 2}};
  index.pq.ks = {3, 3};
  index.partitions.resize(3);
  for (std::uint64_t i = 0; i < 6; ++i) index.place(id(i + 1), i / 2, std::vector<std::uint8_t>{0, 0}.data());
  return index;
}

std::vector<Ulid> ids(std::initializer_list<std::uint64_t> ns) {
  std::vector<Ulid> out;
  for (auto n : ns) out.push_back(id(n));
  return out;
}

TEST(IndexProbe, ProbeCountIsClampedAndTiesKeepCoarseThenPostingOrder) {
  const IvfPqIndex index = line_index();
  const std::vector<float> near_last = {19, 0};  // coarse order: partitions 2, 1, 0
  EXPECT_EQ(probe(index, near_last, 0, 64), ids({5, 6}));
  EXPECT_EQ(probe(index, near_last, 2, 64), ids({5, 6, 3, 4}));
  EXPECT_EQ(probe(index, near_last, 99, UINT64_MAX), ids({5, 6, 3, 4, 1, 2}));
  EXPECT_EQ(probe(index, near_last, 3, 0), ids({5}));
  EXPECT_EQ(probe(index, std::vector<float>{9}, 3, 64), std::vector<Ulid>{});  // short query
}

TEST(IndexProbe, AWidthZeroSubspaceScoresZero) {
  IvfPqIndex index;
  index.dims = 0;
  index.n_partitions = 1;
  index.pq.sub_offsets = {0, 0};
  index.pq.centroids = {{}};
  index.pq.ks = {1};
  index.partitions.resize(1);
  index.add(id(1), std::vector<float>{});
  index.add(id(2), std::vector<float>{});
  EXPECT_EQ(probe(index, std::vector<float>{}, 8, 64), ids({1, 2}));
}

TEST(IndexProbe, CandidatesAreRankedByTheirCodes) {
  IvfPqIndex index = line_index();
  index.place(id(2), 0, std::vector<std::uint8_t>{2, 1}.data());  // moved to the end of posting 0
  index.place(id(7), 0, std::vector<std::uint8_t>{1, 1}.data());
  // Query (1.5, 1): distances per code: x {2.25, 0.25, 0.25}, y {1, 0, 1}.
  EXPECT_EQ(probe(index, std::vector<float>{1.5f, 1}, 1, 3), ids({2, 7, 1}));
}

// Long postings with many equal scores, over 8 subspaces, so that the scoring of whole groups
// of candidates stops early once they cannot enter, ties included.
TEST(IndexProbe, EqualScoresKeepPostingOrderAcrossLongPostings) {
  IvfPqIndex index;
  index.dims = 8;
  index.n_partitions = 1;
  index.centroids.assign(8, 0.0f);
  index.pq.sub_offsets = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  index.pq.centroids.assign(8, {0.0f, 1.0f});
  index.pq.ks.assign(8, 2);
  index.partitions.resize(1);
  const std::vector<std::uint8_t> zeros(8, 0), ones(8, 1);
  for (std::uint64_t n : {1, 2}) index.place(id(n), 0, zeros.data());
  for (std::uint64_t n = 10; n < 48; ++n) {
    if (n == 30) index.place(id(50), 0, zeros.data());
    index.place(id(n), 0, ones.data());
  }
  EXPECT_EQ(probe(index, std::vector<float>(8, 0.9f), 1, 3), ids({10, 11, 12}));
  EXPECT_EQ(probe(index, std::vector<float>(8, 0.1f), 1, 4), ids({1, 2, 50, 10}));
}

// The definition, written plainly: the reference for the fast probe.
std::vector<Ulid> reference_probe(const IvfPqIndex& index, const std::vector<float>& q,
                                  std::uint64_t n_probe, std::uint64_t n_rerank) {
  auto less = [](float a, float b) {
    auto key = [](float f) {
      const auto bits = std::bit_cast<std::int32_t>(f);
      return bits < 0 ? bits ^ 0x7FFFFFFF : bits;
    };
    return key(a) < key(b);
  };
  std::vector<std::pair<float, std::uint64_t>> parts;
  for (std::uint64_t p = 0; p < index.n_partitions; ++p) {
    parts.push_back({kernels::distance(index.centroids.data() + p * index.dims, q.data(), index.dims), p});
  }
  std::stable_sort(parts.begin(), parts.end(), [&](auto& a, auto& b) { return less(a.first, b.first); });
  parts.resize(std::clamp<std::uint64_t>(n_probe, 1, index.n_partitions));
  const std::size_t m_count = index.subspaces();
  std::vector<std::pair<float, Ulid>> cands;
  for (const auto& [d, p] : parts) {
    const Posting& posting = index.partitions[p];
    for (std::size_t i = 0; i < posting.ids.size(); ++i) {
      float acc = 0.0f;
      for (std::size_t m = 0; m < m_count; ++m) {
        const std::uint64_t off = index.pq.sub_offsets[m], w = index.pq.sub_offsets[m + 1] - off;
        const float* cw = index.pq.centroids[m].data() + posting.codes[i * m_count + m] * w;
        acc = acc + kernels::distance(cw, q.data() + off, w);
      }
      cands.push_back({acc, posting.ids[i]});
    }
  }
  std::stable_sort(cands.begin(), cands.end(), [&](auto& a, auto& b) { return less(a.first, b.first); });
  cands.resize(std::min<std::size_t>(cands.size(), std::max<std::uint64_t>(1, n_rerank)));
  std::vector<Ulid> out;
  for (const auto& c : cands) out.push_back(c.second);
  return out;
}

// A random index over clustered vectors: 39 partitions and ten subspaces, one of width 0, with
// between 1 and 256 codewords.
IvfPqIndex random_index(std::size_t n, std::size_t d) {
  IvfPqIndex index;
  index.dims = d;
  index.n_partitions = 39;
  index.centroids = testing::clustered(39, d, 30, 11);
  index.pq.sub_offsets = {0, 4, 8, 8, 12, 16, 20, 24, 28, 32, 37};
  index.pq.ks = {256, 7, 1, 100, 3, 256, 16, 2, 50, 256};
  for (std::size_t m = 0; m < 10; ++m) {
    const std::size_t w = index.pq.sub_offsets[m + 1] - index.pq.sub_offsets[m];
    index.pq.centroids.push_back(testing::random_floats(index.pq.ks[m] * w, 20 + m));
  }
  index.partitions.resize(39);
  const std::vector<float> vectors = testing::clustered(n, d, 30, 12);
  for (std::size_t i = 0; i < n; ++i) index.add(id(i + 1), std::span(vectors).subspan(i * d, d));
  return index;
}

TEST(IndexProbe, MatchesTheDefinitionWithEveryKernel) {
  const std::size_t d = 37;
  const IvfPqIndex index = random_index(1500, d);
  ASSERT_TRUE(validate_index(index).has_value());
  const std::vector<float> queries = testing::clustered(20, d, 30, 12);
  for (auto isa : {kernels::Isa::Scalar, kernels::Isa::Avx2, kernels::Isa::Avx512}) {
    kernels::set_isa(isa);
    for (std::size_t qi = 0; qi < 20; ++qi) {
      const std::vector<float> q(queries.begin() + qi * d, queries.begin() + (qi + 1) * d);
      for (auto [np, nr] : {std::pair<std::uint64_t, std::uint64_t>{8, 64}, {1, 5}, {40, 2000}}) {
        EXPECT_EQ(probe(index, q, np, nr), reference_probe(index, q, np, nr));
      }
    }
  }
  kernels::set_isa(kernels::supported_isa());
}

TEST(IndexProbe, CursorGoesOnInDistanceOrderThenPartitionByPartitionUntilAllAreUsed) {
  const std::size_t d = 37;
  const IvfPqIndex index = random_index(1500, d);
  const std::vector<float> queries = testing::clustered(5, d, 30, 12);
  for (std::size_t qi = 0; qi < 5; ++qi) {
    const std::vector<float> q(queries.begin() + qi * d, queries.begin() + (qi + 1) * d);
    for (auto [np, nr] : {std::pair<std::uint64_t, std::uint64_t>{8, 64}, {3, 1}, {0, 0}, {39, 5000}}) {
      ProbeCursor cursor(index, q, np, nr);
      const std::vector<Ulid> first = cursor.next();
      EXPECT_EQ(first, probe(index, q, np, nr));
      // The rest of the first group, in the order probe gives when it keeps them all.
      std::vector<Ulid> seen = first;
      const std::size_t group = std::clamp<std::uint64_t>(np, 1, 39);
      const std::vector<Ulid> whole_group = probe(index, q, group, UINT64_MAX);
      while (seen.size() < whole_group.size()) {
        const std::vector<Ulid> more = cursor.next();
        ASSERT_FALSE(more.empty());
        EXPECT_LE(more.size(), std::max<std::uint64_t>(1, nr));
        seen.insert(seen.end(), more.begin(), more.end());
      }
      EXPECT_EQ(seen, whole_group);
      for (std::vector<Ulid> more = cursor.next(); !more.empty(); more = cursor.next()) {
        seen.insert(seen.end(), more.begin(), more.end());
      }
      // Every indexed id exactly once.
      ASSERT_EQ(seen.size(), index.vector_count());
      std::sort(seen.begin(), seen.end());
      EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
    }
  }
  EXPECT_TRUE(ProbeCursor(index, std::vector<float>(3), 8, 64).next().empty());  // short query
}

}  // namespace
}  // namespace quarn::index
