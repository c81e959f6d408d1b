#include "store/record_cache.h"

#include <cmath>
#include <functional>

#include "store/runs.h"

namespace quarn::store {

std::uint32_t agent_hash(std::string_view agent_id) {
  const std::size_t h = std::hash<std::string_view>{}(agent_id);
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

void RecordCache::begin(const cache::PageCache& pages, std::uint64_t dimensions) {
  retired_.clear();
  if (dimensions != dimensions_) {
    slots_.clear();
    info_.clear();
    blocks_.clear();
    filled_ = 0;
    dimensions_ = dimensions;
  }
  // An entry needs at least one cached page to be served, so at most the cache's size can be; once
  // the entries reach twice the capacity, drop those that are not servable now.
  if (filled_ <= 2 * pages.capacity() + 64) return;
  for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
    if (slots_[slot] && !servable(pages, slot)) set_slot(slot, nullptr, nullptr);
  }
  retired_.clear();
}

bool RecordCache::servable(const cache::PageCache& pages, std::size_t slot) const {
  const ScanInfo& info = info_[slot];
  for (std::uint64_t i = 0; i < info.page_count; ++i) {
    if (!pages.contains(info.start_page + i)) return false;
  }
  return info.page_count != 0;
}

Result<const CachedRecord*> RecordCache::load(pager::Pager& pager, std::size_t slot,
                                              const CatalogEntry& entry) {
  if (slot < info_.size()) {
    const ScanInfo& info = info_[slot];
    if (info.present && info.start_page == entry.start_page &&
        info.page_count == entry.page_count && info.len == entry.len && entry.page_count != 0) {
      // Served only when every page is cached, touching them in order as reading them would. A
      // miss part-way leaves the earlier pages touched; the read below touches them again in the
      // same order, so the cache ends exactly as after that read alone.
      std::uint64_t i = 0;
      while (i < entry.page_count && pager.cache().lookup(entry.start_page + i) != nullptr) ++i;
      if (i == entry.page_count) {
        fill_lane(slot);
        return slots_[slot].get();
      }
    }
  }
  const Bytes bytes = TRY(read_record(pager, entry));
  auto record = std::make_unique<CachedRecord>();
  record->memory = TRY(memory::decode_memory(bytes));
  float squares = 0.0f;
  for (float x : record->memory.vector) squares += x * x;
  record->norm_squares = squares;
  record->norm = std::sqrt(squares);
  const CachedRecord* loaded = record.get();
  set_slot(slot, std::move(record), &entry);
  return loaded;
}

void RecordCache::set_slot(std::size_t slot, std::unique_ptr<CachedRecord> record,
                           const CatalogEntry* entry) {
  if (slot >= slots_.size()) {
    slots_.resize(slot + 1);
    info_.resize(slot + 1);
  }
  if (slots_[slot]) {
    retired_.push_back(std::move(slots_[slot]));  // earlier pointers stay valid this operation
    --filled_;
  }
  ScanInfo& info = info_[slot];
  info = ScanInfo{};
  if (record) {
    const Memory& m = record->memory;
    info = ScanInfo{.start_page = entry->start_page,
                    .page_count = entry->page_count,
                    .len = entry->len,
                    .created_at = m.created_at,
                    .ttl_secs = m.ttl_secs.value_or(0),
                    .importance = m.importance,
                    .norm_squares = record->norm_squares,
                    .norm = record->norm,
                    .agent_hash = agent_hash(m.agent_id),
                    .memory_type = m.memory_type,
                    .scope = m.scope,
                    .has_ttl = m.ttl_secs.has_value(),
                    .present = true};
  }

  // The slot's lane no longer holds its record's vector; a later hit fills it again.
  const std::size_t b = slot / kLanes;
  if (b < blocks_.size() && blocks_[b]) {
    blocks_[b]->valid &= ~(1u << (slot % kLanes));
    if (blocks_[b]->valid == 0) blocks_[b].reset();
  }
  if (record) ++filled_;
  slots_[slot] = std::move(record);
}

void RecordCache::fill_lane(std::size_t slot) {
  const std::size_t b = slot / kLanes;
  const std::uint32_t bit = 1u << (slot % kLanes);
  if (b < blocks_.size() && blocks_[b] && (blocks_[b]->valid & bit)) return;  // the common case
  const std::vector<float>& v = slots_[slot]->memory.vector;
  if (dimensions_ == 0 || v.size() != dimensions_) return;
  if (b >= blocks_.size()) blocks_.resize(b + 1);
  if (!blocks_[b]) {
    blocks_[b] = std::make_unique<Block>();
    blocks_[b]->lanes.resize(static_cast<std::size_t>(dimensions_) * kLanes);
  }
  float* lanes = blocks_[b]->lanes.data() + slot % kLanes;
  for (std::size_t i = 0; i < v.size(); ++i) lanes[i * kLanes] = v[i];
  blocks_[b]->valid |= bit;
}

const float* RecordCache::block_of(std::size_t slot, const CachedRecord* record) const {
  const std::size_t b = slot / kLanes;
  if (b >= blocks_.size() || !blocks_[b] || !(blocks_[b]->valid & (1u << (slot % kLanes)))) {
    return nullptr;
  }
  if (slots_[slot].get() != record) return nullptr;
  return blocks_[b]->lanes.data();
}

Memory with_row_access(const Memory& decoded, const CatalogEntry& entry) {
  Memory memory = decoded;
  memory.accessed_at = entry.accessed_at;
  memory.access_count = entry.access_count;
  return memory;
}

}  // namespace quarn::store
