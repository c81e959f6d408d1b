// The catalog: one CatalogEntry per record ever stored, in slot order, and the id index beside it.
//
// Catalog blob: a MessagePack array (shortest header) with one row per entry, in slot order. Each
// row is an array of exactly 7 elements, never a map when written:
//   0 id            bin 8 (0xc4) of 16 bytes, the 128-bit value big-endian
//   1 start_page    uint, shortest form
//   2 page_count    uint, shortest form
//   3 len           uint, shortest form
//   4 deleted       0xc2 false / 0xc3 true
//   5 accessed_at   int, shortest form (non-negative values in the unsigned forms)
//   6 access_count  uint, shortest form
// Readers also accept a row as a map keyed by those field names (unknown keys skipped, a missing
// or repeated field refused) and any integer form whose value fits the field.
#pragma once

#include <cstdint>
#include <vector>

#include "error/error.h"
#include "format/bytes.h"
#include "memory/memory.h"
#include "pager/pager.h"
#include "memory/ulid_map.h"

namespace quarn::store {

using memory::Memory;
using memory::MemoryType;
using memory::Ulid;

// One row per stored record; the record's location and its access statistics.
struct CatalogEntry {
  Ulid id;
  std::uint64_t start_page = 0;
  std::uint32_t page_count = 0;
  std::uint32_t len = 0;
  bool deleted = false;
  std::int64_t accessed_at = 0;
  std::uint32_t access_count = 0;
  // Format 8 only: where in its first page the record starts, when records share pages
  // (packed_records.h). A version-7 catalog cannot say it, so its rows are always 0.
  std::uint32_t offset = 0;
  bool operator==(const CatalogEntry&) const = default;
};


// Every row's id to its slot.
using IdIndex = memory::UlidMap<std::size_t>;

inline constexpr std::uint32_t kMaxAccessCount = 4294967295u;

// The catalog blob of `catalog`, byte for byte as laid out above.
Bytes encode_catalog(const std::vector<CatalogEntry>& catalog);

// Reads a catalog blob. Failure: Serialization with the decoder's text.
[[nodiscard]] Result<std::vector<CatalogEntry>> decode_catalog(ByteView bytes);

// The catalog stored in the run (start, pages, len); pages 0 is the empty catalog, read from
// nowhere. Page failures come back unchanged (Io, PageAuth).
[[nodiscard]] Result<std::vector<CatalogEntry>> load_catalog(pager::Pager& pager,
                                                             std::uint64_t start,
                                                             std::uint64_t pages,
                                                             std::uint64_t len);

// Maps every row's id (deleted rows included) to its slot; when an id occurs twice the later slot
// wins, so the earlier row is reachable only by scans.
IdIndex build_id_index(const std::vector<CatalogEntry>& catalog);

// Stamps one access at `now`: accessed_at = now, access_count + 1 saturating at 4294967295.
inline void bump_access(CatalogEntry& entry, std::int64_t now) {
  entry.accessed_at = now;
  if (entry.access_count != kMaxAccessCount) ++entry.access_count;
}

}  // namespace quarn::store
