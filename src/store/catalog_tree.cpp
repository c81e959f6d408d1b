#include "store/catalog_tree.h"

#include <algorithm>

#include "store/packed_records.h"

namespace quarn::store {
namespace {

constexpr std::size_t kFlagsAt = 48;
constexpr std::uint8_t kDeleted = 1;

}  // namespace

void encode_catalog_row(const CatalogEntry& entry, std::span<std::uint8_t, kCatalogRowSize> out) {
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  const auto id = entry.id.to_bytes();
  std::copy(id.begin(), id.end(), out.begin());
  put_le<std::uint64_t>(out.data() + 16, entry.start_page);
  put_le<std::uint32_t>(out.data() + 24, entry.page_count);
  put_le<std::uint32_t>(out.data() + 28, entry.len);
  put_le<std::uint32_t>(out.data() + 32, entry.offset);
  put_le<std::uint32_t>(out.data() + 36, entry.access_count);
  put_le<std::uint64_t>(out.data() + 40, static_cast<std::uint64_t>(entry.accessed_at));
  out[kFlagsAt] = entry.deleted ? kDeleted : 0;
}

Result<CatalogEntry> decode_catalog_row(ByteView row) {
  if (row.size() != kCatalogRowSize) {
    return fail(QuarnError::serialization("catalog row of " + std::to_string(row.size()) +
                                          " bytes, expected 64"));
  }
  if ((row[kFlagsAt] & ~kDeleted) != 0 ||
      std::any_of(row.begin() + kFlagsAt + 1, row.end(), [](std::uint8_t b) { return b != 0; })) {
    return fail(QuarnError::serialization("catalog row with unknown flags or reserved bytes set"));
  }
  CatalogEntry entry;
  entry.id = Ulid::from_bytes(row.data());
  entry.start_page = get_le<std::uint64_t>(row.data() + 16);
  entry.page_count = get_le<std::uint32_t>(row.data() + 24);
  entry.len = get_le<std::uint32_t>(row.data() + 28);
  entry.access_count = get_le<std::uint32_t>(row.data() + 36);
  entry.accessed_at = static_cast<std::int64_t>(get_le<std::uint64_t>(row.data() + 40));
  entry.deleted = (row[kFlagsAt] & kDeleted) != 0;
  entry.offset = get_le<std::uint32_t>(row.data() + 32);
  if (entry.offset != 0) {
    TRY(check_place({entry.start_page, entry.offset, entry.page_count, entry.len}));
  }
  return entry;
}

namespace {

// A catalog node's plaintext, from the file past the page cache (which the whole catalog would
// flush); a cached page (a node a flush just wrote) is taken from there.
Result<Bytes> read_catalog_node(pager::Pager& pager, std::uint64_t page, std::uint64_t end,
                                std::vector<std::uint64_t>* node_pages) {
  if (page >= end) {
    return fail(QuarnError::serialization("catalog node at page " + std::to_string(page) +
                                          " lies past the end of the file"));
  }
  if (node_pages) node_pages->push_back(page);
  if (const Bytes* cached = pager.cache().peek(page)) return *cached;
  return pager.read_page_uncached(page);
}

}  // namespace

Result<std::vector<CatalogEntry>> load_catalog_tree(pager::Pager& pager, const SlotTreeRoot& root,
                                                    std::uint64_t lowest, std::uint64_t end,
                                                    std::vector<std::uint64_t>* node_pages) {
  const SlotTree tree(kCatalogRowSize);
  std::vector<CatalogEntry> catalog;
  // Room for the rows at once, up to as many as the file's pages could hold as leaves and at most
  // 2^21 (past that the vector grows as rows are read): a count that lies reserves no more than
  // the file's size allows, and never a large share of the address space.
  constexpr std::uint64_t kMaxReserve = std::uint64_t{1} << 21;
  const std::uint64_t file_pages = TRY(pager.file_size()) / kPageSize;
  catalog.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(
      {root.count, file_pages * tree.leaf_capacity(), kMaxReserve})));
  Result<void> rows_ok;
  TRY(tree.read(
      root, lowest,
      [&](std::uint64_t page) { return read_catalog_node(pager, page, end, node_pages); },
      [&](ByteView row) {
        if (!rows_ok) return;
        auto entry = decode_catalog_row(row);
        if (!entry) {
          rows_ok = fail(std::move(entry.error()));
          return;
        }
        catalog.push_back(*entry);  // grows only by rows read from authenticated pages
      }));
  TRY(std::move(rows_ok));
  return catalog;
}

Result<SlotTreeRoot> store_catalog_tree(pager::Pager& pager, const SlotTreeRoot& root,
                                        std::uint64_t lowest,
                                        const std::vector<CatalogEntry>& catalog,
                                        std::span<const std::size_t> changed,
                                        const SlotTree::WriteNode& write_node) {
  const SlotTree tree(kCatalogRowSize);
  Bytes rows(changed.size() * kCatalogRowSize);
  std::vector<std::pair<std::uint64_t, ByteView>> changes;
  changes.reserve(changed.size());
  for (std::size_t i = 0; i < changed.size(); ++i) {
    if (changed[i] >= catalog.size()) {
      return fail(QuarnError::invalid_argument("a changed slot past the catalog"));
    }
    const std::span<std::uint8_t, kCatalogRowSize> row(rows.data() + i * kCatalogRowSize,
                                                        kCatalogRowSize);
    encode_catalog_row(catalog[changed[i]], row);
    changes.emplace_back(changed[i], row);
  }
  return tree.update(
      root, lowest, catalog.size(), changes, [&](std::uint64_t page) { return pager.read_page(page); },
      write_node);
}

Result<std::vector<std::pair<std::size_t, CatalogEntry>>> read_catalog_delta(
    pager::Pager& pager, const SlotTreeRoot& root, const SlotTreeRoot& base,
    std::span<const std::size_t> staged, std::uint64_t end,
    std::vector<std::uint64_t>* node_pages) {
  std::vector<std::pair<std::size_t, CatalogEntry>> rows;
  Result<void> rows_ok;
  TRY(SlotTree(kCatalogRowSize)
          .read_changed(
              root, base, kFirstNodePage,
              [&](std::uint64_t page) { return read_catalog_node(pager, page, end, node_pages); },
              [&](std::uint64_t first, std::uint64_t cover) {
                const auto it = std::lower_bound(staged.begin(), staged.end(), first);
                return it != staged.end() && *it < first + cover;
              },
              [&](std::uint64_t slot, ByteView row) {
                if (!rows_ok) return;
                auto entry = decode_catalog_row(row);
                if (!entry) {
                  rows_ok = fail(std::move(entry.error()));
                  return;
                }
                rows.emplace_back(static_cast<std::size_t>(slot), *entry);
              }));
  TRY(std::move(rows_ok));
  return rows;
}

Result<SlotTreeRoot> catalog_root(std::uint64_t page, std::uint64_t height, std::uint64_t count) {
  if (height > SlotTree::kMaxHeight)
    return fail(QuarnError::serialization("catalog tree of height " + std::to_string(height)));
  return SlotTreeRoot{page, static_cast<std::uint32_t>(height), count};
}

Result<SlotTreeRoot> build_catalog_tree(const std::vector<CatalogEntry>& catalog,
                                        const SlotTree::WriteNode& write_node) {
  Bytes rows(catalog.size() * kCatalogRowSize);
  for (std::size_t i = 0; i < catalog.size(); ++i) {
    encode_catalog_row(catalog[i], std::span<std::uint8_t, kCatalogRowSize>(
                                       rows.data() + i * kCatalogRowSize, kCatalogRowSize));
  }
  return SlotTree(kCatalogRowSize).build(rows, write_node);
}

}  // namespace quarn::store
