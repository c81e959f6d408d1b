// The version-4 catalog, whose rows carry no access statistics, and its migration to current rows.
//
// Version-4 catalog blob: laid out like the current catalog (see catalog.h), each row an array of
// exactly 5 elements: id (bin 8 of 16 bytes, big-endian), start_page, page_count, len (shortest
// uints), deleted (0xc2/0xc3). Readers accept the same variations: map rows keyed by the field
// names, any fitting integer form.
#pragma once

#include <cstdint>
#include <vector>

#include "error/error.h"
#include "format/bytes.h"
#include "pager/pager.h"
#include "store/catalog.h"

namespace quarn::store {

struct CatalogEntryV4 {
  Ulid id;
  std::uint64_t start_page = 0;
  std::uint32_t page_count = 0;
  std::uint32_t len = 0;
  bool deleted = false;
  bool operator==(const CatalogEntryV4&) const = default;
};

// Reads a version-4 catalog blob. Failure: Serialization with the decoder's text.
[[nodiscard]] Result<std::vector<CatalogEntryV4>> decode_catalog_v4(ByteView bytes);

// The version-4 catalog in the run (start, pages, len); pages 0 is empty, read from nowhere.
[[nodiscard]] Result<std::vector<CatalogEntryV4>> load_catalog_v4(pager::Pager& pager,
                                                                  std::uint64_t start,
                                                                  std::uint64_t pages,
                                                                  std::uint64_t len);

// One current row per old row, in order. A deleted row gets accessed_at 0 and access_count 0 and
// its record is not read; a live row takes both from its record, read through the pager and
// decoded. The first failing row ends the migration with its error; nothing is written.
[[nodiscard]] Result<std::vector<CatalogEntry>> migrate_v4_catalog(
    pager::Pager& pager, const std::vector<CatalogEntryV4>& rows);

}  // namespace quarn::store
