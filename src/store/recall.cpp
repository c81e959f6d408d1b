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
  RecordCache& cache = records();
  ScanBuffers& buf = cache.buffers();

  // Candidates, as catalog slots: every live row, or the live rows of the ids the index probes.
  buf.slots.clear();
  if (!index_) {
    for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
      if (!catalog_[slot].deleted) buf.slots.push_back(slot);
    }
  } else if (!id_index_.empty()) {
    const std::vector<Ulid> ids =
        index::probe(*index_, request.query, request.n_probe.value_or(index_->n_probe),
                     request.n_rerank.value_or(index_->n_rerank));
    for (const Ulid& id : ids) {
      const auto it = id_index_.find(id);
      if (it != id_index_.end() && !catalog_[it->second].deleted) buf.slots.push_back(it->second);
    }
  }

  // Every candidate is read before any is judged: one unreadable record fails the recall.
  buf.records.clear();
  for (std::size_t slot : buf.slots) {
    buf.records.push_back(TRY(cache.load(*pager_, slot, catalog_[slot])));
  }

  // Filters: expiry, type, agent view.
  const std::uint8_t types = type_mask(request.memory_types);
  const std::uint32_t agent = request.agent_id ? agent_hash(*request.agent_id) : 0;
  buf.kept_slots.clear();
  buf.kept.clear();
  for (std::size_t i = 0; i < buf.slots.size(); ++i) {
    const ScanInfo& info = cache.info(buf.slots[i]);
    if (info.expired(now)) continue;
    if (!(types & (1u << static_cast<unsigned>(info.memory_type)))) continue;
    if (request.agent_id && info.scope != memory::Scope::Shared &&
        (info.agent_hash != agent || buf.records[i]->memory.agent_id != *request.agent_id)) {
      continue;
    }
    buf.kept_slots.push_back(buf.slots[i]);
    buf.kept.push_back(buf.records[i]);
  }

  buf.sims.resize(buf.kept.size());
  similarities(cache, request.query, buf.kept_slots, buf.kept, buf.sims);

  buf.ranked.clear();
  for (std::size_t k = 0; k < buf.kept.size(); ++k) {
    const CatalogEntry& entry = catalog_[buf.kept_slots[k]];
    const float sim = buf.sims[k];
    float age = static_cast<float>(memory::wrapping_sub(now, entry.accessed_at));
    if (age < 0.0f) age = 0.0f;
    const float recency = std::exp(age * kMinusLn2 / request.recency_half_life_secs);
    const float usage = std::log(static_cast<float>(entry.access_count) + 1.0f);
    const float score = ((sim * request.weight_similarity + recency * request.weight_recency) +
                         cache.info(buf.kept_slots[k]).importance * request.weight_importance) +
                        usage * request.weight_access;
    buf.ranked.push_back({total_order_key(score), k, score, sim});
  }
  rank(buf.ranked, request.top_k);

  std::vector<RecallResult> results;
  results.reserve(buf.ranked.size());
  for (const Ranked& r : buf.ranked) {
    const CatalogEntry& entry = catalog_[buf.kept_slots[r.pos]];
    results.push_back({with_row_access(buf.kept[r.pos]->memory, entry), r.score, r.similarity});
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
  ScanBuffers& buf = cache.buffers();

  buf.kept_slots.clear();
  buf.kept.clear();
  for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
    const CatalogEntry& entry = catalog_[slot];
    if (entry.deleted) continue;
    const CachedRecord* record = TRY(cache.load(*pager_, slot, entry));
    if (cache.info(slot).expired(now)) continue;
    buf.kept_slots.push_back(slot);
    buf.kept.push_back(record);
  }

  buf.sims.resize(buf.kept.size());
  similarities(cache, query, buf.kept_slots, buf.kept, buf.sims);
  buf.ranked.clear();
  for (std::size_t k = 0; k < buf.kept.size(); ++k) {
    buf.ranked.push_back({total_order_key(buf.sims[k]), k, buf.sims[k], buf.sims[k]});
  }
  rank(buf.ranked, top_k);

  std::vector<std::pair<Memory, float>> results;
  results.reserve(buf.ranked.size());
  for (const Ranked& r : buf.ranked) {
    results.emplace_back(with_row_access(buf.kept[r.pos]->memory, catalog_[buf.kept_slots[r.pos]]),
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
