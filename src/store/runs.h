// Runs: one stored byte string on consecutive pages. Records, the catalog, the index and the
// snapshot manifest are all runs, located by (first page, page count, byte length).
//
// Run layout: page start + i holds bytes [i * 8164, min(len, (i + 1) * 8164)) of the string,
// zero-filled to 8164. A run spans max(1, ceil(len / 8164)) pages, so an empty string still takes
// one page. Wherever a location is stored, a page count of 0 means that there is no run.
#pragma once

#include <cstdint>

#include "error/error.h"
#include "format/bytes.h"
#include "pager/pager.h"
#include "store/catalog.h"

namespace quarn::store {

// run_pages(len), the pages a run spans, is page geometry: format/bytes.h.

// The string held by pages start .. start + pages - 1, read in ascending order through the page
// cache, cut to min(len, bytes gathered). Expects pages >= 1 (callers treat 0 as "no run").
// `len` and `pages` come from the file: the buffer is never sized beyond what the pages can hold,
// and a range whose end overflows fails as a read past the end of the file would (Io). A page
// that cannot be read or authenticated ends the read with the pager's error.
[[nodiscard]] Result<Bytes> read_run_bytes(pager::Pager& pager, std::uint64_t start,
                                           std::uint64_t pages, std::uint64_t len);

// As read_record, but each clean page is read and authenticated from the file whether or not it
// is cached, leaving the cache as it is; dirty (staged) pages are taken from the cache.
[[nodiscard]] Result<Bytes> read_record_from_file(pager::Pager& pager, const CatalogEntry& entry);

// The pages read_record_for_scan reads land in `bytes`, grown as pages are read and never shrunk,
// so that a pass allocates once. The page the last record ended on is remembered: a record packed
// after it on that page (format 8) takes it from there instead of decrypting it again. One buffer
// serves one pass in which nothing writes the file (reset() before another).
struct ScanBuffer {
  Bytes bytes;
  std::uint64_t last_page = 0;  // 0: none
  std::size_t last_at = 0;      // where its plaintext lies in `bytes`
  void reset() { last_page = 0; }
};

// As read_record, but a page held in the cache is taken from there without being touched, and any
// other is read and authenticated from the file without being cached, its image taken from the
// pass's read-ahead `window`: a scan's first read of every record leaves the cache as it was.
// A view of the record's bytes in `buffer`, valid until the buffer's next use.
[[nodiscard]] Result<ByteView> read_record_for_scan(pager::Pager& pager, const CatalogEntry& entry,
                                                    pager::ReadWindow& window, ScanBuffer& buffer);

// A record's raw bytes: those of its pages from `offset` into the first on, cut to its length as
// read_run_bytes cuts; a row with page_count 0 yields empty bytes without reading.
[[nodiscard]] Result<Bytes> read_record(pager::Pager& pager, const CatalogEntry& entry);

}  // namespace quarn::store
