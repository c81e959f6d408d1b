// The assignment step of k-means: every point to its nearest centroid, with exactly the result of
// kernels::nearest (smallest computed distance, ties to the lowest number), recomputing only the
// points whose answer may have changed since the previous round.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quarn::index {

class Assigner {
 public:
  // n row-major points of w values; the rows must outlive the assigner.
  Assigner(const float* rows, std::size_t n, std::size_t w);

  // out[p] = the nearest of the k centroids (row-major) to point p. Successive calls are the
  // rounds of one k-means run: same k, centroids moved in between.
  void assign(const float* centroids, std::size_t k, std::span<std::uint32_t> out);

 private:
  void assign_points(const float* centroids, std::size_t k, std::span<const std::uint32_t> which);
  void settle(const float* centroids, std::size_t k, std::vector<std::uint32_t>& unsure);

  const float* rows_;
  std::size_t n_, w_;
  double g_, t_;                   // relative and absolute error bounds of a computed distance
  bool bounded_;                   // every point small enough that no distance overflows
  bool have_bounds_ = false;       // upper_/lower_ hold for previous_
  std::vector<float> previous_;    // the centroids of the previous round
  std::vector<std::uint32_t> near_;
  std::vector<double> upper_;      // >= the true distance to near_
  std::vector<double> lower_;      // <= the true distance to every other centroid
};

}  // namespace quarn::index
