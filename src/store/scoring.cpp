#include "store/scoring.h"

#include <cmath>

namespace quarn::store {
namespace {

constexpr std::size_t kLanes = 8;

float finish(float dot, const QueryNorm& qn, const CachedRecord& r) {
  if (qn.squares == 0.0f || r.norm_squares == 0.0f) return 0.0f;
  return dot / (qn.norm * r.norm);
}

// Dot products of the query with kLanes vectors of the query's length; lane j sums its products
// in position order, exactly as a scalar loop over that one vector would.
void dot_lanes(std::span<const float> query, const float* const* vectors, float* dots) {
  float acc[kLanes] = {};
  for (std::size_t i = 0; i < query.size(); ++i) {
    const float q = query[i];
    for (std::size_t j = 0; j < kLanes; ++j) acc[j] += q * vectors[j][i];
  }
  for (std::size_t j = 0; j < kLanes; ++j) dots[j] = acc[j];
}

float dot_one(std::span<const float> query, std::span<const float> v) {
  const std::size_t m = std::min(query.size(), v.size());
  float dot = 0.0f;
  for (std::size_t i = 0; i < m; ++i) dot += query[i] * v[i];
  return dot;
}

}  // namespace

QueryNorm query_norm(std::span<const float> query) {
  float squares = 0.0f;
  for (float x : query) squares += x * x;
  return {squares, std::sqrt(squares)};
}

void similarities(std::span<const float> query, const QueryNorm& qn,
                  std::span<const CachedRecord* const> records, std::span<float> out) {
  // Records whose vectors have the query's length go through the lanes, kLanes at a time.
  std::size_t batch[kLanes];
  const float* vectors[kLanes];
  float dots[kLanes];
  std::size_t filled = 0;
  const auto flush_batch = [&](std::size_t count) {
    for (std::size_t j = count; j < kLanes; ++j) vectors[j] = vectors[0];
    dot_lanes(query, vectors, dots);
    for (std::size_t j = 0; j < count; ++j) out[batch[j]] = finish(dots[j], qn, *records[batch[j]]);
  };
  for (std::size_t i = 0; i < records.size(); ++i) {
    const CachedRecord& r = *records[i];
    if (r.memory.vector.size() != query.size() || query.empty()) {
      out[i] = finish(dot_one(query, r.memory.vector), qn, r);
      continue;
    }
    batch[filled] = i;
    vectors[filled] = r.memory.vector.data();
    if (++filled == kLanes) {
      flush_batch(kLanes);
      filled = 0;
    }
  }
  if (filled != 0) flush_batch(filled);
}

}  // namespace quarn::store
