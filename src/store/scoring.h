// Scoring many decoded records against one query, and ranking them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "store/record_cache.h"

namespace quarn::store {

// out[k] = memory::similarity(query, records[k]->memory.vector), bit for bit, where records[k] is
// the record of catalog slot slots[k] as loaded from `cache` in the current operation. Records are
// scored many at a time, one per lane, each lane summing its products in position order. Uses
// the cache's scan buffers other than slots, records, kept_slots, kept, sims and ranked.
void similarities(RecordCache& cache, std::span<const float> query,
                  std::span<const std::size_t> slots, std::span<const CachedRecord* const> records,
                  std::span<float> out);

// Orders best first (greatest key; equal keys by position, i.e. a stable sort under the key) and
// keeps the first top_k. top_k comes from the caller and never sizes anything.
void rank(std::vector<Ranked>& ranked, std::uint64_t top_k);

}  // namespace quarn::store
