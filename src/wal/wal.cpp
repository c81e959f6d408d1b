#include "wal/wal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include <zlib.h>

#include "format/header.h"
#include "pager/page_batch.h"

namespace quarn::wal {
namespace {

constexpr std::uint8_t kMagic[4] = {'Q', 'W', 'A', 'L'};
constexpr std::uint8_t kPageFrame = 1;
constexpr std::uint8_t kCommitFrame = 2;
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(INT64_MAX);
// Frame data is read in pieces of this size, so a length field larger than the bytes behind it
// never sizes a buffer.
constexpr std::uint64_t kReadChunk = std::uint64_t{1} << 20;
// The fallback scan reads this many pages at a time and looks at the head of each.
constexpr std::uint64_t kScanPages = 128;
// A commit assembles its writes in a buffer of this size that each thread keeps, so a flush
// neither allocates nor faults in fresh memory for them.
constexpr std::size_t kScratchBytes = std::size_t{256} << 10;
static_assert(kScratchBytes >= kPageFrameSize + kFrameHeadSize);

std::uint8_t* scratch() {
  thread_local const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kScratchBytes);
  return buffer.get();
}

using Head = std::array<std::uint8_t, kFrameHeadSize>;

void put_head(std::uint8_t* out, std::uint8_t kind, std::uint64_t txn, std::uint64_t page,
              std::uint32_t len, std::uint32_t crc) {
  std::memcpy(out, kMagic, sizeof kMagic);
  out[4] = kind;
  put_le<std::uint64_t>(out + 5, txn);
  put_le<std::uint64_t>(out + 13, page);
  put_le<std::uint32_t>(out + 21, len);
  put_le<std::uint32_t>(out + 25, crc);
}

bool is_page_frame_head(const std::uint8_t* head) {
  return std::memcmp(head, kMagic, sizeof kMagic) == 0 && head[4] == kPageFrame;
}

// Every image page-sized and at a valid file offset; checked before anything is written.
Result<void> check_images(const std::vector<PageImage>& images) {
  for (const PageImage& img : images) {
    if (img.image.size() != kPageSize) {
      return fail(QuarnError::invalid_argument("WAL frame is not page-sized"));
    }
    std::uint64_t offset = 0;
    if (!page_offset(img.page, offset)) {
      return fail(QuarnError::invalid_argument("page " + std::to_string(img.page) +
                                               " lies beyond the largest file offset"));
    }
  }
  return {};
}

// Ordering 3 in wal.h: every other page is durable before page 0 is written. Images that follow
// each other in the list and on disk go out in one write (pager::PageBatch); the order of the
// bytes reaching the file is unchanged.
Result<void> write_home(pager::File& file, const std::vector<PageImage>& images) {
  TRY(check_images(images));
  pager::PageBatch batch(file);
  bool wrote_other = false;
  bool has_header = false;
  for (const PageImage& img : images) {
    if (img.page == 0) {
      has_header = true;
      continue;
    }
    const auto slot = TRY(batch.next(img.page));
    std::memcpy(slot.data(), img.image.data(), kPageSize);
    wrote_other = true;
  }
  TRY(batch.flush());
  if (!has_header) return file.sync();
  if (wrote_other) TRY(file.sync());
  for (const PageImage& img : images) {
    if (img.page == 0) TRY(file.write_at(0, img.image));
  }
  return file.sync();
}

// Reads `len` bytes at `offset`, growing the buffer only as reads succeed.
Result<Bytes> read_data(pager::File& file, std::uint64_t offset, std::uint64_t len) {
  Bytes data;
  while (data.size() < len) {
    const std::uint64_t done = data.size();
    const std::uint64_t piece = std::min(kReadChunk, len - done);
    data.resize(done + piece);
    TRY(file.read_at(offset + done, std::span(data).subspan(done)));
  }
  return data;
}

struct Transaction {
  std::uint64_t txn = 0;
  std::vector<PageImage> frames;
};

// The first transaction in file bytes [begin, end), or nothing unless it is complete and intact.
// The caller guarantees begin <= end <= the file's size.
Result<std::optional<Transaction>> scan_transaction(pager::File& file, std::uint64_t begin,
                                                    std::uint64_t end) {
  Transaction tx;
  bool first = true;
  std::uint32_t running = 0;
  std::uint64_t pos = begin;
  Head head;
  while (end - pos >= kFrameHeadSize) {
    TRY(file.read_at(pos, head));
    pos += kFrameHeadSize;
    if (std::memcmp(head.data(), kMagic, sizeof kMagic) != 0) return std::nullopt;
    const auto txn = get_le<std::uint64_t>(head.data() + 5);
    if (!first && txn != tx.txn) return std::nullopt;
    first = false;
    tx.txn = txn;
    const auto crc = get_le<std::uint32_t>(head.data() + 25);
    if (head[4] == kCommitFrame) {
      if (crc != running) return std::nullopt;
      return tx;
    }
    if (head[4] != kPageFrame) return std::nullopt;
    const auto page = get_le<std::uint64_t>(head.data() + 13);
    const auto len = get_le<std::uint32_t>(head.data() + 21);
    std::uint64_t home = 0;
    if (!page_offset(page, home) || len > end - pos) return std::nullopt;
    Bytes data = TRY(read_data(file, pos, len));
    pos += len;
    if (format::crc32(data) != crc) return std::nullopt;
    running = format::crc32(data, running);
    tx.frames.push_back({page, std::move(data)});
  }
  return std::nullopt;  // torn tail: no commit frame
}

}  // namespace

Result<std::uint64_t> region_bytes_needed(std::uint64_t run_pages) {
  constexpr std::uint64_t kFixed = kPageFrameSize + kFrameHeadSize;  // page 0 and the commit frame
  if (run_pages > (kMaxU64 - kFixed) / kPageFrameSize) {
    return fail(QuarnError::invalid_argument("transaction of " + std::to_string(run_pages) +
                                             " pages is too large for the log"));
  }
  return run_pages * kPageFrameSize + kFixed;
}

std::uint64_t grown_region_pages(std::uint64_t needed_bytes) {
  std::uint64_t w = needed_bytes / kPageSize + (needed_bytes % kPageSize != 0 ? 1 : 0);
  w += w / 2;
  if (w < 5) w = 4;
  return w + 4;
}

std::uint64_t region_capacity(std::uint64_t wal_start, std::uint64_t wal_pages) {
  std::uint64_t start = 0;
  if (wal_start == 0 || !page_offset(wal_start, start)) return 0;
  const std::uint64_t room = kMaxOffset - start;
  if (wal_pages > room / kPageSize) return room;
  return wal_pages * kPageSize;
}

Result<void> commit(pager::File& file, std::uint64_t wal_start, std::uint64_t wal_pages,
                    std::uint64_t txn_id, const std::vector<PageImage>& images) {
  TRY(check_images(images));
  const std::uint64_t capacity = region_capacity(wal_start, wal_pages);
  const std::uint64_t n = images.size();
  const bool fits_u64 = n <= (kMaxU64 - kFrameHeadSize) / kPageFrameSize;
  const std::uint64_t needed = fits_u64 ? n * kPageFrameSize + kFrameHeadSize : kMaxU64;
  if (!fits_u64 || needed > capacity) {
    return fail(QuarnError::invalid_argument(
        "transaction needs " + (fits_u64 ? std::to_string(needed) : std::string("more")) +
        " WAL bytes but the region holds " + std::to_string(capacity)));
  }

  // The frames go out in order from the scratch buffer, as many whole frames per write as it
  // holds; the bytes reaching the file are those of one contiguous transaction.
  std::uint8_t* const buffer = scratch();
  std::uint64_t at = wal_start * kPageSize;  // region_capacity checked the offset
  std::size_t held = 0;
  const auto write_held = [&]() -> Result<void> {
    TRY(file.write_at(at, ByteView(buffer, held)));
    at += held;
    held = 0;
    return {};
  };
  std::uint32_t running = 0;
  for (const PageImage& img : images) {
    if (held + kPageFrameSize > kScratchBytes) TRY(write_held());
    const std::uint32_t crc = format::crc32(img.image);
    // The running CRC extended by this frame's data, without reading the data a second time.
    running = static_cast<std::uint32_t>(::crc32_combine(running, crc, kPageSize));
    put_head(buffer + held, kPageFrame, txn_id, img.page, kPageSize, crc);
    std::memcpy(buffer + held + kFrameHeadSize, img.image.data(), kPageSize);
    held += kPageFrameSize;
  }
  if (held + kFrameHeadSize > kScratchBytes) TRY(write_held());
  put_head(buffer + held, kCommitFrame, txn_id, 0, 0, running);
  held += kFrameHeadSize;
  TRY(write_held());
  return file.sync();
}

Result<void> checkpoint(pager::File& file, const std::vector<PageImage>& images) {
  return write_home(file, images);
}

Result<void> replay(pager::File& file, const std::vector<PageImage>& frames) {
  return write_home(file, frames);
}

Result<std::optional<std::vector<PageImage>>> recover(pager::File& file, std::uint64_t wal_start,
                                                      std::uint64_t wal_pages,
                                                      std::uint64_t last_txn_id) {
  if (wal_pages == 0) return std::nullopt;
  std::uint64_t begin = 0;
  if (!page_offset(wal_start, begin)) return std::nullopt;  // past any possible end of file
  const std::uint64_t size = TRY(file.size());
  if (begin >= size) return std::nullopt;
  const std::uint64_t region = wal_pages > kMaxU64 / kPageSize ? kMaxU64 : wal_pages * kPageSize;
  const std::uint64_t end = begin + std::min(region, size - begin);

  std::optional<Transaction> tx = TRY(scan_transaction(file, begin, end));
  if (!tx || tx->txn <= last_txn_id || tx->frames.empty()) return std::nullopt;
  return std::move(tx->frames);
}

Result<std::optional<std::vector<PageImage>>> find_newest_transaction(pager::File& file,
                                                                      const AcceptHeader& accept) {
  const std::uint64_t size = TRY(file.size());
  if (size < kFrameHeadSize) return std::nullopt;
  const std::uint64_t last_page = (size - kFrameHeadSize) / kPageSize;  // its head ends in the file
  std::optional<Transaction> best;
  Bytes heads;
  for (std::uint64_t first = 1; first <= last_page; first += kScanPages) {
    const std::uint64_t begin = first * kPageSize;
    heads.resize(std::min<std::uint64_t>(kScanPages * kPageSize, size - begin));
    TRY(file.read_at(begin, heads));
    for (std::uint64_t at = 0; at + kFrameHeadSize <= heads.size(); at += kPageSize) {
      if (!is_page_frame_head(heads.data() + at)) continue;
      const std::uint64_t k = first + at / kPageSize;
      std::optional<Transaction> tx = TRY(scan_transaction(file, k * kPageSize, size));
      if (!tx || tx->txn == 0 || (best && tx->txn <= best->txn)) continue;
      auto header = std::find_if(tx->frames.rbegin(), tx->frames.rend(),
                                 [](const PageImage& f) { return f.page == 0; });
      if (header == tx->frames.rend() || !accept(k, header->image)) continue;
      best = std::move(tx);
    }
  }
  if (!best) return std::nullopt;
  return std::move(best->frames);
}

}  // namespace quarn::wal
