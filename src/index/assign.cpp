// Bounds. Let D(x, c) be the exact squared distance of two float vectors and D^ the computed one
// (w terms, each a rounded difference squared, summed with rounding). With u = 2^-24, every D^
// lies within D (1 +- g) +- t, g = 2 (w + 2) u (twice the classical bound, for slack) and
// t = w 2^-149 for underflow in the squares. Hence the true distance |x - c| = sqrt(D) lies in
//   [down(D^), up(D^)] = [sqrt((D^ - t) / (1 + g)), sqrt((D^ + t) / (1 - g))].
// Each point keeps an upper bound U on |x - a| for its centroid a and a lower bound L on |x - c|
// for every other c. When centroid c moves by at most m_c, U grows by m_a and L shrinks by the
// largest m_c (c != a). While U^2 (1 + g) + t < L^2 (1 - g) - t, the computed distance to a is
// strictly below every other computed distance, so a is still the answer, ties included; the
// other points get every distance computed again. The bounds are kept in double, far finer than
// the slack in g. They need finite distances, so they are used only when every value is small
// enough that no distance overflows; otherwise each round computes everything.
#include "index/assign.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "index/kernels.h"

namespace quarn::index {
namespace {

// The largest magnitude for which no distance of w terms can overflow: (2v)^2 w < FLT_MAX.
double safe_magnitude(std::size_t w) {
  return 0.25 * std::sqrt(static_cast<double>(std::numeric_limits<float>::max()) /
                          static_cast<double>(std::max<std::size_t>(w, 1)));
}

bool all_bounded(const float* values, std::size_t count, double limit) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!(std::fabs(static_cast<double>(values[i])) <= limit)) return false;
  }
  return true;
}

}  // namespace

Assigner::Assigner(const float* rows, std::size_t n, std::size_t w)
    : rows_(rows),
      n_(n),
      w_(w),
      g_(2.0 * static_cast<double>(w + 2) / 16777216.0),
      t_(static_cast<double>(w) * 0x1p-149),
      bounded_(g_ < 0.5 && all_bounded(rows, n * w, safe_magnitude(w))),
      near_(n, 0),
      upper_(n),
      lower_(n) {}

void Assigner::assign(const float* centroids, std::size_t k, std::span<std::uint32_t> out) {
  const bool bounded = bounded_ && all_bounded(centroids, k * w_, safe_magnitude(w_));
  std::vector<std::uint32_t> unsure;
  if (bounded && have_bounds_ && previous_.size() == k * w_) {
    settle(centroids, k, unsure);
  } else {
    unsure.resize(n_);
    std::iota(unsure.begin(), unsure.end(), 0u);
  }
  assign_points(centroids, k, unsure);
  have_bounds_ = bounded;
  previous_.assign(centroids, centroids + k * w_);
  std::copy(near_.begin(), near_.end(), out.begin());
}

// Moves the bounds to the new centroids; `unsure` receives the points they no longer settle.
void Assigner::settle(const float* centroids, std::size_t k, std::vector<std::uint32_t>& unsure) {
  std::vector<double> moved(k);
  double most = 0.0, next = 0.0;  // the two largest movements
  std::size_t most_at = 0;
  for (std::size_t c = 0; c < k; ++c) {
    const double d = kernels::distance(previous_.data() + c * w_, centroids + c * w_, w_);
    moved[c] = std::sqrt((d + t_) / (1.0 - g_));
    if (moved[c] > most) {
      next = most;
      most = moved[c];
      most_at = c;
    } else if (moved[c] > next) {
      next = moved[c];
    }
  }
  for (std::size_t p = 0; p < n_; ++p) {
    const std::size_t a = near_[p];
    upper_[p] += moved[a];
    lower_[p] -= a == most_at ? next : most;
    const double u = upper_[p], l = std::max(lower_[p], 0.0);
    if (!(u * u * (1.0 + g_) + t_ < l * l * (1.0 - g_) - t_)) unsure.push_back(static_cast<std::uint32_t>(p));
  }
}

// Computes every distance for the listed points and resets their bounds.
void Assigner::assign_points(const float* centroids, std::size_t k,
                             std::span<const std::uint32_t> which) {
  constexpr std::size_t kBatch = 4096;
  std::vector<float> rows, best(kBatch), second(kBatch);
  std::vector<std::uint32_t> found(kBatch);
  for (std::size_t first = 0; first < which.size(); first += kBatch) {
    const std::size_t count = std::min(kBatch, which.size() - first);
    rows.resize(count * w_);
    for (std::size_t i = 0; i < count; ++i) {
      std::copy_n(rows_ + static_cast<std::size_t>(which[first + i]) * w_, w_, rows.data() + i * w_);
    }
    const std::vector<float> blocks = kernels::make_blocks(rows.data(), count, w_);
    kernels::nearest(kernels::make_view(blocks, count, w_, 0, w_), centroids, k, found.data(),
                     best.data(), second.data());
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t p = which[first + i];
      near_[p] = found[i];
      upper_[p] = std::sqrt((static_cast<double>(best[i]) + t_) / (1.0 - g_));
      lower_[p] = std::sqrt(std::max(0.0, (static_cast<double>(second[i]) - t_) / (1.0 + g_)));
    }
  }
}

}  // namespace quarn::index
