// The store: one open database. Everything the Python layer calls goes through this header.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "error/error.h"
#include "format/bytes.h"
#include "format/header.h"
#include "memory/memory.h"
#include "store/catalog.h"
#include "store/index_tree.h"
#include "store/manifest.h"
#include "store/packed_records.h"
#include "store/slot_tree.h"

namespace quarn::index {
class IvfPqIndex;
}
namespace quarn::pager {
class File;
class Pager;
}  // namespace quarn::pager

namespace quarn::store {

class CommitUnit;
class RecordCache;
struct RewrittenFile;  // vacuum.cpp

inline constexpr std::uint64_t kDefaultMaxSnapshots = 256;

// What snapshots() lists and the restores return.
struct SnapshotInfo {
  std::uint64_t txn_id = 0;
  std::int64_t created_at = 0;
  std::uint64_t memory_count = 0;
};

struct IndexStats {
  std::uint64_t vectors = 0;
  std::uint64_t partitions = 0;
  std::uint64_t subspaces = 0;
};

struct Stats {
  std::uint64_t memories = 0;
  std::uint64_t deleted = 0;
  std::uint64_t dimensions = 0;
  std::uint64_t file_bytes = 0;
  std::vector<std::string> agents;
  bool encrypted = false;
  std::int64_t created_at = 0;
  std::uint64_t wal_pages = 0;
  std::uint64_t snapshots = 0;
  std::optional<IndexStats> index;
};

struct RecallRequest {
  std::vector<float> query;
  std::uint64_t top_k = 10;
  std::optional<std::vector<MemoryType>> memory_types;
  std::optional<std::string> agent_id;
  bool track_access = true;
  float weight_similarity = 1.0f;
  float weight_recency = 0.3f;
  float weight_importance = 0.2f;
  float weight_access = 0.1f;
  float recency_half_life_secs = 604800.0f;
  std::optional<std::uint64_t> n_probe;
  std::optional<std::uint64_t> n_rerank;
};

struct RecallResult {
  Memory memory;
  float score = 0.0f;
  float similarity = 0.0f;
};

// What a vacuum reports: the file's length before and after, the snapshot rows kept and the live
// memories.
struct VacuumResult {
  std::uint64_t file_bytes_before = 0;
  std::uint64_t file_bytes_after = 0;
  std::uint64_t snapshots = 0;
  std::uint64_t memories = 0;
};

struct VacuumOptions {
  std::optional<std::string> dest;              // none: the database is replaced in place
  std::optional<std::uint64_t> keep_snapshots;  // none: every row; else the newest k (k >= 1)
  std::optional<ByteView> passphrase;           // a fresh data key, wrapped under this passphrase
  std::optional<std::uint64_t> format_version;  // none: the file's; else 7 or 8 (else InvalidArgument)
};

// Where a vacuum writes its file and how that file takes the database's place. vacuum() uses
// files on disk; tests pass in-memory ones.
class VacuumTarget {
 public:
  virtual ~VacuumTarget() = default;
  // A new, empty file; an existing one is refused.
  [[nodiscard]] virtual Result<std::unique_ptr<pager::File>> create() = 0;
  // In place only: the new file, complete and synced, is renamed over the database's path (once
  // this succeeds the path names the new file)...
  [[nodiscard]] virtual Result<void> install() = 0;
  // ...and the rename is made durable.
  [[nodiscard]] virtual Result<void> sync_install() = 0;
  // Removes what create() made, after a failure.
  virtual void discard() = 0;
};

class Store {
 public:
  // Opens the file at `path`, or creates it when the path does not exist. Creating needs
  // `dimensions` (1..4294967295); without it: InvalidArgument
  // "dimensions is required when creating a new database" (the Python layer checks first).
  [[nodiscard]] static Result<std::unique_ptr<Store>> open(const std::string& path,
                                                           ByteView passphrase,
                                                           std::optional<std::uint64_t> dimensions);
  // The same over an already-made file (tests inject faulty files here). `exists` says whether the
  // file holds a database to open or is new and empty and must be created.
  [[nodiscard]] static Result<std::unique_ptr<Store>> open_file(
      std::unique_ptr<pager::File> file, bool exists, const std::string& path, ByteView passphrase,
      std::optional<std::uint64_t> dimensions);
  ~Store();

  // Writes.
  [[nodiscard]] Result<Ulid> remember(Memory memory);
  [[nodiscard]] Result<void> remove(const Ulid& id);  // the soft delete
  [[nodiscard]] Result<void> flush();

  // Reads.
  [[nodiscard]] Result<Memory> get(const Ulid& id);
  [[nodiscard]] Result<std::vector<Memory>> memories();
  std::uint64_t live_count() const;
  // Onboarding memories in their stated order (manifest first, importance desc, created_at asc).
  [[nodiscard]] Result<std::vector<Memory>> about();
  [[nodiscard]] Result<Stats> stats();
  // Authenticates every clean page of every live record from the file; decodes each record.
  [[nodiscard]] Result<std::uint64_t> verify();
  // Stages the default manifest memory; returns its id.
  [[nodiscard]] Result<Ulid> insert_default_manifest();

  // Retrieval.
  [[nodiscard]] Result<std::vector<RecallResult>> recall(const RecallRequest& request);
  [[nodiscard]] Result<std::vector<std::pair<Memory, float>>> search(std::span<const float> query,
                                                                     std::uint64_t top_k);
  [[nodiscard]] Result<void> build_index();
  bool has_index() const;
  void drop_index();
  // Changes the loaded index's n_probe and n_rerank (absent: unchanged; 0 acts as 1, as the probe
  // clamps); a change reaches the file at the next flush. No index: InvalidArgument.
  [[nodiscard]] Result<void> set_index_params(std::optional<std::uint64_t> n_probe,
                                              std::optional<std::uint64_t> n_rerank);
  // Off by default, never stored: when on, an indexed recall whose filters leave fewer than top_k
  // candidates goes on to the next candidates and partitions (index::ProbeCursor).
  void set_iterative_scan(bool enabled) { iterative_scan_ = enabled; }

  // The file format: 7 (every flush writes the catalog whole) or 8 (the catalog is a tree of
  // which a flush writes what changed). The version the file was last committed in, and the one
  // the next flush writes. set_format_version(8) on a version-7 file has the next flush write
  // the new form (and commits one even when nothing else is staged); the retained snapshot rows
  // stay restorable. Any version but 7 or 8: InvalidArgument; 8 back to 7: InvalidArgument
  // (not built yet).
  std::uint16_t format_version() const { return format_version_; }
  [[nodiscard]] Result<void> set_format_version(std::uint64_t version);

  // Snapshots.
  std::vector<SnapshotInfo> snapshots() const;
  [[nodiscard]] Result<SnapshotInfo> restore_to(std::uint64_t txn_id);
  [[nodiscard]] Result<SnapshotInfo> restore_to_time(std::int64_t unix_secs);
  void set_max_snapshots(std::uint64_t max) { max_snapshots_ = max; }

  // Cache.
  void set_cache_capacity(std::uint64_t pages);
  std::pair<std::uint64_t, std::uint64_t> cache_stats() const;

  // Flushes, then copies the file byte for byte from the open file to `dest` with the source's
  // permission bits, synced (pager::File::copy_to). A flush failure comes back as it is; a copy
  // failure is Io with detail ExportCopy (the Python layer raises "export failed: {}" with its
  // description).
  [[nodiscard]] Result<void> export_encrypted(const std::string& dest);

  // Portable export and import (portable.cpp), in the JSON Lines format of jsonl.h.
  // Writes every live memory, and with `include_deleted` the soft-deleted ones too, in catalog
  // order and as this handle sees them (staged changes included), to the new file `dest`, synced;
  // returns how many. An existing `dest` is refused (Io, EEXIST); a failed export removes its file.
  [[nodiscard]] Result<std::uint64_t> export_jsonl(const std::string& dest, bool include_deleted);
  // Stages every memory of the export `src` exactly as written (ids, times, access statistics,
  // types, scopes, metadata, deleted flags); a memory whose id exists is stored again under it.
  // Returns how many. The whole file is checked before anything is staged: a line that is not a
  // memory of this database refuses it, with `line` naming it (1 is the header line) and `error`
  // (InvalidArgument) saying why. `line` is 0 for a failure that is not about one line.
  struct ImportError {
    QuarnError error;
    std::uint64_t line = 0;
  };
  [[nodiscard]] std::expected<std::uint64_t, ImportError> import_jsonl(const std::string& src);

  // Vacuum and key rotation (vacuum.cpp, rekey.cpp).
  // Flushes, then writes a new file holding exactly what the kept snapshot rows (and the current
  // state) reach: each catalog, index and referenced record once, records re-encrypted page by
  // page, locations rewritten, everything else as it was; rows deleted in every kept catalog are
  // dropped with their records. No snapshot row is added. In place (no dest), the handle lock is
  // taken exclusively first (another open handle: Io EBUSY, nothing done), the new file is
  // written beside the database, synced, renamed over it, the directory synced, and this handle
  // goes on on the new file. With dest, the copy is written there (an existing dest: Io EEXIST
  // before anything, the flush included) and the database is unchanged. keep_snapshots 0:
  // InvalidArgument. The new file has the database's format version, or format_version (every
  // kept catalog written in that version's form: runs for 7, trees for 8). A failure removes
  // the new file and leaves the database as it was.
  [[nodiscard]] Result<VacuumResult> vacuum(const VacuumOptions& options);
  // Wraps the data key again under `new_passphrase` (fresh salt, the file's Argon2 costs) and
  // commits it, with anything staged, as one transaction. A failure keeps the old passphrase.
  [[nodiscard]] Result<void> change_passphrase(ByteView new_passphrase);

  std::uint64_t dimensions() const { return dimensions_; }
  const std::string& path() const { return path_; }

 private:
  Store() = default;
  friend struct StoreAccess;  // tests (store/internal.h)

  // Opening, creating and the write path (store.cpp, write.cpp); the commit machinery is the
  // commit unit's (commit.h).

  // Fixed for production; tests lower them: the Argon2 costs given to files this handle creates,
  // and the largest encoded record remember accepts.
  struct Tuning {
    std::uint32_t kdf_m_cost = 19456;
    std::uint32_t kdf_t_cost = 2;
    std::uint32_t kdf_p_cost = 1;
    std::uint64_t record_limit = 4294967295u;
  };

  [[nodiscard]] static Result<std::unique_ptr<Store>> open_path(
      const std::string& path, ByteView passphrase, std::optional<std::uint64_t> dimensions,
      const Tuning& tuning);
  [[nodiscard]] static Result<std::unique_ptr<Store>> open_tuned(
      std::unique_ptr<pager::File> file, bool exists, const std::string& path, ByteView passphrase,
      std::optional<std::uint64_t> dimensions, const Tuning& tuning);
  [[nodiscard]] static Result<std::unique_ptr<Store>> create(std::unique_ptr<pager::File> file,
                                                             const std::string& path,
                                                             format::Header header,
                                                             crypto::Key dek, const Tuning& tuning);
  [[nodiscard]] static Result<std::unique_ptr<Store>> open_existing(
      std::unique_ptr<pager::File> file, const std::string& path, ByteView passphrase,
      const Tuning& tuning);
  [[nodiscard]] Result<void> upgrade(std::uint16_t version, bool index_loaded);
  // Has the next flush move a log region that overlaps a run the state refers to (commit.h,
  // invariant d); at open and after a restore.
  void check_log_region(std::span<const std::uint64_t> catalog_nodes = {},
                        const std::vector<std::pair<std::size_t, CatalogEntry>>* rows = nullptr);
  // The catalog becomes `count` rows with `rows` (slot, row) in place (restore.cpp).
  void replace_rows(std::size_t count, std::span<const std::pair<std::size_t, CatalogEntry>> rows);

  // Record reads, snapshots and retrieval (reads.cpp, restore.cpp, recall.cpp).

  // The memory of catalog slot `slot`, with the row's access statistics in place of the record's.
  [[nodiscard]] Result<Memory> read_memory(std::size_t slot);
  // The scan table and decoded records (see record_cache.h), ready for one operation.
  RecordCache& records();
  // Counts live_ again, after the catalog was replaced.
  void recount_live();
  // Makes `index` current with `trees` describing where it is stored, its changes journalled;
  // drops the index kept aside.
  void install_index(std::unique_ptr<index::IvfPqIndex> index, PostingTrees trees = {});
  // Points the index's journal at index_journal_ (emptied) while its trees are valid, else nowhere.
  void journal_index();
  // A catalog row changed (written at the next flush of a version-8 catalog).
  void note_row_changed(std::size_t slot) {
    if (format_version_ == format::kTreeVersion || next_version_ == format::kTreeVersion)
      changed_slots_.push_back(slot);
  }
  // Keep the scan table in step: the record just staged by remember, a row just deleted.
  void note_staged(const Memory& memory);
  void note_deleted(std::size_t slot);
  // Loads the row's catalog and index (any failure changes nothing), installs them, sets both
  // flags and flushes.
  [[nodiscard]] Result<void> apply_snapshot(const Snapshot& row);
  // Stages the record `bytes` at fresh pages, packed after the records staged before it when the
  // next flush writes version 8; its place.
  [[nodiscard]] Result<PackedPlace> stage_record(ByteView bytes);
  // Before a version-7 flush: every record that a row of catalog_ (and, with `retained`, of a
  // retained row's catalog tree) places inside a page is copied, staged, to pages of its own,
  // once; catalog_'s rows are moved there and `moved` receives old place -> new.
  [[nodiscard]] Result<void> unpack_records(PlaceMap& moved, bool retained);
  // Commits the staged state (even when nothing is staged) with the format-7 layout; with `keys`,
  // new key material in the same transaction.
  struct KeyMaterial;
  [[nodiscard]] Result<void> commit_state(const KeyMaterial* keys);
  // The vacuum over any target; the caller has checked the options.
  [[nodiscard]] Result<VacuumResult> vacuum_into(
      VacuumTarget& target, bool in_place, std::optional<std::uint64_t> keep_snapshots,
      std::optional<ByteView> passphrase, std::optional<std::uint16_t> format_version = {});
  [[nodiscard]] Result<VacuumResult> vacuum_held(VacuumTarget& target, bool in_place,
                                                 std::optional<std::uint64_t> keep_snapshots,
                                                 std::optional<ByteView> passphrase,
                                                 std::optional<std::uint16_t> format_version);
  void switch_to(RewrittenFile&& rewritten);

  // The pager (file, key, counter, page cache) and the commit unit over it, which owns the
  // in-memory header; both live as long as the store.
  std::unique_ptr<pager::Pager> pager_;
  std::unique_ptr<CommitUnit> commit_;
  std::vector<CatalogEntry> catalog_;
  IdIndex id_index_;
  std::vector<Snapshot> manifest_;
  std::unique_ptr<index::IvfPqIndex> index_;
  std::uint64_t live_ = 0;  // rows of catalog_ not deleted, kept in step by every change
  std::string path_;
  std::uint64_t dimensions_ = 0;
  std::uint64_t max_snapshots_ = kDefaultMaxSnapshots;
  // The catalog (with the record pages and the manifest) changed; the index must be written again.
  bool dirty_ = false;
  bool index_dirty_ = false;
  Tuning tuning_;
  // The scan table and the decoded records.
  std::shared_ptr<RecordCache> records_;
  bool iterative_scan_ = false;
  // The format of the last commit and of the next; with version 8, the committed catalog tree,
  // the rows changed since (unsorted, repeats allowed) and whether the next flush writes the
  // whole tree (the first flush in version 8, or a restored catalog that was not a tree).
  std::uint16_t format_version_ = format::kCurrentVersion;
  std::uint16_t next_version_ = format::kCurrentVersion;
  SlotTreeRoot catalog_root_;
  std::vector<std::size_t> changed_slots_;
  bool rebuild_catalog_ = false;
  // Version 8: the index's trees as committed, and the changes to its postings since (the index
  // appends to the journal); not valid trees are written anew at the next flush with an index.
  PostingTrees posting_trees_;
  std::vector<index::PostingChange> index_journal_;
  // Version 8: the committed index a restore last replaced, with its trees, so that a restore
  // back to a row over its model reads only the posting trees that differ; dropped by
  // build_index, drop_index, a vacuum and going back to version 7.
  std::unique_ptr<index::IvfPqIndex> spare_index_;
  PostingTrees spare_trees_;
  // Version 8: records staged since the last flush, packed into consecutive bytes; its open page
  // is always a staged (dirty) one, never a committed page.
  RecordPacker packer_;
};

}  // namespace quarn::store
