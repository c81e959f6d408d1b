#include "store/record_cache.h"

#include <cmath>

#include "store/runs.h"

namespace quarn::store {
namespace {

bool same_run(const CachedRecord& record, const CatalogEntry& entry) {
  return record.start_page == entry.start_page && record.page_count == entry.page_count &&
         record.len == entry.len;
}

bool pages_cached(const cache::PageCache& pages, const CachedRecord& record) {
  for (std::uint64_t i = 0; i < record.page_count; ++i) {
    if (!pages.contains(record.start_page + i)) return false;
  }
  return true;
}

}  // namespace

void RecordCache::begin(const cache::PageCache& pages) {
  retired_.clear();
  // An entry needs at least one cached page to be served, so at most the cache's size can be; once
  // the entries reach twice the capacity, drop those that are not servable now.
  if (filled_ <= 2 * pages.capacity() + 64) return;
  for (std::unique_ptr<CachedRecord>& slot : slots_) {
    if (slot && !pages_cached(pages, *slot)) {
      slot.reset();
      --filled_;
    }
  }
}

bool RecordCache::servable(pager::Pager& pager, const CachedRecord& record) const {
  return record.page_count != 0 && pages_cached(pager.cache(), record);
}

Result<const CachedRecord*> RecordCache::load(pager::Pager& pager, std::size_t slot,
                                              const CatalogEntry& entry) {
  if (slot < slots_.size() && slots_[slot] && same_run(*slots_[slot], entry) &&
      servable(pager, *slots_[slot])) {
    // The same touches, in the same order, as reading the run through the pager.
    for (std::uint64_t i = 0; i < entry.page_count; ++i) pager.cache().lookup(entry.start_page + i);
    return slots_[slot].get();
  }
  const Bytes bytes = TRY(read_record(pager, entry));
  auto record = std::make_unique<CachedRecord>();
  record->memory = TRY(memory::decode_memory(bytes));
  record->start_page = entry.start_page;
  record->page_count = entry.page_count;
  record->len = entry.len;
  float squares = 0.0f;
  for (float x : record->memory.vector) squares += x * x;
  record->norm_squares = squares;
  record->norm = std::sqrt(squares);
  if (slot >= slots_.size()) slots_.resize(slot + 1);
  if (slots_[slot]) {
    retired_.push_back(std::move(slots_[slot]));  // earlier pointers stay valid this operation
  } else {
    ++filled_;
  }
  slots_[slot] = std::move(record);
  return slots_[slot].get();
}

Memory with_row_access(const Memory& decoded, const CatalogEntry& entry) {
  Memory memory = decoded;
  memory.accessed_at = entry.accessed_at;
  memory.access_count = entry.access_count;
  return memory;
}

}  // namespace quarn::store
