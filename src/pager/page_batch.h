// Whole pages written to their places in a file, consecutive pages gathered into one write call.
#pragma once

#include <cstdint>
#include <span>

#include "error/error.h"
#include "format/bytes.h"
#include "pager/file.h"

namespace quarn::pager {

// Consecutive pages per write call: 256 KiB, from one buffer each thread keeps, so that writing
// pages neither allocates nor faults in fresh memory.
inline constexpr std::size_t kBatchPages = 32;

// Gathers page images and writes them. The bytes that reach the file, and their order, are those
// of writing each page in turn at page * 8192; only the number of write calls differs. Nothing is
// synced. Only one batch per thread may be open at a time (they share the buffer).
class PageBatch {
 public:
  explicit PageBatch(File& file) : file_(file) {}
  PageBatch(const PageBatch&) = delete;
  PageBatch& operator=(const PageBatch&) = delete;

  // The place to fill with the 8192-byte image of `page`, valid until the next call. The pages
  // gathered so far are written first when `page` does not follow the last of them or the batch
  // is full. A page whose offset does not fit a file offset is InvalidArgument.
  [[nodiscard]] Result<std::span<std::uint8_t, kPageSize>> next(std::uint64_t page);
  // Writes the pages gathered so far. Pages still gathered when the batch is dropped are not
  // written, so a failure between next() and flush() writes nothing half-made.
  [[nodiscard]] Result<void> flush();

 private:
  File& file_;
  std::uint64_t first_ = 0;  // page of the first gathered image
  std::size_t held_ = 0;     // images gathered
};

}  // namespace quarn::pager
