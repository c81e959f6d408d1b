// Test-only files: an in-memory File and a wrapper that fails calls or crashes on demand.
//
// A MemDisk is the "disk": bytes shared by every MemFile opened on it, so a test can drop one File
// and reopen the same bytes as another. A FaultFile is a MemFile that also counts and logs its
// calls, fails a chosen call with an Io error, or crashes at a chosen write or sync and then tells
// what the disk would hold after the crash under three fixed models and a seeded one.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "format/bytes.h"
#include "pager/file.h"

namespace quarn::pager::testing {

struct PageWrite {
  std::uint64_t offset;  // a multiple of kPageSize
  Bytes image;           // kPageSize bytes
};

struct MemDisk {
  Bytes bytes;
  // Holder of the exclusive lock, if any.
  const void* lock_owner = nullptr;
  // Holders of the handle lock and their modes.
  std::map<const void*, File::HoldMode> holders;
  // When set, every whole aligned page covered by a write is appended to page_log, in write order
  // (for checks over every image ever written, e.g. that no nonce encrypts two plaintexts).
  bool log_pages = false;
  std::vector<PageWrite> page_log;
  // What copy_to made, by destination: the in-memory files' exports.
  std::map<std::string, Bytes> copies;
  // The most bytes the file may hold: a write or allocation that would need more fails with
  // full_errno (ENOSPC: the disk is full; EFBIG: a file size limit), a write after writing what
  // fits, as a real one does.
  std::uint64_t room = UINT64_MAX;
  int full_errno = ENOSPC;
};

// Reads past the end fail like a real file ("failed to fill whole buffer"); writes past the end
// extend the file with zeros in between, up to 1 TiB (beyond: Io EFBIG, as a file size limit gives)
// and up to the disk's room.
class MemFile : public File {
 public:
  explicit MemFile(std::shared_ptr<MemDisk> disk = std::make_shared<MemDisk>());
  ~MemFile() override;
  const std::shared_ptr<MemDisk>& disk() const { return disk_; }

  Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) override;
  Result<void> write_at(std::uint64_t offset, std::span<const std::uint8_t> in) override;
  Result<void> sync() override { return {}; }
  Result<void> allocate(std::uint64_t offset, std::uint64_t length) override;
  Result<std::uint64_t> size() override { return disk_->bytes.size(); }
  // Another handle holding the lock is Io EWOULDBLOCK (a blocking wait would hang the test).
  Result<void> lock_exclusive() override;
  void unlock() override;
  // A conflict is Io EWOULDBLOCK, waiting or not (a wait would hang the test).
  Result<void> hold(HoldMode mode, bool wait) override;
  Result<bool> is_at(const std::string&) override { return true; }
  // Stores a copy of the bytes under `dest` in the disk's copies.
  Result<void> copy_to(const std::string& dest) override;

 private:
  std::shared_ptr<MemDisk> disk_;
};

enum class OpKind : std::uint8_t { Read, Write, Sync, Size, Lock, Copy, Allocate };
inline constexpr std::size_t kOpKinds = 7;

struct Op {
  OpKind kind;
  std::uint64_t offset = 0;  // reads and writes
  std::uint64_t length = 0;
  bool ok = true;            // false when the call was failed on purpose or after the crash
};

// What the disk holds after a crash.
enum class CrashModel : std::uint8_t {
  KeepWritten,   // every write before the crash point reached the disk
  DropUnsynced,  // writes after the last successful sync are lost
  TearCrashed,   // as KeepWritten, plus the first half of the crashed write (a crash at a sync
                 // tears nothing, so this equals KeepWritten)
};

// The sector a disk writes atomically: a torn write keeps some of its sectors and not others.
inline constexpr std::uint64_t kSectorSize = 512;

class FaultFile : public MemFile {
 public:
  explicit FaultFile(std::shared_ptr<MemDisk> disk = std::make_shared<MemDisk>());

  // The n-th call (1-based) of `kind` fails with Io `errno_value` and has no effect.
  void fail_nth(OpKind kind, std::uint64_t n, int errno_value = EIO);
  // The n-th I/O call of any kind fails likewise.
  void fail_nth_call(std::uint64_t n, int errno_value = EIO);
  // The n-th call of `kind` (a write, sync or allocation) crashes: it has no effect, and it and
  // every later call fail with Io EIO.
  void crash_at(OpKind kind, std::uint64_t n);
  // From the n-th call of `kind` on, the disk is full: its room is what the file holds then, and
  // what would need more fails with `errno_value` (the call itself included).
  void fill_disk_at(OpKind kind, std::uint64_t n, int errno_value = ENOSPC);
  bool crashed() const { return crashed_; }
  // The disk after the crash (or now, when nothing crashed) under a model.
  Bytes crash_image(CrashModel model) const;
  // The disk after the crash under the seeded model, as a disk that reorders and tears unsynced
  // writes may leave it: from the state of the last successful sync, each write since then (and
  // the crashed write) is, as `seed` draws, lost, kept, or torn, keeping a random subset of its
  // 512-byte sectors (aligned on file offsets). Kept sectors land in write order; a sector past
  // the end extends the file, with zeros in any gap. The same seed gives the same image.
  Bytes crash_image(std::uint64_t seed) const;

  // Calls of a kind so far, failed ones included.
  std::uint64_t count(OpKind kind) const { return counts_[static_cast<int>(kind)]; }
  std::uint64_t writes() const { return count(OpKind::Write); }
  std::uint64_t syncs() const { return count(OpKind::Sync); }
  const std::vector<Op>& ops() const { return ops_; }

  Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) override;
  Result<void> write_at(std::uint64_t offset, std::span<const std::uint8_t> in) override;
  Result<void> sync() override;
  Result<void> allocate(std::uint64_t offset, std::uint64_t length) override;
  Result<std::uint64_t> size() override;
  Result<void> lock_exclusive() override;
  Result<void> copy_to(const std::string& dest) override;

 private:
  struct Rule {
    std::optional<OpKind> kind;  // none: any call
    std::uint64_t n;
    int errno_value;
  };
  struct Pending {
    std::uint64_t offset;
    Bytes bytes;
  };
  // Counts and logs a call; returns the error it must fail with, if any.
  std::optional<QuarnError> enter(OpKind kind, std::uint64_t offset, std::uint64_t length);

  std::uint64_t counts_[kOpKinds] = {};
  std::uint64_t calls_ = 0;
  std::vector<Rule> rules_;
  std::optional<std::pair<OpKind, std::uint64_t>> crash_point_;
  std::optional<Rule> fill_;
  bool crashed_ = false;
  std::vector<Op> ops_;
  Bytes durable_;                  // the disk as of the last successful sync
  std::vector<Pending> unsynced_;  // writes since then, in order
  std::optional<Pending> torn_;    // the write the crash interrupted
};

}  // namespace quarn::pager::testing
