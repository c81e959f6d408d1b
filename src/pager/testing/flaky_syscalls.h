// Test-only system calls for PosixFile that make its loops work: every other call is interrupted
// before it does anything (EINTR), and the others move at most kMostBytes bytes.
#pragma once

#include <cstddef>

#include "pager/file.h"

namespace quarn::pager::testing {

inline constexpr std::size_t kMostBytes = 1000;

// Interrupted and short reads, writes, syncs, locks, in-kernel copies and allocations.
const Syscalls& flaky_syscalls();
// The same, except that the kernel does neither: it refuses to copy between the two files
// (EXDEV, as across file systems), so a copy goes through a buffer, and the file system cannot
// allocate (EOPNOTSUPP), so allocation writes zeros.
const Syscalls& flaky_syscalls_without_offload();

}  // namespace quarn::pager::testing
