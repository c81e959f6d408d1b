// The AVX-512 and AVX2 kernels. Each is compiled for its instruction set by a target attribute
// and only called after the processor was found to support it. Lanes hold distinct distances;
// each is accumulated as acc = acc + t * t from zero in position order (no fused multiply-add),
// exactly as the scalar definition.
#include "index/kernels.h"

#if defined(__x86_64__)

// Vector arguments of the internal helpers never cross into code built for another target, and
// g++ 12 misreads the deliberately undefined first operand inside its own AVX-512 headers.
#pragma GCC diagnostic ignored "-Wpsabi"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include <algorithm>
#include <limits>

namespace quarn::index::kernels::detail {
namespace {

#define QUARN_AVX512 gnu::target("avx512f")
#define QUARN_AVX2 gnu::target("avx2")

// ---------------------------------------------------------------------------------------------
// AVX-512: 16 lanes, one block of points per register.

// acc[b][g] = distance of the 16 points of block base[b] to centroid g (rows of w at cen).
template <int B, int G>
[[QUARN_AVX512, gnu::always_inline]] inline void accumulate512(const float* const (&base)[B],
                                                              const float* cen, std::size_t w,
                                                              __m512 (&acc)[B][G]) {
  for (int b = 0; b < B; ++b)
    for (int g = 0; g < G; ++g) acc[b][g] = _mm512_setzero_ps();
  for (std::size_t i = 0; i < w; ++i) {
    __m512 p[B];
    for (int b = 0; b < B; ++b) p[b] = _mm512_loadu_ps(base[b] + i * kLanes);
    for (int g = 0; g < G; ++g) {
      const __m512 c = _mm512_set1_ps(cen[g * w + i]);
      for (int b = 0; b < B; ++b) {
        const __m512 t = _mm512_sub_ps(p[b], c);
        acc[b][g] = _mm512_add_ps(acc[b][g], _mm512_mul_ps(t, t));
      }
    }
  }
}

// Keeps, per lane, the smaller of best and each of the G distances of centroids j, j+1, ...
// (strictly smaller: ties keep the lower number, NaN never wins), and the runner-up distance
// second = min(second, max(best, d)) with the operand order of the scalar std::min/std::max.
template <int B, int G>
[[QUARN_AVX512, gnu::always_inline]] inline void take512(const __m512 (&acc)[B][G], std::size_t j,
                                                        __m512 (&best)[B], __m512 (&second)[B],
                                                        __m512i (&idx)[B]) {
  for (int g = 0; g < G; ++g) {
    const __m512i jv = _mm512_set1_epi32(static_cast<int>(j + g));
    for (int b = 0; b < B; ++b) {
      second[b] = _mm512_min_ps(_mm512_max_ps(acc[b][g], best[b]), second[b]);
      const __mmask16 m = _mm512_cmp_ps_mask(acc[b][g], best[b], _CMP_LT_OQ);
      best[b] = _mm512_mask_mov_ps(best[b], m, acc[b][g]);
      idx[b] = _mm512_mask_mov_epi32(idx[b], m, jv);
    }
  }
}

template <int B>
[[QUARN_AVX512]] void nearest_blocks512(const Blocks& pts, std::size_t first_block,
                                        const float* centroids, std::size_t k, std::uint32_t* out,
                                        float* best_out, float* second_out) {
  const float* base[B];
  __m512 best[B], second[B];
  __m512i idx[B];
  for (int b = 0; b < B; ++b) {
    base[b] = pts.data + (first_block + b) * pts.block_stride;
    best[b] = _mm512_set1_ps(std::numeric_limits<float>::infinity());
    second[b] = best[b];
    idx[b] = _mm512_setzero_si512();
  }
  const std::size_t w = pts.w;
  std::size_t j = 0;
  for (; j + 4 <= k; j += 4) {
    __m512 acc[B][4];
    accumulate512<B, 4>(base, centroids + j * w, w, acc);
    take512<B, 4>(acc, j, best, second, idx);
  }
  for (; j < k; ++j) {
    __m512 acc[B][1];
    accumulate512<B, 1>(base, centroids + j * w, w, acc);
    take512<B, 1>(acc, j, best, second, idx);
  }
  for (int b = 0; b < B; ++b) {
    alignas(64) std::uint32_t lanes[kLanes];
    alignas(64) float near[kLanes], next[kLanes];
    _mm512_store_si512(lanes, idx[b]);
    _mm512_store_ps(near, best[b]);
    _mm512_store_ps(next, second[b]);
    const std::size_t p0 = (first_block + b) * kLanes;
    const std::size_t count = std::min(kLanes, pts.n - p0);
    std::copy(lanes, lanes + count, out + p0);
    if (best_out) std::copy(near, near + count, best_out + p0);
    if (second_out) std::copy(next, next + count, second_out + p0);
  }
}

template <int B>
[[QUARN_AVX512]] void distances_blocks512(const Blocks& pts, std::size_t first_block,
                                          const float* c, float* out) {
  const float* base[B];
  for (int b = 0; b < B; ++b) base[b] = pts.data + (first_block + b) * pts.block_stride;
  __m512 acc[B][1];
  accumulate512<B, 1>(base, c, pts.w, acc);
  for (int b = 0; b < B; ++b) {
    alignas(64) float lanes[kLanes];
    _mm512_store_ps(lanes, acc[b][0]);
    const std::size_t p0 = (first_block + b) * kLanes;
    std::copy(lanes, lanes + std::min(kLanes, pts.n - p0), out + p0);
  }
}

// Transposes a 16x16 matrix held as 16 rows: afterwards r[i] holds column i.
[[QUARN_AVX512, gnu::always_inline]] inline void transpose16(__m512 (&r)[16]) {
  __m512 t[16];
  for (int k = 0; k < 8; ++k) {
    t[2 * k] = _mm512_unpacklo_ps(r[2 * k], r[2 * k + 1]);
    t[2 * k + 1] = _mm512_unpackhi_ps(r[2 * k], r[2 * k + 1]);
  }
  __m512 u[16];
  for (int k = 0; k < 4; ++k) {
    const __m512d a = _mm512_castps_pd(t[4 * k]), b = _mm512_castps_pd(t[4 * k + 1]);
    const __m512d c = _mm512_castps_pd(t[4 * k + 2]), d = _mm512_castps_pd(t[4 * k + 3]);
    u[4 * k + 0] = _mm512_castpd_ps(_mm512_unpacklo_pd(a, c));
    u[4 * k + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(a, c));
    u[4 * k + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(b, d));
    u[4 * k + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(b, d));
  }
  __m512 v[16];
  for (int j = 0; j < 4; ++j) {
    v[j] = _mm512_shuffle_f32x4(u[j], u[4 + j], 0x88);
    v[4 + j] = _mm512_shuffle_f32x4(u[j], u[4 + j], 0xDD);
    v[8 + j] = _mm512_shuffle_f32x4(u[8 + j], u[12 + j], 0x88);
    v[12 + j] = _mm512_shuffle_f32x4(u[8 + j], u[12 + j], 0xDD);
  }
  for (int j = 0; j < 4; ++j) {
    r[j] = _mm512_shuffle_f32x4(v[j], v[8 + j], 0x88);
    r[8 + j] = _mm512_shuffle_f32x4(v[j], v[8 + j], 0xDD);
    r[4 + j] = _mm512_shuffle_f32x4(v[4 + j], v[12 + j], 0x88);
    r[12 + j] = _mm512_shuffle_f32x4(v[4 + j], v[12 + j], 0xDD);
  }
}

// Distances of 16 consecutive rows of width 8 (r[j] holds rows 2j and 2j+1, already squared
// differences) summed per row in position order. Three exchanges of a register-number bit with
// a lane bit turn the rows into columns: afterwards r[i] holds position i of every row, with
// row (b2 b1 b0 b3) in lane (b3 b2 b1 b0), an order the caller undoes once on the sums.
// low[bit] / high[bit] select the lanes of the lower / upper register of a pair.
struct RowSwaps {
  __m512i low[3], high[3];
};

[[QUARN_AVX512]] RowSwaps make_row_swaps() {
  RowSwaps s;
  for (int bit = 0; bit < 3; ++bit) {
    const int lane = 1 << bit;
    alignas(64) std::int32_t low[16], high[16];
    for (int l = 0; l < 16; ++l) {
      low[l] = (l & lane) ? 16 + (l & ~lane) : l;
      high[l] = (l & lane) ? 16 + l : (l | lane);
    }
    s.low[bit] = _mm512_load_si512(low);
    s.high[bit] = _mm512_load_si512(high);
  }
  return s;
}

[[QUARN_AVX512, gnu::always_inline]] inline __m512 sum_rows_of_8(__m512 (&r)[8], const RowSwaps& s) {
  for (int bit = 0; bit < 3; ++bit) {
    const int reg = 1 << bit;
    for (int x = 0; x < 8; ++x) {
      if (x & reg) continue;
      const __m512 a = r[x], b = r[x | reg];
      r[x] = _mm512_permutex2var_ps(a, s.low[bit], b);
      r[x | reg] = _mm512_permutex2var_ps(a, s.high[bit], b);
    }
  }
  __m512 acc = _mm512_setzero_ps();
  for (int i = 0; i < 8; ++i) acc = _mm512_add_ps(acc, r[i]);
  return acc;
}

// ---------------------------------------------------------------------------------------------
// AVX2: 8 lanes; a block of 16 points is two registers.

template <int H, int G>
[[QUARN_AVX2, gnu::always_inline]] inline void accumulate256(const float* const (&base)[H],
                                                            const float* cen, std::size_t w,
                                                            __m256 (&acc)[H][G]) {
  for (int h = 0; h < H; ++h)
    for (int g = 0; g < G; ++g) acc[h][g] = _mm256_setzero_ps();
  for (std::size_t i = 0; i < w; ++i) {
    __m256 p[H];
    for (int h = 0; h < H; ++h) p[h] = _mm256_loadu_ps(base[h] + i * kLanes);
    for (int g = 0; g < G; ++g) {
      const __m256 c = _mm256_set1_ps(cen[g * w + i]);
      for (int h = 0; h < H; ++h) {
        const __m256 t = _mm256_sub_ps(p[h], c);
        acc[h][g] = _mm256_add_ps(acc[h][g], _mm256_mul_ps(t, t));
      }
    }
  }
}

template <int H, int G>
[[QUARN_AVX2, gnu::always_inline]] inline void take256(const __m256 (&acc)[H][G], std::size_t j,
                                                      __m256 (&best)[H], __m256 (&second)[H],
                                                      __m256i (&idx)[H]) {
  for (int g = 0; g < G; ++g) {
    const __m256 jv = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(j + g)));
    for (int h = 0; h < H; ++h) {
      second[h] = _mm256_min_ps(_mm256_max_ps(acc[h][g], best[h]), second[h]);
      const __m256 m = _mm256_cmp_ps(acc[h][g], best[h], _CMP_LT_OQ);
      best[h] = _mm256_blendv_ps(best[h], acc[h][g], m);
      idx[h] = _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(idx[h]), jv, m));
    }
  }
}

// Transposes an 8x8 matrix held as 8 rows: afterwards r[i] holds column i.
[[QUARN_AVX2, gnu::always_inline]] inline void transpose8(__m256 (&r)[8]) {
  __m256 t[8], u[8];
  for (int k = 0; k < 4; ++k) {
    t[2 * k] = _mm256_unpacklo_ps(r[2 * k], r[2 * k + 1]);
    t[2 * k + 1] = _mm256_unpackhi_ps(r[2 * k], r[2 * k + 1]);
  }
  for (int k = 0; k < 2; ++k) {
    u[4 * k + 0] = _mm256_shuffle_ps(t[4 * k], t[4 * k + 2], _MM_SHUFFLE(1, 0, 1, 0));
    u[4 * k + 1] = _mm256_shuffle_ps(t[4 * k], t[4 * k + 2], _MM_SHUFFLE(3, 2, 3, 2));
    u[4 * k + 2] = _mm256_shuffle_ps(t[4 * k + 1], t[4 * k + 3], _MM_SHUFFLE(1, 0, 1, 0));
    u[4 * k + 3] = _mm256_shuffle_ps(t[4 * k + 1], t[4 * k + 3], _MM_SHUFFLE(3, 2, 3, 2));
  }
  for (int j = 0; j < 4; ++j) {
    r[j] = _mm256_permute2f128_ps(u[j], u[4 + j], 0x20);
    r[4 + j] = _mm256_permute2f128_ps(u[j], u[4 + j], 0x31);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------

[[QUARN_AVX512]] void nearest_avx512(const Blocks& pts, const float* centroids, std::size_t k,
                                     std::uint32_t* out, float* best, float* second) {
  const std::size_t blocks = (pts.n + kLanes - 1) / kLanes;
  std::size_t b = 0;
  for (; b + 2 <= blocks; b += 2) nearest_blocks512<2>(pts, b, centroids, k, out, best, second);
  if (b < blocks) nearest_blocks512<1>(pts, b, centroids, k, out, best, second);
}

[[QUARN_AVX512]] void distances_to_avx512(const Blocks& pts, const float* c, float* out) {
  const std::size_t blocks = (pts.n + kLanes - 1) / kLanes;
  std::size_t b = 0;
  for (; b + 4 <= blocks; b += 4) distances_blocks512<4>(pts, b, c, out);
  for (; b < blocks; ++b) distances_blocks512<1>(pts, b, c, out);
}

[[QUARN_AVX512]] void row_distances_avx512(const float* rows, std::size_t n_rows, std::size_t w,
                                           const float* q, float* out) {
  std::size_t first = 0;
  if (w == 8) {  // the usual subspace width: two rows per register
    const __m512 qv = _mm512_castpd_ps(_mm512_broadcast_f64x4(_mm256_castps_pd(_mm256_loadu_ps(q))));
    // Row r's sum sits in lane (r & 1) * 8 + r / 2: gather the sums back in row order.
    const __m512i order = _mm512_setr_epi32(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
    const RowSwaps swaps = make_row_swaps();
    for (; first + kLanes <= n_rows; first += kLanes) {
      __m512 r[8];
      for (int j = 0; j < 8; ++j) {
        const __m512 t = _mm512_sub_ps(_mm512_loadu_ps(rows + (first + 2 * j) * 8), qv);
        r[j] = _mm512_mul_ps(t, t);
      }
      _mm512_storeu_ps(out + first, _mm512_permutexvar_ps(order, sum_rows_of_8(r, swaps)));
    }
  }
  for (std::size_t r0 = first; r0 < n_rows; r0 += kLanes) {
    const std::size_t nr = std::min(kLanes, n_rows - r0);
    __m512 acc = _mm512_setzero_ps();
    for (std::size_t i0 = 0; i0 < w; i0 += kLanes) {
      const std::size_t ni = std::min(kLanes, w - i0);
      const __mmask16 mask = static_cast<__mmask16>((1u << ni) - 1);
      const __m512 qv = _mm512_maskz_loadu_ps(mask, q + i0);
      __m512 sq[16];
      for (std::size_t k = 0; k < kLanes; ++k) {
        if (k < nr) {
          const __m512 t = _mm512_sub_ps(_mm512_maskz_loadu_ps(mask, rows + (r0 + k) * w + i0), qv);
          sq[k] = _mm512_mul_ps(t, t);
        } else {
          sq[k] = _mm512_setzero_ps();
        }
      }
      transpose16(sq);
      for (std::size_t i = 0; i < ni; ++i) acc = _mm512_add_ps(acc, sq[i]);
    }
    _mm512_mask_storeu_ps(out + r0, static_cast<__mmask16>((1u << nr) - 1), acc);
  }
}

[[QUARN_AVX2]] void nearest_avx2(const Blocks& pts, const float* centroids, std::size_t k,
                                 std::uint32_t* out, float* best_out, float* second_out) {
  const std::size_t blocks = (pts.n + kLanes - 1) / kLanes;
  const std::size_t w = pts.w;
  for (std::size_t blk = 0; blk < blocks; ++blk) {
    const float* block = pts.data + blk * pts.block_stride;
    const float* base[2] = {block, block + 8};
    __m256 best[2], second[2];
    __m256i idx[2];
    for (int h = 0; h < 2; ++h) {
      best[h] = _mm256_set1_ps(std::numeric_limits<float>::infinity());
      second[h] = best[h];
      idx[h] = _mm256_setzero_si256();
    }
    std::size_t j = 0;
    for (; j + 4 <= k; j += 4) {
      __m256 acc[2][4];
      accumulate256<2, 4>(base, centroids + j * w, w, acc);
      take256<2, 4>(acc, j, best, second, idx);
    }
    for (; j < k; ++j) {
      __m256 acc[2][1];
      accumulate256<2, 1>(base, centroids + j * w, w, acc);
      take256<2, 1>(acc, j, best, second, idx);
    }
    alignas(32) std::uint32_t lanes[kLanes];
    alignas(32) float near[kLanes], next[kLanes];
    for (int h = 0; h < 2; ++h) {
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 8 * h), idx[h]);
      _mm256_store_ps(near + 8 * h, best[h]);
      _mm256_store_ps(next + 8 * h, second[h]);
    }
    const std::size_t p0 = blk * kLanes;
    const std::size_t count = std::min(kLanes, pts.n - p0);
    std::copy(lanes, lanes + count, out + p0);
    if (best_out) std::copy(near, near + count, best_out + p0);
    if (second_out) std::copy(next, next + count, second_out + p0);
  }
}

[[QUARN_AVX2]] void distances_to_avx2(const Blocks& pts, const float* c, float* out) {
  const std::size_t blocks = (pts.n + kLanes - 1) / kLanes;
  for (std::size_t b = 0; b < blocks; b += 2) {
    const std::size_t nb = std::min<std::size_t>(2, blocks - b);
    const float* first = pts.data + b * pts.block_stride;
    const float* second = nb == 2 ? first + pts.block_stride : first;
    const float* base[4] = {first, first + 8, second, second + 8};
    __m256 acc[4][1];
    accumulate256<4, 1>(base, c, pts.w, acc);
    alignas(32) float lanes[2 * kLanes];
    for (int h = 0; h < 4; ++h) _mm256_store_ps(lanes + 8 * h, acc[h][0]);
    const std::size_t p0 = b * kLanes;
    std::copy(lanes, lanes + std::min(nb * kLanes, pts.n - p0), out + p0);
  }
}

[[QUARN_AVX2]] void row_distances_avx2(const float* rows, std::size_t n_rows, std::size_t w,
                                       const float* q, float* out) {
  constexpr std::size_t kL = 8;
  for (std::size_t r0 = 0; r0 < n_rows; r0 += kL) {
    const std::size_t nr = std::min(kL, n_rows - r0);
    __m256 acc = _mm256_setzero_ps();
    for (std::size_t i0 = 0; i0 < w; i0 += kL) {
      const std::size_t ni = std::min(kL, w - i0);
      const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(ni)),
                                              _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
      const __m256 qv = _mm256_maskload_ps(q + i0, mask);
      __m256 sq[8];
      for (std::size_t k = 0; k < kL; ++k) {
        if (k < nr) {
          const __m256 t = _mm256_sub_ps(_mm256_maskload_ps(rows + (r0 + k) * w + i0, mask), qv);
          sq[k] = _mm256_mul_ps(t, t);
        } else {
          sq[k] = _mm256_setzero_ps();
        }
      }
      transpose8(sq);
      for (std::size_t i = 0; i < ni; ++i) acc = _mm256_add_ps(acc, sq[i]);
    }
    alignas(32) float lanes[kL];
    _mm256_store_ps(lanes, acc);
    std::copy(lanes, lanes + nr, out + r0);
  }
}

}  // namespace quarn::index::kernels::detail

#endif  // __x86_64__
