// Retrieval: multi-signal recall, exact search, and building the approximate index.
#include <algorithm>
#include <cmath>

#include "index/index.h"
#include "memory/memory.h"
#include "store/catalog.h"
#include "store/reads.h"
#include "store/record_cache.h"
#include "store/scoring.h"
#include "store/store.h"

namespace quarn::store {
namespace {

// The 32-bit float nearest to -ln 2: recency = 2^(-age / half_life).
constexpr float kMinusLn2 = -0.6931472f;

// One scored candidate: its position in candidate order breaks ties, so the ranking equals a
// stable sort under the total order whatever algorithm produces it.
struct Ranked {
  std::uint32_t key;  // total_order_key of the ranking value
  std::size_t pos;
  float score;
  float similarity;
};

bool ranks_before(const Ranked& a, const Ranked& b) {
  return a.key != b.key ? a.key > b.key : a.pos < b.pos;
}

// Orders best first and keeps the first top_k. top_k comes from the caller and is never used to
// size anything.
void rank(std::vector<Ranked>& ranked, std::uint64_t top_k) {
  if (top_k < ranked.size()) {
    const auto keep = static_cast<std::ptrdiff_t>(top_k);
    std::partial_sort(ranked.begin(), ranked.begin() + keep, ranked.end(), ranks_before);
    ranked.resize(static_cast<std::size_t>(top_k));
  } else {
    std::sort(ranked.begin(), ranked.end(), ranks_before);
  }
}

std::uint8_t type_mask(const std::optional<std::vector<MemoryType>>& types) {
  if (!types) return 0x0f;
  std::uint8_t mask = 0;
  for (MemoryType t : *types) mask |= static_cast<std::uint8_t>(1u << static_cast<unsigned>(t));
  return mask;
}

}  // namespace

Result<std::vector<RecallResult>> Store::recall(const RecallRequest& request) {
  if (request.query.size() != dimensions_) {
    return fail(QuarnError::dimension_mismatch(dimensions_, request.query.size()));
  }
  const std::int64_t now = memory::now_secs();

  // Candidates, as catalog slots.
  std::vector<std::size_t> slots;
  if (!index_) {
    for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
      if (!catalog_[slot].deleted) slots.push_back(slot);
    }
  } else if (!id_index_.empty()) {
    const std::vector<Ulid> ids =
        index::probe(*index_, request.query, request.n_probe.value_or(index_->n_probe),
                     request.n_rerank.value_or(index_->n_rerank));
    for (const Ulid& id : ids) {
      const auto it = id_index_.find(id);
      if (it != id_index_.end() && !catalog_[it->second].deleted) slots.push_back(it->second);
    }
  }

  // Every candidate is read before any is judged: one unreadable record fails the recall.
  RecordCache& cache = records();
  std::vector<const CachedRecord*> loaded;
  loaded.reserve(slots.size());
  for (std::size_t slot : slots) loaded.push_back(TRY(cache.load(*pager_, slot, catalog_[slot])));

  // Filters: expiry, type, agent view.
  const std::uint8_t types = type_mask(request.memory_types);
  std::vector<std::size_t> kept;
  std::vector<const CachedRecord*> kept_records;
  for (std::size_t i = 0; i < loaded.size(); ++i) {
    const Memory& m = loaded[i]->memory;
    if (m.is_expired(now)) continue;
    if (!(types & (1u << static_cast<unsigned>(m.memory_type)))) continue;
    if (request.agent_id && m.agent_id != *request.agent_id && m.scope != memory::Scope::Shared) {
      continue;
    }
    kept.push_back(i);
    kept_records.push_back(loaded[i]);
  }

  std::vector<float> sims(kept.size());
  similarities(request.query, query_norm(request.query), kept_records, sims);

  std::vector<Ranked> ranked;
  ranked.reserve(kept.size());
  for (std::size_t k = 0; k < kept.size(); ++k) {
    const CatalogEntry& entry = catalog_[slots[kept[k]]];
    const float sim = sims[k];
    float age = static_cast<float>(memory::wrapping_sub(now, entry.accessed_at));
    if (age < 0.0f) age = 0.0f;
    const float recency = std::exp(age * kMinusLn2 / request.recency_half_life_secs);
    const float usage = std::log(static_cast<float>(entry.access_count) + 1.0f);
    const float score = ((sim * request.weight_similarity + recency * request.weight_recency) +
                         kept_records[k]->memory.importance * request.weight_importance) +
                        usage * request.weight_access;
    ranked.push_back({total_order_key(score), k, score, sim});
  }
  rank(ranked, request.top_k);

  std::vector<RecallResult> results;
  results.reserve(ranked.size());
  for (const Ranked& r : ranked) {
    const CatalogEntry& entry = catalog_[slots[kept[r.pos]]];
    results.push_back({with_row_access(kept_records[r.pos]->memory, entry), r.score, r.similarity});
  }

  if (request.track_access && !results.empty()) {
    for (RecallResult& result : results) {
      const auto it = id_index_.find(result.memory.id);
      if (it == id_index_.end()) continue;
      CatalogEntry& entry = catalog_[it->second];
      bump_access(entry, now);
      result.memory.accessed_at = entry.accessed_at;
      result.memory.access_count = entry.access_count;
    }
    dirty_ = true;
  }
  return results;
}

Result<std::vector<std::pair<Memory, float>>> Store::search(std::span<const float> query,
                                                            std::uint64_t top_k) {
  if (query.size() != dimensions_) {
    return fail(QuarnError::dimension_mismatch(dimensions_, query.size()));
  }
  const std::int64_t now = memory::now_secs();

  RecordCache& cache = records();
  std::vector<std::size_t> slots;
  std::vector<const CachedRecord*> kept;
  for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
    const CatalogEntry& entry = catalog_[slot];
    if (entry.deleted) continue;
    const CachedRecord* record = TRY(cache.load(*pager_, slot, entry));
    if (record->memory.is_expired(now)) continue;
    slots.push_back(slot);
    kept.push_back(record);
  }

  std::vector<float> sims(kept.size());
  similarities(query, query_norm(query), kept, sims);
  std::vector<Ranked> ranked;
  ranked.reserve(kept.size());
  for (std::size_t k = 0; k < kept.size(); ++k) {
    ranked.push_back({total_order_key(sims[k]), k, sims[k], sims[k]});
  }
  rank(ranked, top_k);

  std::vector<std::pair<Memory, float>> results;
  results.reserve(ranked.size());
  for (const Ranked& r : ranked) {
    results.emplace_back(with_row_access(kept[r.pos]->memory, catalog_[slots[r.pos]]),
                         r.similarity);
  }
  return results;
}

Result<void> Store::build_index() {
  // The live memories in catalog order (expired ones included), read as memories() reads them.
  RecordCache& cache = records();
  std::vector<Ulid> ids;
  std::vector<float> vectors;
  for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
    const CatalogEntry& entry = catalog_[slot];
    if (entry.deleted) continue;
    const CachedRecord* record = TRY(cache.load(*pager_, slot, entry));
    ids.push_back(record->memory.id);
    vectors.insert(vectors.end(), record->memory.vector.begin(), record->memory.vector.end());
  }
  std::unique_ptr<index::IvfPqIndex> built = TRY(index::train(ids, vectors, dimensions_));
  index_ = std::move(built);
  index_dirty_ = true;
  return {};
}

}  // namespace quarn::store
