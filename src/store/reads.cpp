// Record reads: get, memories, the onboarding list.
#include <algorithm>
#include <string>

#include "store/reads.h"
#include "store/record_cache.h"
#include "store/store.h"

namespace quarn::store {
namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

}  // namespace

bool text_field_equals(const memory::JsonObject& metadata, std::string_view key,
                       std::string_view value) {
  const auto it = metadata.find(key);
  if (it == metadata.end()) return false;
  const std::string* text = std::get_if<std::string>(&it->second.value);
  return text != nullptr && equals_ignoring_ascii_case(*text, value);
}

bool is_manifest(const memory::JsonObject& metadata) {
  return text_field_equals(metadata, "topic", "manifest");
}

RecordCache& Store::records() {
  if (!records_) records_ = std::make_shared<RecordCache>(dimensions_);
  records_->trim(pager_->cache());
  return *records_;
}

void Store::note_staged(const Memory& memory) {
  const std::size_t slot = id_index_.at(memory.id);
  records().staged(slot, catalog_[slot], memory);
}

void Store::note_deleted(std::size_t slot) { records().forget(slot); }

Result<Memory> Store::read_memory(std::size_t slot) {
  return records().memory(*pager_, slot, catalog_[slot]);
}

Result<Memory> Store::get(const Ulid& id) {
  const auto it = id_index_.find(id);
  if (it == id_index_.end() || catalog_[it->second].deleted) {
    return fail(QuarnError::not_found(id.to_string()));
  }
  return read_memory(it->second);
}

Result<std::vector<Memory>> Store::memories() {
  RecordCache& cache = records();
  std::vector<Memory> out;
  for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
    const CatalogEntry& entry = catalog_[slot];
    if (entry.deleted) continue;
    out.push_back(TRY(cache.memory(*pager_, slot, entry)));
  }
  return out;
}

std::uint64_t Store::live_count() const { return live_; }

void Store::recount_live() {
  live_ = static_cast<std::uint64_t>(
      std::count_if(catalog_.begin(), catalog_.end(), [](const CatalogEntry& e) { return !e.deleted; }));
}

Result<std::vector<Memory>> Store::about() {
  RecordCache& cache = records();
  struct Pick {
    Memory memory;
    bool manifest;
  };
  std::vector<Pick> picks;
  for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
    const CatalogEntry& entry = catalog_[slot];
    if (entry.deleted) continue;
    Memory memory = TRY(cache.memory(*pager_, slot, entry));
    if (!text_field_equals(memory.metadata, "area", "onboarding")) continue;
    const bool manifest = is_manifest(memory.metadata);
    picks.push_back({std::move(memory), manifest});
  }
  std::stable_sort(picks.begin(), picks.end(), [](const Pick& a, const Pick& b) {
    if (a.manifest != b.manifest) return a.manifest;
    const std::uint32_t ia = total_order_key(a.memory.importance);
    const std::uint32_t ib = total_order_key(b.memory.importance);
    if (ia != ib) return ia > ib;
    return a.memory.created_at < b.memory.created_at;
  });
  std::vector<Memory> out;
  out.reserve(picks.size());
  for (Pick& pick : picks) out.push_back(std::move(pick.memory));
  return out;
}

}  // namespace quarn::store
