// Opening and creating a database: choosing the path, writing a new file's header, and bringing an
// existing file to a committed state (log recovery), authenticating it, loading it and upgrading
// older formats in memory.
//
// Open of an existing file, in this order (recovery comes before any key is derived, so a
// committed transaction is replayed even when the passphrase then proves wrong):
//   1. under the file lock: read page 0; a torn page 0 is rebuilt from the newest committed
//      transaction found in any log region of the file; then the header's own region is replayed
//      when it holds a transaction newer than the header's;
//   2. KEK from the passphrase, DEK unwrapped, seal checked, pager made;
//   3. catalog (version 4: migrated), id index, index, manifest;
//   4. upgrade of versions 4 to 6 in memory.
#include <algorithm>
#include <cerrno>
#include <utility>

#include "crypto/crypto.h"
#include "format/header.h"
#include "index/index.h"
#include "memory/memory.h"
#include "pager/pager.h"
#include "store/catalog.h"
#include "store/catalog_tree.h"
#include "store/commit.h"
#include "store/index_io.h"
#include "store/keys.h"
#include "store/manifest.h"
#include "store/migration.h"
#include "store/runs.h"
#include "store/store.h"
#include "store/tree_metadata.h"
#include "wal/wal.h"

namespace quarn::store {
namespace {

constexpr std::uint64_t kNewPageCount = 9;  // page 0 and the first log region
constexpr std::uint64_t kNewWalStart = 1;
constexpr std::uint64_t kNewWalPages = 8;

Result<std::uint32_t> creation_dimensions(std::optional<std::uint64_t> dimensions) {
  if (!dimensions)
    return fail(QuarnError::invalid_argument("dimensions is required when creating a new database")
                    .with_detail(ErrorDetail::DimensionsRequired));
  if (*dimensions == 0) return fail(QuarnError::invalid_argument("dimensions must be > 0"));
  return format::checked_dimensions(*dimensions);
}

// A new file's header: version 7, nothing stored yet, the first log region at pages 1 to 8.
Result<format::Header> new_header(std::optional<std::uint64_t> dimensions, const NewKeys& keys,
                                  std::uint32_t m_cost, std::uint32_t t_cost,
                                  std::uint32_t p_cost) {
  format::Header header;
  header.version = format::kCurrentVersion;
  header.dimensions = TRY(creation_dimensions(dimensions));
  header.created_at = static_cast<std::uint64_t>(memory::now_secs());
  header.nonce_counter = 0;
  header.page_count = kNewPageCount;
  header.kdf_m_cost = m_cost;
  header.kdf_t_cost = t_cost;
  header.kdf_p_cost = p_cost;
  set_key_material(header, keys.salt, keys.dek_nonce, keys.wrapped);
  header.wal_start = kNewWalStart;
  header.wal_pages = kNewWalPages;
  return header;
}

Result<format::Header> read_header(pager::File& file) {
  format::PageImage page{};
  TRY(file.read_at(0, page));
  return format::from_page(page);
}

// A logged page-0 image belongs to the region it was found in when it decodes and names that
// region; an abandoned region's older transaction names its own (old) region too, so the newest
// transaction among all accepted ones is the last commit.
bool header_names_region(std::uint64_t region_start, ByteView image) {
  if (image.size() != kPageSize) return false;
  const auto header = format::from_page(std::span<const std::uint8_t, kPageSize>(image.data(), kPageSize));
  return header && header->wal_start == region_start;
}

// Whether `page`, which claims version 8, is a header of an older version whose version bytes
// were changed: its CRC holds with that version put back. A torn or damaged header matches so
// by chance with odds of one in 2^32 per version tried.
bool version_bytes_changed(const format::PageImage& page) {
  for (std::uint16_t version = format::kOldestVersion; version < format::kTreeVersion; ++version) {
    format::PageImage restored = page;
    put_le<std::uint16_t>(restored.data() + 4, version);
    if (format::crc_holds(restored)) return true;
  }
  return false;
}

// Page 0 as the last committed transaction left it: replays a committed transaction the header
// does not yet reflect. Runs under the file lock.
//
// A page 0 that fails its CRC is rebuilt from the newest committed transaction in the log. One
// that claims version 8 but is a header of an older version with only its version bytes changed
// is refused as the unsupported version it was before version 8 was read.
Result<format::Header> recovered_header(pager::File& file) {
  format::PageImage page{};
  TRY(file.read_at(0, page));
  auto header = format::from_page(page);
  if (!header) {
    if (header.error().kind() != ErrorKind::HeaderChecksum) return fail(header.error());
    if (get_le<std::uint16_t>(page.data() + 4) == format::kTreeVersion && version_bytes_changed(page))
      return fail(QuarnError::unsupported_version(format::kTreeVersion));
    const auto frames = TRY(wal::find_newest_transaction(file, header_names_region));
    if (!frames) return fail(QuarnError::header_checksum());
    TRY(wal::replay(file, *frames));
    header = TRY(read_header(file));
  }
  const auto frames =
      TRY(wal::recover(file, header->wal_start, header->wal_pages, header->last_txn_id));
  if (!frames) return *header;
  TRY(wal::replay(file, *frames));
  return read_header(file);
}

// Every handle holds the handle lock shared for its life (pager/file.h), so that an in-place
// vacuum can tell that no other handle has the file open; an open waits while a vacuum holds it.
// A file system without these locks opens as before.
Result<void> hold_shared(pager::File& file) {
  auto held = file.hold(pager::File::HoldMode::Shared, true);
  if (!held && held.error().os_errno() == EWOULDBLOCK)
    return fail(QuarnError::io_errno(EBUSY, "the database is being vacuumed; open it again"));
  return {};
}

}  // namespace

Store::~Store() = default;

Result<std::unique_ptr<Store>> Store::open(const std::string& path, ByteView passphrase,
                                           std::optional<std::uint64_t> dimensions) {
  return open_path(path, passphrase, dimensions, Tuning{});
}

Result<std::unique_ptr<Store>> Store::open_file(std::unique_ptr<pager::File> file, bool exists,
                                                const std::string& path, ByteView passphrase,
                                                std::optional<std::uint64_t> dimensions) {
  return open_tuned(std::move(file), exists, path, passphrase, dimensions, Tuning{});
}

Result<std::unique_ptr<Store>> Store::open_path(const std::string& path, ByteView passphrase,
                                                std::optional<std::uint64_t> dimensions,
                                                const Tuning& tuning) {
  if (!TRY(pager::path_exists(path))) {
    // Everything that can fail before the header write happens before the file exists.
    TRY(creation_dimensions(dimensions));
    NewKeys keys =
        TRY(make_keys(passphrase, tuning.kdf_m_cost, tuning.kdf_t_cost, tuning.kdf_p_cost));
    const format::Header header = TRY(new_header(dimensions, keys, tuning.kdf_m_cost,
                                                 tuning.kdf_t_cost, tuning.kdf_p_cost));
    auto created = pager::PosixFile::create_new(path);
    if (created) return create(std::move(*created), path, header, std::move(keys.dek), tuning);
    // Another opener created the path since the query: open what it made, never replace it.
    if (created.error().os_errno() != EEXIST) return fail(created.error());
  }
  auto file = TRY(pager::PosixFile::open_held(path));
  return open_tuned(std::move(file), true, path, passphrase, dimensions, tuning);
}

Result<std::unique_ptr<Store>> Store::open_tuned(std::unique_ptr<pager::File> file, bool exists,
                                                 const std::string& path, ByteView passphrase,
                                                 std::optional<std::uint64_t> dimensions,
                                                 const Tuning& tuning) {
  if (exists) return open_existing(std::move(file), path, passphrase, tuning);
  TRY(creation_dimensions(dimensions));
  NewKeys keys =
      TRY(make_keys(passphrase, tuning.kdf_m_cost, tuning.kdf_t_cost, tuning.kdf_p_cost));
  const format::Header header = TRY(new_header(dimensions, keys, tuning.kdf_m_cost,
                                               tuning.kdf_t_cost, tuning.kdf_p_cost));
  return create(std::move(file), path, header, std::move(keys.dek), tuning);
}

Result<std::unique_ptr<Store>> Store::create(std::unique_ptr<pager::File> file,
                                             const std::string& path, format::Header header,
                                             crypto::Key dek, const Tuning& tuning) {
  TRY(hold_shared(*file));
  std::unique_ptr<Store> store(new Store());
  store->pager_ = std::make_unique<pager::Pager>(
      TRY(pager::Pager::create(std::move(file), std::move(dek), 0, header.version)));
  store->commit_ = TRY(CommitUnit::create(*store->pager_, header));
  store->path_ = path;
  store->dimensions_ = header.dimensions;
  store->tuning_ = tuning;
  return store;
}

Result<std::unique_ptr<Store>> Store::open_existing(std::unique_ptr<pager::File> file,
                                                    const std::string& path, ByteView passphrase,
                                                    const Tuning& tuning) {
  TRY(hold_shared(*file));
  format::Header header;
  {
    const pager::FileLock lock = TRY(pager::FileLock::take(*file));
    header = TRY(recovered_header(*file));
  }
  const std::uint64_t file_bytes = TRY(file->size());

  crypto::Key dek = TRY(unlock_dek(header, passphrase));
  TRY(format::validate_seal(header, dek));

  std::unique_ptr<Store> store(new Store());
  store->pager_ = std::make_unique<pager::Pager>(
      TRY(pager::Pager::create(std::move(file), std::move(dek), header.nonce_counter,
                               header.version)));
  pager::Pager& pager = *store->pager_;
  const bool tree = header.version == format::kTreeVersion;
  std::vector<std::uint64_t> nodes;
  if (header.version == 4) {
    const auto rows =
        TRY(load_catalog_v4(pager, header.catalog_start, header.catalog_pages, header.catalog_len));
    store->catalog_ = TRY(migrate_v4_catalog(pager, rows));
  } else if (tree) {
    store->catalog_root_ =
        TRY(catalog_root(header.catalog_start, header.catalog_pages, header.catalog_len));
    store->catalog_ = TRY(load_catalog_tree(pager, store->catalog_root_, kFirstNodePage,
                                             header.page_count, &nodes));
    store->format_version_ = store->next_version_ = format::kTreeVersion;
  } else {
    store->catalog_ =
        TRY(load_catalog(pager, header.catalog_start, header.catalog_pages, header.catalog_len));
  }
  store->id_index_ = build_id_index(store->catalog_);
  store->recount_live();
  if (tree) {
    PostingTrees trees;
    auto index = TRY(load_any_index(pager, {header.index_start, header.index_pages, header.index_len},
                                    header.dimensions, header.page_count, &trees, &nodes));
    store->install_index(std::move(index), std::move(trees));
  } else {
    store->install_index(TRY(load_index(pager, header.index_start, header.index_pages,
                                        header.index_len, header.dimensions)));
  }
  store->manifest_ = TRY(load_manifest(pager, header.manifest_start, header.manifest_pages,
                                       header.manifest_len, tree));

  store->path_ = path;
  store->dimensions_ = header.dimensions;
  store->tuning_ = tuning;
  store->commit_ = std::make_unique<CommitUnit>(pager, header, file_bytes);
  store->check_log_region(nodes);
  TRY(store->upgrade(header.version, store->index_ != nullptr));
  return store;
}

// In version 8 the catalog is the nodes of its tree (given), and of an older row's tree the root
// page is checked: its other nodes were read when that row was current, and the region is
// sealed as in version 7. `rows`, when given, are the only rows of the catalog not checked
// before (a restore that changed the catalog in place).
void Store::check_log_region(std::span<const std::uint64_t> catalog_nodes,
                             const std::vector<std::pair<std::size_t, CatalogEntry>>* rows) {
  const auto over = [&](std::uint64_t start, std::uint64_t pages) {
    return commit_->region_overlaps(start, pages);
  };
  const format::Header& h = commit_->header();
  const bool tree = format_version_ == format::kTreeVersion;
  bool overlaps = (tree ? false : over(h.catalog_start, h.catalog_pages)) ||
                  over(h.index_start, h.index_pages) || over(h.manifest_start, h.manifest_pages);
  for (std::uint64_t node : catalog_nodes) overlaps = overlaps || over(node, 1);
  if (rows) {
    for (const auto& [slot, row] : *rows) overlaps = overlaps || over(row.start_page, row.page_count);
  } else {
    for (const CatalogEntry& row : catalog_)
      overlaps = overlaps || over(row.start_page, row.page_count);
  }
  for (const Snapshot& s : manifest_) {
    const bool catalog = s.catalog_tree ? s.catalog_pages != 0 && over(s.catalog_start, 1)
                                        : over(s.catalog_start, s.catalog_pages);
    overlaps = overlaps || catalog || over(s.index_start, s.index_pages);
  }
  if (overlaps) commit_->distrust_region();
}

// Versions 4 and 5 encrypt pages without associated data: every live record is copied, under the
// old rules, to a new run at the end of the file, staged dirty, so that the next flush encrypts it
// with its page number and the commit switches catalog and version at once. The committed pages
// are never rewritten, so the old file stays readable until then. Versions 4 to 6 drop their
// snapshots, whose runs the new format would not read.
//
// A row's page_count comes from the file: the copy takes only the pages its len needs, and only
// from pages below the page count at open (the file's pages), where the copies cannot lie. A
// count past the record would otherwise copy the pages after it, and a run reaching past the
// file would read back the copies just staged: a count of 2^32 - 1 would stage pages until
// memory ran out, and the pages a failed flush wrote there would fail to authenticate at the next
// open.
Result<void> Store::upgrade(std::uint16_t version, bool index_loaded) {
  if (version >= format::kCurrentVersion) return {};
  if (version <= 5) {
    const std::uint64_t old_pages = commit_->header().page_count;
    for (CatalogEntry& row : catalog_) {
      if (row.deleted || row.page_count == 0) continue;
      const auto pages =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(row.page_count, run_pages(row.len)));
      if (row.start_page > old_pages || pages > old_pages - row.start_page)
        return fail(QuarnError::io("failed to fill whole buffer"));  // as reading past the end
      const std::uint64_t start = TRY(commit_->allocate(pages));
      for (std::uint64_t i = 0; i < pages; ++i) {
        const Bytes plaintext = TRY(pager_->read_page(row.start_page + i));
        TRY(pager_->write_page(start + i, plaintext));
      }
      row.start_page = start;
      row.page_count = pages;
    }
  }
  pager_->set_version(format::kCurrentVersion);
  commit_->set_version(format::kCurrentVersion);
  manifest_.clear();
  dirty_ = true;
  index_dirty_ = version <= 5 && index_loaded;
  return {};
}

}  // namespace quarn::store
