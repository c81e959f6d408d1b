#include "store/runs.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace quarn::store {
namespace {

// The most a run read reserves before any page has been read. Larger runs grow page by page, so
// what they allocate is bounded by the pages that actually exist and authenticate.
constexpr std::uint64_t kMaxEagerReserve = std::uint64_t{64} << 20;

// The run's bytes from `skip` bytes into its first page on, each page's payload obtained by
// read(page, sink).
template <class ReadPage>
Result<Bytes> gather(std::uint64_t start, std::uint64_t pages, std::uint64_t len, std::uint64_t skip,
                     ReadPage&& read) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (pages > kMax - start) return fail(QuarnError::io("failed to fill whole buffer"));
  const std::uint64_t held = pages > kMax / kPageCapacity ? kMax : pages * kPageCapacity;
  const std::uint64_t want = std::min(len, held - std::min(held, skip));
  Bytes out;
  out.reserve(static_cast<std::size_t>(std::min(want, kMaxEagerReserve)));
  const auto append = [&](ByteView payload) {
    const std::size_t from = static_cast<std::size_t>(std::min<std::uint64_t>(skip, payload.size()));
    skip -= from;
    payload = payload.subspan(from);
    const std::uint64_t room = want - out.size();
    const auto take = static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(room, payload.size()));
    out.insert(out.end(), payload.begin(), payload.begin() + take);
  };
  // Every page is read, even past `want`, so a damaged tail page still fails the read.
  for (std::uint64_t i = 0; i < pages; ++i) TRY(read(start + i, append));
  return out;
}

}  // namespace

Result<Bytes> read_run_bytes(pager::Pager& pager, std::uint64_t start, std::uint64_t pages,
                             std::uint64_t len) {
  return gather(start, pages, len, 0, [&](std::uint64_t page, const auto& append) {
    return pager.with_page(page, append);
  });
}

Result<Bytes> read_record(pager::Pager& pager, const CatalogEntry& entry) {
  if (entry.page_count == 0) return Bytes{};
  return gather(entry.start_page, entry.page_count, entry.len, entry.offset,
                [&](std::uint64_t page, const auto& append) {
                  return pager.with_page(page, append);
                });
}

Result<Bytes> read_record_from_file(pager::Pager& pager, const CatalogEntry& entry) {
  if (entry.page_count == 0) return Bytes{};
  return gather(entry.start_page, entry.page_count, entry.len, entry.offset,
                [&](std::uint64_t page, const auto& append) -> Result<void> {
                  if (pager.cache().is_dirty(page)) {
                    append(*pager.cache().peek(page));
                    return {};
                  }
                  const Bytes payload = TRY(pager.read_page_uncached(page));
                  append(payload);
                  return {};
                });
}

Result<ByteView> read_record_for_scan(pager::Pager& pager, const CatalogEntry& entry,
                                      pager::ReadWindow& window, ScanBuffer& buffer) {
  const std::uint64_t kept = std::exchange(buffer.last_page, 0);
  if (entry.page_count == 0) return ByteView{};
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (entry.page_count > kMax - entry.start_page) {
    return fail(QuarnError::io("failed to fill whole buffer"));
  }
  // Pages land at their place in the run's bytes; the buffer grows only by pages that were read
  // and authenticated (and the one being read), whatever the row claims.
  Bytes& bytes = buffer.bytes;
  for (std::uint64_t i = 0; i < entry.page_count; ++i) {
    const std::uint64_t page = entry.start_page + i;
    const std::size_t at = static_cast<std::size_t>(i) * kPageCapacity;
    if (bytes.size() < at + kPageCapacity) bytes.resize(at + kPageCapacity);
    if (i == 0 && page == kept) {
      // The page the previous record ended on, where this one starts (records packed together).
      if (buffer.last_at != 0) {
        std::memmove(bytes.data(), bytes.data() + buffer.last_at, kPageCapacity);
      }
      continue;
    }
    const std::span<std::uint8_t, kPageCapacity> out(bytes.data() + at, kPageCapacity);
    if (const Bytes* cached = pager.cache().peek(page)) {
      const std::size_t n = std::min(cached->size(), kPageCapacity);  // staged pages are padded
      std::copy_n(cached->begin(), n, out.begin());
      std::fill(out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), std::uint8_t{0});
    } else {
      TRY(pager.read_page_uncached(page, window, out));
    }
  }
  buffer.last_page = entry.start_page + entry.page_count - 1;
  buffer.last_at = static_cast<std::size_t>(entry.page_count - 1) * kPageCapacity;
  const std::uint64_t held = entry.page_count * kPageCapacity;  // the pages above exist in memory
  const std::uint64_t from = std::min<std::uint64_t>(entry.offset, held);
  return ByteView(bytes.data() + from,
                  static_cast<std::size_t>(std::min<std::uint64_t>(entry.len, held - from)));
}

}  // namespace quarn::store
