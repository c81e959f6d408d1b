#include "store/run_metadata.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "index/index.h"
#include "memory/memory.h"
#include "store/catalog_tree.h"
#include "store/index_tree.h"
#include "store/runs.h"
#include "store/tree_metadata.h"

namespace quarn::store {
namespace {

// Pages that bound the manifest run of a list holding `rows` rows plus the one a flush appends:
// at most 82 bytes a row and a 5-byte array header.
std::uint64_t manifest_pages_bound(std::uint64_t rows) {
  return (rows * kMaxSnapshotRowBytes + 91) / kPageCapacity + 1;
}

// Rows of a catalog about to be written as a run: each placed inside a page takes the place its
// record was copied to. A version-7 catalog cannot say where in a page a record starts, so a row
// left placed so is refused rather than written to name the wrong bytes.
QuarnError placed_inside_a_page() {
  return QuarnError::serialization(
      "a record placed inside a page cannot be named by a version-7 catalog");
}

Result<void> unpack(std::vector<CatalogEntry>& rows, const PlaceMap* unpacked) {
  for (CatalogEntry& row : rows) {
    if (row.offset == 0) continue;
    const auto it = unpacked ? unpacked->find(place_of(row)) : PlaceMap::const_iterator{};
    if (!unpacked || it == unpacked->end()) return fail(placed_inside_a_page());
    row.start_page = it->second.start_page;
    row.page_count = it->second.page_count;
    row.len = it->second.len;
    row.offset = it->second.offset;
  }
  return {};
}

}  // namespace

Result<std::vector<Snapshot>> seal_index_and_manifest(Transaction& txn,
                                                      const std::optional<Bytes>& index_bytes,
                                                      bool index_changed, std::uint64_t live,
                                                      const std::vector<Snapshot>& manifest,
                                                      std::uint64_t max_snapshots,
                                                      bool catalog_tree) {
  format::Header& h = txn.header();
  if (index_changed) {
    h.index_start = h.index_pages = h.index_len = 0;
    if (index_bytes) {
      const RunLocation run = TRY(txn.seal_run(*index_bytes));
      h.index_start = run.start;
      h.index_pages = run.pages;
      h.index_len = run.len;
    }
  }
  Snapshot row{txn.id(),        memory::now_secs(), h.catalog_start,
               h.catalog_pages, h.catalog_len,      h.index_start,
               h.index_pages,   h.index_len,        live};
  row.catalog_tree = catalog_tree;
  std::vector<Snapshot> next = next_manifest(manifest, max_snapshots, row);
  const RunLocation run = TRY(txn.seal_run(encode_manifest(next)));
  h.manifest_start = run.start;
  h.manifest_pages = run.pages;
  h.manifest_len = run.len;
  h.memory_count = live;
  return next;
}

Result<std::uint64_t> RunMetadata::prepare() {
  catalog_bytes_.reset();
  index_bytes_.reset();
  if (state_.catalog_changed) {
    for (const CatalogEntry& row : state_.catalog) {
      if (row.offset != 0) return fail(placed_inside_a_page());
    }
    catalog_bytes_ = encode_catalog(state_.catalog);
  }
  if (state_.index_changed && state_.index) index_bytes_ = TRY(index::encode_index(*state_.index));
  std::uint64_t converted = 0;
  TRY(for_each_tree_row([&](Snapshot&, const Bytes& bytes, bool) -> Result<void> {
    converted += run_pages(bytes.size());
    return {};
  }));
  return (catalog_bytes_ ? run_pages(catalog_bytes_->size()) : 0) +
         (index_bytes_ ? run_pages(index_bytes_->size()) : 0) + converted +
         manifest_pages_bound(state_.manifest.size());
}

// The rows this flush keeps (the oldest beyond max_snapshots go), each distinct catalog tree and
// each distinct index stored as trees loaded and encoded as a run once, and handed to `visit`
// with its first row (`index` telling which); later rows of the same tree take that row's new
// location. One catalog or index in memory at a time.
template <class Visit>
Result<std::vector<Snapshot>> RunMetadata::for_each_tree_row(Visit&& visit) {
  std::vector<Snapshot> kept = next_manifest(state_.manifest, state_.max_snapshots, Snapshot{});
  kept.pop_back();
  if (state_.tree_pager == nullptr) return kept;
  using Key = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;
  std::map<Key, std::size_t> first_catalog, first_index;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    Snapshot& row = kept[i];
    if (row.catalog_tree) {
      const Key key{row.catalog_start, row.catalog_pages, row.catalog_len};
      if (const auto seen = first_catalog.find(key); seen != first_catalog.end()) {
        const Snapshot& first = kept[seen->second];
        row.catalog_start = first.catalog_start;
        row.catalog_pages = first.catalog_pages;
        row.catalog_len = first.catalog_len;
      } else {
        first_catalog.emplace(key, i);
        const SlotTreeRoot root =
            TRY(catalog_root(row.catalog_start, row.catalog_pages, row.catalog_len));
        std::vector<CatalogEntry> rows =
            TRY(load_catalog_tree(*state_.tree_pager, root, kFirstNodePage, state_.tree_end));
        TRY(unpack(rows, state_.unpacked));
        const Bytes catalog = encode_catalog(rows);
        TRY(visit(row, catalog, false));
      }
      row.catalog_tree = false;
    }
    if (row.index_pages == 0) continue;
    const Key key{row.index_start, row.index_pages, row.index_len};
    if (const auto seen = first_index.find(key); seen != first_index.end()) {
      const Snapshot& first = kept[seen->second];
      row.index_start = first.index_start;
      row.index_pages = first.index_pages;
      row.index_len = first.index_len;
      continue;
    }
    first_index.emplace(key, i);
    const Bytes head = TRY(read_run_bytes(*state_.tree_pager, row.index_start, 1, row.index_len));
    if (!is_index_root(head)) continue;  // a whole run, as version 7 reads it
    const auto index = TRY(load_any_index(*state_.tree_pager,
                                          {row.index_start, row.index_pages, row.index_len},
                                          state_.dimensions, state_.tree_end, nullptr, nullptr));
    TRY(visit(row, TRY(index::encode_index(*index)), true));
  }
  return kept;
}

Result<void> RunMetadata::write(Transaction& txn) {
  format::Header& h = txn.header();
  if (catalog_bytes_) {
    const RunLocation run = TRY(txn.seal_run(*catalog_bytes_));
    h.catalog_start = run.start;
    h.catalog_pages = run.pages;
    h.catalog_len = run.len;
  }
  std::vector<Snapshot> kept =
      TRY(for_each_tree_row([&](Snapshot& row, const Bytes& bytes, bool index) -> Result<void> {
        const RunLocation run = TRY(txn.seal_run(bytes));
        (index ? row.index_start : row.catalog_start) = run.start;
        (index ? row.index_pages : row.catalog_pages) = run.pages;
        (index ? row.index_len : row.catalog_len) = run.len;
        return {};
      }));
  manifest_ = TRY(seal_index_and_manifest(txn, index_bytes_, state_.index_changed, state_.live,
                                          state_.tree_pager ? kept : state_.manifest,
                                          state_.max_snapshots, false));
  return {};
}

}  // namespace quarn::store
