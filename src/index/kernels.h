// Distance kernels of the index, with a plain scalar definition and SIMD versions chosen at run
// time for the processor (AVX-512, AVX2). Every SIMD version gives each distance its own lane and
// sums it from zero in position order with separate multiply and add, so its results are
// bit-identical to the scalar definition; only the number of distances computed at once differs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarn::index::kernels {

enum class Isa : std::uint8_t { Scalar, Avx2, Avx512 };

// The widest instruction set this processor supports, and the one in use (the widest unless
// lowered by set_isa).
Isa supported_isa();
Isa active_isa();
// Uses `isa`, or the widest supported when `isa` is wider: lets tests and benchmarks compare.
void set_isa(Isa isa);

// The reference distance: sum over i in order of (a[i] - b[i])^2, from 0, in float.
float distance(const float* a, const float* b, std::size_t w);

// Points in lane-major blocks of kLanes: point p is lane p % kLanes of block p / kLanes, and its
// position i is at data[(p / kLanes) * block_stride + i * kLanes + p % kLanes]. Lanes past the
// last point hold zeros. A view may cover a slice of positions of wider stored points.
inline constexpr std::size_t kLanes = 16;
struct Blocks {
  const float* data = nullptr;
  std::size_t n = 0;             // points
  std::size_t w = 0;             // positions per point
  std::size_t block_stride = 0;  // floats from one block to the next
};

// Lays out n row-major points of d values as blocks (storage for make_view).
std::vector<float> make_blocks(const float* rows, std::size_t n, std::size_t d);
// The view of positions [offset, offset + w) of blocks made from n points of d values.
Blocks make_view(const std::vector<float>& storage, std::size_t n, std::size_t d,
                 std::size_t offset, std::size_t w);

// out[p] = the number of the nearest of the k centroids (row-major, points.w values each) to
// point p: smallest distance, ties to the lowest number; a NaN distance never wins, and 0 when no
// distance is below +infinity. k must fit 32 bits. When given, best[p] receives that distance
// and second[p] the smallest distance of the other centroids (both meaningful for finite
// distances only).
void nearest(const Blocks& points, const float* centroids, std::size_t k, std::uint32_t* out,
             float* best = nullptr, float* second = nullptr);

// out[p] = distance of point p to c (points.w values), for every point.
void distances_to(const Blocks& points, const float* c, float* out);

// out[r] = distance of row r of `rows` (n_rows rows of w values, row-major) to q.
void row_distances(const float* rows, std::size_t n_rows, std::size_t w, const float* q,
                   float* out);

// Index of the smallest of d[0..n) under the rule of nearest.
std::size_t argmin(const float* d, std::size_t n);

namespace detail {
// The SIMD versions (kernels_x86.cpp); called only when the processor supports them.
void nearest_avx512(const Blocks&, const float*, std::size_t, std::uint32_t*, float*, float*);
void distances_to_avx512(const Blocks&, const float*, float*);
void row_distances_avx512(const float*, std::size_t, std::size_t, const float*, float*);
void nearest_avx2(const Blocks&, const float*, std::size_t, std::uint32_t*, float*, float*);
void distances_to_avx2(const Blocks&, const float*, float*);
void row_distances_avx2(const float*, std::size_t, std::size_t, const float*, float*);
}  // namespace detail

}  // namespace quarn::index::kernels
