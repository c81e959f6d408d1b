// The write path: staging records (remember, remove) and making every staged change durable as
// one transaction (flush), whose fixed sequence and invariants are the commit unit's (commit.h);
// the store hands it the format-7 metadata layout (run_metadata.h).
#include <algorithm>
#include <memory>
#include <set>
#include <string>

#include "index/index.h"
#include "memory/memory.h"
#include "pager/pager.h"
#include "store/catalog.h"
#include "store/catalog_tree.h"
#include "store/commit.h"
#include "store/keys.h"
#include "store/record_cache.h"
#include "store/run_metadata.h"
#include "store/runs.h"
#include "store/store.h"
#include "store/tree_metadata.h"

namespace quarn::store {

Result<Ulid> Store::remember(Memory memory) {
  if (memory.vector.size() != dimensions_)
    return fail(QuarnError::dimension_mismatch(dimensions_, memory.vector.size()));
  if (memory.id.is_nil()) memory.id = TRY(Ulid::generate());
  const Bytes bytes = TRY(memory::encode_memory(memory));
  if (bytes.size() > tuning_.record_limit)
    return fail(QuarnError::invalid_argument("record of " + std::to_string(bytes.size()) +
                                             " bytes exceeds the limit of " +
                                             std::to_string(tuning_.record_limit)));
  const PackedPlace place = TRY(stage_record(bytes));

  const auto slot = id_index_.find(memory.id);
  if (slot != id_index_.end()) {
    CatalogEntry& row = catalog_[slot->second];
    row.start_page = place.start_page;
    row.page_count = place.page_count;
    row.len = place.len;
    row.offset = place.offset;
    if (row.deleted) ++live_;
    row.deleted = false;
    note_row_changed(slot->second);
  } else {
    catalog_.push_back({memory.id, place.start_page, place.page_count, place.len, false,
                        memory.accessed_at, memory.access_count, place.offset});
    id_index_[memory.id] = catalog_.size() - 1;
    ++live_;
    note_row_changed(catalog_.size() - 1);
  }
  dirty_ = true;
  note_staged(memory);
  if (index_) {
    index_->add(memory.id, memory.vector);
    index_dirty_ = true;
  }
  return memory.id;
}

Result<PackedPlace> Store::stage_record(ByteView bytes) {
  if (next_version_ != format::kTreeVersion) {
    // A run of its own (an empty record still takes a page, as version 7 has it).
    const std::uint64_t pages = run_pages(bytes.size());
    const std::uint64_t start = TRY(commit_->allocate(pages));
    for (std::uint64_t i = 0; i < pages; ++i) {
      const std::size_t from = i * kPageCapacity;
      const std::size_t to = std::min(bytes.size(), from + kPageCapacity);
      TRY(pager_->write_page(start + i, bytes.subspan(from, to - from)));
    }
    return PackedPlace{start, 0, static_cast<std::uint32_t>(pages),
                       static_cast<std::uint32_t>(bytes.size())};
  }
  // The open page is given up once it is no longer staged (a flush wrote it).
  if (const auto open = packer_.open_page(); open && !pager_->cache().is_dirty(*open)) {
    packer_.close();
  }
  return packer_.add(
      bytes, [&](std::uint64_t pages) { return commit_->allocate(pages); },
      [&](std::uint64_t page, ByteView payload) { return pager_->write_page(page, payload); });
}

Result<void> Store::remove(const Ulid& id) {
  const auto slot = id_index_.find(id);
  if (slot == id_index_.end()) return fail(QuarnError::not_found(id.to_string()));
  CatalogEntry& row = catalog_[slot->second];
  if (!row.deleted) {
    row.deleted = true;
    --live_;
    dirty_ = true;
    note_row_changed(slot->second);
    note_deleted(slot->second);
  }
  if (index_) {
    index_->remove(id);
    index_dirty_ = true;
  }
  return {};
}

// A failed flush keeps both flags and the manifest, so the retry writes everything again.
Result<void> Store::flush() {
  if (!dirty_ && !index_dirty_) return {};
  return commit_state(nullptr);
}

Result<void> Store::commit_state(const KeyMaterial* keys) {
  const auto run = [&](MetadataLayout& metadata) -> Result<void> {
    if (keys) return commit_->flush_rekeyed(metadata, keys->salt, keys->dek_nonce, keys->wrapped);
    return commit_->flush(metadata);
  };
  if (next_version_ == format::kTreeVersion) {
    std::sort(changed_slots_.begin(), changed_slots_.end());
    changed_slots_.erase(std::unique(changed_slots_.begin(), changed_slots_.end()),
                         changed_slots_.end());
    const bool rebuild = format_version_ != format::kTreeVersion || rebuild_catalog_;
    TreeMetadata metadata({.pager = *pager_,
                           .catalog = catalog_,
                           .root = catalog_root_,
                           .rebuild = rebuild,
                           .changed = changed_slots_,
                           .index = index_.get(),
                           .manifest = manifest_,
                           .max_snapshots = max_snapshots_,
                           .index_changed = index_dirty_,
                           .trees = posting_trees_,
                           .journal = index_journal_,
                           .end = commit_->committed().page_count,
                           .live = live_});
    pager_->set_version(format::kTreeVersion);
    commit_->set_version(format::kTreeVersion);
    TRY(run(metadata));
    manifest_ = metadata.take_manifest();
    catalog_root_ = metadata.root();
    if (metadata.index_commit() && index_) {
      posting_trees_.adopt(*metadata.index_commit(), *index_);
      journal_index();
    }
    if (index_dirty_ && !index_) posting_trees_ = {};
    format_version_ = format::kTreeVersion;
    changed_slots_.clear();
    rebuild_catalog_ = false;
  } else {
    // Back from version 8: the whole catalog as a run, and every retained row's tree as well.
    const bool from_tree = format_version_ == format::kTreeVersion;
    PlaceMap unpacked;
    TRY(unpack_records(unpacked, from_tree));
    RunMetadata metadata({.catalog = catalog_,
                          .index = index_.get(),
                          .manifest = manifest_,
                          .max_snapshots = max_snapshots_,
                          .catalog_changed = dirty_ || from_tree,
                          .index_changed = index_dirty_ || (from_tree && index_),
                          .tree_pager = from_tree ? pager_.get() : nullptr,
                          .tree_end = commit_->committed().page_count,
                          .dimensions = dimensions_,
                          .live = live_,
                          .unpacked = &unpacked});
    if (from_tree) {
      pager_->set_version(format::kCurrentVersion);
      commit_->set_version(format::kCurrentVersion);
    }
    TRY(run(metadata));
    manifest_ = metadata.take_manifest();
    posting_trees_ = {};
    journal_index();
    if (from_tree) {
      format_version_ = format::kCurrentVersion;
      spare_index_.reset();
      spare_trees_ = {};
      catalog_root_ = {};
      changed_slots_.clear();
      rebuild_catalog_ = false;
    }
  }
  dirty_ = false;
  index_dirty_ = false;
  return {};
}

Result<void> Store::unpack_records(PlaceMap& moved, bool retained) {
  const auto copy = [&](const CatalogEntry& row) -> Result<PackedPlace> {
    const PackedPlace from = place_of(row);
    if (const auto it = moved.find(from); it != moved.end()) return it->second;
    const PackedPlace to = TRY(stage_record(TRY(read_record(*pager_, row))));
    moved.emplace(from, to);
    return to;
  };
  for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
    CatalogEntry& row = catalog_[slot];
    if (row.offset == 0) continue;
    const PackedPlace to = TRY(copy(row));
    row.start_page = to.start_page;
    row.page_count = to.page_count;
    row.len = to.len;
    row.offset = to.offset;
    records().relocated(slot, row);
    dirty_ = true;
  }
  if (!retained) return {};
  std::vector<Snapshot> kept = next_manifest(manifest_, max_snapshots_, Snapshot{});
  kept.pop_back();
  std::set<std::uint64_t> seen;  // catalog trees by root page
  for (const Snapshot& s : kept) {
    if (!s.catalog_tree || s.catalog_pages == 0 || !seen.insert(s.catalog_start).second) continue;
    const SlotTreeRoot root = TRY(catalog_root(s.catalog_start, s.catalog_pages, s.catalog_len));
    for (const CatalogEntry& row : TRY(load_catalog_tree(*pager_, root, kFirstNodePage,
                                                         commit_->committed().page_count))) {
      if (row.offset != 0) TRY(copy(row));
    }
  }
  return {};
}

void Store::install_index(std::unique_ptr<index::IvfPqIndex> index, PostingTrees trees) {
  spare_index_.reset();
  spare_trees_ = {};
  index_ = std::move(index);
  posting_trees_ = index_ ? std::move(trees) : PostingTrees{};
  journal_index();
}

// Only trees that are valid take changes one by one; others are written whole at the next flush
// with an index, so nothing is journalled for them (a bulk load in version 7 keeps no log).
void Store::journal_index() {
  index_journal_.clear();
  if (index_) index_->journal = posting_trees_.valid ? &index_journal_ : nullptr;
}

Result<void> Store::set_format_version(std::uint64_t version) {
  if (version != format::kCurrentVersion && version != format::kTreeVersion)
    return fail(QuarnError::invalid_argument("format version must be 7 or 8"));
  const auto wanted = static_cast<std::uint16_t>(version);
  if (wanted == next_version_) return {};
  const format::Header& committed = commit_->committed();
  const bool nothing_committed = committed.last_txn_id == 0 && committed.catalog_pages == 0 &&
                                 committed.index_pages == 0 && committed.manifest_pages == 0 &&
                                 committed.version >= format::kCurrentVersion;
  if (nothing_committed) {
    // Nothing committed: the file becomes a fresh file of that version at once.
    TRY(commit_->set_fresh_version(wanted));
    pager_->set_version(wanted);
    format_version_ = next_version_ = wanted;
    catalog_root_ = {};
    rebuild_catalog_ = wanted == format::kTreeVersion;  // rows staged so far were not noted
    changed_slots_.clear();
    return {};
  }
  next_version_ = wanted;
  dirty_ = true;  // the next flush writes the new form even when nothing else changed
  return {};
}

}  // namespace quarn::store
