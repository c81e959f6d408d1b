#include "pager/testing/mem_file.h"

#include <algorithm>

namespace quarn::pager::testing {
namespace {

void apply(Bytes& bytes, std::uint64_t offset, ByteView in) {
  if (in.empty()) return;
  if (bytes.size() < offset + in.size()) bytes.resize(offset + in.size());
  std::copy(in.begin(), in.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace

MemFile::MemFile(std::shared_ptr<MemDisk> disk) : disk_(std::move(disk)) {}

MemFile::~MemFile() { unlock(); }

Result<void> MemFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) {
  const Bytes& bytes = disk_->bytes;
  if (offset > bytes.size() || out.size() > bytes.size() - offset)
    return fail(QuarnError::io("failed to fill whole buffer"));
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
  return {};
}

Result<void> MemFile::write_at(std::uint64_t offset, std::span<const std::uint8_t> in) {
  constexpr std::uint64_t kMaxSize = std::uint64_t{1} << 40;
  if (offset > kMaxSize || in.size() > kMaxSize - offset) return fail(QuarnError::io_errno(EFBIG));
  apply(disk_->bytes, offset, in);
  if (disk_->log_pages) {
    const std::uint64_t end = offset + in.size();
    for (std::uint64_t page = (offset + kPageSize - 1) / kPageSize; (page + 1) * kPageSize <= end;
         ++page) {
      const auto first = in.begin() + static_cast<std::ptrdiff_t>(page * kPageSize - offset);
      disk_->page_log.push_back({page * kPageSize, Bytes(first, first + kPageSize)});
    }
  }
  return {};
}

Result<void> MemFile::lock_exclusive() {
  if (disk_->lock_owner && disk_->lock_owner != this) return fail(QuarnError::io_errno(EWOULDBLOCK));
  disk_->lock_owner = this;
  return {};
}

void MemFile::unlock() {
  if (disk_->lock_owner == this) disk_->lock_owner = nullptr;
}

FaultFile::FaultFile(std::shared_ptr<MemDisk> disk) : MemFile(std::move(disk)) {
  durable_ = this->disk()->bytes;
}

void FaultFile::fail_nth(OpKind kind, std::uint64_t n, int errno_value) {
  rules_.push_back({kind, n, errno_value});
}

void FaultFile::fail_nth_call(std::uint64_t n, int errno_value) {
  rules_.push_back({std::nullopt, n, errno_value});
}

void FaultFile::crash_at(OpKind kind, std::uint64_t n) { crash_point_ = {kind, n}; }

std::optional<QuarnError> FaultFile::enter(OpKind kind, std::uint64_t offset,
                                           std::uint64_t length) {
  const std::uint64_t nth = ++counts_[static_cast<int>(kind)];
  const std::uint64_t call = ++calls_;
  if (crash_point_ && crash_point_->first == kind && crash_point_->second == nth) crashed_ = true;
  std::optional<QuarnError> error;
  if (crashed_) error = QuarnError::io_errno(EIO);
  for (const Rule& rule : rules_) {
    if (error) break;
    if (rule.kind ? (*rule.kind == kind && rule.n == nth) : rule.n == call)
      error = QuarnError::io_errno(rule.errno_value);
  }
  ops_.push_back({kind, offset, length, !error});
  return error;
}

Result<void> FaultFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (auto e = enter(OpKind::Read, offset, out.size())) return fail(std::move(*e));
  return MemFile::read_at(offset, out);
}

Result<void> FaultFile::write_at(std::uint64_t offset, std::span<const std::uint8_t> in) {
  const bool was_crashed = crashed_;
  if (auto e = enter(OpKind::Write, offset, in.size())) {
    if (!was_crashed && crashed_) torn_ = Pending{offset, Bytes(in.begin(), in.end())};
    return fail(std::move(*e));
  }
  TRY(MemFile::write_at(offset, in));
  unsynced_.push_back({offset, Bytes(in.begin(), in.end())});
  return {};
}

Result<void> FaultFile::sync() {
  if (auto e = enter(OpKind::Sync, 0, 0)) return fail(std::move(*e));
  for (const Pending& w : unsynced_) apply(durable_, w.offset, w.bytes);
  unsynced_.clear();
  return {};
}

Result<std::uint64_t> FaultFile::size() {
  if (auto e = enter(OpKind::Size, 0, 0)) return fail(std::move(*e));
  return MemFile::size();
}

Result<void> FaultFile::lock_exclusive() {
  if (auto e = enter(OpKind::Lock, 0, 0)) return fail(std::move(*e));
  return MemFile::lock_exclusive();
}

Bytes FaultFile::crash_image(CrashModel model) const {
  switch (model) {
    case CrashModel::KeepWritten:
      return disk()->bytes;
    case CrashModel::DropUnsynced:
      return durable_;
    case CrashModel::TearCrashed: {
      Bytes bytes = disk()->bytes;
      if (torn_) apply(bytes, torn_->offset, ByteView(torn_->bytes).first(torn_->bytes.size() / 2));
      return bytes;
    }
  }
  return {};
}

}  // namespace quarn::pager::testing
