// The engine's one seam to the file system. Every read and write of a database file goes through a
// File, so tests can replace it with an in-memory file that fails, stops or tears writes on demand.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

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
  // Current length in bytes.
  [[nodiscard]] virtual Result<std::uint64_t> size() = 0;
  // Exclusive advisory lock across handles and processes (flock); released by unlock().
  [[nodiscard]] virtual Result<void> lock_exclusive() = 0;
  virtual void unlock() = 0;
  // The descriptor of a real file, or -1 for files that have none.
  virtual int native_handle() const { return -1; }
};

// A file on disk, read and written with pread/pwrite (never a shared seek offset), EINTR retried.
class PosixFile final : public File {
 public:
  // Opens an existing file for reading and writing. Failure: Io with the OS text.
  [[nodiscard]] static Result<std::unique_ptr<PosixFile>> open_existing(const std::string& path);
  // Opens an existing file for reading only (a file to import); writes through it fail.
  [[nodiscard]] static Result<std::unique_ptr<PosixFile>> open_read_only(const std::string& path);
  // Creates a new file with O_CREAT | O_EXCL, mode 0666 (less the umask), and fsyncs its directory.
  // An existing path fails with Io carrying EEXIST (os_errno() == EEXIST).
  [[nodiscard]] static Result<std::unique_ptr<PosixFile>> create_new(const std::string& path);
  ~PosixFile() override;

  Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) override;
  Result<void> write_at(std::uint64_t offset, std::span<const std::uint8_t> in) override;
  Result<void> sync() override;
  Result<std::uint64_t> size() override;
  Result<void> lock_exclusive() override;
  void unlock() override;
  int native_handle() const override { return fd_; }

 private:
  explicit PosixFile(int fd) : fd_(fd) {}
  int fd_;
};

// Existence query for the path (following links): true, false when it does not exist, Io otherwise.
[[nodiscard]] Result<bool> path_exists(const std::string& path);

}  // namespace quarn::pager
