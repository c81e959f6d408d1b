// The write path: staging records (remember, remove) and making every staged change durable as
// one transaction (flush).
//
// Flush, in order; each step that writes ends with a sync:
//   1. under the file lock, page 0 is read and must show a state this handle read or wrote;
//   2. the catalog and index are serialised and the transaction's run pages V estimated;
//   3. the log region grows to the end of the file when it cannot hold V + 1 page frames
//      (in-place header write, sync);
//   4. the reservation header: page_count + V and counter + D + V, so that a crash from here on
//      can never hand out again a page number or a nonce counter this transaction may use
//      (in-place header write, sync);
//   5. the D dirty record pages are encrypted and written at home (sync);
//   6. the catalog, index and manifest runs and the sealed page 0 go to the log (commit, synced):
//      the commit point;
//   7. checkpoint: the same images at home, page 0 last after a sync.
//
// Invariants the crash safety rests on:
//   a. Pages are taken only at the end (page_count), never twice, and page_count never goes down:
//      a page number and a counter value encrypt at most one plaintext.
//   b. Both in-place header writes describe the last committed transaction (committed_) and change
//      only page_count, nonce_counter and the log region: whatever happens after them, the file
//      opens at the last commit. Record pages of step 5 lie beyond committed page_count, so
//      nothing committed refers to them until the commit.
//   c. A failed flush keeps both flags and the manifest; the retry serialises again, takes fresh
//      pages and the next transaction id.
#include <algorithm>
#include <cassert>
#include <limits>
#include <memory>
#include <string>

#include "crypto/crypto.h"
#include "format/header.h"
#include "index/index.h"
#include "memory/memory.h"
#include "store/catalog.h"
#include "store/internal.h"
#include "store/manifest.h"
#include "store/runs.h"
#include "store/store.h"
#include "wal/wal.h"

namespace quarn::store {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
// Record pages per write call in step 5: 64 KiB, a buffer the allocator keeps at hand.
constexpr std::size_t kWriteBatchPages = 8;

bool add_overflows(std::uint64_t a, std::uint64_t b) { return a > kU64Max - b; }

QuarnError too_large(const char* what) {
  return QuarnError::invalid_argument(std::string(what) + " would exceed its largest value");
}

// Pages that bound the manifest run of a list holding `rows` rows plus the one a flush appends:
// at most 82 bytes a row and a 5-byte array header.
std::uint64_t manifest_pages_bound(std::uint64_t rows) {
  return (rows * kMaxSnapshotRowBytes + 91) / kPageCapacity + 1;
}

// A region is usable when it holds `needed` bytes, leaves page 0 alone and lies inside the pages
// the header accounts for (a region beyond page_count would overlap runs taken later).
bool region_fits(const format::Header& header, std::uint64_t needed) {
  if (header.wal_start == 0) return false;
  if (add_overflows(header.wal_start, header.wal_pages)) return false;
  if (header.wal_start + header.wal_pages > header.page_count) return false;
  return wal::region_capacity(header.wal_start, header.wal_pages) >= needed;
}

}  // namespace

Result<Ulid> Store::remember(Memory memory) {
  if (memory.vector.size() != dimensions_)
    return fail(QuarnError::dimension_mismatch(dimensions_, memory.vector.size()));
  if (memory.id.is_nil()) memory.id = TRY(Ulid::generate());
  const Bytes bytes = TRY(memory::encode_memory(memory));
  if (bytes.size() > tuning_.record_limit)
    return fail(QuarnError::invalid_argument("record of " + std::to_string(bytes.size()) +
                                             " bytes exceeds the limit of " +
                                             std::to_string(tuning_.record_limit)));
  const std::uint64_t pages = run_pages(bytes.size());
  const std::uint64_t start = TRY(allocate(pages));
  for (std::uint64_t i = 0; i < pages; ++i) {
    const std::size_t from = i * kPageCapacity;
    const std::size_t to = std::min(bytes.size(), from + kPageCapacity);
    TRY(pager_->write_page(start + i, ByteView(bytes).subspan(from, to - from)));
  }

  const auto slot = id_index_.find(memory.id);
  if (slot != id_index_.end()) {
    CatalogEntry& row = catalog_[slot->second];
    row.start_page = start;
    row.page_count = static_cast<std::uint32_t>(pages);
    row.len = static_cast<std::uint32_t>(bytes.size());
    row.deleted = false;
  } else {
    catalog_.push_back({memory.id, start, static_cast<std::uint32_t>(pages),
                        static_cast<std::uint32_t>(bytes.size()), false, memory.accessed_at,
                        memory.access_count});
    id_index_[memory.id] = catalog_.size() - 1;
  }
  dirty_ = true;
  note_staged(memory);
  if (index_) {
    index_->add(memory.id, memory.vector);
    index_dirty_ = true;
  }
  return memory.id;
}

Result<void> Store::remove(const Ulid& id) {
  const auto slot = id_index_.find(id);
  if (slot == id_index_.end()) return fail(QuarnError::not_found(id.to_string()));
  CatalogEntry& row = catalog_[slot->second];
  if (!row.deleted) {
    row.deleted = true;
    dirty_ = true;
    note_deleted(slot->second);
  }
  if (index_) {
    index_->remove(id);
    index_dirty_ = true;
  }
  return {};
}

// Takes `pages` pages at the end of the file. Refused, with nothing taken, when the page numbers
// would pass the largest file offset.
Result<std::uint64_t> Store::allocate(std::uint64_t pages) {
  std::uint64_t offset = 0;
  if (add_overflows(header_.page_count, pages) || !page_offset(header_.page_count + pages, offset))
    return fail(too_large("the page count"));
  const std::uint64_t start = header_.page_count;
  header_.page_count += pages;
  return start;
}

Result<std::pair<std::uint64_t, std::uint32_t>> Store::seal_run(ByteView bytes,
                                                                std::vector<wal::PageImage>& pending) {
  const std::uint64_t pages = run_pages(bytes.size());
  const std::uint64_t start = TRY(allocate(pages));
  for (std::uint64_t i = 0; i < pages; ++i) {
    Bytes plaintext(kPageCapacity, 0);
    const std::size_t from = i * kPageCapacity;
    const std::size_t to = std::min(bytes.size(), from + kPageCapacity);
    std::copy(bytes.begin() + from, bytes.begin() + to, plaintext.begin());
    Bytes image(kPageSize);
    TRY(pager_->encrypt_next(start + i, std::span<const std::uint8_t, kPageCapacity>(plaintext),
                             std::span<std::uint8_t, kPageSize>(image)));
    pager_->cache().insert(start + i, std::move(plaintext), false);
    pending.push_back({start + i, std::move(image)});
  }
  return std::pair{start, static_cast<std::uint32_t>(pages)};
}

// Refuses to write when another handle has committed or reserved since this one last read or
// wrote page 0: its stale header would hand out page numbers and counters already used.
Result<void> Store::check_unchanged() {
  format::PageImage image{};
  TRY(pager_->file().read_at(0, image));
  const auto header = format::from_page(image);
  // A torn page 0 left by this handle's own failed write is rewritten before anything else.
  if (!header && disk_marks_.size() > 1 && header.error().kind() == ErrorKind::HeaderChecksum)
    return {};
  if (!header) return fail(header.error());
  for (const DiskMark& mark : disk_marks_)
    if (mark == DiskMark::of(*header)) return {};
  return fail(QuarnError::io("database was changed by another handle; reopen it (os error 16)"));
}

// Page 0 written in place from `header`, sealed, then synced. Its state is one this handle may
// find on disk from now on.
Result<void> Store::write_in_place(format::Header header) {
  format::PageImage image = format::to_page(header);
  TRY(format::apply_seal(header, image, pager_->key()));
  disk_marks_.push_back(DiskMark::of(header));
  TRY(pager_->write_raw(image));
  return pager_->file().sync();
}

Result<Store::FlushPrelude> Store::prepare_for_flush() {
  FlushPrelude prelude;
  if (dirty_) prelude.catalog_bytes = encode_catalog(catalog_);
  if (index_dirty_ && index_) prelude.index_bytes = TRY(index::encode_index(*index_));
  const std::uint64_t v =
      (prelude.catalog_bytes ? run_pages(prelude.catalog_bytes->size()) : 0) +
      (prelude.index_bytes ? run_pages(prelude.index_bytes->size()) : 0) +
      manifest_pages_bound(manifest_.size());
  prelude.run_pages = v;
  const std::uint64_t d = pager_->cache().dirty_pages().size();

  // Every number this flush will take is checked before anything is written.
  if (add_overflows(header_.last_txn_id, 1)) return fail(too_large("the transaction id"));
  const std::uint64_t needed = TRY(wal::region_bytes_needed(v));
  const bool grow = !region_fits(header_, needed);
  const std::uint64_t region_pages = grow ? wal::grown_region_pages(needed) : 0;
  std::uint64_t offset = 0;
  if (add_overflows(header_.page_count, region_pages) ||
      add_overflows(header_.page_count + region_pages, v) ||
      !page_offset(header_.page_count + region_pages + v, offset))
    return fail(too_large("the page count"));
  if (add_overflows(pager_->nonce_counter(), d) || add_overflows(pager_->nonce_counter() + d, v))
    return fail(too_large("the page-write counter"));

  if (grow) {
    header_.wal_start = header_.page_count;
    header_.wal_pages = region_pages;
    header_.page_count += region_pages;
    format::Header moved = committed_;
    moved.page_count = header_.page_count;
    moved.nonce_counter = pager_->nonce_counter();
    moved.wal_start = header_.wal_start;
    moved.wal_pages = header_.wal_pages;
    TRY(write_in_place(moved));
  }
  format::Header reservation = committed_;
  reservation.page_count = header_.page_count + v;
  reservation.nonce_counter = pager_->nonce_counter() + d + v;
  reservation.wal_start = header_.wal_start;
  reservation.wal_pages = header_.wal_pages;
  TRY(write_in_place(reservation));
  return prelude;
}

// Step 5: the staged record pages, encrypted at home in ascending order, then synced; only then
// are they clean (a failure leaves them dirty, and the retry encrypts them with fresh counters).
// Consecutive pages go out in one write of up to kWriteBatchPages pages.
Result<void> Store::write_dirty_pages() {
  cache::PageCache& cache = pager_->cache();
  const std::vector<std::uint64_t> pages = cache.dirty_pages();
  if (pages.empty()) return {};
  const auto batch = std::make_unique_for_overwrite<std::uint8_t[]>(kWriteBatchPages * kPageSize);
  std::uint64_t first = 0;
  std::size_t held = 0;
  const auto write_batch = [&]() -> Result<void> {
    if (held == 0) return {};
    TRY(pager_->file().write_at(first * kPageSize, ByteView(batch.get(), held * kPageSize)));
    held = 0;
    return {};
  };
  for (const std::uint64_t page : pages) {
    if (held == kWriteBatchPages || (held > 0 && page != first + held)) TRY(write_batch());
    if (held == 0) first = page;
    const Bytes* plaintext = cache.peek(page);
    assert(plaintext && plaintext->size() == kPageCapacity && "dirty page must be cached");
    TRY(pager_->encrypt_next(page, std::span<const std::uint8_t, kPageCapacity>(*plaintext),
                             std::span<std::uint8_t, kPageSize>(batch.get() + held * kPageSize,
                                                                kPageSize)));
    ++held;
  }
  TRY(write_batch());
  TRY(pager_->file().sync());
  cache.mark_all_clean();
  return {};
}

Result<void> Store::flush() {
  if (!dirty_ && !index_dirty_) return {};
  const FileLock lock = TRY(FileLock::take(pager_->file()));
  TRY(check_unchanged());
  FlushPrelude prelude = TRY(prepare_for_flush());
  TRY(write_dirty_pages());

  std::vector<wal::PageImage> pending;
  if (prelude.catalog_bytes) {
    const auto [start, pages] = TRY(seal_run(*prelude.catalog_bytes, pending));
    header_.catalog_start = start;
    header_.catalog_pages = pages;
    header_.catalog_len = prelude.catalog_bytes->size();
  }
  if (index_dirty_) {
    header_.index_start = header_.index_pages = header_.index_len = 0;
    if (prelude.index_bytes) {
      const auto [start, pages] = TRY(seal_run(*prelude.index_bytes, pending));
      header_.index_start = start;
      header_.index_pages = pages;
      header_.index_len = prelude.index_bytes->size();
    }
  }
  const std::uint64_t txn_id = header_.last_txn_id + 1;
  const Snapshot row{txn_id,
                     memory::now_secs(),
                     header_.catalog_start,
                     header_.catalog_pages,
                     header_.catalog_len,
                     header_.index_start,
                     header_.index_pages,
                     header_.index_len,
                     live_count()};
  std::vector<Snapshot> manifest = next_manifest(manifest_, max_snapshots_, row);
  const Bytes manifest_bytes = encode_manifest(manifest);
  const auto [manifest_start, manifest_pages] = TRY(seal_run(manifest_bytes, pending));
  header_.manifest_start = manifest_start;
  header_.manifest_pages = manifest_pages;
  header_.manifest_len = manifest_bytes.size();

  header_.memory_count = row.memory_count;
  header_.nonce_counter = pager_->nonce_counter();
  header_.last_txn_id = txn_id;
  format::PageImage page0 = format::to_page(header_);
  TRY(format::apply_seal(header_, page0, pager_->key()));
  pending.push_back({0, Bytes(page0.begin(), page0.end())});

  disk_marks_.push_back(DiskMark::of(header_));
  TRY(wal::commit(pager_->file(), header_.wal_start, header_.wal_pages, txn_id, pending));
  TRY(wal::checkpoint(pager_->file(), pending));

  manifest_ = std::move(manifest);
  dirty_ = false;
  index_dirty_ = false;
  committed_ = header_;
  disk_marks_ = {DiskMark::of(header_)};
  return {};
}

}  // namespace quarn::store
