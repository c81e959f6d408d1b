#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "format/bytes.h"
#include "pager/file.h"

namespace quarn::pager {
namespace {

// Bytes one copy_file_range call is asked for, and the buffer of the fallback copy.
constexpr std::uint64_t kCopyChunk = std::uint64_t{1} << 30;
constexpr std::size_t kCopyBuffer = std::size_t{1} << 20;

// Retries a system call that was interrupted by a signal before it did anything.
template <class Call>
auto retry_eintr(Call call) {
  for (;;) {
    auto r = call();
    if (r != -1 || errno != EINTR) return r;
  }
}

// An offset range that an off_t cannot address is refused before the kernel sees it.
bool fits_off_t(std::uint64_t offset, std::size_t length) {
  constexpr auto kMax = static_cast<std::uint64_t>(INT64_MAX);
  return offset <= kMax && length <= kMax - offset;
}

// Fills `out` from `offset`, continuing short reads. The end of the file before that is
// "failed to fill whole buffer".
Result<void> read_all(const Syscalls& sys, int fd, std::uint64_t offset,
                      std::span<std::uint8_t> out) {
  if (!fits_off_t(offset, out.size())) return fail(QuarnError::io_errno(EOVERFLOW));
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = retry_eintr([&] {
      return sys.pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    });
    if (n < 0) return fail(QuarnError::io_errno(errno));
    if (n == 0) return fail(QuarnError::io("failed to fill whole buffer"));
    done += static_cast<std::size_t>(n);
  }
  return {};
}

// Writes all of `in` at `offset`, continuing short writes. A write that accepts nothing: "failed
// to write whole buffer".
Result<void> write_all(const Syscalls& sys, int fd, std::uint64_t offset, ByteView in) {
  if (!fits_off_t(offset, in.size())) return fail(QuarnError::io_errno(EOVERFLOW));
  std::size_t done = 0;
  while (done < in.size()) {
    const ssize_t n = retry_eintr([&] {
      return sys.pwrite(fd, in.data() + done, in.size() - done, static_cast<off_t>(offset + done));
    });
    if (n < 0) return fail(QuarnError::io_errno(errno));
    if (n == 0) return fail(QuarnError::io("failed to write whole buffer"));
    done += static_cast<std::size_t>(n);
  }
  return {};
}

// copy_file_range refuses these for pairs of files it cannot copy between (other file systems,
// special files); the copy then goes through a buffer instead.
bool copy_unsupported(int errno_value) {
  return errno_value == EXDEV || errno_value == ENOSYS || errno_value == EINVAL ||
         errno_value == EOPNOTSUPP || errno_value == EPERM;
}

// Copies bytes [0, length) of `src` to the same offsets of `dst`.
Result<void> copy_range(const Syscalls& sys, int src, int dst, std::uint64_t length) {
  std::uint64_t done = 0;
  bool in_kernel = true;
  Bytes buffer;
  while (done < length) {
    const std::uint64_t chunk = std::min(length - done, kCopyChunk);
    if (in_kernel) {
      off_t in_off = static_cast<off_t>(done);
      off_t out_off = static_cast<off_t>(done);
      const ssize_t n = retry_eintr([&] {
        return sys.copy_file_range(src, &in_off, dst, &out_off, static_cast<std::size_t>(chunk), 0);
      });
      if (n < 0 && copy_unsupported(errno)) {
        in_kernel = false;
        continue;
      }
      if (n < 0) return fail(QuarnError::io_errno(errno));
      if (n == 0) return fail(QuarnError::io("failed to fill whole buffer"));  // the file shrank
      done += static_cast<std::uint64_t>(n);
      continue;
    }
    if (buffer.empty()) buffer.resize(kCopyBuffer);
    const auto piece = std::span(buffer).first(
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk, kCopyBuffer)));
    TRY(read_all(sys, src, done, piece));
    TRY(write_all(sys, dst, done, piece));
    done += piece.size();
  }
  return {};
}

// The directory that holds `path`, for syncing a new entry in it.
std::string parent_dir(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Closes a descriptor on every path that does not close it on purpose.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

Result<void> sync_dir(const Syscalls& sys, const std::string& dir) {
  Fd fd{retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); })};
  if (fd.fd < 0) return fail(QuarnError::io_errno(errno));
  if (retry_eintr([&] { return sys.fsync(fd.fd); }) != 0) return fail(QuarnError::io_errno(errno));
  return {};
}

int fcntl_lock_call(int fd, int cmd, struct flock* lock) {
  return ::fcntl(fd, cmd, lock);
}

ssize_t copy_file_range_call(int fd_in, off_t* off_in, int fd_out, off_t* off_out,
                             std::size_t length, unsigned flags) {
  return ::copy_file_range(fd_in, off_in, fd_out, off_out, length, flags);
}

// The file system cannot allocate: the file is extended with written zeros instead.
bool allocate_unsupported(int error) {
  return error == EOPNOTSUPP || error == ENOSYS;
}

}  // namespace

const Syscalls& system_calls() {
  static constexpr Syscalls kSystem{
      ::pread, ::pwrite, ::fsync, ::flock, copy_file_range_call, ::posix_fallocate, fcntl_lock_call};
  return kSystem;
}

Result<std::unique_ptr<PosixFile>> PosixFile::open_existing(const std::string& path,
                                                            const Syscalls& sys) {
  const int fd = retry_eintr([&] { return ::open(path.c_str(), O_RDWR | O_CLOEXEC); });
  if (fd < 0) return fail(QuarnError::io_errno(errno));
  return std::unique_ptr<PosixFile>(new PosixFile(fd, sys));
}

Result<std::unique_ptr<PosixFile>> PosixFile::open_held(const std::string& path) {
  constexpr int kAttempts = 16;
  for (int attempt = 1;; ++attempt) {
    auto file = TRY(open_existing(path));
    if (!file->hold(HoldMode::Shared, true)) return file;
    const auto same = file->is_at(path);
    if (!same || *same || attempt == kAttempts) return file;
  }
}

Result<std::unique_ptr<PosixFile>> PosixFile::open_read_only(const std::string& path,
                                                             const Syscalls& sys) {
  const int fd = retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return fail(QuarnError::io_errno(errno));
  return std::unique_ptr<PosixFile>(new PosixFile(fd, sys));
}

Result<std::unique_ptr<PosixFile>> PosixFile::create_new(const std::string& path,
                                                         const Syscalls& sys) {
  const int fd = retry_eintr(
      [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
  if (fd < 0) return fail(QuarnError::io_errno(errno));
  std::unique_ptr<PosixFile> file(new PosixFile(fd, sys));
  // The new name is durable only once its directory is.
  TRY(sync_dir(sys, parent_dir(path)));
  return file;
}

PosixFile::~PosixFile() {
  if (fd_ >= 0) ::close(fd_);  // closing releases any flock held through this descriptor
}

Result<void> PosixFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) {
  return read_all(*sys_, fd_, offset, out);
}

Result<void> PosixFile::write_at(std::uint64_t offset, std::span<const std::uint8_t> in) {
  return write_all(*sys_, fd_, offset, in);
}

Result<void> PosixFile::sync() {
  if (retry_eintr([&] { return sys_->fsync(fd_); }) != 0) return fail(QuarnError::io_errno(errno));
  return {};
}

Result<void> PosixFile::allocate(std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return {};
  if (!fits_off_t(offset, length)) return fail(QuarnError::io_errno(EFBIG));
  int error;
  do {
    error = sys_->fallocate(fd_, static_cast<off_t>(offset), static_cast<off_t>(length));
  } while (error == EINTR);
  if (error == 0) return {};
  if (!allocate_unsupported(error)) return fail(QuarnError::io_errno(error));
  const std::uint64_t end = offset + length;
  std::uint64_t at = TRY(size());
  const Bytes zeros(std::min<std::uint64_t>(kCopyBuffer, end > at ? end - at : 0), 0);
  while (at < end) {
    const auto piece = ByteView(zeros).first(
        static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), end - at)));
    TRY(write_all(*sys_, fd_, at, piece));
    at += piece.size();
  }
  return {};
}

Result<std::uint64_t> PosixFile::size() {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return fail(QuarnError::io_errno(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

// flock locks belong to the open file description, so two opens of one path in the same process
// exclude each other just as two processes do.
Result<void> PosixFile::lock_exclusive() {
  if (retry_eintr([&] { return sys_->flock(fd_, LOCK_EX); }) != 0)
    return fail(QuarnError::io_errno(errno));
  return {};
}

void PosixFile::unlock() {
  (void)sys_->flock(fd_, LOCK_UN);
}

Result<void> PosixFile::hold(HoldMode mode, bool wait) {
  struct flock lock {};
  lock.l_type = mode == HoldMode::Shared ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;  // l_start = l_len = 0: the whole file, however long it grows
  const int cmd = wait ? F_OFD_SETLKW : F_OFD_SETLK;
  if (retry_eintr([&] { return sys_->fcntl_lock(fd_, cmd, &lock); }) == 0) return {};
  const int error = errno == EACCES ? EWOULDBLOCK : errno;
  return fail(QuarnError::io_errno(error));
}

Result<bool> PosixFile::is_at(const std::string& path) {
  struct stat open_file {};
  struct stat named {};
  if (::fstat(fd_, &open_file) != 0) return fail(QuarnError::io_errno(errno));
  if (::stat(path.c_str(), &named) != 0) {
    if (errno == ENOENT) return false;
    return fail(QuarnError::io_errno(errno));
  }
  return open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

// `dest` is opened without truncation and compared with this file first: truncating the database
// itself (the same path, a symbolic or a hard link) would destroy it.
Result<void> PosixFile::copy_to(const std::string& dest) {
  struct stat src {};
  if (::fstat(fd_, &src) != 0) return fail(QuarnError::io_errno(errno));
  Fd out{retry_eintr([&] { return ::open(dest.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666); })};
  if (out.fd < 0) return fail(QuarnError::io_errno(errno));
  struct stat dst {};
  if (::fstat(out.fd, &dst) != 0) return fail(QuarnError::io_errno(errno));
  if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino)
    return fail(QuarnError::io("destination is the database itself"));
  if (retry_eintr([&] { return ::ftruncate(out.fd, 0); }) != 0)
    return fail(QuarnError::io_errno(errno));
  TRY(copy_range(*sys_, fd_, out.fd, static_cast<std::uint64_t>(src.st_size)));
  if (::fchmod(out.fd, src.st_mode & 07777) != 0) return fail(QuarnError::io_errno(errno));
  if (retry_eintr([&] { return sys_->fsync(out.fd); }) != 0)
    return fail(QuarnError::io_errno(errno));
  // A close that reports an error after the sync may have lost nothing, but says so.
  if (::close(out.release()) != 0 && errno != EINTR) return fail(QuarnError::io_errno(errno));
  return {};
}

Result<void> rename_path(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return fail(QuarnError::io_errno(errno));
  return {};
}

Result<void> sync_parent(const std::string& path) {
  return sync_dir(system_calls(), parent_dir(path));
}

Result<std::string> resolved_path(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return fail(QuarnError::io_errno(errno));
  std::string out(resolved);
  std::free(resolved);
  return out;
}

Result<void> remove_path(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail(QuarnError::io_errno(errno));
  return {};
}

Result<bool> path_exists(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  return fail(QuarnError::io_errno(errno));
}

}  // namespace quarn::pager
