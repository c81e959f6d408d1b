// Scoring the records of the scan table against one query, and ranking them.
//
// Every similarity is computed as memory::similarity computes it: the dot product summed from zero
// in position order, no fused multiply-add, divided by the product of the two norms. Records are
// scored eight at a time, each in its own sum.
//
// Most records cannot reach the top k, and a ranking need not score them exactly to know it. Each
// record also has 8-bit codes (c_i = round(x_i / s)), and the query gets codes of its own; the
// integer dot product of the codes is exact, and with the stored bounds of the rounding errors it
// gives an upper bound of the similarity the exact computation yields, its own rounding included
// (|fl(q . x) - q . x| <= gamma_d ||q|| ||x|| plus what underflow can add). A ranking scores
// exactly the candidates with the best bounds, takes the k-th best exact score as a threshold, then
// scores exactly every other candidate whose bound reaches it; the rest cannot enter. The result
// is exactly that of scoring every candidate and sorting stably: only the work differs.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "store/record_cache.h"

namespace quarn::store {

// A query prepared for one scan: its norms as memory::similarity computes them and its codes.
struct QueryPlan {
  std::span<const float> query;
  float squares = 0.0f;  // sum of squares in position order, and its root
  float norm = 0.0f;
  // Whether bounds apply: every element finite and not all tiny, the table's length.
  bool bounded = false;
  std::vector<std::int8_t> codes;  // d_i = round(q_i / step) in -63..63
  std::int32_t code_sum = 0;       // sum of d_i
  double step = 0.0;
  // Upper bounds of ||q - step * d||_2 and ||q||_2; max |q_i|.
  double err_norm = 0.0, norm_hi = 0.0, max_abs = 0.0;
};

QueryPlan plan_query(std::span<const float> query, std::size_t dimensions);

// out[k] = memory::similarity(query, table.vector(slots[k])), bit for bit.
void exact_similarities(const QueryPlan& plan, const ScanTable& table,
                        std::span<const std::size_t> slots, std::span<float> out);

// out[k] >= the value exact_similarities gives for slots[k]; NaN where no bound is known (then
// the candidate is always scored exactly). Uses the buffers' code_dots and code_rows.
void similarity_bounds(const QueryPlan& plan, const ScanTable& table,
                       std::span<const std::size_t> slots, ScanBuffers& buf, std::span<float> out);

// Orders best first (greatest key; equal keys by position, i.e. a stable sort under the key) and
// keeps the first top_k. top_k comes from the caller and never sizes anything.
void rank(std::vector<Ranked>& ranked, std::uint64_t top_k);

// Fills out[pos] with an upper bound of candidate pos's score (NaN: none known).
using BoundScores = std::function<void(std::span<float> out)>;
// Appends the exact Ranked of each given candidate position.
using ExactScores =
    std::function<void(std::span<const std::size_t> positions, std::vector<Ranked>& out)>;

// buf.ranked = the first top_k of candidates 0 .. n-1 by exact score, best first, equal keys in
// candidate order: what rank() makes of every candidate's exact score. Bounds are asked for once
// when n is well above top_k; exact scores only for the candidates the bounds do not rule out.
// Uses the buffers' bound_keys, picked, scored and sims.
void top_scored(std::size_t n, std::uint64_t top_k, ScanBuffers& buf, const BoundScores& bound,
                const ExactScores& exact);

}  // namespace quarn::store
