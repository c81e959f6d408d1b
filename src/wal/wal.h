// The write-ahead log kept inside the database file, and the checkpoint that follows each commit.
//
// A log region is the pages wal_start .. wal_start + wal_pages - 1 of the database file. A commit
// writes one transaction from the region's first byte: a page frame per image, in the caller's
// order, then one commit frame. Bytes after the commit frame are left as they were, so only the
// first transaction of a region is ever read. A transaction of n images takes n * 8221 + 29 bytes.
//
// Frame: a 29-byte head followed by `len` data bytes; integers little-endian.
//
//   offset width field  page frame (kind 1)             commit frame (kind 2)
//        0     4 magic  "QWAL"                          "QWAL"
//        4     1 kind   1                               2
//        5     8 txn    transaction id                  transaction id
//       13     8 page   page number the data belongs to 0
//       21     4 len    data length (always 8192 here)  0
//       25     4 crc    CRC-32 of the data              CRC-32 of the data of all page frames,
//                                                       concatenated in frame order
//       29   len data   the page image exactly as it is stored at home (page 0: the plain header)
//
// Crash safety rests on these orderings:
//   1. A transaction counts only if every page frame and its commit frame reached the file intact:
//      the commit frame's CRC covers all frame data and every frame carries the same id, so a torn
//      or half-overwritten region reads as "nothing to replay".
//   2. commit syncs before it returns; the caller checkpoints only after that.
//   3. checkpoint and replay write every image except page 0, sync, and only then write page 0 and
//      sync again. Page 0 carries last_txn_id; once it is durable, recovery ignores the logged copy,
//      so every page it refers to must already be durable.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "error/error.h"
#include "format/bytes.h"
#include "pager/file.h"

namespace quarn::wal {

inline constexpr std::size_t kFrameHeadSize = 29;
inline constexpr std::size_t kPageFrameSize = kFrameHeadSize + kPageSize;  // 8221

// One page of a transaction: where it lives at home and its 8192-byte stored image (for page 0 the
// plain header image, for any other page its encrypted image).
struct PageImage {
  std::uint64_t page = 0;
  Bytes image;

  bool operator==(const PageImage&) const = default;
};

// Bytes of log a flush needs for `run_pages` pages of runs plus page 0 and the commit frame:
// run_pages * 8221 + 8250. Overflow is InvalidArgument.
[[nodiscard]] Result<std::uint64_t> region_bytes_needed(std::uint64_t run_pages);

// Size in pages of a new region that holds `needed_bytes` with room to spare: W = ceil(needed / 8192),
// W += W / 2, W = 4 when below 5, then W + 4 (8 pages at least). Never overflows.
std::uint64_t grown_region_pages(std::uint64_t needed_bytes);

// Bytes a commit may use in the region: wal_pages * 8192, capped so the region ends at a valid file
// offset. A region that would include page 0 (wal_start 0) holds nothing, since a commit there would
// overwrite the header; the flush then treats it as too small and moves the log.
std::uint64_t region_capacity(std::uint64_t wal_start, std::uint64_t wal_pages);

// Writes `images` to the region as transaction `txn_id` and syncs; success means the transaction is
// durable. Every image must be 8192 bytes ("WAL frame is not page-sized") and its page must have a
// valid file offset; a transaction larger than region_capacity is InvalidArgument "transaction needs
// {} WAL bytes but the region holds {}". Nothing is written on any of these errors. I/O failures: Io.
[[nodiscard]] Result<void> commit(pager::File& file, std::uint64_t wal_start,
                                  std::uint64_t wal_pages, std::uint64_t txn_id,
                                  const std::vector<PageImage>& images);

// Writes every image to page * 8192: all images except page 0 in list order, sync, then page 0,
// sync (ordering 3). Images are validated as in commit before anything is written.
[[nodiscard]] Result<void> checkpoint(pager::File& file, const std::vector<PageImage>& images);

// The frames of the first transaction in the region when it is complete, intact, has at least one
// page frame and an id above last_txn_id; otherwise nothing. Any inconsistency, including a page
// number whose byte offset does not fit a signed 64-bit offset, means nothing. Reads at most
// min(wal_pages * 8192, bytes from the region start to the end of the file), growing buffers only
// as bytes are actually read. Read failures: Io.
[[nodiscard]] Result<std::optional<std::vector<PageImage>>> recover(pager::File& file,
                                                                    std::uint64_t wal_start,
                                                                    std::uint64_t wal_pages,
                                                                    std::uint64_t last_txn_id);

// Writes recovered frames home with the ordering of checkpoint. Every frame must hold exactly 8192
// bytes, else InvalidArgument "WAL frame is not page-sized" before anything is written. The caller
// reads page 0 again afterwards.
[[nodiscard]] Result<void> replay(pager::File& file, const std::vector<PageImage>& frames);

// Decides whether `image`, the page-0 image logged by the transaction found at page `region_start`,
// is a header that belongs there (the store checks that it decodes and names region_start as its
// wal_start).
using AcceptHeader = std::function<bool(std::uint64_t region_start, ByteView image)>;

// Recovery for a torn page 0, whose region fields cannot be trusted: every page k >= 1 that starts
// with a page-frame head is read as a region reaching to the end of the file (last id 0). A
// transaction is a candidate only if it logs page 0 and `accept` approves its last page-0 image.
// Returns the frames of the candidate with the greatest transaction id, or nothing. Read failures: Io.
[[nodiscard]] Result<std::optional<std::vector<PageImage>>> find_newest_transaction(
    pager::File& file, const AcceptHeader& accept);

}  // namespace quarn::wal
