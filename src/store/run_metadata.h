// The metadata of format 7: the catalog, the approximate index and the snapshot manifest, each
// stored whole as one run and written again as a new run whenever it changes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "format/bytes.h"
#include "pager/pager.h"
#include "store/catalog.h"
#include "store/commit.h"
#include "store/manifest.h"
#include "store/packed_records.h"

namespace quarn::index {
class IvfPqIndex;
}

namespace quarn::store {

// What every layout's flush ends with: the index run when the index changed (`index_bytes`
// absent: removed), then the manifest with this transaction's row appended (its catalog fields
// from the header, as the layout set them), sealed into `txn`; sets the header's index and
// manifest fields and memory_count (`live`, the catalog's rows not deleted). Returns the new
// manifest.
[[nodiscard]] Result<std::vector<Snapshot>> seal_index_and_manifest(
    Transaction& txn, const std::optional<Bytes>& index_bytes, bool index_changed,
    std::uint64_t live, const std::vector<Snapshot>& manifest, std::uint64_t max_snapshots,
    bool catalog_tree);

class RunMetadata final : public MetadataLayout {
 public:
  // What a flush writes: the catalog when it changed, the index (or its removal, when `index` is
  // null) when it changed, and always the manifest with this transaction's row appended (after
  // dropping the oldest rows beyond `max_snapshots`; 0 keeps every row).
  struct State {
    const std::vector<CatalogEntry>& catalog;
    const index::IvfPqIndex* index;
    const std::vector<Snapshot>& manifest;
    std::uint64_t max_snapshots;
    bool catalog_changed;
    bool index_changed;
    // Converting back from version 8: each retained row whose catalog is a tree gets it as a
    // run (one run per distinct tree), its nodes read through this pager below `tree_end`.
    pager::Pager* tree_pager = nullptr;
    std::uint64_t tree_end = 0;
    std::uint64_t dimensions = 0;  // of the indexes read back from trees
    std::uint64_t live = 0;        // the catalog's rows not deleted
    // Where the records those trees place inside a page were copied to, pages of their own
    // (a run catalog cannot place a record inside a page).
    const PlaceMap* unpacked = nullptr;
  };
  explicit RunMetadata(State state) : state_(state) {}

  // V = C + I + M (+ the converted rows' catalog runs): the catalog and index runs as
  // serialised, and a bound of the manifest run.
  Result<std::uint64_t> prepare() override;
  // Catalog, index, then manifest run; memory_count is the live rows.
  Result<void> write(Transaction& txn) override;
  // The manifest the committed transaction left (after a successful flush).
  std::vector<Snapshot> take_manifest() { return std::move(manifest_); }

 private:
  template <class Visit>
  [[nodiscard]] Result<std::vector<Snapshot>> for_each_tree_row(Visit&& visit);

  State state_;
  std::optional<Bytes> catalog_bytes_;  // present exactly when the catalog changed
  std::optional<Bytes> index_bytes_;    // present when the index changed and exists
  std::vector<Snapshot> manifest_;
};

}  // namespace quarn::store
