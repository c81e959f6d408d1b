#include "store/commit.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>

namespace quarn::store {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

bool add_overflows(std::uint64_t a, std::uint64_t b) {
  return a > kU64Max - b;
}

QuarnError too_large(const char* what) {
  return QuarnError::invalid_argument(std::string(what) + " would exceed its largest value");
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

format::Header& Transaction::header() {
  return unit_.header_;
}

Result<RunLocation> Transaction::seal_run(ByteView bytes) {
  const std::uint64_t pages = run_pages(bytes.size());
  const std::uint64_t start = TRY(unit_.allocate(pages));
  TRY(unit_.pager_.seal_run(start, bytes, images_));
  return RunLocation{start, pages, bytes.size()};
}

CommitUnit::CommitUnit(pager::Pager& pager, const format::Header& header)
    : pager_(pager), header_(header), committed_(header), disk_marks_{DiskMark::of(header)} {}

CommitUnit::CommitUnit(pager::Pager& pager, const format::Header& header, std::uint64_t file_bytes)
    : CommitUnit(pager, header) {
  const std::uint64_t file_pages = file_bytes / kPageSize + (file_bytes % kPageSize != 0 ? 1 : 0);
  header_.page_count = std::max(header_.page_count, file_pages);
}

Result<std::unique_ptr<CommitUnit>> CommitUnit::create(pager::Pager& pager, format::Header header) {
  TRY(pager.write_header(header));
  return std::unique_ptr<CommitUnit>(new CommitUnit(pager, header));
}

bool CommitUnit::region_overlaps(std::uint64_t start, std::uint64_t pages) const {
  if (pages == 0 || header_.wal_pages == 0) return false;
  const std::uint64_t region_end = add_overflows(header_.wal_start, header_.wal_pages)
                                       ? kU64Max
                                       : header_.wal_start + header_.wal_pages;
  const std::uint64_t end = add_overflows(start, pages) ? kU64Max : start + pages;
  return start < region_end && header_.wal_start < end;
}

Result<std::uint64_t> CommitUnit::allocate(std::uint64_t pages) {
  std::uint64_t offset = 0;
  if (add_overflows(header_.page_count, pages) || !page_offset(header_.page_count + pages, offset))
    return fail(too_large("the page count"));
  const std::uint64_t start = header_.page_count;
  header_.page_count += pages;
  return start;
}

// Step 1. Refuses to write when another handle has committed or reserved since this one last
// read or wrote page 0: its stale header would hand out page numbers and counters already used.
Result<void> CommitUnit::check_unchanged() {
  const auto header = pager_.read_header();
  if (!header && header.error().kind() == ErrorKind::Io) return fail(header.error());
  // A torn page 0 left by this handle's own failed write is rewritten before anything else.
  if (!header && disk_marks_.size() > 1 && header.error().kind() == ErrorKind::HeaderChecksum)
    return {};
  if (!header) return fail(header.error());
  for (const DiskMark& mark : disk_marks_)
    if (mark == DiskMark::of(*header)) return {};
  return fail(QuarnError::io_errno(EBUSY, "database was changed by another handle; reopen it"));
}

// The header's state is one this handle may find on disk from now on, even when the write fails
// part way.
template <class Write>
Result<void> CommitUnit::write_in_place(format::Header& header, Write&& write) {
  auto written = write(header);
  disk_marks_.push_back(DiskMark::of(header));
  return written;
}

// Steps 3 and 4. Every number this flush will take is checked before anything is written.
Result<void> CommitUnit::reserve(std::uint64_t run_pages) {
  if (add_overflows(header_.last_txn_id, 1)) return fail(too_large("the transaction id"));
  const std::uint64_t needed = TRY(wal::region_bytes_needed(run_pages));
  const bool grow = region_distrusted_ || !region_fits(header_, needed);
  const std::uint64_t region_pages = grow ? wal::grown_region_pages(needed) : 0;
  std::uint64_t offset = 0;
  if (add_overflows(header_.page_count, region_pages) ||
      add_overflows(header_.page_count + region_pages, run_pages) ||
      !page_offset(header_.page_count + region_pages + run_pages, offset))
    return fail(too_large("the page count"));
  TRY(pager_.check_reservation(run_pages));

  if (grow) {
    header_.wal_start = header_.page_count;
    header_.wal_pages = region_pages;
    header_.page_count += region_pages;
    region_distrusted_ = false;
    format::Header moved = committed_;
    moved.page_count = header_.page_count;
    moved.wal_start = header_.wal_start;
    moved.wal_pages = header_.wal_pages;
    TRY(write_in_place(moved, [&](format::Header& h) { return pager_.write_header(h); }));
  }
  format::Header reservation = committed_;
  reservation.page_count = header_.page_count + run_pages;
  reservation.wal_start = header_.wal_start;
  reservation.wal_pages = header_.wal_pages;
  return write_in_place(reservation,
                        [&](format::Header& h) { return pager_.write_reservation(h, run_pages); });
}

// Steps 6 (room for the runs, page 0 and the commit) and 7.
Result<void> CommitUnit::commit(Transaction& txn) {
  if (!txn.images_.empty()) {
    const auto [low, high] = std::minmax_element(
        txn.images_.begin(), txn.images_.end(),
        [](const wal::PageImage& a, const wal::PageImage& b) { return a.page < b.page; });
    TRY(pager_.allocate(low->page, high->page - low->page + 1));
  }
  header_.last_txn_id = txn.id();
  const format::PageImage page0 = TRY(pager_.seal_header(header_));
  txn.images_.push_back({0, Bytes(page0.begin(), page0.end())});
  disk_marks_.push_back(DiskMark::of(header_));
  TRY(pager_.commit(header_.wal_start, header_.wal_pages, txn.id(), txn.images_));
  TRY(pager_.checkpoint(txn.images_));
  committed_ = header_;
  disk_marks_ = {DiskMark::of(header_)};
  return {};
}

Result<void> CommitUnit::set_fresh_version(std::uint16_t version) {
  if (committed_.last_txn_id != 0)
    return fail(QuarnError::invalid_argument("the file has committed transactions"));
  const pager::FileLock lock = TRY(pager_.lock());
  TRY(check_unchanged());
  format::Header fresh = committed_;
  fresh.version = version;
  TRY(write_in_place(fresh, [&](format::Header& h) { return pager_.write_header(h); }));
  committed_ = fresh;
  header_.version = version;
  return {};
}

Result<void> CommitUnit::flush(MetadataLayout& layout) {
  const pager::FileLock lock = TRY(pager_.lock());
  TRY(check_unchanged());
  const std::uint64_t run_pages = TRY(layout.prepare());
  TRY(reserve(run_pages));
  TRY(pager_.write_back());
  Transaction txn(*this, header_.last_txn_id + 1);
  TRY(layout.write(txn));
  return commit(txn);
}

Result<void> CommitUnit::check_current() {
  const pager::FileLock lock = TRY(pager_.lock());
  return check_unchanged();
}

Result<void> CommitUnit::flush_rekeyed(MetadataLayout& layout, const crypto::Salt& salt,
                                       const crypto::Nonce& dek_nonce,
                                       const crypto::WrappedDek& wrapped) {
  header_.salt = salt;
  header_.dek_nonce = dek_nonce;
  header_.wrapped_dek = wrapped;
  auto flushed = flush(layout);
  if (!flushed) {
    header_.salt = committed_.salt;
    header_.dek_nonce = committed_.dek_nonce;
    header_.wrapped_dek = committed_.wrapped_dek;
  }
  return flushed;
}

}  // namespace quarn::store
