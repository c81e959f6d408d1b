// The metadata of format 8: the catalog as a copy-on-write tree (catalog_tree.h), of which a
// flush writes only the leaves of the rows that changed and their path to the root; the index
// and the snapshot manifest as runs, as in format 7. The header's catalog fields and each new
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
#include "store/manifest.h"
#include "store/slot_tree.h"

namespace quarn::index {
class IvfPqIndex;
}

namespace quarn::store {

// The first page a catalog node may lie on: every page but the header's.
inline constexpr std::uint64_t kFirstNodePage = 1;

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

 private:
  State state_;
  std::optional<Bytes> index_bytes_;  // present when the index changed and exists
  std::vector<Snapshot> manifest_;
  SlotTreeRoot root_;
};

// The pages at most a change of `changed` slots (ascending) writes into a catalog tree grown to
// `count` rows: per level, the distinct nodes over the changed slots, plus one; every node of
// the tree with `rebuild`.
std::uint64_t catalog_nodes_bound(std::uint64_t count, std::span<const std::size_t> changed,
                                  bool rebuild);

}  // namespace quarn::store
