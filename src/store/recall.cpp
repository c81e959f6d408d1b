// Retrieval: multi-signal recall, exact search, and building the approximate index.
//
// Scans work on the scan table (record_cache.h): every candidate is made resident first (read and
// authenticated when it is not yet), so one unreadable record fails the scan before anything is
// judged; the ranking then scores exactly only what may reach the top k (scoring.h), and only the
// results are read whole, through the page cache.
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

// Recall's filters: expiry, type, agent view.
struct Filter {
  std::int64_t now;
  std::uint8_t types;
  bool by_agent;
  std::optional<std::uint32_t> agent;  // the agent's number in the table, if any entry has it

  bool keeps(const ScanEntry& e) const {
    if (e.expired(now)) return false;
    if (!(types & (1u << static_cast<unsigned>(e.memory_type)))) return false;
    return !by_agent || e.scope == memory::Scope::Shared || (agent && e.agent == *agent);
  }
};

// Weights with which recency <= 1 bounds the score: all finite and non-negative, a positive
// half-life (age is never negative, so the exponent is never positive).
bool boundable(const RecallRequest& r) {
  const auto ok = [](float w) { return std::isfinite(w) && w >= 0.0f; };
  return ok(r.weight_similarity) && ok(r.weight_recency) && ok(r.weight_importance) &&
         ok(r.weight_access) && r.recency_half_life_secs > 0.0f;
}

}  // namespace

Result<std::vector<RecallResult>> Store::recall(const RecallRequest& request) {
  if (request.query.size() != dimensions_) {
    return fail(QuarnError::dimension_mismatch(dimensions_, request.query.size()));
  }
  const std::int64_t now = memory::now_secs();
  RecordCache& cache = records();
  ScanTable& table = cache.table();
  ScanBuffers& buf = cache.buffers();
  Filter filter{now, type_mask(request.memory_types), request.agent_id.has_value(), std::nullopt};

  // Candidates in candidate order, each made resident before any is judged: one unreadable
  // record fails the recall. Through the index, batches follow one another only while the
  // iterative scan is on and fewer than top_k candidates passed the filters.
  buf.kept.clear();
  RecordCache::Pass pass(cache, *pager_);
  const auto take = [&](std::span<const std::size_t> slots) -> Result<void> {
    for (std::size_t slot : slots) TRY(pass.make_resident(slot, catalog_[slot]));
    pass.finish();
    if (request.agent_id) filter.agent = table.find_agent(*request.agent_id);
    for (std::size_t slot : slots) {
      if (filter.keeps(table.entry(slot))) buf.kept.push_back(slot);
    }
    return {};
  };
  buf.slots.clear();
  if (!index_) {
    // One sweep over the catalog: each live slot made resident and judged while its entry is at
    // hand. A record read on the way can bring the first entry of the agent asked for (or free
    // an agent's number), so when anything was read the judging is done again once every
    // candidate is resident, exactly as take() does.
    if (request.agent_id) filter.agent = table.find_agent(*request.agent_id);
    for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
      const CatalogEntry& row = catalog_[slot];
      if (row.deleted) continue;
      TRY(pass.make_resident(slot, row));
      buf.slots.push_back(slot);
      if (filter.keeps(table.entry(slot))) buf.kept.push_back(slot);
    }
    pass.finish();
    if (pass.reads() != 0) {
      buf.kept.clear();
      if (request.agent_id) filter.agent = table.find_agent(*request.agent_id);
      for (std::size_t slot : buf.slots) {
        if (filter.keeps(table.entry(slot))) buf.kept.push_back(slot);
      }
    }
  } else if (!id_index_.empty()) {
    index::ProbeCursor cursor(*index_, request.query, request.n_probe.value_or(index_->n_probe),
                              request.n_rerank.value_or(index_->n_rerank));
    for (bool first = true; first || (iterative_scan_ && buf.kept.size() < request.top_k);
         first = false) {
      const std::vector<Ulid> ids = cursor.next();
      if (ids.empty()) break;
      buf.slots.clear();
      for (const Ulid& id : ids) {
        const auto it = id_index_.find(id);
        if (it != id_index_.end() && !catalog_[it->second].deleted) buf.slots.push_back(it->second);
      }
      TRY(take(buf.slots));
    }
  }

  const QueryPlan plan = plan_query(request.query, dimensions_);
  const auto exact = [&](std::span<const std::size_t> positions, std::vector<Ranked>& out) {
    buf.exact_slots.resize(positions.size());
    for (std::size_t i = 0; i < positions.size(); ++i) buf.exact_slots[i] = buf.kept[positions[i]];
    buf.sims.resize(positions.size());
    exact_similarities(plan, table, buf.exact_slots, buf.sims);
    for (std::size_t i = 0; i < positions.size(); ++i) {
      const std::size_t slot = buf.exact_slots[i];
      const CatalogEntry& entry = catalog_[slot];
      const float sim = buf.sims[i];
      float age = static_cast<float>(memory::wrapping_sub(now, entry.accessed_at));
      if (age < 0.0f) age = 0.0f;
      const float recency = std::exp(age * kMinusLn2 / request.recency_half_life_secs);
      const float usage = table.usage(slot, entry.access_count);
      const float score = ((sim * request.weight_similarity + recency * request.weight_recency) +
                           table.entry(slot).importance * request.weight_importance) +
                          usage * request.weight_access;
      out.push_back({total_order_key(score), positions[i], score, sim});
    }
  };
  const bool weights_bound = boundable(request);
  const auto bound = [&](std::span<float> out) {
    similarity_bounds(plan, table, buf.kept, buf, out);
    for (std::size_t k = 0; k < out.size(); ++k) {
      const std::size_t slot = buf.kept[k];
      if (!weights_bound) {
        out[k] = std::numeric_limits<float>::quiet_NaN();
        continue;
      }
      const float usage = table.usage(slot, catalog_[slot].access_count);
      // The score with recency at its largest, 1: each operation is monotonic.
      out[k] = ((out[k] * request.weight_similarity + 1.0f * request.weight_recency) +
                table.entry(slot).importance * request.weight_importance) +
               usage * request.weight_access;
    }
  };
  top_scored(buf.kept.size(), request.top_k, buf, bound, exact);

  std::vector<RecallResult> results;
  results.reserve(buf.ranked.size());
  for (const Ranked& r : buf.ranked) {
    const std::size_t slot = buf.kept[r.pos];
    results.push_back({TRY(cache.memory(*pager_, slot, catalog_[slot])), r.score, r.similarity});
  }

  if (request.track_access && !results.empty()) {
    for (RecallResult& result : results) {
      const auto it = id_index_.find(result.memory.id);
      if (it == id_index_.end()) continue;
      CatalogEntry& entry = catalog_[it->second];
      bump_access(entry, now);
      note_row_changed(it->second);
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
  ScanTable& table = cache.table();
  ScanBuffers& buf = cache.buffers();

  buf.kept.clear();
  RecordCache::Pass pass(cache, *pager_);
  for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
    const CatalogEntry& entry = catalog_[slot];
    if (entry.deleted) continue;
    TRY(pass.make_resident(slot, entry));
    if (!table.entry(slot).expired(now)) buf.kept.push_back(slot);
  }
  pass.finish();

  const QueryPlan plan = plan_query(query, dimensions_);
  const auto exact = [&](std::span<const std::size_t> positions, std::vector<Ranked>& out) {
    buf.exact_slots.resize(positions.size());
    for (std::size_t i = 0; i < positions.size(); ++i) buf.exact_slots[i] = buf.kept[positions[i]];
    buf.sims.resize(positions.size());
    exact_similarities(plan, table, buf.exact_slots, buf.sims);
    for (std::size_t i = 0; i < positions.size(); ++i) {
      out.push_back({total_order_key(buf.sims[i]), positions[i], buf.sims[i], buf.sims[i]});
    }
  };
  const auto bound = [&](std::span<float> out) {
    similarity_bounds(plan, table, buf.kept, buf, out);
  };
  top_scored(buf.kept.size(), top_k, buf, bound, exact);

  std::vector<std::pair<Memory, float>> results;
  results.reserve(buf.ranked.size());
  for (const Ranked& r : buf.ranked) {
    const std::size_t slot = buf.kept[r.pos];
    results.emplace_back(TRY(cache.memory(*pager_, slot, catalog_[slot])), r.similarity);
  }
  return results;
}

Result<void> Store::build_index() {
  // The live memories in catalog order (expired ones included): their ids and vectors, from the
  // scan table, read as memories() reads them when not yet resident.
  RecordCache& cache = records();
  ScanTable& table = cache.table();
  std::vector<Ulid> ids;
  std::vector<const float*> rows;
  bool all_rows = true;
  RecordCache::Pass pass(cache, *pager_);  // training reads only the vectors
  for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
    const CatalogEntry& entry = catalog_[slot];
    if (entry.deleted) continue;
    TRY(pass.make_resident(slot, entry));
    ids.push_back(table.record_id(slot, entry.id));
    const std::span<const float> v = table.vector(slot);
    all_rows = all_rows && v.size() == dimensions_;
    rows.push_back(v.data());
  }
  std::unique_ptr<index::IvfPqIndex> built;
  if (all_rows) {
    built = TRY(index::train_rows(ids, rows, dimensions_));
  } else {
    // A record of another length: train refuses the whole, as it refuses any such input.
    std::vector<float> vectors;
    for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
      if (catalog_[slot].deleted) continue;
      const std::span<const float> v = table.vector(slot);
      vectors.insert(vectors.end(), v.begin(), v.end());
    }
    built = TRY(index::train(ids, vectors, dimensions_));
  }
  install_index(std::move(built));
  index_dirty_ = true;
  return {};
}

Result<void> Store::set_index_params(std::optional<std::uint64_t> n_probe,
                                     std::optional<std::uint64_t> n_rerank) {
  if (!index_) {
    return fail(
        QuarnError::invalid_argument("no approximate index is loaded (build_index makes one)"));
  }
  if (n_probe && *n_probe != index_->n_probe) {
    index_->n_probe = *n_probe;
    posting_trees_.root_changed = true;
    index_dirty_ = true;
  }
  if (n_rerank && *n_rerank != index_->n_rerank) {
    index_->n_rerank = *n_rerank;
    posting_trees_.root_changed = true;
    index_dirty_ = true;
  }
  return {};
}

}  // namespace quarn::store
