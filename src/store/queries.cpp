// Whole-database queries and maintenance: statistics, verification, the default manifest memory,
// the export, and the cache and index switches.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>

#include "index/index.h"
#include "memory/memory.h"
#include "store/record_cache.h"
#include "store/runs.h"
#include "store/store.h"

namespace quarn::store {
namespace {

constexpr std::string_view kEngineVersion = "0.3.2";

std::string manifest_text(std::uint64_t dimensions) {
  return "QUARN MANIFEST (scaffold) \u2014 Fresh " + std::to_string(dimensions) +
         "-dimensional database created by `quarn init`. This is a placeholder. Replace it with a "
         "memory that records your project's embedder (name, dimensions, normalize), default "
         "agent_id, and metadata conventions; keep the metadata keys `area=\"onboarding\"` and "
         "`topic=\"manifest\"` so `quarn about` continues to surface it as the headline "
         "orientation point. Drop `metadata.scaffold` once you've replaced this entry so tooling "
         "knows the manifest has been curated.";
}

std::string os_text(int errno_value) { return QuarnError::io_errno(errno_value).text(); }

// Closes a descriptor on every path.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Copies `length` bytes from offset 0 of `src` to `dst`, in-kernel where the system allows it.
std::optional<std::string> copy_bytes(int src, int dst, std::uint64_t length) {
  std::uint64_t done = 0;
  bool in_kernel = true;
  Bytes buffer;
  while (done < length) {
    const std::size_t chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(length - done, std::uint64_t{1} << 30));
    ssize_t n;
    if (in_kernel) {
      loff_t in_off = static_cast<loff_t>(done);
      loff_t out_off = static_cast<loff_t>(done);
      n = ::copy_file_range(src, &in_off, dst, &out_off, chunk, 0);
      if (n < 0 && errno != EINTR) {
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
            errno == EPERM) {
          in_kernel = false;
          continue;
        }
        return os_text(errno);
      }
    } else {
      if (buffer.empty()) buffer.resize(std::size_t{1} << 20);
      n = ::pread(src, buffer.data(), std::min(chunk, buffer.size()), static_cast<off_t>(done));
      if (n > 0) {
        for (ssize_t written = 0; written < n;) {
          const ssize_t w = ::pwrite(dst, buffer.data() + written, static_cast<std::size_t>(n - written),
                                     static_cast<off_t>(done) + written);
          if (w < 0 && errno == EINTR) continue;
          if (w < 0) return os_text(errno);
          if (w == 0) return std::string("failed to write whole buffer");
          written += w;
        }
      } else if (n < 0 && errno != EINTR) {
        return os_text(errno);
      }
    }
    if (n < 0) continue;  // interrupted
    if (n == 0) return std::string("failed to fill whole buffer");  // the file shrank under us
    done += static_cast<std::uint64_t>(n);
  }
  return std::nullopt;
}

}  // namespace

Result<Stats> Store::stats() {
  Stats s;
  RecordCache& cache = records();
  // Distinct agents first, from the scan table (every live record made resident, as a scan does),
  // then sorted by bytes.
  std::unordered_set<std::uint32_t> agents;
  for (std::size_t slot = 0; slot < catalog_.size(); ++slot) {
    const CatalogEntry& entry = catalog_[slot];
    if (entry.deleted) {
      ++s.deleted;
      continue;
    }
    TRY(cache.make_resident(*pager_, slot, entry));
    agents.insert(cache.table().entry(slot).agent);
    ++s.memories;
  }
  for (std::uint32_t agent : agents) s.agents.push_back(cache.table().agent_name(agent));
  std::sort(s.agents.begin(), s.agents.end());
  s.dimensions = dimensions_;
  const std::uint64_t pages = header_.page_count;
  s.file_bytes = pages > std::numeric_limits<std::uint64_t>::max() / kPageSize
                     ? std::numeric_limits<std::uint64_t>::max()
                     : pages * kPageSize;
  s.encrypted = (header_.encrypted & 1) != 0;
  s.created_at = static_cast<std::int64_t>(header_.created_at);
  s.wal_pages = header_.wal_pages;
  s.snapshots = manifest_.size();
  if (index_) {
    s.index = IndexStats{.vectors = index_->vector_count(),
                         .partitions = index_->n_partitions,
                         .subspaces = index_->subspaces()};
  }
  return s;
}

Result<std::uint64_t> Store::verify() {
  std::uint64_t checked = 0;
  for (const CatalogEntry& entry : catalog_) {
    if (entry.deleted) continue;
    const Bytes bytes = TRY(read_record_from_file(*pager_, entry));
    TRY(memory::decode_memory(bytes));
    ++checked;
  }
  return checked;
}

Result<Ulid> Store::insert_default_manifest() {
  const Stats s = TRY(stats());
  const std::uint64_t dims = s.dimensions;
  Memory m = TRY(Memory::create(manifest_text(dims), MemoryType::Semantic,
                                std::vector<float>(static_cast<std::size_t>(dims), 0.0f)));
  m.agent_id = "quarn";
  m.scope = memory::Scope::Shared;
  m.importance = 1.0f;
  m.metadata.emplace("area", std::string("onboarding"));
  m.metadata.emplace("topic", std::string("manifest"));
  m.metadata.emplace("scaffold", true);
  m.metadata.emplace("engine_version", std::string(kEngineVersion));
  m.metadata.emplace("dimensions", dims);
  return remember(std::move(m));
}

std::expected<void, Store::ExportError> Store::export_encrypted(const std::string& dest) {
  if (auto flushed = flush(); !flushed) {
    return std::unexpected(ExportError{.flush_error = std::move(flushed).error(), .copy_error = {}});
  }
  const auto copy_failed = [](std::string text) {
    return std::unexpected(ExportError{.flush_error = std::nullopt, .copy_error = std::move(text)});
  };
  // The open descriptor, not the path: the path may name another file by now.
  const int src = pager_->file().native_handle();
  struct stat src_stat {};
  if (src < 0 || ::fstat(src, &src_stat) != 0) return copy_failed(os_text(src < 0 ? EBADF : errno));
  Fd dst;
  do {
    dst.fd = ::open(dest.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  } while (dst.fd < 0 && errno == EINTR);
  if (dst.fd < 0) return copy_failed(os_text(errno));
  struct stat dst_stat {};
  if (::fstat(dst.fd, &dst_stat) != 0) return copy_failed(os_text(errno));
  // Truncating the database itself (same path, a symlink or a hard link) would destroy it.
  if (dst_stat.st_dev == src_stat.st_dev && dst_stat.st_ino == src_stat.st_ino) {
    return copy_failed("destination is the database itself");
  }
  if (::ftruncate(dst.fd, 0) != 0) return copy_failed(os_text(errno));
  if (auto error = copy_bytes(src, dst.fd, static_cast<std::uint64_t>(src_stat.st_size))) {
    return copy_failed(*error);
  }
  if (::fchmod(dst.fd, src_stat.st_mode & 07777) != 0) return copy_failed(os_text(errno));
  if (::fsync(dst.fd) != 0) return copy_failed(os_text(errno));
  const int fd = std::exchange(dst.fd, -1);
  if (::close(fd) != 0 && errno != EINTR) return copy_failed(os_text(errno));
  return {};
}

void Store::set_cache_capacity(std::uint64_t pages) { pager_->cache().set_capacity(pages); }

std::pair<std::uint64_t, std::uint64_t> Store::cache_stats() const {
  return pager_->cache().stats();
}

bool Store::has_index() const { return index_ != nullptr; }

void Store::drop_index() {
  if (!index_) return;
  index_.reset();
  index_dirty_ = true;
}

}  // namespace quarn::store
