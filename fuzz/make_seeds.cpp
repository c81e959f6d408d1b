// Writes the seed corpora of the fuzz targets, made with the engine itself: real files of format 7
// (records with every kind of field, an index, several snapshots, a restore) and of the older
// formats 4 to 6, their header pages, the log regions they hold, and the encoded structures.
//   make_seeds OUT  ->  OUT/header/, OUT/wal/, OUT/decoders/, OUT/open/, OUT/slot_tree/
#include <filesystem>
#include <fstream>
#include <iostream>
#include <type_traits>
#include <utility>

#include "fuzz/fuzz_util.h"
#include "index/index.h"
#include "store/migration.h"
#include "store/catalog_tree.h"
#include "store/index_tree.h"
#include "store/slot_tree.h"
#include "store/store_fixture.h"

namespace {

using namespace quarn;
using namespace quarn::store;
namespace st = quarn::store::testing;

std::filesystem::path out_dir;
int failures = 0;

void write(const std::string& target, const std::string& name, ByteView bytes) {
  const auto dir = out_dir / target;
  std::filesystem::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void decoder_seed(const std::string& name, std::uint8_t selector, ByteView body,
                  std::optional<std::uint16_t> dims = std::nullopt) {
  Bytes seed{selector};
  if (dims) seed.insert(seed.end(), {static_cast<std::uint8_t>(*dims), static_cast<std::uint8_t>(*dims >> 8)});
  seed.insert(seed.end(), body.begin(), body.end());
  write("decoders", name, seed);
}

// A file: its header page, the file itself, and its log region as found (last id 0, CRCs intact).
void file_seeds(const std::string& name, const Bytes& file) {
  write("open", name, file);
  write("header", name, ByteView(file.data(), std::min(file.size(), kPageSize)));
  const auto header = format::from_page(std::span<const std::uint8_t, kPageSize>(file.data(), kPageSize));
  if (!header) {
    ++failures;
    return;
  }
  Bytes seed(8, 0);
  put_le<std::uint16_t>(seed.data(), static_cast<std::uint16_t>(header->wal_start));
  put_le<std::uint16_t>(seed.data() + 2, static_cast<std::uint16_t>(header->wal_pages));
  seed[6] = 1;
  seed.insert(seed.end(), file.begin(), file.end());
  write("wal", name, seed);
}

template <class T>
T must(Result<T> result, const char* what) {
  if (!result) {
    std::cerr << what << ": " << result.error().message() << "\n";
    std::exit(1);
  }
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

void current_format() {
  auto disk = st::new_disk();
  auto db = must(st::create_on(std::make_unique<st::MemFile>(disk)), "create");
  file_seeds("v7_new", disk->bytes);
  for (std::uint64_t n = 1; n <= 12; ++n) {
    Memory m = st::memory_n(n);
    if (n % 3 == 0) m.session_id = "session-" + std::to_string(n);
    if (n % 4 == 0) m.ttl_secs = 3600;
    if (n == 5) m.metadata.emplace("area", memory::Json(std::string("onboarding")));
    if (n == 6) {
      m.metadata.emplace("list", memory::Json(memory::JsonArray{memory::Json(1.5), memory::Json(true)}));
      m.metadata.emplace("n", memory::Json(std::int64_t{-3}));
      m.agent_id = "other";
      m.scope = memory::Scope::Shared;
      m.memory_type = MemoryType::Episodic;
    }
    must(db->remember(m), "remember");
    decoder_seed("record_" + std::to_string(n), 0, must(memory::encode_memory(m), "encode"));
  }
  must(db->flush(), "flush");
  must(db->build_index(), "index");
  must(db->flush(), "flush");
  const std::uint64_t indexed = db->snapshots().back().txn_id;
  must(db->remove(st::memory_n(2).id), "delete");
  must(db->flush(), "flush");
  must(db->restore_to(indexed), "restore");
  decoder_seed("catalog", 1, encode_catalog(StoreAccess::catalog(*db)));
  decoder_seed("manifest", 3, encode_manifest(StoreAccess::manifest(*db)));
  decoder_seed("index", 4, must(index::encode_index(*StoreAccess::index(*db)), "encode index"),
               st::kDims);
  db.reset();
  file_seeds("v7_indexed", disk->bytes);
}

// Version 8: a catalog tree of two leaves under a root, rows from before and after the switch, an
// index in trees changed after its build.
void tree_format() {
  auto disk = st::new_disk();
  auto db = must(st::create_on(std::make_unique<st::MemFile>(disk)), "create");
  for (std::uint64_t n = 1; n <= 3; ++n) must(db->remember(st::memory_n(n)), "remember");
  must(db->flush(), "flush");
  must(db->set_format_version(8), "format 8");
  must(db->flush(), "flush");
  for (std::uint64_t n = 4; n <= 140; ++n) must(db->remember(st::memory_n(n)), "remember");
  must(db->remove(st::memory_n(2).id), "delete");
  must(db->flush(), "flush");
  must(db->build_index(), "index");
  must(db->flush(), "flush");
  must(db->remember(st::memory_n(141)), "remember");
  must(db->remove(st::memory_n(7).id), "delete");
  must(db->flush(), "flush");
  decoder_seed("manifest_v8", 3, encode_manifest(StoreAccess::manifest(*db)));
  db.reset();
  file_seeds("v8_tree", disk->bytes);
}

// Two memories and one flush: a small file for quick mutations.
void small_file() {
  auto disk = st::new_disk();
  auto db = must(st::create_on(std::make_unique<st::MemFile>(disk)), "create");
  for (std::uint64_t n = 1; n <= 2; ++n) must(db->remember(st::memory_n(n)), "remember");
  must(db->flush(), "flush");
  db.reset();
  file_seeds("v7_small", disk->bytes);
}

void older_formats() {
  for (std::uint16_t version : {4, 5, 6}) {
    st::OldFile file(version);
    for (std::uint64_t n = 1; n <= 3; ++n) file.add(st::memory_n(n), n == 2);
    if (version == 4) decoder_seed("catalog_v4", 2, file.encode_v4_catalog());
    file_seeds("v" + std::to_string(version), file.finish()->bytes);
  }
}

}  // namespace

// A tree in fuzz_slot_tree's input form: the selector, the root, then each node cut after its
// last nonzero byte.
Bytes tree_seed(std::uint8_t selector, const SlotTreeRoot& root, const std::vector<Bytes>& nodes) {
  Bytes seed(18, 0);
  seed[0] = selector;
  put_le<std::uint64_t>(seed.data() + 1, root.page);
  seed[9] = static_cast<std::uint8_t>(root.height);
  put_le<std::uint64_t>(seed.data() + 10, root.count);
  for (const Bytes& node : nodes) {
    std::size_t len = node.size();
    while (len > 0 && node[len - 1] == 0) --len;
    seed.push_back(static_cast<std::uint8_t>(len));
    seed.push_back(static_cast<std::uint8_t>(len >> 8));
    seed.insert(seed.end(), node.begin(), node.begin() + static_cast<std::ptrdiff_t>(len));
  }
  return seed;
}

// Slot trees of one leaf and of a branch over three leaves.
void slot_tree_seeds() {
  const SlotTree tree(2040);
  for (const std::uint64_t count : {3, 9}) {
    std::vector<Bytes> nodes;
    Bytes rows(count * tree.row_size());
    for (std::size_t i = 0; i < rows.size(); i += 97) rows[i] = static_cast<std::uint8_t>(i / 97 + 1);
    const SlotTreeRoot root = must(tree.build(rows, [&](Bytes node) -> Result<std::uint64_t> {
      nodes.push_back(std::move(node));
      return nodes.size();  // pages 1, 2, ...
    }), "slot tree");
    write("slot_tree", "tree_" + std::to_string(count), tree_seed(0, root, nodes));
  }
  // Catalog rows (selector 255) whose records lie on the tree's own pages.
  const SlotTree catalog_tree(kCatalogRowSize);
  Bytes rows(3 * kCatalogRowSize);
  for (std::size_t i = 0; i < 3; ++i) {
    CatalogEntry e;
    e.id = memory::Ulid{0x0190000000000000ULL + i, i};
    e.start_page = 1;
    e.page_count = 1;
    e.len = static_cast<std::uint32_t>(10 + i);
    e.deleted = i == 2;
    encode_catalog_row(e, std::span<std::uint8_t, kCatalogRowSize>(rows.data() + i * kCatalogRowSize,
                                                                   kCatalogRowSize));
  }
  std::vector<Bytes> nodes;
  const SlotTreeRoot root = must(catalog_tree.build(rows, [&](Bytes node) -> Result<std::uint64_t> {
    nodes.push_back(std::move(node));
    return nodes.size();
  }), "catalog tree");
  write("slot_tree", "catalog_rows", tree_seed(255, root, nodes));

  // An index of 40 memories stored as trees (selector 254), on pages 1, 2, ...
  std::vector<Ulid> ids;
  std::vector<float> vectors;
  for (std::uint64_t n = 1; n <= 40; ++n) {
    const Memory m = st::memory_n(n);
    ids.push_back(m.id);
    vectors.insert(vectors.end(), m.vector.begin(), m.vector.end());
  }
  const auto index = must(index::train(ids, vectors, st::kDims), "train");
  std::vector<Bytes> pages;
  const RunWriter seal = [&](ByteView bytes) -> Result<RunLocation> {
    const RunLocation at{pages.size() + 1, run_pages(bytes.size()), bytes.size()};
    for (std::uint64_t i = 0; i < at.pages; ++i) {
      const std::size_t from = i * kPageCapacity;
      Bytes page(kPageCapacity, 0);
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                  std::min(kPageCapacity, bytes.size() - from), page.begin());
      pages.push_back(std::move(page));
    }
    return at;
  };
  const IndexPlan plan = must(plan_index_write(*index, PostingTrees{}), "plan");
  // Nothing old is read for a whole write, so no pager is needed; one is made to satisfy the call.
  auto disk = st::new_disk();
  auto pager = must(pager::Pager::create(std::make_unique<st::MemFile>(disk), *crypto::random_dek(), 0,
                                         format::kTreeVersion), "pager");
  const IndexCommit commit = must(write_index(pager, seal, *index, PostingTrees{}, plan, 1), "index");
  SlotTreeRoot as_root{commit.run.start, static_cast<std::uint32_t>(commit.run.pages), commit.run.len};
  write("slot_tree", "index_trees", tree_seed(254, as_root, pages));
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_seeds OUT\n";
    return 2;
  }
  out_dir = argv[1];
  current_format();
  small_file();
  tree_format();
  older_formats();
  slot_tree_seeds();
  if (failures != 0) std::cerr << failures << " seed files had no readable header\n";
  return failures == 0 ? 0 : 1;
}
