// The log scan and replay. The input is 8 bytes of parameters, then the file:
//   0 wal_start u16   2 wal_pages u16   4 last_txn_id u16   6 flags u8   7 unused
// Flag 1 makes the frame CRCs of the region match before the scan (a mutation would otherwise stop
// at the first CRC and never reach what lies behind it). The region's transaction is recovered and
// replayed; then the fallback scan of a torn page 0 runs over the file and replays what it finds.
#include <cstdlib>

#include "fuzz/fuzz_util.h"
#include "wal/wal.h"

namespace {

using namespace quarn;

// Walks the frames from the region's first byte, setting each page frame's CRC and the commit
// frame's running CRC to what the data holds.
void fix_frame_crcs(Bytes& bytes, std::uint64_t wal_start) {
  if (wal_start > bytes.size() / kPageSize) return;
  std::size_t at = wal_start * kPageSize;
  std::uint32_t running = 0;
  while (bytes.size() - at >= wal::kFrameHeadSize) {
    std::uint8_t* head = bytes.data() + at;
    if (std::memcmp(head, "QWAL", 4) != 0) return;
    const std::uint32_t len = get_le<std::uint32_t>(head + 21);
    if (head[4] == 2) {
      put_le<std::uint32_t>(head + 25, running);
      return;
    }
    if (head[4] != 1 || bytes.size() - at - wal::kFrameHeadSize < len) return;
    const ByteView body(head + wal::kFrameHeadSize, len);
    put_le<std::uint32_t>(head + 25, format::crc32(body));
    running = format::crc32(body, running);
    at += wal::kFrameHeadSize + len;
  }
}

void replay(pager::File& file, const std::optional<std::vector<wal::PageImage>>& frames) {
  if (!frames) return;
  if (frames->empty()) std::abort();  // a transaction has at least one page frame
  for (const wal::PageImage& frame : *frames) {
    if (frame.image.size() != kPageSize) std::abort();
  }
  (void)wal::replay(file, *frames);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const std::uint64_t wal_start = get_le<std::uint16_t>(data);
  const std::uint64_t wal_pages = get_le<std::uint16_t>(data + 2);
  const std::uint64_t last_txn_id = get_le<std::uint16_t>(data + 4);
  auto disk = fuzz::disk_of(data + 8, size - 8);
  if (data[6] & 1) fix_frame_crcs(disk->bytes, wal_start);
  pager::testing::MemFile file(disk);
  if (auto frames = wal::recover(file, wal_start, wal_pages, last_txn_id)) replay(file, *frames);

  auto accept = [](std::uint64_t region_start, ByteView image) {
    if (image.size() != kPageSize) return false;
    const auto header = format::from_page(std::span<const std::uint8_t, kPageSize>(image.data(), kPageSize));
    return header && header->wal_start == region_start;
  };
  if (auto frames = wal::find_newest_transaction(file, accept)) replay(file, *frames);
  return 0;
}
