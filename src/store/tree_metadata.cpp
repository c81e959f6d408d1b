#include "store/tree_metadata.h"

#include <algorithm>

#include "index/index.h"
#include "store/catalog_tree.h"
#include "store/run_metadata.h"
#include "store/runs.h"

namespace quarn::store {
namespace {

std::uint64_t manifest_pages_bound(std::uint64_t rows) {
  return (rows * kMaxTreeSnapshotRowBytes + 91) / kPageCapacity + 1;
}

}  // namespace

std::uint64_t catalog_nodes_bound(std::uint64_t count, std::span<const std::size_t> changed,
                                  bool rebuild) {
  return SlotTree(kCatalogRowSize).nodes_bound(count, changed, rebuild);
}

Result<std::uint64_t> TreeMetadata::prepare() {
  plan_.reset();
  index_commit_.reset();
  if (state_.index) state_.trees.take(state_.journal, state_.index->subspaces());
  if (state_.index_changed && state_.index) plan_ = TRY(plan_index_write(*state_.index, state_.trees));
  return catalog_nodes_bound(state_.catalog.size(), state_.changed, state_.rebuild) +
         (plan_ ? plan_->pages : 0) + manifest_pages_bound(state_.manifest.size());
}

Result<void> TreeMetadata::write(Transaction& txn) {
  format::Header& h = txn.header();
  const SlotTree::WriteNode write_node = [&](Bytes node) -> Result<std::uint64_t> {
    return TRY(txn.seal_run(node)).start;
  };
  if (state_.rebuild) {
    root_ = TRY(build_catalog_tree(state_.catalog, write_node));
  } else if (!state_.changed.empty()) {
    root_ = TRY(store_catalog_tree(state_.pager, state_.root, kFirstNodePage, state_.catalog,
                                   state_.changed, write_node));
  } else {
    root_ = state_.root;
  }
  h.catalog_start = root_.page;
  h.catalog_pages = root_.height;
  h.catalog_len = root_.count;
  if (state_.index_changed) {
    h.index_start = h.index_pages = h.index_len = 0;
    if (plan_) {
      const bool unchanged = state_.trees.valid && state_.trees.pending.empty() &&
                             !state_.trees.root_changed && !plan_->whole;
      if (unchanged) {
        // A restored or reloaded index whose trees are committed: the row names them again.
        index_commit_.emplace();
        index_commit_->run = state_.trees.run;
        index_commit_->trees = true;
        index_commit_->model = state_.trees.model;
        index_commit_->directory = state_.trees.directory;
      } else {
        index_commit_ = TRY(write_index(
            state_.pager, [&](ByteView bytes) { return txn.seal_run(bytes); }, *state_.index,
            state_.trees, *plan_, state_.end));
      }
      h.index_start = index_commit_->run.start;
      h.index_pages = index_commit_->run.pages;
      h.index_len = index_commit_->run.len;
    }
  }
  manifest_ = TRY(seal_index_and_manifest(txn, std::nullopt, false, state_.live,
                                          state_.manifest, state_.max_snapshots, true));
  return {};
}

}  // namespace quarn::store
