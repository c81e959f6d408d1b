// Similarity of one query against many decoded records at once.
#pragma once

#include <span>

#include "store/record_cache.h"

namespace quarn::store {

// The query's sum of squares in position order, and its square root: what memory::similarity
// computes for its first argument.
struct QueryNorm {
  float squares = 0.0f;
  float norm = 0.0f;
};
QueryNorm query_norm(std::span<const float> query);

// out[i] = memory::similarity(query, records[i]->memory.vector), bit for bit. Records are scored
// several at a time, one per lane, each lane summing in position order.
void similarities(std::span<const float> query, const QueryNorm& qn,
                  std::span<const CachedRecord* const> records, std::span<float> out);

}  // namespace quarn::store
