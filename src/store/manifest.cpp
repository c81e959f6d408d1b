#include "store/manifest.h"

#include <algorithm>
#include <cassert>
#include <limits>

#include "memory/msgpack_io.h"
#include "store/rows.h"
#include "store/runs.h"
#include "store/store.h"

namespace quarn::store {
namespace {

// A row of version 8 may carry a tenth field, the catalog form (8: a tree root); versions below
// read exactly the nine.
Result<Snapshot> read_snapshot(const msgpack::object& row, bool forms) {
  Snapshot s;
  std::uint64_t form = kCatalogRun;
  const auto field = [&](std::size_t field, const msgpack::object& v) -> Result<void> {
    switch (field) {
      case 0: s.txn_id = TRY(mp::as_u64(v, "txn_id")); break;
      case 1: s.created_at = TRY(mp::as_i64(v, "created_at")); break;
      case 2: s.catalog_start = TRY(mp::as_u64(v, "catalog_start")); break;
      case 3: s.catalog_pages = TRY(mp::as_u64(v, "catalog_pages")); break;
      case 4: s.catalog_len = TRY(mp::as_u64(v, "catalog_len")); break;
      case 5: s.index_start = TRY(mp::as_u64(v, "index_start")); break;
      case 6: s.index_pages = TRY(mp::as_u64(v, "index_pages")); break;
      case 7: s.index_len = TRY(mp::as_u64(v, "index_len")); break;
      case 8: s.memory_count = TRY(mp::as_u64(v, "memory_count")); break;
      default: form = TRY(mp::as_u64(v, "catalog_form")); break;
    }
    return {};
  };
  const bool tenth = forms && ((row.type == msgpack::type::ARRAY && row.via.array.size == 10) ||
                               row.type == msgpack::type::MAP);
  if (tenth) {
    TRY(mp::read_struct(row, "struct Snapshot",
                        {"txn_id", "created_at", "catalog_start", "catalog_pages", "catalog_len",
                         "index_start", "index_pages", "index_len", "memory_count", "catalog_form"},
                        std::uint64_t{1} << 9, field));
  } else {
    TRY(mp::read_struct(row, "struct Snapshot",
                        {"txn_id", "created_at", "catalog_start", "catalog_pages", "catalog_len",
                         "index_start", "index_pages", "index_len", "memory_count"},
                        0, field));
  }
  if (form != kCatalogRun && form != kCatalogTree) {
    return fail(QuarnError::serialization("unknown catalog form " + std::to_string(form)));
  }
  s.catalog_tree = form == kCatalogTree;
  return s;
}

}  // namespace

Bytes encode_manifest(const std::vector<Snapshot>& manifest) {
  assert(manifest.size() <= std::numeric_limits<std::uint32_t>::max());
  Bytes out;
  out.reserve(5 + manifest.size() * 32);
  mp::ByteSink sink{&out};
  mp::Packer packer(sink);
  packer.pack_array(static_cast<std::uint32_t>(manifest.size()));
  for (const Snapshot& s : manifest) {
    packer.pack_array(s.catalog_tree ? 10 : 9);
    packer.pack_uint64(s.txn_id);
    packer.pack_int64(s.created_at);
    packer.pack_uint64(s.catalog_start);
    packer.pack_uint64(s.catalog_pages);
    packer.pack_uint64(s.catalog_len);
    packer.pack_uint64(s.index_start);
    packer.pack_uint64(s.index_pages);
    packer.pack_uint64(s.index_len);
    packer.pack_uint64(s.memory_count);
    if (s.catalog_tree) packer.pack_uint64(kCatalogTree);
  }
  return out;
}

Result<std::vector<Snapshot>> decode_manifest(ByteView bytes, bool forms) {
  return decode_rows<Snapshot>(bytes, "manifest",
                               [forms](const msgpack::object& row) { return read_snapshot(row, forms); });
}

Result<std::vector<Snapshot>> load_manifest(pager::Pager& pager, std::uint64_t start,
                                            std::uint64_t pages, std::uint64_t len, bool forms) {
  if (pages == 0) return std::vector<Snapshot>{};
  const Bytes bytes = TRY(read_run_bytes(pager, start, pages, len));
  return decode_manifest(bytes, forms);
}

std::vector<Snapshot> next_manifest(const std::vector<Snapshot>& current,
                                    std::uint64_t max_snapshots, const Snapshot& row) {
  std::size_t drop = 0;
  if (max_snapshots != 0 && current.size() >= max_snapshots) {
    drop = current.size() - static_cast<std::size_t>(max_snapshots - 1);
  }
  std::vector<Snapshot> next(current.begin() + static_cast<std::ptrdiff_t>(drop), current.end());
  next.push_back(row);
  return next;
}

std::vector<SnapshotInfo> Store::snapshots() const {
  std::vector<SnapshotInfo> out;
  out.reserve(manifest_.size());
  for (const Snapshot& s : manifest_) out.push_back({s.txn_id, s.created_at, s.memory_count});
  std::stable_sort(out.begin(), out.end(), [](const SnapshotInfo& a, const SnapshotInfo& b) {
    return a.txn_id < b.txn_id;
  });
  return out;
}

}  // namespace quarn::store
