#include "pager/testing/mem_file.h"

#include <algorithm>

namespace quarn::pager::testing {
namespace {

constexpr std::uint64_t kMaxFileSize = std::uint64_t{1} << 40;

void apply(Bytes& bytes, std::uint64_t offset, ByteView in) {
  if (in.empty()) return;
  if (bytes.size() < offset + in.size()) bytes.resize(offset + in.size());
  std::copy(in.begin(), in.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

// splitmix64: a small deterministic stream for the seeded crash model.
struct Draws {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
};

// Applies the sectors of one write that `keep` chooses, in order.
template <class Keep>
void apply_sectors(Bytes& bytes, std::uint64_t offset, ByteView in, Keep&& keep) {
  std::uint64_t at = offset;
  const std::uint64_t end = offset + in.size();
  while (at < end) {
    const std::uint64_t next = std::min(end, (at / kSectorSize + 1) * kSectorSize);
    if (keep()) apply(bytes, at, in.subspan(at - offset, next - at));
    at = next;
  }
}

}  // namespace

MemFile::MemFile(std::shared_ptr<MemDisk> disk) : disk_(std::move(disk)) {}

MemFile::~MemFile() {
  unlock();
  disk_->holders.erase(this);
}

Result<void> MemFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) {
  const Bytes& bytes = disk_->bytes;
  if (offset > bytes.size() || out.size() > bytes.size() - offset)
    return fail(QuarnError::io("failed to fill whole buffer"));
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
  return {};
}

Result<void> MemFile::write_at(std::uint64_t offset, std::span<const std::uint8_t> in) {
  if (offset > kMaxFileSize || in.size() > kMaxFileSize - offset)
    return fail(QuarnError::io_errno(EFBIG));
  const std::uint64_t end = offset + in.size();
  if (end > disk_->bytes.size() && end > disk_->room) {
    if (offset < disk_->room) apply(disk_->bytes, offset, in.first(disk_->room - offset));
    return fail(QuarnError::io_errno(disk_->full_errno));
  }
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

Result<void> MemFile::allocate(std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return {};
  if (offset > kMaxFileSize || length > kMaxFileSize - offset)
    return fail(QuarnError::io_errno(EFBIG));
  const std::uint64_t end = offset + length;
  if (end <= disk_->bytes.size()) return {};
  if (end > disk_->room) return fail(QuarnError::io_errno(disk_->full_errno));
  disk_->bytes.resize(end);
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

Result<void> MemFile::hold(HoldMode mode, bool) {
  for (const auto& [holder, held] : disk_->holders) {
    if (holder == this) continue;
    if (mode == HoldMode::Exclusive || held == HoldMode::Exclusive)
      return fail(QuarnError::io_errno(EWOULDBLOCK));
  }
  disk_->holders[this] = mode;
  return {};
}

Result<void> MemFile::copy_to(const std::string& dest) {
  disk_->copies[dest] = disk_->bytes;
  return {};
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

void FaultFile::fill_disk_at(OpKind kind, std::uint64_t n, int errno_value) {
  fill_ = Rule{kind, n, errno_value};
}

std::optional<QuarnError> FaultFile::enter(OpKind kind, std::uint64_t offset,
                                           std::uint64_t length) {
  const std::uint64_t nth = ++counts_[static_cast<int>(kind)];
  const std::uint64_t call = ++calls_;
  if (crash_point_ && crash_point_->first == kind && crash_point_->second == nth) crashed_ = true;
  if (fill_ && fill_->kind == kind && fill_->n == nth) {
    disk()->room = disk()->bytes.size();
    disk()->full_errno = fill_->errno_value;
  }
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

Result<void> FaultFile::allocate(std::uint64_t offset, std::uint64_t length) {
  if (auto e = enter(OpKind::Allocate, offset, length)) return fail(std::move(*e));
  const std::uint64_t before = disk()->bytes.size();
  TRY(MemFile::allocate(offset, length));
  // The zeros added are as durable as a write: until the next sync a crash may lose them.
  const std::uint64_t after = disk()->bytes.size();
  if (after > before) unsynced_.push_back({before, Bytes(after - before, 0)});
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

Result<void> FaultFile::copy_to(const std::string& dest) {
  if (auto e = enter(OpKind::Copy, 0, 0)) return fail(std::move(*e));
  return MemFile::copy_to(dest);
}

Bytes FaultFile::crash_image(std::uint64_t seed) const {
  Draws draws{seed};
  Bytes bytes = durable_;
  const auto land = [&](const Pending& w) {
    switch (draws.next() % 3) {
      case 0: return;  // lost
      case 1: apply(bytes, w.offset, w.bytes); return;
      default: apply_sectors(bytes, w.offset, w.bytes, [&] { return draws.next() & 1; });
    }
  };
  for (const Pending& w : unsynced_) land(w);
  if (torn_) land(*torn_);
  return bytes;
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
