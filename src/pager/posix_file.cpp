#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "pager/file.h"

namespace quarn::pager {
namespace {

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

// The directory that holds `path`, for syncing a new entry in it.
std::string parent_dir(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

Result<void> sync_dir(const std::string& dir) {
  const int fd = retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return fail(QuarnError::io_errno(errno));
  const int rc = retry_eintr([&] { return ::fsync(fd); });
  const int saved = errno;
  ::close(fd);
  if (rc != 0) return fail(QuarnError::io_errno(saved));
  return {};
}

}  // namespace

Result<std::unique_ptr<PosixFile>> PosixFile::open_existing(const std::string& path) {
  const int fd = retry_eintr([&] { return ::open(path.c_str(), O_RDWR | O_CLOEXEC); });
  if (fd < 0) return fail(QuarnError::io_errno(errno));
  return std::unique_ptr<PosixFile>(new PosixFile(fd));
}

Result<std::unique_ptr<PosixFile>> PosixFile::open_read_only(const std::string& path) {
  const int fd = retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return fail(QuarnError::io_errno(errno));
  return std::unique_ptr<PosixFile>(new PosixFile(fd));
}

Result<std::unique_ptr<PosixFile>> PosixFile::create_new(const std::string& path) {
  const int fd = retry_eintr(
      [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
  if (fd < 0) return fail(QuarnError::io_errno(errno));
  std::unique_ptr<PosixFile> file(new PosixFile(fd));
  // The new name is durable only once its directory is.
  TRY(sync_dir(parent_dir(path)));
  return file;
}

PosixFile::~PosixFile() {
  if (fd_ >= 0) ::close(fd_);  // closing releases any flock held through this descriptor
}

Result<void> PosixFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (!fits_off_t(offset, out.size())) return fail(QuarnError::io_errno(EOVERFLOW));
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = retry_eintr([&] {
      return ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    });
    if (n < 0) return fail(QuarnError::io_errno(errno));
    if (n == 0) return fail(QuarnError::io("failed to fill whole buffer"));
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Result<void> PosixFile::write_at(std::uint64_t offset, std::span<const std::uint8_t> in) {
  if (!fits_off_t(offset, in.size())) return fail(QuarnError::io_errno(EOVERFLOW));
  std::size_t done = 0;
  while (done < in.size()) {
    const ssize_t n = retry_eintr([&] {
      return ::pwrite(fd_, in.data() + done, in.size() - done, static_cast<off_t>(offset + done));
    });
    if (n < 0) return fail(QuarnError::io_errno(errno));
    if (n == 0) return fail(QuarnError::io("failed to write whole buffer"));
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Result<void> PosixFile::sync() {
  if (retry_eintr([&] { return ::fsync(fd_); }) != 0) return fail(QuarnError::io_errno(errno));
  return {};
}

Result<std::uint64_t> PosixFile::size() {
  struct stat st{};
  if (::fstat(fd_, &st) != 0) return fail(QuarnError::io_errno(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

// flock locks belong to the open file description, so two opens of one path in the same process
// exclude each other just as two processes do.
Result<void> PosixFile::lock_exclusive() {
  if (retry_eintr([&] { return ::flock(fd_, LOCK_EX); }) != 0)
    return fail(QuarnError::io_errno(errno));
  return {};
}

void PosixFile::unlock() { (void)::flock(fd_, LOCK_UN); }

Result<bool> path_exists(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  return fail(QuarnError::io_errno(errno));
}

}  // namespace quarn::pager
