// Whole-database queries and maintenance: statistics, verification, the default manifest memory,
// the export, and the cache and index switches.
#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>

#include "index/index.h"
#include "memory/memory.h"
#include "pager/pager.h"
#include "store/commit.h"
#include "store/record_cache.h"
#include "store/runs.h"
#include "store/store.h"
#include "version.h"

namespace quarn::store {
namespace {

std::string manifest_text(std::uint64_t dimensions) {
  return "QUARN MANIFEST (scaffold) \u2014 Fresh " + std::to_string(dimensions) +
         "-dimensional database created by `quarn init`. This is a placeholder. Replace it with a "
         "memory that records your project's embedder (name, dimensions, normalize), default "
         "agent_id, and metadata conventions; keep the metadata keys `area=\"onboarding\"` and "
         "`topic=\"manifest\"` so `quarn about` continues to surface it as the headline "
         "orientation point. Drop `metadata.scaffold` once you've replaced this entry so tooling "
         "knows the manifest has been curated.";
}

}  // namespace

Result<Stats> Store::stats() {
  Stats s;
  RecordCache& cache = records();
  // Distinct agents first, from the scan table (every live record made resident, as a scan does),
  // then sorted by bytes.
  std::unordered_set<std::uint32_t> agents;
  RecordCache::Pass pass(cache, *pager_);  // the agents are fields: no finish() needed here
  for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
    const CatalogEntry& entry = catalog_[slot];
    if (entry.deleted) {
      ++s.deleted;
      continue;
    }
    TRY(pass.make_resident(slot, entry));
    agents.insert(cache.table().entry(slot).agent);
    ++s.memories;
  }
  for (std::uint32_t agent : agents) s.agents.push_back(cache.table().agent_name(agent));
  std::sort(s.agents.begin(), s.agents.end());
  s.dimensions = dimensions_;
  const format::Header& header = commit_->header();
  const std::uint64_t pages = header.page_count;
  s.file_bytes = pages > std::numeric_limits<std::uint64_t>::max() / kPageSize
                     ? std::numeric_limits<std::uint64_t>::max()
                     : pages * kPageSize;
  s.encrypted = (header.encrypted & 1) != 0;
  s.created_at = static_cast<std::int64_t>(header.created_at);
  s.wal_pages = header.wal_pages;
  s.snapshots = manifest_.size();
  if (index_) {
    s.index = IndexStats{.vectors = index_->vector_count(),
                         .partitions = index_->n_partitions,
                         .subspaces = index_->subspaces()};
  }
  return s;
}

Result<std::uint64_t> Store::verify() {
  std::uint64_t checked = 0;
  for (const CatalogEntry& entry : catalog_) {
    if (entry.deleted) continue;
    const Bytes bytes = TRY(read_record_from_file(*pager_, entry));
    TRY(memory::decode_memory(bytes));
    ++checked;
  }
  return checked;
}

Result<Ulid> Store::insert_default_manifest() {
  const Stats s = TRY(stats());
  const std::uint64_t dims = s.dimensions;
  Memory m = TRY(Memory::create(manifest_text(dims), MemoryType::Semantic,
                                std::vector<float>(static_cast<std::size_t>(dims), 0.0f)));
  m.agent_id = "quarn";
  m.scope = memory::Scope::Shared;
  m.importance = 1.0f;
  m.metadata.emplace("area", std::string("onboarding"));
  m.metadata.emplace("topic", std::string("manifest"));
  m.metadata.emplace("scaffold", true);
  m.metadata.emplace("engine_version", std::string(kEngineVersion));
  m.metadata.emplace("dimensions", dims);
  return remember(std::move(m));
}

Result<void> Store::export_encrypted(const std::string& dest) {
  TRY(flush());
  if (auto copied = pager_->copy_to(dest); !copied)
    return fail(std::move(copied).error().with_detail(ErrorDetail::ExportCopy));
  return {};
}

void Store::set_cache_capacity(std::uint64_t pages) {
  pager_->cache().set_capacity(pages);
}

std::pair<std::uint64_t, std::uint64_t> Store::cache_stats() const {
  return pager_->cache().stats();
}

bool Store::has_index() const {
  return index_ != nullptr;
}

void Store::drop_index() {
  if (!index_) return;
  install_index(nullptr);
  index_dirty_ = true;
}

}  // namespace quarn::store
