#include "store/scoring.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace quarn::store {
namespace {

// Vector extensions: every operation is lane-wise, so lane l of `acc += q * x` is exactly the
// scalar `acc_l = acc_l + q * x_l` (no fused multiply-add: the build forbids contraction).
typedef float V16 __attribute__((vector_size(64)));
typedef float V16u __attribute__((vector_size(64), aligned(4)));
constexpr std::size_t kLanes = RecordCache::kLanes;
static_assert(kLanes == 16);

// Dot products of the query with the 16 lanes of four blocks (d positions each), side by side so
// that four independent sums are in flight. Compiled for AVX-512, AVX2 and the baseline; the
// loader picks the widest the processor has.
__attribute__((target_clones("avx512f", "avx2", "default"))) void dot_blocks4(
    const float* q, std::size_t d, const float* b0, const float* b1, const float* b2,
    const float* b3, float* out) {
  V16 a0 = {}, a1 = {}, a2 = {}, a3 = {};
  for (std::size_t i = 0; i < d; ++i) {
    const V16 qi = V16{} + q[i];
    a0 += qi * *reinterpret_cast<const V16u*>(b0 + i * kLanes);
    a1 += qi * *reinterpret_cast<const V16u*>(b1 + i * kLanes);
    a2 += qi * *reinterpret_cast<const V16u*>(b2 + i * kLanes);
    a3 += qi * *reinterpret_cast<const V16u*>(b3 + i * kLanes);
  }
  std::memcpy(out, &a0, sizeof a0);
  std::memcpy(out + kLanes, &a1, sizeof a1);
  std::memcpy(out + 2 * kLanes, &a2, sizeof a2);
  std::memcpy(out + 3 * kLanes, &a3, sizeof a3);
}

// Dot products of the query with eight separate vectors of the query's length, eight sums in
// flight; for candidates that are few or scattered over many blocks.
void dot_gather8(std::span<const float> query, const float* const* vectors, float* out) {
  float acc[8] = {};
  for (std::size_t i = 0; i < query.size(); ++i) {
    const float q = query[i];
    for (std::size_t j = 0; j < 8; ++j) acc[j] += q * vectors[j][i];
  }
  std::copy(acc, acc + 8, out);
}

float dot_one(std::span<const float> query, std::span<const float> v) {
  const std::size_t m = std::min(query.size(), v.size());
  float dot = 0.0f;
  for (std::size_t i = 0; i < m; ++i) dot += query[i] * v[i];
  return dot;
}

struct QueryNorm {
  float squares = 0.0f;
  float norm = 0.0f;
};

template <class Norms>
float finish(float dot, const QueryNorm& qn, const Norms& r) {
  if (qn.squares == 0.0f || r.norm_squares == 0.0f) return 0.0f;
  return dot / (qn.norm * r.norm);
}

}  // namespace

void similarities(RecordCache& cache, std::span<const float> query,
                  std::span<const std::size_t> slots, std::span<const CachedRecord* const> records,
                  std::span<float> out) {
  QueryNorm qn;
  for (float x : query) qn.squares += x * x;
  qn.norm = std::sqrt(qn.squares);

  // Candidates whose block holds their vector; the blocks in order of first use.
  ScanBuffers& buf = cache.buffers();
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  buf.block_index.assign(cache.block_count(), kNone);
  buf.blocks.clear();
  buf.in_blocks.clear();
  buf.others.clear();
  for (std::size_t k = 0; k < records.size(); ++k) {
    const float* block = query.empty() ? nullptr : cache.block_of(slots[k], records[k]);
    if (block == nullptr) {
      buf.others.push_back(k);
      continue;
    }
    std::uint32_t& index = buf.block_index[slots[k] / kLanes];
    if (index == kNone) {
      index = static_cast<std::uint32_t>(buf.blocks.size());
      buf.blocks.push_back(block);
    }
    buf.in_blocks.push_back(k);
  }
  // A block costs sixteen dot products: worth it only when it serves several candidates.
  if (buf.in_blocks.size() < 4 * buf.blocks.size()) {
    buf.others.insert(buf.others.end(), buf.in_blocks.begin(), buf.in_blocks.end());
    buf.in_blocks.clear();
    buf.blocks.clear();
  }

  if (!buf.blocks.empty()) {
    const std::size_t n = buf.blocks.size();
    buf.dots.resize(((n + 3) / 4) * 4 * kLanes);
    for (std::size_t b = 0; b < n; b += 4) {
      const auto at = [&](std::size_t i) { return buf.blocks[std::min(b + i, n - 1)]; };
      dot_blocks4(query.data(), query.size(), at(0), at(1), at(2), at(3),
                  buf.dots.data() + b * kLanes);
    }
    for (std::size_t k : buf.in_blocks) {
      const std::size_t slot = slots[k];
      const float dot = buf.dots[buf.block_index[slot / kLanes] * kLanes + slot % kLanes];
      out[k] = finish(dot, qn, cache.info(slot));  // the record's own norms, kept in slot order
    }
  }

  // The rest: eight at a time when their vectors have the query's length, else one by one.
  std::size_t batch[8];
  const float* vectors[8];
  float dots[8];
  std::size_t filled = 0;
  const auto run_batch = [&](std::size_t count) {
    for (std::size_t j = count; j < 8; ++j) vectors[j] = vectors[0];
    dot_gather8(query, vectors, dots);
    for (std::size_t j = 0; j < count; ++j) out[batch[j]] = finish(dots[j], qn, *records[batch[j]]);
  };
  for (std::size_t k : buf.others) {
    const CachedRecord& r = *records[k];
    if (query.empty() || r.memory.vector.size() != query.size()) {
      out[k] = finish(dot_one(query, r.memory.vector), qn, r);
      continue;
    }
    batch[filled] = k;
    vectors[filled] = r.memory.vector.data();
    if (++filled == 8) {
      run_batch(8);
      filled = 0;
    }
  }
  if (filled != 0) run_batch(filled);
}

void rank(std::vector<Ranked>& ranked, std::uint64_t top_k) {
  const auto before = [](const Ranked& a, const Ranked& b) {
    return a.key != b.key ? a.key > b.key : a.pos < b.pos;
  };
  if (top_k < ranked.size()) {
    const auto keep = static_cast<std::ptrdiff_t>(top_k);
    std::partial_sort(ranked.begin(), ranked.begin() + keep, ranked.end(), before);
    ranked.resize(static_cast<std::size_t>(top_k));
  } else {
    std::sort(ranked.begin(), ranked.end(), before);
  }
}

}  // namespace quarn::store
