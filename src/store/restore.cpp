// Snapshot restore: make a retained snapshot's catalog and index current again, as a new commit.
#include <algorithm>

#include "index/index.h"
#include "store/catalog.h"
#include "store/catalog_tree.h"
#include "store/commit.h"
#include "store/index_io.h"
#include "store/record_cache.h"
#include "store/store.h"
#include "store/tree_metadata.h"

namespace quarn::store {
namespace {

SnapshotInfo info_of(const Snapshot& row) { return {row.txn_id, row.created_at, row.memory_count}; }

}  // namespace

Result<void> Store::apply_snapshot(const Snapshot& row) {
  // Everything that can fail to load is loaded before anything is replaced.
  SlotTreeRoot root;
  if (row.catalog_tree) root = TRY(catalog_root(row.catalog_start, row.catalog_pages, row.catalog_len));
  std::vector<std::uint64_t> nodes;
  std::vector<CatalogEntry> catalog =
      row.catalog_tree
          ? TRY(load_catalog_tree(*pager_, root, kFirstNodePage,
                                  commit_->committed().page_count, &nodes))
          : TRY(load_catalog(*pager_, row.catalog_start, row.catalog_pages, row.catalog_len));
  PostingTrees trees;
  std::unique_ptr<index::IvfPqIndex> index =
      format_version_ == format::kTreeVersion
          ? TRY(load_any_index(*pager_, {row.index_start, row.index_pages, row.index_len},
                               dimensions_, commit_->committed().page_count, &trees, &nodes))
          : TRY(load_index(*pager_, row.index_start, row.index_pages, row.index_len, dimensions_));
  IdIndex ids = build_id_index(catalog);
  catalog_ = std::move(catalog);
  id_index_ = std::move(ids);
  recount_live();
  install_index(std::move(index), std::move(trees));
  records().catalog_replaced(catalog_);
  // A tree is adopted as it is (the flush writes no catalog node); a run becomes a new tree.
  changed_slots_.clear();
  catalog_root_ = row.catalog_tree ? root : SlotTreeRoot{};
  rebuild_catalog_ = !row.catalog_tree;
  dirty_ = true;
  index_dirty_ = true;
  check_log_region(nodes);  // the restored catalog's records were not checked at open
  return flush();
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
