// The engine's one seam to the file system. Every read and write of a database file goes through a
// File, so tests can replace it with an in-memory file that fails, stops or tears writes on demand.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "error/error.h"

namespace quarn::pager {

class File {
 public:
  virtual ~File() = default;

  // Reads exactly out.size() bytes at offset. Ending early is Io "failed to fill whole buffer".
  [[nodiscard]] virtual Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
  // Writes all of in at offset, continuing short writes. A write that accepts no bytes is Io
  // "failed to write whole buffer".
  [[nodiscard]] virtual Result<void> write_at(std::uint64_t offset,
                                              std::span<const std::uint8_t> in) = 0;
  // Makes everything written so far durable (data and metadata).
  [[nodiscard]] virtual Result<void> sync() = 0;
  // Gives bytes [offset, offset + length) storage, so that writing them later cannot fail for
  // want of room; bytes past the end of the file are added as zeros, bytes that exist keep their
  // contents. No room: Io ENOSPC; past the file size limit: Io EFBIG. Durable with the next sync.
  [[nodiscard]] virtual Result<void> allocate(std::uint64_t offset, std::uint64_t length) = 0;
  // Current length in bytes.
  [[nodiscard]] virtual Result<std::uint64_t> size() = 0;
  // Exclusive advisory lock across handles and processes (flock); released by unlock().
  [[nodiscard]] virtual Result<void> lock_exclusive() = 0;
  virtual void unlock() = 0;
  // The handle lock, separate from the lock above (the two never exclude each other): every open
  // database holds it shared for its whole life, and a rewrite that replaces the file at its path
  // (an in-place vacuum) holds it exclusively, so it can tell that no other handle, in this
  // process or another, has the file open. Taking it again in the other mode converts it. With
  // `wait`, a shared request waits while another handle holds it exclusively; otherwise a
  // conflict is Io EWOULDBLOCK at once.
  enum class HoldMode : std::uint8_t { Shared, Exclusive };
  [[nodiscard]] virtual Result<void> hold(HoldMode mode, bool wait) = 0;
  // Whether this open file is still the one `path` names (it is not once another file was renamed
  // over the path). A file without a path on disk answers true.
  [[nodiscard]] virtual Result<bool> is_at(const std::string& path) = 0;
  // Copies the whole file byte for byte to the file at `dest` (created when missing, otherwise
  // replaced) with this file's permission bits, and makes the copy durable. A `dest` that is this
  // very file (the same path, a symbolic or a hard link) is refused with Io "destination is the
  // database itself" before anything is touched. A copy cut short may leave `dest` partly written.
  [[nodiscard]] virtual Result<void> copy_to(const std::string& dest) = 0;
};

// Holds a file's exclusive lock until destroyed. Flush and open's recovery run under it, so two
// handles (in one process or two) never write or replay at the same time.
class FileLock {
 public:
  [[nodiscard]] static Result<FileLock> take(File& file) {
    TRY(file.lock_exclusive());
    return FileLock(file);
  }
  FileLock(FileLock&& other) noexcept : file_(std::exchange(other.file_, nullptr)) {}
  FileLock& operator=(FileLock&&) = delete;
  ~FileLock() {
    if (file_) file_->unlock();
  }

 private:
  explicit FileLock(File& file) : file_(&file) {}
  File* file_;
};

// The system calls PosixFile makes in its loops. Tests substitute calls that return early or are
// interrupted, so that every continuation path runs; the engine only ever uses system_calls().
struct Syscalls {
  ssize_t (*pread)(int fd, void* buf, std::size_t count, off_t offset);
  ssize_t (*pwrite)(int fd, const void* buf, std::size_t count, off_t offset);
  int (*fsync)(int fd);
  int (*flock)(int fd, int operation);
  ssize_t (*copy_file_range)(int fd_in, off_t* off_in, int fd_out, off_t* off_out,
                             std::size_t length, unsigned flags);
  // posix_fallocate: 0 or the error number.
  int (*fallocate)(int fd, off_t offset, off_t length);
  // fcntl with a struct flock argument (the handle lock: F_OFD_SETLK, F_OFD_SETLKW).
  int (*fcntl_lock)(int fd, int cmd, struct flock* lock);
};
const Syscalls& system_calls();

// A file on disk, read and written with pread/pwrite (never a shared seek offset). Interrupted
// calls are retried and short reads and writes continued.
class PosixFile final : public File {
 public:
  // Opens an existing file for reading and writing. Failure: Io with the OS text.
  [[nodiscard]] static Result<std::unique_ptr<PosixFile>> open_existing(
      const std::string& path, const Syscalls& sys = system_calls());
  // Opens an existing file as a database handle does: holding the handle lock shared (waiting
  // while a vacuum holds it). A vacuum may rename a new file over the path between the open and
  // the lock, which then holds the old file, about to be gone: the new one is opened instead. A
  // file system without these locks opens as open_existing does.
  [[nodiscard]] static Result<std::unique_ptr<PosixFile>> open_held(const std::string& path);
  // Opens an existing file for reading only (a file to import); writes through it fail.
  [[nodiscard]] static Result<std::unique_ptr<PosixFile>> open_read_only(
      const std::string& path, const Syscalls& sys = system_calls());
  // Creates a new file with O_CREAT | O_EXCL, mode 0666 (less the umask), and fsyncs its directory.
  // An existing path fails with Io carrying EEXIST (os_errno() == EEXIST).
  [[nodiscard]] static Result<std::unique_ptr<PosixFile>> create_new(
      const std::string& path, const Syscalls& sys = system_calls());
  ~PosixFile() override;

  Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) override;
  Result<void> write_at(std::uint64_t offset, std::span<const std::uint8_t> in) override;
  Result<void> sync() override;
  // posix_fallocate; where the file system cannot allocate, zeros are written past the end of
  // the file instead (never over bytes that exist).
  Result<void> allocate(std::uint64_t offset, std::uint64_t length) override;
  Result<std::uint64_t> size() override;
  Result<void> lock_exclusive() override;
  void unlock() override;
  // An open file description lock over the whole file (F_OFD_SETLK / F_OFD_SETLKW), released when
  // the descriptor closes.
  Result<void> hold(HoldMode mode, bool wait) override;
  // fstat of the descriptor against stat of the path: same device and inode.
  Result<bool> is_at(const std::string& path) override;
  // From this file's open descriptor, never by its path (which may name another file by now);
  // in-kernel (copy_file_range) where the file systems allow it.
  Result<void> copy_to(const std::string& dest) override;
  int native_handle() const { return fd_; }

 private:
  PosixFile(int fd, const Syscalls& sys) : fd_(fd), sys_(&sys) {}
  int fd_;
  const Syscalls* sys_;
};

// Renames `from` over `to`, atomically replacing it (both in one file system).
[[nodiscard]] Result<void> rename_path(const std::string& from, const std::string& to);
// Syncs the directory that holds `path`, making a new or renamed entry in it durable.
[[nodiscard]] Result<void> sync_parent(const std::string& path);

// The path with every symbolic link resolved (realpath), so that a rename replaces the file
// rather than a link to it.
[[nodiscard]] Result<std::string> resolved_path(const std::string& path);

// Removes a file; a missing one is not an error.
[[nodiscard]] Result<void> remove_path(const std::string& path);

// Existence query for the path (following links): true, false when it does not exist, Io otherwise.
[[nodiscard]] Result<bool> path_exists(const std::string& path);

}  // namespace quarn::pager
