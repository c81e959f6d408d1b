// The catalog of format 8: the rows in a copy-on-write slot tree (slot_tree.h) of 64-byte rows,
// so that a flush writes the leaves of the rows it changed and their path to the root, not the
// whole catalog.
//
// Row (little-endian; the rest zero and refused when not):
//   0  16  id, the 128-bit value big-endian (as the record's id bytes)
//  16   8  start_page
//  24   4  page_count
//  28   4  len
//  32   4  offset of the record in its first page (packed_records.h); when nonzero the place
//           (start_page, offset, page_count, len) is one a packer makes, else the row is refused
//  36   4  access_count
//  40   8  accessed_at (two's complement)
//  48   1  flags: bit 0 deleted
//  49  15  zero
// 127 rows to a leaf, 1018 leaves to a branch: 129,286 rows take two levels, 131 million three.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "error/error.h"
#include "pager/pager.h"
#include "store/catalog.h"
#include "store/slot_tree.h"

namespace quarn::store {

inline constexpr std::size_t kCatalogRowSize = 64;

// The row of `entry`, and back. decode: Serialization for nonzero reserved bytes, unknown flags
// or an offset with a place no packer makes (check_place).
void encode_catalog_row(const CatalogEntry& entry, std::span<std::uint8_t, kCatalogRowSize> out);
[[nodiscard]] Result<CatalogEntry> decode_catalog_row(ByteView row);

// The catalog the tree `root` holds, every node read from the file without entering the page
// cache (a page the cache holds is taken from there; page errors unchanged) and checked
// (slot_tree.h); nodes lie on pages lowest .. end - 1 (Serialization otherwise).
// `node_pages`, when given, receives the page of every node read.
[[nodiscard]] Result<std::vector<CatalogEntry>> load_catalog_tree(
    pager::Pager& pager, const SlotTreeRoot& root, std::uint64_t lowest, std::uint64_t end,
    std::vector<std::uint64_t>* node_pages = nullptr);
// The rows of the tree `root` that may differ from a catalog held in memory whose committed tree
// is `base` and whose rows `staged` (ascending) changed since: only nodes not shared with base, or
// over a staged slot, are read, each checked as load_catalog_tree checks it. Each row with its
// slot, ascending.
[[nodiscard]] Result<std::vector<std::pair<std::size_t, CatalogEntry>>> read_catalog_delta(
    pager::Pager& pager, const SlotTreeRoot& root, const SlotTreeRoot& base,
    std::span<const std::size_t> staged, std::uint64_t end,
    std::vector<std::uint64_t>* node_pages = nullptr);

// The root named by the three catalog fields of a version-8 header or snapshot row (root page,
// height, row count); a height no tree has is Serialization.
[[nodiscard]] Result<SlotTreeRoot> catalog_root(std::uint64_t page, std::uint64_t height,
                                                std::uint64_t count);
// A new tree of every row of `catalog`, written node by node through `write_node`.
[[nodiscard]] Result<SlotTreeRoot> build_catalog_tree(const std::vector<CatalogEntry>& catalog,
                                                      const SlotTree::WriteNode& write_node);

// The tree of `catalog` after the slots in `changed` (ascending, each once; every slot past
// root.count among them) were changed, written node by node through `write_node`; the whole tree
// when root is empty.
[[nodiscard]] Result<SlotTreeRoot> store_catalog_tree(pager::Pager& pager, const SlotTreeRoot& root,
                                                      std::uint64_t lowest,
                                                      const std::vector<CatalogEntry>& catalog,
                                                      std::span<const std::size_t> changed,
                                                      const SlotTree::WriteNode& write_node);

}  // namespace quarn::store
