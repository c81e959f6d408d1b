#include "index/train.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "index/assign.h"
#include "index/index.h"
#include "index/kernels.h"

namespace quarn::index {
namespace {

constexpr std::uint64_t kSampleCap = 50000;
constexpr std::uint64_t kMaxCodewords = 256;
constexpr std::uint64_t kIterations = 25;
constexpr std::size_t kAddChunk = 4096;  // vectors encoded per batch when filling a new index

// Draws the first `count` centroids by the k-means++ rule.
void seed_centroids(const float* points, std::size_t n, std::size_t w, std::size_t count,
                    ChaChaRng& rng, std::vector<float>& centroids) {
  const std::vector<float> storage = kernels::make_blocks(points, n, w);
  const kernels::Blocks blocks = kernels::make_view(storage, n, w, 0, w);
  auto copy_point = [&](std::size_t p, std::size_t c) {
    std::copy_n(points + p * w, w, centroids.data() + c * w);
  };
  copy_point(rng.below_u64(n), 0);
  std::vector<float> nearest(n), fresh(n);
  kernels::distances_to(blocks, centroids.data(), nearest.data());
  for (std::size_t c = 1; c < count; ++c) {
    float total = 0.0f;
    for (float d : nearest) total = total + d;
    std::size_t chosen = n - 1;
    if (total <= 0.0f) {
      chosen = rng.below_u64(n);
    } else {
      float t = total * rng.uniform_f32();
      for (std::size_t j = 0; j < n; ++j) {
        t = t - nearest[j];
        if (t <= 0.0f) {
          chosen = j;
          break;
        }
      }
    }
    copy_point(chosen, c);
    kernels::distances_to(blocks, centroids.data() + c * w, fresh.data());
    for (std::size_t j = 0; j < n; ++j) {
      if (fresh[j] < nearest[j]) nearest[j] = fresh[j];
    }
  }
}

// The update of a Lloyd round, given each point's centroid.
void update_centroids(const float* points, std::size_t n, std::size_t w, std::size_t count,
                      const std::vector<std::uint32_t>& assignment, ChaChaRng& rng,
                      std::vector<float>& centroids) {
  std::vector<float> sums(count * w, 0.0f);
  std::vector<std::uint64_t> counts(count, 0);
  for (std::size_t p = 0; p < n; ++p) {
    const std::size_t a = assignment[p];
    ++counts[a];
    float* sum = sums.data() + a * w;
    const float* x = points + p * w;
    for (std::size_t i = 0; i < w; ++i) sum[i] = sum[i] + x[i];
  }
  for (std::size_t c = 0; c < count; ++c) {
    float* centroid = centroids.data() + c * w;
    if (counts[c] == 0) {
      std::copy_n(points + rng.below_u64(n) * w, w, centroid);
      continue;
    }
    const float r = 1.0f / static_cast<float>(counts[c]);
    const float* sum = sums.data() + c * w;
    for (std::size_t i = 0; i < w; ++i) centroid[i] = sum[i] * r;
  }
}

std::uint64_t centroid_count(std::uint64_t k, std::uint64_t n) { return k == 0 ? 1 : std::min(k, n); }

// The partial Fisher-Yates shuffle: the positions of the training sample, in list order.
std::vector<std::uint64_t> sample_positions(std::uint64_t n, std::uint64_t s, ChaChaRng& rng) {
  std::vector<std::uint64_t> list(n);
  std::iota(list.begin(), list.end(), std::uint64_t{0});
  for (std::uint64_t step = 0; step < s; ++step) {
    const std::uint64_t i = n - 1 - step;
    const std::uint64_t range = i + 1;
    const std::uint64_t j = range <= std::numeric_limits<std::uint32_t>::max()
                                ? rng.below_u32(static_cast<std::uint32_t>(range))
                                : rng.below_u64(range);
    std::swap(list[i], list[j]);
  }
  return std::vector<std::uint64_t>(list.end() - static_cast<std::ptrdiff_t>(s), list.end());
}

// Lays out rows[0 .. n) of d values as blocks (as kernels::make_blocks does for contiguous rows).
std::vector<float> blocks_of(const float* const* rows, std::size_t n, std::size_t d) {
  const std::size_t blocks = (n + kernels::kLanes - 1) / kernels::kLanes;
  std::vector<float> out(blocks * d * kernels::kLanes, 0.0f);
  for (std::size_t p = 0; p < n; ++p) {
    float* dst = out.data() + (p / kernels::kLanes) * d * kernels::kLanes + p % kernels::kLanes;
    for (std::size_t i = 0; i < d; ++i) dst[i * kernels::kLanes] = rows[p][i];
  }
  return out;
}

// Encodes every vector in catalog order in batches and places it: the same outcome as add.
void fill(IvfPqIndex& index, std::span<const Ulid> ids, std::span<const float* const> rows) {
  const std::size_t d = index.dims, m_count = index.subspaces();
  std::vector<std::uint32_t> partition(kAddChunk), nearest(kAddChunk);
  std::vector<std::uint8_t> codes(kAddChunk * m_count);
  for (std::size_t first = 0; first < ids.size(); first += kAddChunk) {
    const std::size_t count = std::min(kAddChunk, ids.size() - first);
    const std::vector<float> blocks = blocks_of(rows.data() + first, count, d);
    kernels::nearest(kernels::make_view(blocks, count, d, 0, d), index.centroids.data(),
                     index.n_partitions, partition.data());
    for (std::size_t m = 0; m < m_count; ++m) {
      const std::size_t off = index.pq.sub_offsets[m];
      const std::size_t w = index.pq.sub_offsets[m + 1] - off;
      kernels::nearest(kernels::make_view(blocks, count, d, off, w), index.pq.centroids[m].data(),
                       index.pq.ks[m], nearest.data());
      for (std::size_t p = 0; p < count; ++p) codes[p * m_count + m] = static_cast<std::uint8_t>(nearest[p]);
    }
    for (std::size_t p = 0; p < count; ++p) {
      index.place(ids[first + p], partition[p], codes.data() + p * m_count);
    }
  }
}

}  // namespace

// "quarn ivf-pq training seed, v1." padded to 32 bytes: any fixed value keeps builds repeatable.
const ChaChaRng::Seed kTrainingSeed = {'q', 'u', 'a', 'r', 'n', ' ', 'i', 'v', 'f', '-', 'p',
                                       'q', ' ', 't', 'r', 'a', 'i', 'n', 'i', 'n', 'g', ' ',
                                       's', 'e', 'e', 'd', ',', ' ', 'v', '1', '.', 0};

std::vector<float> kmeans(std::span<const float> points, std::size_t n, std::size_t w,
                          std::uint64_t k, std::uint64_t iterations, ChaChaRng& rng) {
  if (n == 0) return {};
  const std::size_t count = centroid_count(k, n);
  std::vector<float> centroids(count * w);
  std::vector<std::uint32_t> assignment(n);
  seed_centroids(points.data(), n, w, count, rng, centroids);
  if (iterations == 0) return centroids;
  Assigner assigner(points.data(), n, w);
  for (std::uint64_t it = 0; it < iterations; ++it) {
    assigner.assign(centroids.data(), count, assignment);
    update_centroids(points.data(), n, w, count, assignment, rng, centroids);
  }
  return centroids;
}

std::uint64_t partition_count(std::uint64_t n) {
  auto p = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(n))));
  return std::max<std::uint64_t>(1, std::min(p, n));
}

std::vector<std::uint64_t> subspace_offsets(std::uint64_t d) {
  const std::uint64_t m_count = std::min(std::max<std::uint64_t>(1, d / 8), d);
  std::vector<std::uint64_t> offsets(m_count + 1, 0);
  for (std::uint64_t j = 1; j <= m_count; ++j) {
    offsets[j] = static_cast<std::uint64_t>(static_cast<unsigned __int128>(j) * d / m_count);
  }
  return offsets;
}

Result<std::unique_ptr<IvfPqIndex>> train(std::span<const Ulid> ids, std::span<const float> vectors,
                                          std::uint64_t d) {
  const std::uint64_t n = ids.size();
  if (n == 0) return fail(QuarnError::invalid_argument("cannot build an index over an empty database"));
  if (d == 0) {
    return fail(QuarnError::invalid_argument("cannot build an index over zero-dimensional vectors"));
  }
  if (vectors.size() / d != n || vectors.size() % d != 0) {
    return fail(QuarnError::invalid_argument("index training needs one vector per memory"));
  }
  std::vector<const float*> rows(n);
  for (std::uint64_t i = 0; i < n; ++i) rows[i] = vectors.data() + i * d;
  return train_rows(ids, rows, d);
}

Result<std::unique_ptr<IvfPqIndex>> train_rows(std::span<const Ulid> ids,
                                               std::span<const float* const> rows, std::uint64_t d) {
  const std::uint64_t n = ids.size();
  if (n == 0) return fail(QuarnError::invalid_argument("cannot build an index over an empty database"));
  if (d == 0) {
    return fail(QuarnError::invalid_argument("cannot build an index over zero-dimensional vectors"));
  }
  if (rows.size() != n) {
    return fail(QuarnError::invalid_argument("index training needs one vector per memory"));
  }
  ChaChaRng rng(kTrainingSeed);
  const std::uint64_t s = std::min(n, kSampleCap);
  std::vector<float> sample(s * d);
  {
    const std::vector<std::uint64_t> positions = sample_positions(n, s, rng);
    for (std::uint64_t t = 0; t < s; ++t) {
      std::copy_n(rows[positions[t]], d, sample.data() + t * d);
    }
  }
  auto index = std::make_unique<IvfPqIndex>();
  index->dims = d;
  index->centroids = kmeans(sample, s, d, partition_count(n), kIterations, rng);
  index->n_partitions = index->centroids.size() / d;
  index->n_probe = kBuiltProbe;
  index->n_rerank = kBuiltRerank;

  index->pq.sub_offsets = subspace_offsets(d);
  const std::uint64_t codewords = std::min(n, kMaxCodewords);
  for (std::size_t m = 0; m + 1 < index->pq.sub_offsets.size(); ++m) {
    const std::size_t off = index->pq.sub_offsets[m];
    const std::size_t w = index->pq.sub_offsets[m + 1] - off;
    std::vector<float> piece(s * w);
    for (std::size_t p = 0; p < s; ++p) std::copy_n(sample.data() + p * d + off, w, piece.data() + p * w);
    index->pq.centroids.push_back(kmeans(piece, s, w, codewords, kIterations, rng));
    index->pq.ks.push_back(centroid_count(codewords, s));
  }
  index->partitions.resize(index->n_partitions);
  fill(*index, ids, rows);
  return index;
}

}  // namespace quarn::index
