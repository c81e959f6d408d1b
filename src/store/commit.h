// The commit unit: how the staged changes of an open database become one durable transaction.
// It owns the in-memory header (allocation of pages at the end of the file), the header as last
// committed, the marks by which a flush recognises its own file, the reservation and the fixed
// sequence of a flush. What metadata a flush serialises, and where the header points to it, is
// the part of a metadata layout (MetadataLayout), so another layout can use the same sequence.
//
// A flush, in order; each step that writes ends with a sync:
//   1. under the file lock, page 0 is read and must show a state this handle read or wrote;
//   2. the layout serialises what changed and bounds the run pages V it will take;
//   3. the log region moves to the end of the file when it cannot hold V + 1 page frames, or
//      might overlap a run (invariant d) (in-place header write, sync);
//   4. the reservation header: page_count + V and counter + D + V, so that a crash from here on
//      can never hand out again a page number or a nonce counter this transaction may use
//      (in-place header write, sync);
//   5. the D staged record pages are encrypted and written at home (the pager's write-back, sync);
//   6. the layout seals its runs into the transaction and sets the header's locations; the pages
//      of those runs are given storage in the file, so that neither the checkpoint nor a replay
//      at open can fail for want of room (a full disk or a size limit fails the flush here);
//      page 0 is sealed and the transaction goes to the log (commit, synced): the commit point;
//   7. checkpoint: the same images at home, page 0 last after a sync; then the bookkeeping.
//
// Invariants the crash safety rests on:
//   a. Pages are taken only at the end (page_count), never twice, and page_count never goes down:
//      with the pager's counter rule, a page number and a counter value encrypt one plaintext.
//   b. Both in-place header writes describe the last committed transaction (committed()) and
//      change only page_count, nonce_counter and the log region: whatever happens after them, the
//      file opens at the last commit. Record pages of step 5 lie beyond the committed page_count,
//      so nothing committed refers to them until the commit.
//   c. A failed flush keeps the layout's state (the store's flags and manifest); the retry
//      serialises again, takes fresh pages and the next transaction id.
//   d. The log region lies inside page_count, leaves page 0 alone and overlaps no run the state
//      refers to. A region this unit places lies at the end of the file, beyond every run, and
//      runs are only taken past page_count, so past it; only a region read from a file can
//      overlap one. The store checks that region against the runs its state refers to once the
//      state is loaded (the catalog's records, the catalog, index and manifest runs, and the
//      catalog and index runs of every snapshot row), and again when a restore brings back an
//      older catalog, whose records were not checked; an overlapping region is moved by the next
//      flush, as a region over page 0 is. A file of version 6 or below loses its snapshot rows
//      at open, so the first check covers every run it refers to; a version-7 region is sealed,
//      so only a holder of the key could have placed it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "error/error.h"
#include "format/bytes.h"
#include "format/header.h"
#include "pager/pager.h"
#include "wal/wal.h"

namespace quarn::store {

// Where a stored byte string lies, as header fields and snapshot rows record it.
struct RunLocation {
  std::uint64_t start = 0;
  std::uint64_t pages = 0;
  std::uint64_t len = 0;
  bool operator==(const RunLocation&) const = default;
};

class CommitUnit;

// The transaction a flush is building: the images its commit will log and checkpoint, and the
// header it will commit.
class Transaction {
 public:
  std::uint64_t id() const { return id_; }
  // The header this transaction commits: the layout sets its run locations and counts.
  format::Header& header();
  // Allocates a run at the end of the file for `bytes` and seals it into the transaction.
  [[nodiscard]] Result<RunLocation> seal_run(ByteView bytes);

 private:
  friend class CommitUnit;
  Transaction(CommitUnit& unit, std::uint64_t id) : unit_(unit), id_(id) {}
  CommitUnit& unit_;
  std::uint64_t id_;
  std::vector<wal::PageImage> images_;
};

// The format-specific half of a flush.
class MetadataLayout {
 public:
  virtual ~MetadataLayout() = default;
  // Serialises what the flush will write, before anything is written (step 2). Returns V, an
  // upper bound of the pages write() will seal.
  [[nodiscard]] virtual Result<std::uint64_t> prepare() = 0;
  // Seals the prepared metadata into `txn` (at most V pages) and sets the header's locations and
  // memory_count (step 6).
  [[nodiscard]] virtual Result<void> write(Transaction& txn) = 0;
};

class CommitUnit {
 public:
  // A new file: its first header goes to page 0 (sealed, synced).
  [[nodiscard]] static Result<std::unique_ptr<CommitUnit>> create(pager::Pager& pager,
                                                                  format::Header header);
  // An existing file whose page 0, after recovery, is `header` and which is `file_bytes` long.
  // Page numbers handed out start past the end of the file: pages there may have been written
  // (and their nonces used) by a flush that never committed, or by states newer than a header
  // brought back from an old copy.
  CommitUnit(pager::Pager& pager, const format::Header& header, std::uint64_t file_bytes);

  // The in-memory header: the committed state plus what this handle has allocated since, and
  // the values of a failed flush.
  const format::Header& header() const { return header_; }
  // The header as last made durable as a committed state; in-place header writes start from it.
  const format::Header& committed() const { return committed_; }
  // The format version the next commit writes (an upgrade raises it).
  void set_version(std::uint16_t version) { header_.version = version; }

  // Takes `pages` pages at the end of the file. Refused, with nothing taken, when the page numbers
  // would pass the largest file offset.
  [[nodiscard]] Result<std::uint64_t> allocate(std::uint64_t pages);

  // Invariant d: whether the log region overlaps pages start .. start + pages - 1, and, once a
  // run the state refers to does, that the next flush must move the region.
  bool region_overlaps(std::uint64_t start, std::uint64_t pages) const;
  void distrust_region() { region_distrusted_ = true; }

  // Step 1 alone, under the file lock: Io EBUSY "database was changed by another handle; reopen
  // it" when another handle has committed or reserved since this one last read or wrote page 0.
  // For a rewrite of the whole file, which must start from the file's last commit even when
  // there is nothing to flush.
  [[nodiscard]] Result<void> check_current();

  // A file that has committed no transaction takes `version` at once: step 1's check under the
  // file lock, then page 0 written in place with the version (sealed, synced). Its committed
  // state is empty in either version, so nothing else changes.
  [[nodiscard]] Result<void> set_fresh_version(std::uint16_t version);

  // The fixed sequence above with `layout` for steps 2 and 6. On failure nothing the layout or
  // the store holds is taken as committed; the in-memory header may keep the failed attempt's
  // page count, locations and transaction id.
  [[nodiscard]] Result<void> flush(MetadataLayout& layout);
  // The same sequence, committing new key material (salt, wrapping nonce and wrapped data key)
  // in the transaction's page 0. The in-place header writes of steps 3 and 4 keep the committed
  // key material, so until the commit point only the old passphrase opens the file and from it
  // on only the new one (a page 0 torn by the checkpoint is rebuilt from the log). A failure
  // puts the committed key material back in the in-memory header.
  [[nodiscard]] Result<void> flush_rekeyed(MetadataLayout& layout, const crypto::Salt& salt,
                                           const crypto::Nonce& dek_nonce,
                                           const crypto::WrappedDek& wrapped);

 private:
  friend class Transaction;
  friend struct StoreAccess;

  // The page-0 fields by which a flush recognises that the file is still as this handle left it.
  struct DiskMark {
    std::uint64_t last_txn_id = 0;
    std::uint64_t nonce_counter = 0;
    std::uint64_t page_count = 0;
    std::uint64_t wal_start = 0;
    bool operator==(const DiskMark&) const = default;
    static DiskMark of(const format::Header& h) {
      return {h.last_txn_id, h.nonce_counter, h.page_count, h.wal_start};
    }
  };

  CommitUnit(pager::Pager& pager, const format::Header& header);
  [[nodiscard]] Result<void> check_unchanged();
  [[nodiscard]] Result<void> reserve(std::uint64_t run_pages);
  [[nodiscard]] Result<void> commit(Transaction& txn);
  // Page 0 written in place by `write` (sealed and synced by the pager).
  template <class Write>
  [[nodiscard]] Result<void> write_in_place(format::Header& header, Write&& write);

  pager::Pager& pager_;
  format::Header header_;
  format::Header committed_;
  // Every page-0 state this handle has read or tried to write since its last commit; a flush
  // refuses to write when the file's page 0 shows none of them.
  std::vector<DiskMark> disk_marks_;
  // The region overlaps a run the state refers to: the next flush moves it.
  bool region_distrusted_ = false;
};

}  // namespace quarn::store
