// Snapshot restore: make a retained snapshot's catalog and index current again, as a new commit.
#include <algorithm>
#include <optional>

#include "index/index.h"
#include "store/catalog.h"
#include "store/catalog_tree.h"
#include "store/commit.h"
#include "store/index_io.h"
#include "store/index_tree.h"
#include "store/record_cache.h"
#include "store/store.h"
#include "store/tree_metadata.h"

namespace quarn::store {
namespace {

SnapshotInfo info_of(const Snapshot& row) { return {row.txn_id, row.created_at, row.memory_count}; }

}  // namespace

Result<void> Store::apply_snapshot(const Snapshot& row) {
  // Everything that can fail to load is loaded before anything is replaced.
  const format::Header& committed = commit_->committed();
  const bool tree = format_version_ == format::kTreeVersion;
  SlotTreeRoot root;
  if (row.catalog_tree) root = TRY(catalog_root(row.catalog_start, row.catalog_pages, row.catalog_len));
  std::vector<std::uint64_t> nodes;
  // In version 8 the catalog in memory is its committed tree with the staged rows changed: a
  // row's tree is read only where it differs from that tree or covers a staged row.
  const bool catalog_delta = tree && row.catalog_tree && !rebuild_catalog_;
  std::vector<CatalogEntry> catalog;
  std::vector<std::pair<std::size_t, CatalogEntry>> changed_rows;
  std::vector<std::size_t> staged;
  if (catalog_delta) {
    staged = changed_slots_;
    std::sort(staged.begin(), staged.end());
    staged.erase(std::unique(staged.begin(), staged.end()), staged.end());
    changed_rows = TRY(read_catalog_delta(*pager_, root, catalog_root_, staged,
                                          committed.page_count, &nodes));
    // Every slot past those in memory is a row read (base covers none of them).
    const std::size_t held = catalog_.size();
    const std::size_t past = static_cast<std::size_t>(std::count_if(
        changed_rows.begin(), changed_rows.end(), [&](const auto& r) { return r.first >= held; }));
    if (root.count > held && past != root.count - held) {
      return fail(QuarnError::serialization("catalog tree does not cover its slots"));
    }
  } else {
    catalog = row.catalog_tree
                  ? TRY(load_catalog_tree(*pager_, root, kFirstNodePage, committed.page_count, &nodes))
                  : TRY(load_catalog(*pager_, row.catalog_start, row.catalog_pages, row.catalog_len));
  }
  // In version 8 an index the row shares with the committed state, unchanged since, is the one
  // in memory, and one over the same model differs from it, or from the index an earlier restore
  // replaced (kept aside), only in the posting trees whose roots differ: only those are read.
  // Pages never change, so what is shared is the same.
  const RunLocation index_run{row.index_start, row.index_pages, row.index_len};
  const bool clean = tree && index_ && !index_dirty_ && posting_trees_.valid;
  const bool same_index = clean && index_run == RunLocation{committed.index_start,
                                                            committed.index_pages,
                                                            committed.index_len};
  std::optional<IndexDelta> delta;
  bool over_spare = false;
  if (clean && !same_index) {
    delta = TRY(read_index_delta(*pager_, index_run, dimensions_, committed.page_count, *index_,
                                 posting_trees_, &nodes));
  }
  if (tree && !same_index && !delta && spare_index_) {
    delta = TRY(read_index_delta(*pager_, index_run, dimensions_, committed.page_count,
                                 *spare_index_, spare_trees_, &nodes));
    over_spare = delta.has_value();
  }
  PostingTrees trees;
  std::unique_ptr<index::IvfPqIndex> index;
  if (same_index || delta) {
    // kept, or changed below
  } else if (tree) {
    index = TRY(load_any_index(*pager_, index_run, dimensions_, committed.page_count, &trees,
                               &nodes));
  } else {
    index = TRY(load_index(*pager_, row.index_start, row.index_pages, row.index_len, dimensions_));
  }

  if (catalog_delta) {
    replace_rows(static_cast<std::size_t>(root.count), changed_rows);
  } else {
    IdIndex ids = build_id_index(catalog);
    catalog_ = std::move(catalog);
    id_index_ = std::move(ids);
    recount_live();
    records().catalog_replaced(catalog_);
  }
  if (delta && !over_spare) {
    apply_index_delta(std::move(*delta), *index_, posting_trees_);  // changed in place
    journal_index();
  } else if (!same_index) {
    // Replaced: by the index kept aside, changed, or by the one loaded. An index committed as it
    // is (not changed since) is kept aside in turn.
    std::unique_ptr<index::IvfPqIndex> next;
    PostingTrees next_trees;
    if (delta) {
      apply_index_delta(std::move(*delta), *spare_index_, spare_trees_);
      next = std::move(spare_index_);
      next_trees = std::move(spare_trees_);
    } else {
      next = std::move(index);
      if (next) next_trees = std::move(trees);
    }
    if (clean) {
      index_->journal = nullptr;
      spare_index_ = std::move(index_);
      spare_trees_ = std::move(posting_trees_);
    }
    index_ = std::move(next);
    posting_trees_ = std::move(next_trees);
    journal_index();
  }
  // A tree is adopted as it is (the flush writes no catalog node); a run becomes a new tree.
  changed_slots_.clear();
  catalog_root_ = row.catalog_tree ? root : SlotTreeRoot{};
  rebuild_catalog_ = !row.catalog_tree;
  dirty_ = true;
  index_dirty_ = true;  // an index kept as it is writes only its root record
  // The restored catalog's records were not checked at open (of a catalog changed in place,
  // only the rows that changed are new).
  check_log_region(nodes, catalog_delta ? &changed_rows : nullptr);
  return flush();
}

// The catalog becomes `count` rows, those of `rows` (slot, row; ascending) replacing theirs. The
// id index, the live count and the record cache follow the rows that changed or went, rather
// than being built again over the whole catalog, unless those are more than the rows kept.
void Store::replace_rows(std::size_t count,
                         std::span<const std::pair<std::size_t, CatalogEntry>> rows) {
  const std::size_t held = catalog_.size();
  const std::size_t dropped = held > count ? held - count : 0;
  // With no id held twice, each id leaves the index with its row and the new ones come in; an
  // id held twice (which the write path never makes) has the index built again, later slot
  // winning, as at open.
  bool rebuild = dropped + rows.size() > count / 2 || id_index_.size() != held;
  const auto leave = [&](std::size_t slot) {
    const CatalogEntry& old = catalog_[slot];
    live_ -= old.deleted ? 0 : 1;
    const auto it = id_index_.find(old.id);
    if (it != id_index_.end() && it->second == slot) id_index_.erase(it);
  };
  if (!rebuild) {
    for (std::size_t slot = count; slot < held; ++slot) leave(slot);
    for (const auto& [slot, entry] : rows)
      if (slot < held) leave(slot);
  }
  catalog_.resize(count);
  for (const auto& [slot, entry] : rows) {
    catalog_[slot] = entry;
    if (rebuild) continue;
    live_ += entry.deleted ? 0 : 1;
    if (!id_index_.try_emplace(entry.id, slot).second) rebuild = true;
  }
  if (rebuild) {
    id_index_ = build_id_index(catalog_);
    recount_live();
  }
  records().rows_replaced(catalog_, rows, held);
}

Result<SnapshotInfo> Store::restore_to(std::uint64_t txn_id) {
  const auto it = std::find_if(manifest_.begin(), manifest_.end(),
                               [&](const Snapshot& s) { return s.txn_id == txn_id; });
  if (it == manifest_.end()) {
    return fail(QuarnError::not_found("snapshot for transaction " + std::to_string(txn_id)));
  }
  const Snapshot row = *it;  // the flush replaces the manifest
  TRY(apply_snapshot(row));
  return info_of(row);
}

Result<SnapshotInfo> Store::restore_to_time(std::int64_t unix_secs) {
  const Snapshot* chosen = nullptr;
  for (const Snapshot& s : manifest_) {
    if (s.created_at <= unix_secs && (chosen == nullptr || s.txn_id >= chosen->txn_id)) chosen = &s;
  }
  if (chosen == nullptr) {
    return fail(QuarnError::not_found("no snapshot at or before time " + std::to_string(unix_secs)));
  }
  const Snapshot row = *chosen;
  TRY(apply_snapshot(row));
  return info_of(row);
}

}  // namespace quarn::store
