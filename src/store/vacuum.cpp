// The vacuum: a new file holding exactly what the kept snapshot rows reach, written page by page
// through a second pager, then either installed over the database (in place) or left at `dest`.
//
// The new file is laid out as a new file is: page 0, the log region at pages 1 to 8 (not
// written), then every run from page 9 on, each kept record once however many rows name it,
// each distinct catalog and index once, and the manifest of the kept rows. In order:
//   1. the ids live in some kept catalog (the current one included) are gathered; every other row
//      is dropped from every catalog, with its record;
//   2. each distinct catalog is loaded again, its kept rows given the new locations of their
//      records (taken in first-seen order; a record's pages follow from its row) and written;
//   3. the records, read (authenticated) in their old page order and written at those places.
//      Written as version 8, the records come first instead, packed several to a page
//      (packed_records.h) in their old page order, and the catalogs after them;
//   4. each distinct index run, byte for byte, then the manifest of the kept rows;
//   5. sync; then page 0, sealed and synced last, so a file cut short anywhere before has no
//      header and opens as nothing.
// In place, the new file is then renamed over the path and the directory synced: a crash leaves
// the old file or the complete new one at the path.
//
// Nonces: under the same data key the new pager's counter continues from the old pager's, so the
// new file never uses a counter value the old file used; under a new key it starts at 0.
#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <tuple>
#include <unordered_set>

#include "index/index.h"
#include "pager/file.h"
#include "pager/pager.h"
#include "store/catalog.h"
#include "store/catalog_tree.h"
#include "store/commit.h"
#include "store/keys.h"
#include "store/manifest.h"
#include "store/packed_records.h"
#include "store/record_cache.h"
#include "store/runs.h"
#include "store/store.h"
#include "store/tree_metadata.h"

namespace quarn::store {

// The state of the new file, for the handle to switch to.
struct RewrittenFile {
  std::unique_ptr<pager::Pager> pager;
  format::Header header;
  std::vector<CatalogEntry> catalog;  // the current catalog, rewritten
  bool slots_kept = true;             // no row of the current catalog was dropped
  std::vector<Snapshot> manifest;
  std::uint64_t file_bytes = 0;
  PostingTrees trees;  // the current index's, when written as trees
};

namespace {

constexpr std::uint64_t kFirstRunPage = 9;  // after page 0 and the log region at 1 .. 8
constexpr std::uint64_t kWalStart = 1;
constexpr std::uint64_t kWalPages = 8;

// A run as stored in the old file: start, pages, length.
using RunKey = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;
// A record as a row places it in the old file: start, pages, length, offset.
using RecordKey = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint32_t>;

RunKey key_of(std::uint64_t start, std::uint64_t pages, std::uint64_t len) {
  return {start, pages, len};
}

// The bytes a read of the record yields: its length, cut to what its pages hold after `offset`.
std::uint64_t readable_len(std::uint64_t pages, std::uint64_t len, std::uint64_t offset) {
  const std::uint64_t held = pages * kPageCapacity;
  return std::min<std::uint64_t>(len, held - std::min(held, offset));
}

RecordKey record_key(const CatalogEntry& row) {
  return {row.start_page, row.page_count, row.len, row.offset};
}

// A catalog as a snapshot row or the header names it: a run, or (version 8) a tree's root page,
// height and row count in the same three fields.
struct CatalogRef {
  RunLocation at;
  bool tree = false;
  auto key() const { return std::tuple(at.start, at.pages, at.len, tree); }
};

// Writes the new file through its pager; every page number is taken here, from page 9 on.
// Catalogs are written as trees when `trees`, else as runs, whatever form they were read in.
class Rewriter {
 public:
  Rewriter(pager::Pager& from, std::uint64_t from_pages, pager::Pager& to, bool trees)
      : from_(from), from_pages_(from_pages), to_(to), trees_(trees) {}

  // Step 1.
  [[nodiscard]] Result<void> gather_live(const std::vector<CatalogRef>& catalogs) {
    for (const CatalogRef& ref : catalogs) {
      const auto rows = TRY(load(ref));
      for (const CatalogEntry& row : rows)
        if (!row.deleted) live_.insert(row.id);
    }
    return {};
  }
  bool live(const Ulid& id) const { return live_.contains(id); }

  // Step 2 for one catalog: its kept rows with their new record locations (given them here, or
  // by pack_records), written as a run or a tree. `dropped` tells whether any row was.
  [[nodiscard]] Result<std::vector<CatalogEntry>> rewrite_catalog(const CatalogRef& ref,
                                                                  RunLocation& written,
                                                                  bool& dropped) {
    std::vector<CatalogEntry> rows = TRY(load(ref));
    dropped = std::erase_if(rows, [&](const CatalogEntry& row) { return !live(row.id); }) != 0;
    for (CatalogEntry& row : rows) {
      if (row.page_count == 0) continue;
      auto [it, fresh] = records_.try_emplace(record_key(row));
      if (fresh) {
        const auto len = readable_len(row.page_count, row.len, row.offset);
        it->second = PackedPlace{take(run_pages(len)), 0, static_cast<std::uint32_t>(run_pages(len)),
                                 static_cast<std::uint32_t>(len)};
      }
      row.start_page = it->second.start_page;
      row.page_count = it->second.page_count;
      row.len = it->second.len;
      row.offset = it->second.offset;
    }
    if (trees_) {
      const SlotTreeRoot root = TRY(build_catalog_tree(
          rows, [&](Bytes node) -> Result<std::uint64_t> { return TRY(write(node)).start; }));
      written = RunLocation{root.page, root.height, root.count};
    } else {
      written = TRY(write(encode_catalog(rows)));
    }
    return rows;
  }

  // Step 3 (version 7): every record at the place step 2 gave it.
  [[nodiscard]] Result<void> copy_records() {
    pager::ReadWindow window;  // records in page order, read ahead from the old file
    ScanBuffer buffer;
    for (const auto& [key, to] : records_) {
      const ByteView bytes = TRY(read_record_for_scan(from_, entry_at(key), window, buffer));
      TRY(to_.write_run(to.start_page, bytes));
    }
    return {};
  }

  // Steps 2 and 3 (version 8): every kept record of the catalogs, read in its old page order and
  // packed from the next page on; each page is written once, when the packer has moved past it.
  [[nodiscard]] Result<void> pack_records(const std::vector<CatalogRef>& catalogs) {
    for (const CatalogRef& ref : catalogs) {
      for (const CatalogEntry& row : TRY(load(ref)))
        if (live(row.id) && row.page_count != 0) records_.try_emplace(record_key(row));
    }
    pager::ReadWindow window;
    ScanBuffer buffer;
    RecordPacker packer;
    std::optional<std::pair<std::uint64_t, Bytes>> pending;  // the page the packer may still add to
    const auto allocate = [&](std::uint64_t pages) -> Result<std::uint64_t> { return take(pages); };
    const auto stage = [&](std::uint64_t page, ByteView payload) -> Result<void> {
      if (pending && pending->first != page) TRY(to_.write_run(pending->first, pending->second));
      pending.emplace(page, Bytes(payload.begin(), payload.end()));
      return {};
    };
    for (auto& [key, to] : records_) {
      const ByteView bytes = TRY(read_record_for_scan(from_, entry_at(key), window, buffer));
      to = TRY(packer.add(bytes, allocate, stage));
    }
    if (pending) TRY(to_.write_run(pending->first, pending->second));
    return {};
  }

  // Step 4: each distinct index once: a whole run byte for byte; one stored as trees (whose
  // run names other pages of the old file) read and written again, as trees or as a whole run.
  // `trees`, when given, describes the trees of the index written.
  [[nodiscard]] Result<RunLocation> copy_index(const RunLocation& run, std::uint64_t dimensions,
                                               PostingTrees* trees = nullptr) {
    if (run.pages == 0) return RunLocation{};
    auto [it, fresh] = runs_.try_emplace(key_of(run.start, run.pages, run.len));
    if (!fresh) return it->second;
    const Bytes head = TRY(read_run_bytes(from_, run.start, 1, run.len));
    if (!is_index_root(head)) {
      it->second = TRY(write(TRY(read_run_bytes(from_, run.start, run.pages, run.len))));
      return it->second;
    }
    const auto index = TRY(load_any_index(from_, run, dimensions, from_pages_, nullptr, nullptr));
    if (!trees_) {
      it->second = TRY(write(TRY(index::encode_index(*index))));
      return it->second;
    }
    const IndexPlan plan = TRY(plan_index_write(*index, PostingTrees{}));
    const IndexCommit commit = TRY(write_index(
        from_, [&](ByteView bytes) { return write(bytes); }, *index, PostingTrees{}, plan,
        from_pages_));
    it->second = commit.run;
    if (trees) trees->adopt(commit, *index);
    return it->second;
  }

  [[nodiscard]] Result<RunLocation> write(ByteView bytes) {
    const std::uint64_t pages = run_pages(bytes.size());
    const std::uint64_t start = take(pages);
    TRY(to_.write_run(start, bytes));
    return RunLocation{start, pages, bytes.size()};
  }

  std::uint64_t page_count() const { return next_; }

 private:
  [[nodiscard]] Result<std::vector<CatalogEntry>> load(const CatalogRef& ref) {
    if (!ref.tree) return load_catalog(from_, ref.at.start, ref.at.pages, ref.at.len);
    const SlotTreeRoot root = TRY(catalog_root(ref.at.start, ref.at.pages, ref.at.len));
    return load_catalog_tree(from_, root, kFirstNodePage, from_pages_);
  }

  std::uint64_t take(std::uint64_t pages) {
    const std::uint64_t start = next_;
    next_ += pages;
    return start;
  }

  pager::Pager& from_;
  std::uint64_t from_pages_;
  pager::Pager& to_;
  bool trees_;
  std::unordered_set<Ulid, memory::UlidHash> live_;
  // The row of the old file's record at `key`, for reading it.
  static CatalogEntry entry_at(const RecordKey& key) {
    CatalogEntry entry;
    entry.start_page = std::get<0>(key);
    entry.page_count = static_cast<std::uint32_t>(std::get<1>(key));
    entry.len = static_cast<std::uint32_t>(std::get<2>(key));
    entry.offset = std::get<3>(key);
    return entry;
  }

  std::map<RecordKey, PackedPlace> records_;  // old place -> new, in old page order
  std::map<RunKey, RunLocation> runs_;     // index runs
  std::uint64_t next_ = kFirstRunPage;
};

CatalogRef catalog_of(const Snapshot& s) {
  return {{s.catalog_start, s.catalog_pages, s.catalog_len}, s.catalog_tree};
}
RunLocation index_of(const Snapshot& s) { return {s.index_start, s.index_pages, s.index_len}; }

// The header's state as a snapshot row, so that it is handled as the kept rows are.
Snapshot current_of(const format::Header& h) {
  Snapshot s{h.last_txn_id, 0,           h.catalog_start, h.catalog_pages, h.catalog_len,
             h.index_start, h.index_pages, h.index_len,   h.memory_count};
  s.catalog_tree = h.version == format::kTreeVersion;
  return s;
}

// The whole new file but its installation: steps 1 to 5. `header` comes in as the old file's
// committed header and goes out as the new one's; its version says which form catalogs take.
Result<void> write_file(pager::Pager& from, pager::Pager& to, const std::vector<Snapshot>& kept,
                        const format::Header& old_header, format::Header& header,
                        RewrittenFile& out) {
  // Distinct catalogs, the current one first; an empty catalog (no run, no tree) needs none.
  std::vector<Snapshot> rows = kept;
  rows.push_back(current_of(old_header));
  using CatalogKey = decltype(CatalogRef{}.key());
  std::map<CatalogKey, std::size_t> catalog_slots;
  std::vector<CatalogRef> catalogs;
  for (const Snapshot& s : rows) {
    if (s.catalog_pages == 0) continue;
    const CatalogRef ref = catalog_of(s);
    if (catalog_slots.try_emplace(ref.key(), catalogs.size()).second) catalogs.push_back(ref);
  }
  const bool trees = header.version == format::kTreeVersion;
  Rewriter rewriter(from, old_header.page_count, to, trees);
  TRY(rewriter.gather_live(catalogs));
  if (trees) TRY(rewriter.pack_records(catalogs));

  std::vector<RunLocation> written(catalogs.size());
  const Snapshot current = rows.back();
  for (std::size_t i = 0; i < catalogs.size(); ++i) {
    bool dropped = false;
    auto catalog = TRY(rewriter.rewrite_catalog(catalogs[i], written[i], dropped));
    if (catalogs[i].key() == catalog_of(current).key()) {
      out.slots_kept = !dropped;
      out.catalog = std::move(catalog);
    }
  }
  if (!trees) TRY(rewriter.copy_records());

  const auto moved = [&](Snapshot s) -> Result<Snapshot> {
    if (s.catalog_pages != 0) {
      const RunLocation& c = written[catalog_slots.at(catalog_of(s).key())];
      s.catalog_start = c.start;
      s.catalog_pages = c.pages;
      s.catalog_len = c.len;
    }
    s.catalog_tree = trees;
    const RunLocation i = TRY(rewriter.copy_index(index_of(s), header.dimensions));
    s.index_start = i.start;
    s.index_pages = i.pages;
    s.index_len = i.pages == 0 ? 0 : i.len;
    return s;
  };
  // Written as trees, the current index comes first, so that the trees the handle goes on with
  // are the ones written (a kept row naming the same index shares them).
  if (trees) (void)TRY(rewriter.copy_index(index_of(current), header.dimensions, &out.trees));
  for (const Snapshot& s : kept) out.manifest.push_back(TRY(moved(s)));
  const Snapshot now = TRY(moved(current));
  header.catalog_start = now.catalog_start;
  header.catalog_pages = now.catalog_pages;
  header.catalog_len = now.catalog_len;
  header.index_start = now.index_start;
  header.index_pages = now.index_pages;
  header.index_len = now.index_len;
  header.manifest_start = header.manifest_pages = header.manifest_len = 0;
  if (!out.manifest.empty()) {
    const RunLocation m = TRY(rewriter.write(encode_manifest(out.manifest)));
    header.manifest_start = m.start;
    header.manifest_pages = m.pages;
    header.manifest_len = m.len;
  }
  header.wal_start = kWalStart;
  header.wal_pages = kWalPages;
  header.page_count = rewriter.page_count();
  TRY(to.sync());
  return to.write_header(header);
}

// Files on disk: in place, a file beside the database renamed over it; or the new file `dest`.
class PathTarget final : public VacuumTarget {
 public:
  PathTarget(std::string file, std::optional<std::string> install_at)
      : file_(std::move(file)), install_at_(std::move(install_at)) {}

  Result<std::unique_ptr<pager::File>> create() override {
    // In place, the handle lock is held exclusively: a file left here by a vacuum that crashed
    // belongs to no one.
    if (install_at_) TRY(pager::remove_path(file_));
    auto made = TRY(pager::PosixFile::create_new(file_));
    created_ = true;
    return std::unique_ptr<pager::File>(std::move(made));
  }
  Result<void> install() override { return pager::rename_path(file_, *install_at_); }
  Result<void> sync_install() override { return pager::sync_parent(*install_at_); }
  void discard() override {
    if (created_) (void)pager::remove_path(file_);
  }

 private:
  std::string file_;
  std::optional<std::string> install_at_;
  bool created_ = false;
};

std::optional<std::uint16_t> target_version(const VacuumOptions& options) {
  if (!options.format_version) return std::nullopt;
  return static_cast<std::uint16_t>(*options.format_version);
}

QuarnError held_elsewhere() {
  return QuarnError::io_errno(
      EBUSY, "the database is open in another handle; close every other handle to vacuum in place");
}

}  // namespace

Result<VacuumResult> Store::vacuum(const VacuumOptions& options) {
  if (options.format_version && *options.format_version != format::kCurrentVersion &&
      *options.format_version != format::kTreeVersion)
    return fail(QuarnError::invalid_argument("format version must be 7 or 8"));
  if (options.keep_snapshots && *options.keep_snapshots == 0)
    return fail(QuarnError::invalid_argument("keep_snapshots must be at least 1"));
  if (options.dest) {
    if (TRY(pager::path_exists(*options.dest)))
      return fail(QuarnError::io_errno(EEXIST, "the destination already exists"));
    PathTarget target(*options.dest, std::nullopt);
    return vacuum_into(target, false, options.keep_snapshots, options.passphrase,
                       target_version(options));
  }
  const std::string at = TRY(pager::resolved_path(path_));
  if (!TRY(pager_->is_at(at)))
    return fail(QuarnError::io_errno(EBUSY, "the database file was replaced since it was opened"));
  PathTarget target(at + ".vacuum", at);
  return vacuum_into(target, true, options.keep_snapshots, options.passphrase,
                     target_version(options));
}

Result<VacuumResult> Store::vacuum_into(VacuumTarget& target, bool in_place,
                                        std::optional<std::uint64_t> keep_snapshots,
                                        std::optional<ByteView> passphrase,
                                        std::optional<std::uint16_t> format_version) {
  if (keep_snapshots && *keep_snapshots == 0)
    return fail(QuarnError::invalid_argument("keep_snapshots must be at least 1"));
  if (in_place) {
    auto held = pager_->hold(pager::File::HoldMode::Exclusive, false);
    if (!held) return fail(held.error().os_errno() == EWOULDBLOCK ? held_elsewhere() : held.error());
  }
  auto result = vacuum_held(target, in_place, keep_snapshots, passphrase, format_version);
  // On failure the handle is still on the old file, whose lock goes back to shared; on success it
  // is on the new one, held shared since before the rename.
  if (in_place && !result) (void)pager_->hold(pager::File::HoldMode::Shared, false);
  return result;
}

Result<VacuumResult> Store::vacuum_held(VacuumTarget& target, bool in_place,
                                        std::optional<std::uint64_t> keep_snapshots,
                                        std::optional<ByteView> passphrase,
                                        std::optional<std::uint16_t> format_version) {
  TRY(flush());
  // Nothing to flush skips the flush's own check: another handle's commit would be lost.
  TRY(commit_->check_current());
  VacuumResult result;
  result.file_bytes_before = TRY(pager_->file_size());
  const std::size_t keep = keep_snapshots
                               ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                     *keep_snapshots, manifest_.size()))
                               : manifest_.size();
  const std::vector<Snapshot> kept(manifest_.end() - static_cast<std::ptrdiff_t>(keep),
                                   manifest_.end());

  RewrittenFile out;
  const format::Header old_header = commit_->committed();
  out.header = old_header;
  if (format_version) out.header.version = *format_version;
  std::optional<NewKeys> keys;
  if (passphrase) {
    keys = TRY(make_keys(*passphrase, out.header.kdf_m_cost, out.header.kdf_t_cost,
                         out.header.kdf_p_cost));
    set_key_material(out.header, keys->salt, keys->dek_nonce, keys->wrapped);
  }
  std::unique_ptr<pager::File> file = TRY(target.create());
  const auto written = [&]() -> Result<void> {
    // The new file is held as every open database is; in place the handle goes on with it.
    auto held = file->hold(pager::File::HoldMode::Shared, false);
    if (in_place && !held) return fail(held.error());
    pager::Pager next = keys ? TRY(pager::Pager::create(std::move(file), std::move(keys->dek), 0,
                                                        out.header.version))
                             : TRY(pager_->successor(std::move(file)));
    next.set_version(out.header.version);
    next.cache().set_capacity(pager_->cache().stats().second);
    out.pager = std::make_unique<pager::Pager>(std::move(next));
    TRY(write_file(*pager_, *out.pager, kept, old_header, out.header, out));
    out.file_bytes = TRY(out.pager->file_size());
    if (in_place) TRY(target.install());
    return {};
  }();
  if (!written) {
    out.pager.reset();
    file.reset();
    target.discard();
    return fail(written.error());
  }
  result.file_bytes_after = out.file_bytes;
  result.snapshots = kept.size();
  if (in_place) switch_to(std::move(out));
  result.memories = live_count();
  if (!in_place) return result;
  TRY(target.sync_install());  // the handle is on the new file, which the path names already
  return result;
}

// The handle goes on on the new file: its pager, commit unit, catalog and manifest; the index is
// the same. Records kept their bytes, so the scan table follows them to their new runs, unless
// rows were dropped from the current catalog, which moves slots: then it starts afresh.
void Store::switch_to(RewrittenFile&& rewritten) {
  if (records_ && !rewritten.slots_kept) records_.reset();
  if (records_) {
    // Only an entry made from its slot's current run is the record the new run holds.
    for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
      if (records_->table().holds(slot, catalog_[slot]))
        records_->relocated(slot, rewritten.catalog[slot]);
      else
        records_->forget(slot);
    }
    records_->catalog_replaced(rewritten.catalog);
  }
  auto pager = std::move(rewritten.pager);
  auto commit = std::make_unique<CommitUnit>(*pager, rewritten.header, rewritten.file_bytes);
  commit_ = std::move(commit);
  pager_ = std::move(pager);  // the old file is closed here, releasing its locks
  catalog_ = std::move(rewritten.catalog);
  id_index_ = build_id_index(catalog_);
  recount_live();
  manifest_ = std::move(rewritten.manifest);
  dirty_ = false;
  index_dirty_ = false;
  const format::Header& h = commit_->committed();
  format_version_ = next_version_ = h.version;
  catalog_root_ = h.version == format::kTreeVersion
                      ? SlotTreeRoot{h.catalog_start, static_cast<std::uint32_t>(h.catalog_pages),
                                     h.catalog_len}
                      : SlotTreeRoot{};
  changed_slots_.clear();
  rebuild_catalog_ = false;
  posting_trees_ = std::move(rewritten.trees);  // not valid: written anew at the next change
  spare_index_.reset();  // names pages of the old file
  spare_trees_ = {};
  journal_index();
}

}  // namespace quarn::store
