#include "store/catalog.h"

#include <cassert>
#include <limits>

#include "memory/msgpack_io.h"
#include "store/rows.h"
#include "store/runs.h"

namespace quarn::store {
namespace {

Result<CatalogEntry> read_entry(const msgpack::object& row) {
  CatalogEntry entry;
  TRY(mp::read_struct(
      row, "struct CatalogEntry",
      {"id", "start_page", "page_count", "len", "deleted", "accessed_at", "access_count"}, 0,
      [&](std::size_t field, const msgpack::object& v) -> Result<void> {
        switch (field) {
          case 0: entry.id = TRY(mp::as_id(v, "id")); break;
          case 1: entry.start_page = TRY(mp::as_u64(v, "start_page")); break;
          case 2: entry.page_count = TRY(mp::as_u32(v, "page_count")); break;
          case 3: entry.len = TRY(mp::as_u32(v, "len")); break;
          case 4: entry.deleted = TRY(mp::as_bool(v, "deleted")); break;
          case 5: entry.accessed_at = TRY(mp::as_i64(v, "accessed_at")); break;
          default: entry.access_count = TRY(mp::as_u32(v, "access_count")); break;
        }
        return {};
      }));
  return entry;
}

}  // namespace

Bytes encode_catalog(const std::vector<CatalogEntry>& catalog) {
  assert(catalog.size() <= std::numeric_limits<std::uint32_t>::max());
  Bytes out;
  out.reserve(5 + catalog.size() * 40);
  mp::ByteSink sink{&out};
  mp::Packer packer(sink);
  packer.pack_array(static_cast<std::uint32_t>(catalog.size()));
  for (const CatalogEntry& e : catalog) {
    packer.pack_array(7);
    mp::pack_id(packer, e.id);
    packer.pack_uint64(e.start_page);
    packer.pack_uint32(e.page_count);
    packer.pack_uint32(e.len);
    if (e.deleted) {
      packer.pack_true();
    } else {
      packer.pack_false();
    }
    packer.pack_int64(e.accessed_at);
    packer.pack_uint32(e.access_count);
  }
  return out;
}

Result<std::vector<CatalogEntry>> decode_catalog(ByteView bytes) {
  return decode_rows<CatalogEntry>(bytes, "catalog", read_entry);
}

Result<std::vector<CatalogEntry>> load_catalog(pager::Pager& pager, std::uint64_t start,
                                               std::uint64_t pages, std::uint64_t len) {
  if (pages == 0) return std::vector<CatalogEntry>{};
  const Bytes bytes = TRY(read_run_bytes(pager, start, pages, len));
  return decode_catalog(bytes);
}

IdIndex build_id_index(const std::vector<CatalogEntry>& catalog) {
  IdIndex index;
  index.reserve(catalog.size());
  for (std::size_t slot = 0; slot < catalog.size(); ++slot) index[catalog[slot].id] = slot;
  return index;
}

}  // namespace quarn::store
