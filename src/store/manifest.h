// The snapshot manifest: one Snapshot row per committed transaction, oldest first.
//
// Manifest blob: a MessagePack array (shortest header) of rows, each an array of exactly 9
// elements, never a map when written:
//   0 txn_id          uint        1 created_at     int (non-negative values in the uint forms)
//   2 catalog_start   uint        3 catalog_pages  uint        4 catalog_len   uint
//   5 index_start     uint        6 index_pages    uint        7 index_len     uint
//   8 memory_count    uint
// every integer in its shortest form, so a row takes at most 82 bytes. Readers also accept map
// rows keyed by the field names (unknown keys skipped, a missing or repeated field refused) and
// any integer form whose value fits.
//
// Version 8 adds, to a row whose catalog is a tree, a tenth element:
//   9 catalog_form    uint 8: catalog_start, catalog_pages and catalog_len are the tree's root
//                     page, height and row count (store/catalog_tree.h)
// (83 bytes at most); a row of nine elements there names a catalog run, as before. Any other
// form is refused.
#pragma once

#include <cstdint>
#include <vector>

#include "error/error.h"
#include "format/bytes.h"
#include "pager/pager.h"

namespace quarn::store {

inline constexpr std::size_t kMaxSnapshotRowBytes = 82;
inline constexpr std::size_t kMaxTreeSnapshotRowBytes = 83;
inline constexpr std::uint64_t kCatalogRun = 7;
inline constexpr std::uint64_t kCatalogTree = 8;

// One row per committed transaction: when it was made, where its catalog and index are, and its
// number of live memories.
struct Snapshot {
  std::uint64_t txn_id = 0;
  std::int64_t created_at = 0;
  std::uint64_t catalog_start = 0;
  std::uint64_t catalog_pages = 0;
  std::uint64_t catalog_len = 0;
  std::uint64_t index_start = 0;
  std::uint64_t index_pages = 0;
  std::uint64_t index_len = 0;
  std::uint64_t memory_count = 0;
  bool catalog_tree = false;  // version 8: the catalog fields name a tree root
  bool operator==(const Snapshot&) const = default;
};

Bytes encode_manifest(const std::vector<Snapshot>& manifest);

// Reads a manifest blob; `forms`: rows may carry the catalog form (version 8). Failure:
// Serialization with the decoder's text.
[[nodiscard]] Result<std::vector<Snapshot>> decode_manifest(ByteView bytes, bool forms = false);

// The manifest in the run (start, pages, len); pages 0 is empty, read from nowhere.
[[nodiscard]] Result<std::vector<Snapshot>> load_manifest(pager::Pager& pager, std::uint64_t start,
                                                          std::uint64_t pages, std::uint64_t len,
                                                          bool forms = false);

// The list a commit leaves: `current` without its oldest rows while it holds `max_snapshots` or
// more (max_snapshots 0 keeps everything), then `row` appended.
std::vector<Snapshot> next_manifest(const std::vector<Snapshot>& current,
                                    std::uint64_t max_snapshots, const Snapshot& row);

}  // namespace quarn::store
