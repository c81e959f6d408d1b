// The metadata of format 8: the catalog as a copy-on-write tree (catalog_tree.h), of which a
// flush writes only the leaves of the rows that changed and their path to the root; the index as
// trees of postings under a root record (index_tree.h), of which a flush writes what the index's
// journal shows changed; the snapshot manifest as a run, as in format 7. The header's catalog fields and each new
// snapshot row name the tree's root (root page, height, row count), so every retained row still
// reads the catalog as it was when the row was made.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/bytes.h"
#include "pager/pager.h"
#include "store/catalog.h"
#include "store/commit.h"
#include "store/index_tree.h"
#include "store/manifest.h"
#include "store/slot_tree.h"

namespace quarn::index {
class IvfPqIndex;
}

namespace quarn::store {


class TreeMetadata final : public MetadataLayout {
 public:
  // What a flush writes: the catalog tree `root` with the rows of `changed` (ascending, each once,
  // every slot past root.count among them) written over it, or, with `rebuild`, a new tree of the
  // whole catalog; the index (or its removal) when it changed; and always the manifest with this
  // transaction's row appended (after dropping the oldest rows beyond `max_snapshots`).
  struct State {
    pager::Pager& pager;
    const std::vector<CatalogEntry>& catalog;
    SlotTreeRoot root;
    bool rebuild;
    std::span<const std::size_t> changed;
    const index::IvfPqIndex* index;
    const std::vector<Snapshot>& manifest;
    std::uint64_t max_snapshots;
    bool index_changed;
    // The index's trees and the changes made since they were committed (taken into them here).
    PostingTrees& trees;
    std::vector<index::PostingChange>& journal;
    std::uint64_t end;  // the committed page count, below which every old node lies
    std::uint64_t live;  // the catalog's rows not deleted
  };
  explicit TreeMetadata(State state) : state_(state) {}

  // V = the catalog nodes the change can write + the index run + a bound of the manifest run.
  Result<std::uint64_t> prepare() override;
  // Catalog nodes (children before parents), index, then manifest run; memory_count is the live
  // rows.
  Result<void> write(Transaction& txn) override;

  // After a successful flush: the manifest and the catalog root the transaction committed.
  std::vector<Snapshot> take_manifest() { return std::move(manifest_); }
  const SlotTreeRoot& root() const { return root_; }
  // What was written of the index, when it was.
  const std::optional<IndexCommit>& index_commit() const { return index_commit_; }

 private:
  State state_;
  std::optional<IndexPlan> plan_;  // present when the index changed and exists
  std::optional<IndexCommit> index_commit_;
  std::vector<Snapshot> manifest_;
  SlotTreeRoot root_;
};

// The pages at most a change of `changed` slots (ascending) writes into a catalog tree grown to
// `count` rows: per level, the distinct nodes over the changed slots, plus one; every node of
// the tree with `rebuild`.
std::uint64_t catalog_nodes_bound(std::uint64_t count, std::span<const std::size_t> changed,
                                  bool rebuild);

}  // namespace quarn::store
