// Training internals shared by train.cpp and its tests: the k-means routine.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "index/chacha.h"

namespace quarn::index {

// k-means over n row-major points of w values: k-means++ seeding, then exactly `iterations`
// Lloyd rounds, drawing from rng. Returns k' rows of w values, k' = 1 when k is 0, else
// min(k, n); nothing when n is 0.
//   Seeding: the first centroid is a uniformly drawn point; D[j] is each point's distance to the
//   nearest centroid so far. While centroids are missing: total = D summed in order; when
//   total <= 0 a point is drawn uniformly, else t = total * u (u uniform in [0, 1)) and the walk
//   t -= D[j] chooses the first j at which t <= 0 (n - 1 if none).
//   Lloyd round: each point goes to its nearest centroid (ties: lowest number); each centroid
//   with points becomes their sum (in point order) times r = 1.0f / count; an empty one becomes
//   a drawn point.
std::vector<float> kmeans(std::span<const float> points, std::size_t n, std::size_t w,
                          std::uint64_t k, std::uint64_t iterations, ChaChaRng& rng);

// The fixed seed of every build.
extern const ChaChaRng::Seed kTrainingSeed;

}  // namespace quarn::index
