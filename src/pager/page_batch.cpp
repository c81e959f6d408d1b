#include "pager/page_batch.h"

#include <memory>
#include <string>

namespace quarn::pager {
namespace {

std::uint8_t* batch_buffer() {
  thread_local const auto buffer =
      std::make_unique_for_overwrite<std::uint8_t[]>(kBatchPages * kPageSize);
  return buffer.get();
}

}  // namespace

Result<std::span<std::uint8_t, kPageSize>> PageBatch::next(std::uint64_t page) {
  std::uint64_t offset = 0;
  if (!page_offset(page, offset)) {
    return fail(QuarnError::invalid_argument("page " + std::to_string(page) +
                                             " lies beyond the largest file offset"));
  }
  if (held_ == kBatchPages || (held_ > 0 && page != first_ + held_)) TRY(flush());
  if (held_ == 0) first_ = page;
  std::uint8_t* const slot = batch_buffer() + held_ * kPageSize;
  ++held_;
  return std::span<std::uint8_t, kPageSize>(slot, kPageSize);
}

Result<void> PageBatch::flush() {
  if (held_ == 0) return {};
  const std::size_t held = held_;
  held_ = 0;
  return file_.write_at(first_ * kPageSize, ByteView(batch_buffer(), held * kPageSize));
}

}  // namespace quarn::pager
