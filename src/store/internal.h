// Pieces shared by the store's own files and its tests: the file lock guard and the access door
// to the store's private state.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "error/error.h"
#include "pager/file.h"
#include "store/store.h"

namespace quarn::store {

// Holds a file's exclusive lock until destroyed. Flush and open's recovery run under it, so two
// handles (in one process or two) never write or replay at the same time.
class FileLock {
 public:
  [[nodiscard]] static Result<FileLock> take(pager::File& file) {
    TRY(file.lock_exclusive());
    return FileLock(file);
  }
  FileLock(FileLock&& other) noexcept : file_(std::exchange(other.file_, nullptr)) {}
  FileLock& operator=(FileLock&&) = delete;
  ~FileLock() {
    if (file_) file_->unlock();
  }

 private:
  explicit FileLock(pager::File& file) : file_(&file) {}
  pager::File* file_;
};

// The store's private state, for its own parts and its tests.
struct StoreAccess {
  using Tuning = Store::Tuning;

  // Open or create with lowered Argon2 costs or record limit.
  [[nodiscard]] static Result<std::unique_ptr<Store>> open(std::unique_ptr<pager::File> file,
                                                           bool exists, ByteView passphrase,
                                                           std::optional<std::uint64_t> dimensions,
                                                           const Tuning& tuning) {
    return Store::open_tuned(std::move(file), exists, "", passphrase, dimensions, tuning);
  }
  [[nodiscard]] static Result<std::unique_ptr<Store>> open_path(
      const std::string& path, ByteView passphrase, std::optional<std::uint64_t> dimensions,
      const Tuning& tuning) {
    return Store::open_path(path, passphrase, dimensions, tuning);
  }
  static const format::Header& committed(const Store& store) { return store.committed_; }
  static format::Header& header(Store& store) { return store.header_; }
  static std::unique_ptr<index::IvfPqIndex>& index(Store& store) { return store.index_; }
  static std::vector<CatalogEntry>& catalog(Store& store) { return store.catalog_; }
  static std::unordered_map<Ulid, std::size_t, memory::UlidHash>& id_index(Store& store) {
    return store.id_index_;
  }
  static bool& dirty(Store& store) { return store.dirty_; }
  static bool& index_dirty(Store& store) { return store.index_dirty_; }
};

}  // namespace quarn::store
