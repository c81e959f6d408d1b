// The copy-on-write slot tree read from forged pages: any root and any node bytes must be read in
// full or refused, with at most one read per page the input holds (plus the one that fails), and a
// tree that reads must survive an update and a rebuild with the same rows, and read against its
// update must yield the rows that differ.
//   byte 0      row size - 2040 (leaves of three or four rows, so that few nodes make a tree), or
//               255: catalog rows of 64 bytes, each decoded and its record read from the same pages
//               as a packed record
//               254: an index stored as trees (4 dimensions), its run's start, pages and length
//               in the root's three fields, every page read through a pager over the nodes;
//               an index that loads must validate and load again alike once written anew
//   bytes 1-17  root: page u64, height u8, count u64 (little-endian)
//   then nodes  each a u16 length and that many bytes, the start of a zeroed node, on pages 1, 2, ...
#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>

#include "crypto/crypto.h"
#include "index/index.h"
#include "pager/pager.h"
#include "pager/testing/mem_file.h"
#include "store/catalog_tree.h"
#include "store/index_tree.h"
#include "store/packed_records.h"
#include "store/slot_tree.h"

namespace {

using namespace quarn;

constexpr std::uint64_t kIndexDims = 4;

void index_trees(const store::RunLocation& run, const std::map<std::uint64_t, Bytes>& nodes) {
  auto disk = std::make_shared<pager::testing::MemDisk>();
  auto made = pager::Pager::create(std::make_unique<pager::testing::MemFile>(disk),
                                   *crypto::random_dek(), 0, format::kTreeVersion);
  if (!made) std::abort();
  pager::Pager pager = std::move(*made);
  for (const auto& [page, node] : nodes)
    if (!pager.write_page(page, node)) std::abort();
  const std::uint64_t end = nodes.size() + 1;
  store::PostingTrees trees;
  std::vector<std::uint64_t> pages;
  const auto index = store::load_any_index(pager, run, kIndexDims, end, &trees, &pages);
  if (!index || !*index) return;
  if (!index::validate_index(**index)) std::abort();
  for (std::uint64_t page : pages)
    if (page == 0 || page >= end) std::abort();
  // Written anew after the nodes, it reads back with the same postings.
  std::uint64_t next = end;
  const store::RunWriter seal = [&](ByteView bytes) -> Result<store::RunLocation> {
    const store::RunLocation at{next, run_pages(bytes.size()), bytes.size()};
    for (std::uint64_t i = 0; i < at.pages; ++i) {
      const std::size_t from = i * kPageCapacity;
      TRY(pager.write_page(next + i, bytes.subspan(from, std::min(kPageCapacity, bytes.size() - from))));
    }
    next += at.pages;
    return at;
  };
  const auto plan = store::plan_index_write(**index, store::PostingTrees{});
  if (!plan) std::abort();
  const auto commit = store::write_index(pager, seal, **index, store::PostingTrees{}, *plan, end);
  if (!commit) std::abort();
  const auto again = store::load_any_index(pager, commit->run, kIndexDims, next, nullptr, nullptr);
  if (!again || !*again || (*again)->partitions != (*index)->partitions) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 18) return 0;
  const bool index_rows = data[0] == 254;
  const bool catalog_rows = data[0] == 255;
  const store::SlotTree tree(catalog_rows ? store::kCatalogRowSize : 2040 + data[0]);
  store::SlotTreeRoot root{get_le<std::uint64_t>(data + 1), data[9], get_le<std::uint64_t>(data + 10)};
  std::map<std::uint64_t, Bytes> nodes;
  std::size_t at = 18;
  while (at + 2 <= size) {
    const std::size_t len = std::min<std::size_t>(get_le<std::uint16_t>(data + at), size - at - 2);
    Bytes node(kPageCapacity, 0);
    std::copy_n(data + at + 2, std::min(len, kPageCapacity), node.begin());
    nodes.emplace(nodes.size() + 1, std::move(node));
    at += 2 + len;
  }
  if (index_rows) {
    index_trees({get_le<std::uint64_t>(data + 1), data[9], get_le<std::uint64_t>(data + 10)}, nodes);
    return 0;
  }
  std::size_t reads = 0;
  const auto reader = [&](std::uint64_t page) -> Result<Bytes> {
    ++reads;
    const auto it = nodes.find(page);
    if (it == nodes.end()) return fail(QuarnError::io("failed to fill whole buffer"));
    return it->second;
  };
  std::uint64_t next = nodes.size() + 1;
  const auto writer = [&](Bytes node) -> Result<std::uint64_t> {
    nodes.emplace(next, std::move(node));
    return next++;
  };
  Bytes rows;
  const auto read = tree.read(root, 1, reader, [&](ByteView r) { rows.insert(rows.end(), r.begin(), r.end()); });
  if (reads > nodes.size() + 1) std::abort();
  if (!read) return 0;
  if (rows.size() != root.count * tree.row_size()) std::abort();
  if (catalog_rows) {
    for (std::size_t at = 0; at < rows.size(); at += store::kCatalogRowSize) {
      const auto entry = store::decode_catalog_row(ByteView(rows.data() + at, store::kCatalogRowSize));
      if (!entry) continue;
      std::array<std::uint8_t, store::kCatalogRowSize> again;
      store::encode_catalog_row(*entry, again);
      if (!std::equal(again.begin(), again.end(), rows.begin() + static_cast<std::ptrdiff_t>(at))) {
        std::abort();
      }
      // The row's record as a packed record: a place a packer would not make is refused before
      // any page is read; any other reads exactly its pages.
      const store::PackedPlace place{entry->start_page, get_le<std::uint32_t>(rows.data() + at + 32),
                                     entry->page_count, entry->len};
      std::size_t record_reads = 0;
      const auto record = store::read_packed(place, [&](std::uint64_t page) {
        ++record_reads;
        return reader(page);
      });
      if (!store::check_place(place) && record_reads != 0) std::abort();
      if (record && record->size() != place.len) std::abort();
      if (record_reads > place.page_count) std::abort();
    }
  }
  // A change of the first slot, then a rebuild: both read back as written.
  const Bytes rows_read = rows;
  Bytes first(tree.row_size(), 0xab);
  const std::pair<std::uint64_t, ByteView> change[] = {{0, first}};
  if (root.count != 0) {
    const auto updated = tree.update(root, 1, root.count, change, reader, writer);
    if (!updated) std::abort();
    Bytes again;
    if (!tree.read(*updated, 1, reader, [&](ByteView r) { again.insert(again.end(), r.begin(), r.end()); })) {
      std::abort();
    }
    // The forged tree read against the updated one (which shares all but slot 0's path): the
    // rows it yields over the updated tree's are the forged tree's rows.
    Bytes merged = again;
    const auto changed = tree.read_changed(
        root, *updated, 1, reader, [](std::uint64_t, std::uint64_t) { return false; },
        [&](std::uint64_t slot, ByteView r) {
          if (slot >= root.count) std::abort();
          std::copy(r.begin(), r.end(), merged.begin() + static_cast<std::ptrdiff_t>(slot * tree.row_size()));
        });
    if (!changed) std::abort();  // every node it reads was read above
    if (merged != rows_read) std::abort();
    std::copy(first.begin(), first.end(), rows.begin());
    if (again != rows) std::abort();
  }
  const auto built = tree.build(rows, writer);
  if (!built || built->count != root.count) std::abort();
  return 0;
}
