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

float float_up(double v) {
  float f = static_cast<float>(v);
  if (static_cast<double>(f) < v) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

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

float finish(float dot, const QueryPlan& plan, const ScanEntry& e) {
  if (plan.squares == 0.0f || e.norm_squares == 0.0f) return 0.0f;
  return dot / (plan.norm * e.norm);
}

// Integer dot products of the query's codes with rows of 8-bit codes (nullptr rows are skipped).
// Integer sums are exact in any order.
void code_dots_plain(const std::int16_t* q, std::size_t d, const std::int8_t* const* rows,
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

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i madd16(__m256i acc, __m256i q,
                                                                 const std::int8_t* c) {
  const __m256i wide = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c)));
  return _mm256_add_epi32(acc, _mm256_madd_epi16(q, wide));
}

// Four rows, sixteen codes a step; |products| <= 127 * 127, so no sum overflows.
[[gnu::target("avx2")]] void code_dots4_avx2(const std::int16_t* q, std::size_t d,
                                             const std::int8_t* const (&r)[4], std::int32_t (&out)[4]) {
  const std::size_t full = d / 16 * 16;
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
  for (std::size_t i = 0; i < full; i += 16) {
    const __m256i qv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i));
    a0 = madd16(a0, qv, r[0] + i);
    a1 = madd16(a1, qv, r[1] + i);
    a2 = madd16(a2, qv, r[2] + i);
    a3 = madd16(a3, qv, r[3] + i);
  }
  out[0] = sum8(a0);
  out[1] = sum8(a1);
  out[2] = sum8(a2);
  out[3] = sum8(a3);
  for (std::size_t g = 0; g < 4; ++g) {
    for (std::size_t i = full; i < d; ++i) out[g] += std::int32_t{q[i]} * std::int32_t{r[g][i]};
  }
}

void code_dots_avx2(const std::int16_t* q, std::size_t d, const std::int8_t* const* rows,
                    std::size_t n, std::int32_t* out) {
  std::size_t group[4];
  std::size_t held = 0;
  for (std::size_t j = 0; j < n; ++j) {
    if (rows[j] == nullptr) continue;
    group[held++] = j;
    if (held < 4) continue;
    const std::int8_t* const r[4] = {rows[group[0]], rows[group[1]], rows[group[2]], rows[group[3]]};
    std::int32_t dots[4];
    code_dots4_avx2(q, d, r, dots);
    for (std::size_t g = 0; g < 4; ++g) out[group[g]] = dots[g];
    held = 0;
  }
  for (std::size_t g = 0; g < held; ++g) code_dots_plain(q, d, rows + group[g], 1, out + group[g]);
}
#endif

void code_dots(const std::int16_t* q, std::size_t d, const std::int8_t* const* rows, std::size_t n,
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
  double max_abs = 0.0, abs_sum = 0.0, squares = 0.0;
  bool finite = true;
  for (float x : query) {
    finite = finite && std::isfinite(x);
    max_abs = std::max(max_abs, std::fabs(static_cast<double>(x)));
    abs_sum += std::fabs(static_cast<double>(x));
    squares += static_cast<double>(x) * x;
  }
  const float step = static_cast<float>(max_abs / 127.0);
  if (!finite || query.size() != dimensions || dimensions == 0 || !(step > 0.0f)) return plan;
  plan.step = step;
  plan.codes.resize(query.size());
  double err_max = 0.0, err_squares = 0.0;
  for (std::size_t i = 0; i < query.size(); ++i) {
    const double c = std::clamp(std::nearbyint(query[i] / plan.step), -127.0, 127.0);
    plan.codes[i] = static_cast<std::int16_t>(c);
    const double err = std::fabs(static_cast<double>(query[i]) - plan.step * c);
    err_max = std::max(err_max, err);
    err_squares += err * err;
  }
  plan.err_max = err_max * kSlack;
  plan.err_norm = std::sqrt(err_squares) * kSlack;
  plan.abs_sum = abs_sum * kSlack;
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
      out[batch[j]] = finish(dots[j], plan, table.entry(slots[batch[j]]));
    }
    held = 0;
  };
  for (std::size_t k = 0; k < slots.size(); ++k) {
    const ScanEntry& e = table.entry(slots[k]);
    if (plan.squares == 0.0f || e.norm_squares == 0.0f) {
      out[k] = 0.0f;
      continue;
    }
    const std::span<const float> v = table.vector(slots[k]);
    if (v.size() != plan.query.size() || plan.query.empty()) {
      out[k] = finish(dot_one(plan.query, v), plan, e);
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
  buf.code_rows.resize(n);
  buf.code_dots.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const ScanEntry& e = table.entry(slots[k]);
    buf.code_rows[k] = e.exact_only || e.norm_squares == 0.0f ? nullptr : table.codes(slots[k]);
  }
  code_dots(plan.codes.data(), d, buf.code_rows.data(), n, buf.code_dots.data());

  // The computed dot differs from the real one by at most gamma_d * sum |q_i x_i| <= gamma_d *
  // ||q|| ||x||, plus (d + 1) * 2^-149 for products that underflow.
  const double unit = std::ldexp(1.0, -24);
  const double gamma = static_cast<double>(d) * unit / (1.0 - static_cast<double>(d) * unit);
  const double tiny = static_cast<double>(d + 1) * std::ldexp(1.0, -149);
  const double overflow = std::ldexp(1.0, 100) / (plan.max_abs * static_cast<double>(d));
  for (std::size_t k = 0; k < n; ++k) {
    const ScanEntry& e = table.entry(slots[k]);
    if (e.norm_squares == 0.0f) {
      out[k] = 0.0f;  // exactly what the similarity is
      continue;
    }
    const float den = plan.norm * e.norm;
    if (e.exact_only || !(den > 0.0f) || !std::isfinite(den) || e.vector_max >= overflow) {
      out[k] = kNone;
      continue;
    }
    // q . x = s * step * D + s * (q - step d) . c + q . (x - s c): each rest bounded two ways.
    const double s = e.scale;
    const double approx = s * plan.step * static_cast<double>(buf.code_dots[k]);
    const double r1 = s * std::min(plan.err_max * e.code_abs, plan.err_norm * e.code_norm);
    const double r2 = std::min(e.err_max * plan.abs_sum, e.err_norm * plan.norm_hi);
    const double r3 = gamma * plan.norm_hi * e.vector_norm + tiny;
    const double rest = r1 + r2 + r3;
    const double hi = approx + rest + 1e-9 * (std::fabs(approx) + rest) + 1e-300;
    out[k] = float_up(hi) / den;  // division by a positive number keeps the order
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
  buf.bound_keys.resize(n);
  for (std::size_t pos = 0; pos < n; ++pos) {
    const float b = buf.bounds[pos];
    buf.bound_keys[pos] = std::isnan(b) ? kAlways : total_order_key(b + 0.0f);
  }
  // First the k + 8 best bounds (and every candidate without one), a min-heap of the best so far.
  const std::size_t first = k + 8;
  buf.picked.clear();
  buf.heap.clear();
  const auto worse = [](const std::pair<std::uint32_t, std::size_t>& a,
                        const std::pair<std::uint32_t, std::size_t>& b) { return a.first > b.first; };
  for (std::size_t pos = 0; pos < n; ++pos) {
    const std::uint32_t key = buf.bound_keys[pos];
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
