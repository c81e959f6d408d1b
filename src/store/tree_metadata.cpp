#include "store/tree_metadata.h"

#include <algorithm>
#include <limits>

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
  const SlotTree tree(kCatalogRowSize);
  const std::optional<std::uint32_t> height = tree.height_for(count);
  if (!height || *height == 0) return 0;
  std::uint64_t total = 0;
  std::uint64_t span = tree.leaf_capacity();
  for (std::uint32_t level = 1; level <= *height; ++level) {
    if (rebuild) {
      total += count / span + (count % span != 0 ? 1 : 0);
    } else {
      std::uint64_t distinct = 0;
      std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
      for (std::size_t slot : changed) {
        if (slot / span != last) ++distinct;
        last = slot / span;
      }
      total += distinct + 1;
    }
    span = span > std::numeric_limits<std::uint64_t>::max() / SlotTree::kFanout
               ? std::numeric_limits<std::uint64_t>::max()
               : span * SlotTree::kFanout;
  }
  return total;
}

Result<std::uint64_t> TreeMetadata::prepare() {
  index_bytes_.reset();
  if (state_.index_changed && state_.index) index_bytes_ = TRY(index::encode_index(*state_.index));
  return catalog_nodes_bound(state_.catalog.size(), state_.changed, state_.rebuild) +
         (index_bytes_ ? run_pages(index_bytes_->size()) : 0) +
         manifest_pages_bound(state_.manifest.size());
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
  manifest_ = TRY(seal_index_and_manifest(txn, index_bytes_, state_.index_changed, state_.catalog,
                                          state_.manifest, state_.max_snapshots, true));
  return {};
}

}  // namespace quarn::store
