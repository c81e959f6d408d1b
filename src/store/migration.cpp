#include "store/migration.h"

#include "memory/memory.h"
#include "memory/msgpack_io.h"
#include "store/rows.h"
#include "store/runs.h"

namespace quarn::store {
namespace {

Result<CatalogEntryV4> read_entry_v4(const msgpack::object& row) {
  CatalogEntryV4 entry;
  TRY(mp::read_struct(row, "struct CatalogEntryV4",
                      {"id", "start_page", "page_count", "len", "deleted"}, 0,
                      [&](std::size_t field, const msgpack::object& v) -> Result<void> {
                        switch (field) {
                          case 0: entry.id = TRY(mp::as_id(v, "id")); break;
                          case 1: entry.start_page = TRY(mp::as_u64(v, "start_page")); break;
                          case 2: entry.page_count = TRY(mp::as_u32(v, "page_count")); break;
                          case 3: entry.len = TRY(mp::as_u32(v, "len")); break;
                          default: entry.deleted = TRY(mp::as_bool(v, "deleted")); break;
                        }
                        return {};
                      }));
  return entry;
}

}  // namespace

Result<std::vector<CatalogEntryV4>> decode_catalog_v4(ByteView bytes) {
  return decode_rows<CatalogEntryV4>(bytes, "catalog", read_entry_v4);
}

Result<std::vector<CatalogEntryV4>> load_catalog_v4(pager::Pager& pager, std::uint64_t start,
                                                    std::uint64_t pages, std::uint64_t len) {
  if (pages == 0) return std::vector<CatalogEntryV4>{};
  const Bytes bytes = TRY(read_run_bytes(pager, start, pages, len));
  return decode_catalog_v4(bytes);
}

Result<std::vector<CatalogEntry>> migrate_v4_catalog(pager::Pager& pager,
                                                     const std::vector<CatalogEntryV4>& rows) {
  std::vector<CatalogEntry> out;
  out.reserve(rows.size());
  for (const CatalogEntryV4& row : rows) {
    CatalogEntry entry{.id = row.id,
                       .start_page = row.start_page,
                       .page_count = row.page_count,
                       .len = row.len,
                       .deleted = row.deleted};
    if (!row.deleted) {
      const Bytes bytes = TRY(read_record(pager, entry));
      const memory::Memory record = TRY(memory::decode_memory(bytes));
      entry.accessed_at = record.accessed_at;
      entry.access_count = record.access_count;
    }
    out.push_back(entry);
  }
  return out;
}

}  // namespace quarn::store
