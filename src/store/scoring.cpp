#include "store/scoring.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "store/reads.h"

#if defined(__x86_64__)
#pragma GCC diagnostic ignored "-Wpsabi"
#include <immintrin.h>
#endif

namespace quarn::store {
namespace {

constexpr double kSlack = 1.0 + 1e-12;  // room for the rounding of the double arithmetic
constexpr std::size_t kFew = 32;        // candidates beyond top_k for which bounds do not pay
constexpr double kQueryLevels = 63.0;   // query codes lie in -63..63 (see madd32)
// Integer code dots stay inside 32 bits up to this length: |q_i * u_i| <= 63 * 255 per position,
// and 63 * 255 * 2^17 < 2^31. Longer vectors are scored exactly, without bounds.
constexpr std::size_t kMaxCodedLength = std::size_t{1} << 17;

// Dot products of the query with eight vectors of its length, eight sums in flight, each in
// position order.
void dot8(std::span<const float> query, const float* const* vectors, float* out) {
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

float finish(float dot, const QueryPlan& plan, const VectorInfo& v) {
  if (plan.squares == 0.0f || v.norm_squares == 0.0f) return 0.0f;
  return dot / (plan.norm * v.norm);
}

// Integer dot products of the query's codes with rows of stored codes (c_i + 128, so unsigned):
// out[j] = sum q_i * u_i, which is sum q_i * c_i + 128 * sum q_i. Rows that are nullptr are
// skipped. Integer sums are exact in any order.
void code_dots_plain(const std::int8_t* q, std::size_t d, const std::uint8_t* const* rows,
                     std::size_t n, std::int32_t* out) {
  for (std::size_t j = 0; j < n; ++j) {
    if (rows[j] == nullptr) continue;
    std::int32_t acc = 0;
    for (std::size_t i = 0; i < d; ++i) acc += std::int32_t{q[i]} * std::int32_t{rows[j][i]};
    out[j] = acc;
  }
}

#if defined(__x86_64__)
[[gnu::target("avx2"), gnu::always_inline]] inline std::int32_t sum8(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4e));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xb1));
  return _mm_cvtsi128_si32(s);
}

// Products of unsigned codes (<= 255) and query codes (|q| <= 63) summed in pairs stay within
// 16 bits (2 * 255 * 63 = 32130), so the pair sums never saturate; they are widened to 32 bits
// before any further addition.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i madd32(__m256i acc, __m256i q,
                                                                 const std::uint8_t* c) {
  const __m256i pairs =
      _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c)), q);
  return _mm256_add_epi32(acc, _mm256_madd_epi16(pairs, _mm256_set1_epi16(1)));
}

// Four rows, thirty-two codes a step.
[[gnu::target("avx2")]] void code_dots4_avx2(const std::int8_t* q, std::size_t d,
                                             const std::uint8_t* const (&r)[4],
                                             std::int32_t (&out)[4]) {
  const std::size_t full = d / 32 * 32;
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
  for (std::size_t i = 0; i < full; i += 32) {
    const __m256i qv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i));
    a0 = madd32(a0, qv, r[0] + i);
    a1 = madd32(a1, qv, r[1] + i);
    a2 = madd32(a2, qv, r[2] + i);
    a3 = madd32(a3, qv, r[3] + i);
  }
  out[0] = sum8(a0);
  out[1] = sum8(a1);
  out[2] = sum8(a2);
  out[3] = sum8(a3);
  for (std::size_t g = 0; g < 4; ++g) {
    for (std::size_t i = full; i < d; ++i) out[g] += std::int32_t{q[i]} * std::int32_t{r[g][i]};
  }
}

void code_dots_avx2(const std::int8_t* q, std::size_t d, const std::uint8_t* const* rows,
                    std::size_t n, std::int32_t* out) {
  std::size_t group[4];
  std::size_t held = 0;
  for (std::size_t j = 0; j < n; ++j) {
    if (rows[j] == nullptr) continue;
    group[held++] = j;
    if (held < 4) continue;
    const std::uint8_t* const r[4] = {rows[group[0]], rows[group[1]], rows[group[2]], rows[group[3]]};
    std::int32_t dots[4];
    code_dots4_avx2(q, d, r, dots);
    for (std::size_t g = 0; g < 4; ++g) out[group[g]] = dots[g];
    held = 0;
  }
  for (std::size_t g = 0; g < held; ++g) code_dots_plain(q, d, rows + group[g], 1, out + group[g]);
}
#endif

void code_dots(const std::int8_t* q, std::size_t d, const std::uint8_t* const* rows, std::size_t n,
               std::int32_t* out) {
#if defined(__x86_64__)
  static const bool avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  if (avx2) return code_dots_avx2(q, d, rows, n, out);
#endif
  code_dots_plain(q, d, rows, n, out);
}

}  // namespace

QueryPlan plan_query(std::span<const float> query, std::size_t dimensions) {
  QueryPlan plan;
  plan.query = query;
  for (float x : query) plan.squares += x * x;
  plan.norm = std::sqrt(plan.squares);
  double max_abs = 0.0, squares = 0.0;
  bool finite = true;
  for (float x : query) {
    finite = finite && std::isfinite(x);
    max_abs = std::max(max_abs, std::fabs(static_cast<double>(x)));
    squares += static_cast<double>(x) * x;
  }
  const float step = static_cast<float>(max_abs / kQueryLevels);
  if (!finite || query.size() != dimensions || dimensions == 0 || dimensions > kMaxCodedLength ||
      !(step > 0.0f))
    return plan;
  plan.step = step;
  plan.codes.resize(query.size());
  double err_squares = 0.0;
  for (std::size_t i = 0; i < query.size(); ++i) {
    const double c = std::clamp(std::nearbyint(query[i] / plan.step), -kQueryLevels, kQueryLevels);
    plan.codes[i] = static_cast<std::int8_t>(c);
    plan.code_sum += static_cast<std::int32_t>(c);
    const double err = static_cast<double>(query[i]) - plan.step * c;
    err_squares += err * err;
  }
  plan.err_norm = std::sqrt(err_squares) * kSlack;
  plan.norm_hi = std::sqrt(squares) * kSlack;
  plan.max_abs = max_abs;
  plan.bounded = true;
  return plan;
}

void exact_similarities(const QueryPlan& plan, const ScanTable& table,
                        std::span<const std::size_t> slots, std::span<float> out) {
  std::size_t batch[8];
  const float* vectors[8];
  float dots[8];
  std::size_t held = 0;
  const auto run = [&]() {
    for (std::size_t j = held; j < 8; ++j) vectors[j] = vectors[0];
    dot8(plan.query, vectors, dots);
    for (std::size_t j = 0; j < held; ++j) {
      out[batch[j]] = finish(dots[j], plan, table.info(slots[batch[j]]));
    }
    held = 0;
  };
  for (std::size_t k = 0; k < slots.size(); ++k) {
    const VectorInfo& info = table.info(slots[k]);
    if (plan.squares == 0.0f || info.norm_squares == 0.0f) {
      out[k] = 0.0f;
      continue;
    }
    const std::span<const float> v = table.vector(slots[k]);
    if (v.size() != plan.query.size() || plan.query.empty()) {
      out[k] = finish(dot_one(plan.query, v), plan, info);
      continue;
    }
    batch[held] = k;
    vectors[held] = v.data();
    if (++held == 8) run();
  }
  if (held != 0) run();
}

void similarity_bounds(const QueryPlan& plan, const ScanTable& table,
                       std::span<const std::size_t> slots, ScanBuffers& buf, std::span<float> out) {
  constexpr float kNone = std::numeric_limits<float>::quiet_NaN();
  const std::size_t n = slots.size();
  const std::size_t d = plan.query.size();
  if (!plan.bounded) {
    std::fill(out.begin(), out.end(), plan.squares == 0.0f ? 0.0f : kNone);
    return;
  }
  // The computed dot differs from the real one by at most gamma_d * sum |q_i x_i| <= gamma_d *
  // ||q|| ||x||, plus (d + 1) * 2^-149 for products that underflow.
  const double unit = std::ldexp(1.0, -24);
  const double gamma = static_cast<double>(d) * unit / (1.0 - static_cast<double>(d) * unit);
  const double tiny = static_cast<double>(d + 1) * std::ldexp(1.0, -149);
  const double overflow = std::ldexp(1.0, 100) / (plan.max_abs * static_cast<double>(d));
  const double rounding = gamma * plan.norm_hi;
  // hi + |hi| * 2^-21 + 2^-148 rounds to a float no smaller than hi, and covers the few roundings
  // of the double arithmetic.
  const double widen = std::ldexp(1.0, -21), floor = std::ldexp(1.0, -148);
  // In runs of kRun candidates, so that their infos and dots stay in the nearest cache.
  constexpr std::size_t kRun = 64;
  buf.code_rows.resize(kRun);
  buf.code_dots.resize(kRun);
  for (std::size_t k = 0; k < n; ++k) {
    if (k % kRun == 0) {
      const std::size_t count = std::min(kRun, n - k);
      for (std::size_t j = 0; j < count; ++j) {
        const VectorInfo& v = table.info(slots[k + j]);
        buf.code_rows[j] = v.exact_only || v.norm_squares == 0.0f ? nullptr : table.codes(slots[k + j]);
        buf.code_dots[j] = 0;  // stays 0 for rows without codes, whose bound is decided otherwise
      }
      code_dots(plan.codes.data(), d, buf.code_rows.data(), count, buf.code_dots.data());
    }
    const VectorInfo& v = table.info(slots[k]);
    const float den = plan.norm * v.norm;
    // q . x = s * step * D + s * (q - step d) . c + q . (x - s c), the rests bounded by
    // Cauchy-Schwarz.
    const std::int32_t dot = buf.code_dots[k % kRun] - 128 * plan.code_sum;
    const double approx = static_cast<double>(v.scale) * plan.step * dot;
    const double rest = plan.err_norm * v.scaled_code_norm + plan.norm_hi * v.err_norm +
                        rounding * v.vector_norm + tiny;
    const double hi = approx + rest + (std::fabs(approx) + rest) * widen + floor;
    float bound = static_cast<float>(hi) / den;  // division by a positive number keeps the order
    const bool unknown = v.exact_only || !(den > 0.0f) ||
                         !(den < std::numeric_limits<float>::infinity()) || v.vector_max >= overflow;
    if (unknown) bound = kNone;
    if (v.norm_squares == 0.0f) bound = 0.0f;  // exactly what the similarity is
    out[k] = bound;
  }
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

void top_scored(std::size_t n, std::uint64_t top_k, ScanBuffers& buf, const BoundScores& bound,
                const ExactScores& exact) {
  buf.ranked.clear();
  if (n == 0 || top_k == 0) return;
  if (top_k >= n || n - top_k <= kFew) {
    buf.picked.resize(n);
    for (std::size_t pos = 0; pos < n; ++pos) buf.picked[pos] = pos;
    exact(buf.picked, buf.ranked);
    rank(buf.ranked, top_k);
    return;
  }
  const std::size_t k = static_cast<std::size_t>(top_k);
  buf.bounds.resize(n);
  bound(buf.bounds);
  // A bound's key: NaN (no bound) above everything; -0.0 counts as +0.0, which is no lower than
  // either zero an exact score can be.
  constexpr std::uint32_t kAlways = std::numeric_limits<std::uint32_t>::max();
  // First the k + 8 best bounds (and every candidate without one), a min-heap of the best so far.
  const std::size_t first = k + 8;
  buf.bound_keys.resize(n);
  buf.picked.clear();
  buf.heap.clear();
  const auto worse = [](const std::pair<std::uint32_t, std::size_t>& a,
                        const std::pair<std::uint32_t, std::size_t>& b) { return a.first > b.first; };
  for (std::size_t pos = 0; pos < n; ++pos) {
    const float b = buf.bounds[pos];
    const std::uint32_t key = std::isnan(b) ? kAlways : total_order_key(b + 0.0f);
    buf.bound_keys[pos] = key;
    if (key == kAlways) {
      buf.picked.push_back(pos);
    } else if (buf.heap.size() < first) {
      buf.heap.emplace_back(key, pos);
      std::push_heap(buf.heap.begin(), buf.heap.end(), worse);
    } else if (key > buf.heap.front().first) {
      std::pop_heap(buf.heap.begin(), buf.heap.end(), worse);
      buf.heap.back() = {key, pos};
      std::push_heap(buf.heap.begin(), buf.heap.end(), worse);
    }
  }
  for (const auto& [key, pos] : buf.heap) buf.picked.push_back(pos);
  std::sort(buf.picked.begin(), buf.picked.end());
  exact(buf.picked, buf.ranked);

  // The k-th best exact key: a candidate whose bound lies below it has k better ones.
  buf.threshold.resize(buf.ranked.size());
  for (std::size_t i = 0; i < buf.ranked.size(); ++i) buf.threshold[i] = buf.ranked[i].key;
  std::nth_element(buf.threshold.begin(), buf.threshold.begin() + static_cast<std::ptrdiff_t>(k - 1),
                   buf.threshold.end(), std::greater<>());
  const std::uint32_t threshold = buf.threshold[k - 1];
  buf.scored.assign(n, 0);
  for (std::size_t pos : buf.picked) buf.scored[pos] = 1;
  buf.picked.clear();
  for (std::size_t pos = 0; pos < n; ++pos) {
    if (!buf.scored[pos] && buf.bound_keys[pos] >= threshold) buf.picked.push_back(pos);
  }
  exact(buf.picked, buf.ranked);
  rank(buf.ranked, top_k);
}

}  // namespace quarn::store
