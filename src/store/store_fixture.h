// Test fixture for whole stores over in-memory disks: cheap key derivation, memories with fixed
// ids, old-format files built page by page, and the checks every crash test makes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "crypto/crypto.h"
#include "format/header.h"
#include "memory/memory.h"
#include "memory/msgpack_io.h"
#include "pager/pager.h"
#include "pager/testing/mem_file.h"
#include "pager/testing/pager_access.h"
#include "store/catalog.h"
#include "store/internal.h"
#include "store/manifest.h"
#include "store/runs.h"
#include "store/store.h"

namespace quarn::store::testing {

using pager::testing::FaultFile;
using pager::testing::MemDisk;
using pager::testing::MemFile;

inline constexpr std::uint32_t kDims = 4;

inline ByteView passphrase(std::string_view text = "correct horse") {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// The smallest Argon2 costs, so that tests open files by the thousand.
inline StoreAccess::Tuning cheap() {
  StoreAccess::Tuning tuning;
  tuning.kdf_m_cost = 8;
  tuning.kdf_t_cost = 1;
  tuning.kdf_p_cost = 1;
  return tuning;
}

inline std::shared_ptr<MemDisk> new_disk() { return std::make_shared<MemDisk>(); }

// A disk holding `bytes`, with room to grow so that appended pages do not copy it all again.
inline std::shared_ptr<MemDisk> disk_of(const Bytes& bytes) {
  auto disk = std::make_shared<MemDisk>();
  disk->bytes.reserve(bytes.size() + 256 * kPageSize);
  disk->bytes = bytes;
  return disk;
}

inline Result<std::unique_ptr<Store>> create_on(std::unique_ptr<pager::File> file,
                                                std::uint64_t dims = kDims) {
  return StoreAccess::open(std::move(file), false, passphrase(), dims, cheap());
}

inline Result<std::unique_ptr<Store>> open_on(std::unique_ptr<pager::File> file,
                                              std::string_view pass = "correct horse") {
  return StoreAccess::open(std::move(file), true, passphrase(pass), std::nullopt, cheap());
}

// A memory whose id, content and vector all follow from n.
inline Memory memory_n(std::uint64_t n, std::size_t dims = kDims) {
  Memory m;
  m.id = Ulid{0x0190000000000000ULL + n, 0x1234ULL * n + 1};
  m.content = "memory " + std::to_string(n);
  m.vector.assign(dims, 0.0f);
  for (std::size_t i = 0; i < dims; ++i) m.vector[i] = static_cast<float>((n * 31 + i * 7) % 17) - 8.0f;
  m.created_at = 1700000000 + static_cast<std::int64_t>(n);
  m.accessed_at = m.created_at;
  return m;
}

// Appends rows with `add_one` until the encoded catalog is longer than `bytes`. A row takes at
// most 45 bytes, so adding gap / 45 rows at a time never passes the mark by more than one row, and
// the catalog is encoded only a few dozen times however large it grows.
template <class AddOne>
void grow_catalog_past(const std::vector<CatalogEntry>& catalog, std::uint64_t bytes,
                       AddOne add_one) {
  for (;;) {
    const std::uint64_t size = encode_catalog(catalog).size();
    if (size > bytes) return;
    for (std::uint64_t i = 0, n = std::max<std::uint64_t>(1, (bytes + 1 - size) / 45); i < n; ++i)
      if (!add_one()) return;
  }
}

// The same, until the catalog run spans `pages` pages.
template <class AddOne>
void grow_catalog_to(const std::vector<CatalogEntry>& catalog, std::uint64_t pages, AddOne add_one) {
  grow_catalog_past(catalog, (pages - 1) * kPageCapacity, add_one);
}

// Live id -> content: what a committed state holds.
using State = std::map<Ulid, std::string>;

// Rows that share a run (the crash tests' large catalogs) decode it once, the same bytes decoding
// the same way; get() would find each of them through the id index.
inline State state_of(Store& store) {
  State state;
  std::map<std::tuple<std::uint64_t, std::uint32_t, std::uint32_t, std::uint32_t>, std::string> by_run;
  const std::vector<CatalogEntry>& catalog = StoreAccess::catalog(store);
  for (std::size_t slot = 0; slot < catalog.size(); ++slot) {
    const CatalogEntry& row = catalog[slot];
    if (row.deleted) continue;
    const auto run = std::tuple(row.start_page, row.page_count, row.len, row.offset);
    if (const auto known = by_run.find(run); known != by_run.end()) {
      const auto& ids = StoreAccess::id_index(store);
      const auto found = ids.find(row.id);
      EXPECT_TRUE(found != ids.end() && found->second == slot) << row.id.to_string();
      state[row.id] = known->second;
      continue;
    }
    auto memory = store.get(row.id);
    EXPECT_TRUE(memory.has_value()) << "live record " << row.id.to_string() << ": "
                                    << memory.error().message();
    if (!memory) continue;
    state[row.id] = memory->content;
    by_run.emplace(run, memory->content);
  }
  return state;
}

inline format::Header header_on(const MemDisk& disk) {
  auto header = format::from_page(std::span<const std::uint8_t, kPageSize>(disk.bytes.data(), kPageSize));
  EXPECT_TRUE(header.has_value());
  return header ? *header : format::Header{};
}

// A File that forwards to a FaultFile the test keeps, so that its op log and crash images stay
// readable after the store that used it is gone (or was never made).
class Forward final : public pager::File {
 public:
  explicit Forward(std::shared_ptr<FaultFile> file) : file_(std::move(file)) {}
  Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) override {
    return file_->read_at(offset, out);
  }
  Result<void> write_at(std::uint64_t offset, std::span<const std::uint8_t> in) override {
    return file_->write_at(offset, in);
  }
  Result<void> sync() override { return file_->sync(); }
  Result<void> allocate(std::uint64_t offset, std::uint64_t length) override {
    return file_->allocate(offset, length);
  }
  Result<std::uint64_t> size() override { return file_->size(); }
  Result<void> lock_exclusive() override { return file_->lock_exclusive(); }
  void unlock() override { file_->unlock(); }
  Result<void> hold(HoldMode mode, bool wait) override { return file_->hold(mode, wait); }
  Result<bool> is_at(const std::string& path) override { return file_->is_at(path); }
  Result<void> copy_to(const std::string& dest) override { return file_->copy_to(dest); }

 private:
  std::shared_ptr<FaultFile> file_;
};

// Every encrypted page image ever written, by nonce: a nonce (page, counter) must never encrypt
// two different images. Only page-aligned whole-page writes whose nonce names their own page are
// page images; log frames and page 0 are skipped. A ledger may extend a shared, read-only one.
class NonceLedger {
 public:
  explicit NonceLedger(const NonceLedger* base = nullptr) : base_(base) {}

  // Adds the images logged on `disk` so far; returns false (and records why) on a reused nonce.
  bool add(const MemDisk& disk) {
    for (const auto& write : disk.page_log) {
      const std::uint64_t page = write.offset / kPageSize;
      if (page == 0) continue;
      if (get_le<std::uint32_t>(write.image.data()) != static_cast<std::uint32_t>(page)) continue;
      std::string nonce(reinterpret_cast<const char*>(write.image.data()), crypto::kNonceSize);
      const Bytes* known = base_ ? base_->find(nonce) : nullptr;
      if (!known) known = &images_.try_emplace(std::move(nonce), write.image).first->second;
      if (*known != write.image) {
        failure_ = "page " + std::to_string(page) + " counter " +
                   std::to_string(get_le<std::uint64_t>(write.image.data() + 4)) +
                   " encrypted two different images";
        return false;
      }
    }
    return true;
  }
  const std::string& failure() const { return failure_; }

 private:
  const Bytes* find(const std::string& nonce) const {
    const auto it = images_.find(nonce);
    if (it != images_.end()) return &it->second;
    return base_ ? base_->find(nonce) : nullptr;
  }
  const NonceLedger* base_;
  std::map<std::string, Bytes> images_;
  std::string failure_;
};

// Builds a file of format version 4, 5 or 6 page by page with the engine's own encoders: records
// and runs encrypted with (6) or without (4, 5) their page number as associated data, the header
// checksummed and never sealed, and no log region (the first flush places one at the end).
class OldFile {
 public:
  explicit OldFile(std::uint16_t version) : version_(version), disk_(new_disk()) {
    salt_ = *crypto::random_salt();
    nonce_ = *crypto::random_nonce();
    const auto kek = crypto::derive_kek(passphrase(), salt_, 8, 1, 1);
    auto dek = crypto::random_dek();
    wrapped_ = *crypto::wrap_dek(*kek, *dek, nonce_);
    pager_ = std::make_unique<pager::Pager>(
        *pager::Pager::create(std::make_unique<MemFile>(disk_), std::move(*dek), 0, version));
  }

  // Stores a record run; returns its catalog row.
  CatalogEntry add(const Memory& memory, bool deleted = false) {
    const Bytes bytes = *memory::encode_memory(memory);
    const auto [start, pages] = put_run(bytes);
    CatalogEntry row{memory.id, start, static_cast<std::uint32_t>(pages),
                     static_cast<std::uint32_t>(bytes.size()), deleted, memory.accessed_at,
                     memory.access_count};
    catalog_.push_back(row);
    return row;
  }

  std::pair<std::uint64_t, std::uint64_t> put_run(ByteView bytes) {
    const std::uint64_t start = next_;
    const std::uint64_t pages = run_pages(bytes.size());
    EXPECT_TRUE(pager_->write_run(start, bytes).has_value());
    next_ += pages;
    return {start, pages};
  }

  // Writes catalog, a one-row manifest, optionally an index blob, and page 0; returns the disk.
  std::shared_ptr<MemDisk> finish(std::optional<Bytes> index_bytes = std::nullopt) {
    format::Header h;
    h.version = version_;
    h.dimensions = kDims;
    h.created_at = 1700000000;
    h.kdf_m_cost = 8;
    h.kdf_t_cost = 1;
    h.kdf_p_cost = 1;
    h.salt = salt_;
    h.dek_nonce = nonce_;
    h.wrapped_dek = wrapped_;
    const Bytes catalog = version_ == 4 ? encode_v4_catalog() : encode_catalog(catalog_);
    std::tie(h.catalog_start, h.catalog_pages) = put_run(catalog);
    h.catalog_len = catalog.size();
    if (index_bytes) {
      std::tie(h.index_start, h.index_pages) = put_run(*index_bytes);
      h.index_len = index_bytes->size();
    }
    std::uint64_t live = 0;
    for (const auto& row : catalog_) live += row.deleted ? 0 : 1;
    const Bytes manifest = encode_manifest(
        {Snapshot{3, 1700000000, h.catalog_start, h.catalog_pages, h.catalog_len, h.index_start,
                  h.index_pages, h.index_len, live}});
    std::tie(h.manifest_start, h.manifest_pages) = put_run(manifest);
    h.manifest_len = manifest.size();
    h.memory_count = live;
    h.last_txn_id = 3;
    h.page_count = next_;
    h.wal_start = 0;
    h.wal_pages = 0;
    EXPECT_TRUE(pager_->write_header(h).has_value());  // below version 7: checksummed, not sealed
    return disk_;
  }

  // Version-4 rows: id, start_page, page_count, len, deleted (no access statistics).
  Bytes encode_v4_catalog() const {
    Bytes out;
    mp::ByteSink sink{&out};
    mp::Packer packer(sink);
    packer.pack_array(static_cast<std::uint32_t>(catalog_.size()));
    for (const CatalogEntry& row : catalog_) {
      packer.pack_array(5);
      mp::pack_id(packer, row.id);
      packer.pack(row.start_page);
      packer.pack(row.page_count);
      packer.pack(row.len);
      packer.pack(row.deleted);
    }
    return out;
  }

  std::uint16_t version_;
  std::shared_ptr<MemDisk> disk_;
  crypto::Salt salt_{};
  crypto::Nonce nonce_{};
  crypto::WrappedDek wrapped_{};
  std::unique_ptr<pager::Pager> pager_;
  std::vector<CatalogEntry> catalog_;
  std::uint64_t next_ = 1;
};

// A fresh directory for real files, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = ::testing::TempDir() + "quarn-store-XXXXXX";
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    EXPECT_FALSE(path_.empty());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

}  // namespace quarn::store::testing
