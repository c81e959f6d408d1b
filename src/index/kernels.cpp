#include "index/kernels.h"

#include <algorithm>
#include <limits>

namespace quarn::index::kernels {
namespace {

struct Ops {
  void (*nearest)(const Blocks&, const float*, std::size_t, std::uint32_t*, float*, float*);
  void (*distances_to)(const Blocks&, const float*, float*);
  void (*row_distances)(const float*, std::size_t, std::size_t, const float*, float*);
};

// Position i of point p of a block view.
inline float at(const Blocks& b, std::size_t p, std::size_t i) {
  return b.data[(p / kLanes) * b.block_stride + i * kLanes + p % kLanes];
}

float point_distance(const Blocks& b, std::size_t p, const float* c) {
  float acc = 0.0f;
  for (std::size_t i = 0; i < b.w; ++i) {
    const float t = at(b, p, i) - c[i];
    acc = acc + t * t;
  }
  return acc;
}

void nearest_scalar(const Blocks& points, const float* centroids, std::size_t k,
                    std::uint32_t* out, float* best_out, float* second_out) {
  for (std::size_t p = 0; p < points.n; ++p) {
    float best = std::numeric_limits<float>::infinity();
    float second = best;
    std::uint32_t best_j = 0;
    for (std::size_t j = 0; j < k; ++j) {
      const float d = point_distance(points, p, centroids + j * points.w);
      second = std::min(second, std::max(best, d));
      if (d < best) {
        best = d;
        best_j = static_cast<std::uint32_t>(j);
      }
    }
    out[p] = best_j;
    if (best_out) best_out[p] = best;
    if (second_out) second_out[p] = second;
  }
}

void distances_to_scalar(const Blocks& points, const float* c, float* out) {
  for (std::size_t p = 0; p < points.n; ++p) out[p] = point_distance(points, p, c);
}

void row_distances_scalar(const float* rows, std::size_t n_rows, std::size_t w, const float* q,
                          float* out) {
  for (std::size_t r = 0; r < n_rows; ++r) out[r] = distance(rows + r * w, q, w);
}

constexpr Ops kScalar{nearest_scalar, distances_to_scalar, row_distances_scalar};
#if defined(__x86_64__)
constexpr Ops kAvx2{detail::nearest_avx2, detail::distances_to_avx2, detail::row_distances_avx2};
constexpr Ops kAvx512{detail::nearest_avx512, detail::distances_to_avx512,
                      detail::row_distances_avx512};
#endif

Isa detect() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return Isa::Avx512;
  if (__builtin_cpu_supports("avx2")) return Isa::Avx2;
#endif
  return Isa::Scalar;
}

// The engine runs on one thread; the choice is made once and only tests change it.
struct Dispatch {
  Isa supported = detect();
  Isa active = supported;
  const Ops* ops = nullptr;

  void choose(Isa isa) {
    active = std::min(isa, supported);
    switch (active) {
#if defined(__x86_64__)
      case Isa::Avx512: ops = &kAvx512; break;
      case Isa::Avx2: ops = &kAvx2; break;
#endif
      default: ops = &kScalar; break;
    }
  }
  Dispatch() { choose(supported); }
};

Dispatch& dispatch() {
  static Dispatch d;
  return d;
}

}  // namespace

Isa supported_isa() { return dispatch().supported; }
Isa active_isa() { return dispatch().active; }
void set_isa(Isa isa) { dispatch().choose(isa); }

float distance(const float* a, const float* b, std::size_t w) {
  float acc = 0.0f;
  for (std::size_t i = 0; i < w; ++i) {
    const float t = a[i] - b[i];
    acc = acc + t * t;
  }
  return acc;
}

std::vector<float> make_blocks(const float* rows, std::size_t n, std::size_t d) {
  const std::size_t blocks = (n + kLanes - 1) / kLanes;
  std::vector<float> out(blocks * d * kLanes, 0.0f);
  for (std::size_t p = 0; p < n; ++p) {
    float* dst = out.data() + (p / kLanes) * d * kLanes + p % kLanes;
    const float* src = rows + p * d;
    for (std::size_t i = 0; i < d; ++i) dst[i * kLanes] = src[i];
  }
  return out;
}

Blocks make_view(const std::vector<float>& storage, std::size_t n, std::size_t d,
                 std::size_t offset, std::size_t w) {
  return Blocks{storage.empty() ? nullptr : storage.data() + offset * kLanes, n, w, d * kLanes};
}

void nearest(const Blocks& points, const float* centroids, std::size_t k, std::uint32_t* out,
             float* best, float* second) {
  dispatch().ops->nearest(points, centroids, k, out, best, second);
}

void distances_to(const Blocks& points, const float* c, float* out) {
  dispatch().ops->distances_to(points, c, out);
}

void row_distances(const float* rows, std::size_t n_rows, std::size_t w, const float* q,
                   float* out) {
  dispatch().ops->row_distances(rows, n_rows, w, q, out);
}

std::size_t argmin(const float* d, std::size_t n) {
  float best = std::numeric_limits<float>::infinity();
  std::size_t best_j = 0;
  for (std::size_t j = 0; j < n; ++j) {
    if (d[j] < best) {
      best = d[j];
      best_j = j;
    }
  }
  return best_j;
}

}  // namespace quarn::index::kernels
