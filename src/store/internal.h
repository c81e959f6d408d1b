// The access door to the store's private state, for its tests and benchmarks: opening with
// lowered costs, and the state behind the API (header, catalog, manifest, flags, index, pager).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "error/error.h"
#include "format/header.h"
#include "index/index.h"
#include "pager/file.h"
#include "pager/pager.h"
#include "store/catalog.h"
#include "store/commit.h"
#include "store/manifest.h"
#include "store/store.h"

namespace quarn::store {

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

  // The in-memory header (mutable: tests set up extreme values) and the last committed one.
  static format::Header& header(Store& store) { return store.commit_->header_; }
  static const format::Header& header(const Store& store) { return store.commit_->header(); }
  static const format::Header& committed(const Store& store) { return store.commit_->committed(); }
  static std::vector<CatalogEntry>& catalog(Store& store) { return store.catalog_; }
  static const std::vector<CatalogEntry>& catalog(const Store& store) { return store.catalog_; }
  static IdIndex& id_index(Store& store) { return store.id_index_; }
  static const std::vector<Snapshot>& manifest(const Store& store) { return store.manifest_; }
  static std::unique_ptr<index::IvfPqIndex>& index(Store& store) { return store.index_; }
  static bool& dirty(Store& store) { return store.dirty_; }
  static void note_row_changed(Store& store, std::size_t slot) { store.note_row_changed(slot); }
  static void recount_live(Store& store) { store.recount_live(); }
  static bool& index_dirty(Store& store) { return store.index_dirty_; }
  static pager::Pager& pager(Store& store) { return *store.pager_; }
  // The vacuum over a target the test makes (in-memory files).
  [[nodiscard]] static Result<VacuumResult> vacuum_into(Store& store, VacuumTarget& target,
                                                        bool in_place,
                                                        std::optional<std::uint64_t> keep,
                                                        std::optional<ByteView> passphrase,
                                                        std::optional<std::uint16_t> format = {}) {
    return store.vacuum_into(target, in_place, keep, passphrase, format);
  }
};

}  // namespace quarn::store
