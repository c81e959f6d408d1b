#include "pager/testing/flaky_syscalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace quarn::pager::testing {
namespace {

std::atomic<unsigned> g_calls{0};

bool interrupted() {
  if (++g_calls % 2 == 0) return false;
  errno = EINTR;
  return true;
}

ssize_t flaky_pread(int fd, void* buf, std::size_t n, off_t off) {
  return interrupted() ? -1 : ::pread(fd, buf, std::min(n, kMostBytes), off);
}
ssize_t flaky_pwrite(int fd, const void* buf, std::size_t n, off_t off) {
  return interrupted() ? -1 : ::pwrite(fd, buf, std::min(n, kMostBytes), off);
}
int flaky_fsync(int fd) {
  return interrupted() ? -1 : ::fsync(fd);
}
int flaky_flock(int fd, int op) {
  return interrupted() ? -1 : ::flock(fd, op);
}
ssize_t flaky_copy(int in, off_t* in_off, int out, off_t* out_off, std::size_t n, unsigned flags) {
  return interrupted()
             ? -1
             : ::copy_file_range(in, in_off, out, out_off, std::min(n, kMostBytes), flags);
}
int flaky_fallocate(int fd, off_t offset, off_t length) {
  return interrupted() ? EINTR : ::posix_fallocate(fd, offset, length);
}
ssize_t cross_device_copy(int, off_t*, int, off_t*, std::size_t, unsigned) {
  errno = EXDEV;
  return -1;
}
int flaky_fcntl_lock(int fd, int cmd, struct flock* lock) {
  return interrupted() ? -1 : ::fcntl(fd, cmd, lock);
}
int cannot_allocate(int, off_t, off_t) {
  return EOPNOTSUPP;
}

}  // namespace

const Syscalls& flaky_syscalls() {
  static constexpr Syscalls kFlaky{flaky_pread, flaky_pwrite, flaky_fsync,
                                   flaky_flock, flaky_copy,   flaky_fallocate, flaky_fcntl_lock};
  return kFlaky;
}

const Syscalls& flaky_syscalls_without_offload() {
  static constexpr Syscalls kFlaky{flaky_pread, flaky_pwrite,      flaky_fsync,
                                   flaky_flock, cross_device_copy, cannot_allocate,
                                   flaky_fcntl_lock};
  return kFlaky;
}

}  // namespace quarn::pager::testing
