// Format 8: the catalog as a tree of which a flush writes what changed, reached from a version-7
// file by set_format_version; snapshots across the switch, the pages a flush takes, every kind of
// row change surviving a reopen, and forged or damaged roots.
#include <map>
#include <random>

#include "store/catalog_tree.h"
#include "store/index_tree.h"
#include "store/runs.h"
#include "store/store_fixture.h"
#include "store/tree_metadata.h"

namespace quarn::store::testing {
namespace {

struct Fixture {
  std::shared_ptr<MemDisk> disk = new_disk();
  std::unique_ptr<Store> store;

  Fixture() {
    auto s = create_on(std::make_unique<MemFile>(disk));
    EXPECT_TRUE(s) << s.error().message();
    store = std::move(*s);
  }
  Store& reopen() {
    store.reset();
    auto s = open_on(std::make_unique<MemFile>(disk));
    EXPECT_TRUE(s) << s.error().message();
    store = std::move(*s);
    return *store;
  }
  void remember_range(std::uint64_t from, std::uint64_t to) {
    for (std::uint64_t n = from; n <= to; ++n) ASSERT_TRUE(store->remember(memory_n(n)));
  }
  std::uint64_t pages() const { return StoreAccess::header(*store).page_count; }
};

TEST(TreeFormatTest, TheSwitchIsOneFlushAndEveryRowBeforeAndAfterStaysRestorable) {
  Fixture f;
  f.remember_range(1, 3);
  ASSERT_TRUE(f.store->flush());  // txn 1, a catalog run
  const State one = state_of(*f.store);

  ASSERT_TRUE(f.store->set_format_version(8));
  EXPECT_EQ(f.store->format_version(), 7u);  // until the flush
  ASSERT_TRUE(f.store->flush());               // txn 2: nothing else staged, still a commit
  EXPECT_EQ(f.store->format_version(), 8u);
  EXPECT_EQ(header_on(*f.disk).version, 8u);
  EXPECT_EQ(header_on(*f.disk).last_txn_id, 2u);

  f.remember_range(4, 5);
  ASSERT_TRUE(f.store->remove(memory_n(2).id));
  ASSERT_TRUE(f.store->flush());  // txn 3
  const State three = state_of(*f.store);

  Store& s = f.reopen();
  EXPECT_EQ(s.format_version(), 8u);
  EXPECT_EQ(state_of(s), three);
  const std::vector<Snapshot>& rows = StoreAccess::manifest(s);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_FALSE(rows[0].catalog_tree);
  EXPECT_TRUE(rows[1].catalog_tree);
  EXPECT_TRUE(rows[2].catalog_tree);
  ASSERT_TRUE(s.verify());

  ASSERT_TRUE(s.restore_to(1));  // a run becomes a tree again
  EXPECT_EQ(state_of(s), one);
  ASSERT_TRUE(s.restore_to(3));  // a tree is adopted: no catalog node written
  EXPECT_EQ(state_of(s), three);
  Store& again = f.reopen();
  EXPECT_EQ(state_of(again), three);
  EXPECT_EQ(again.snapshots().size(), 5u);
}

TEST(TreeFormatTest, AFlushTakesTheChangedLeavesAndTheirPathNotTheCatalog) {
  Fixture f;
  f.remember_range(1, 1000);  // 8 leaves under one branch
  ASSERT_TRUE(f.store->set_format_version(8));
  ASSERT_TRUE(f.store->flush());
  EXPECT_EQ(StoreAccess::header(*f.store).catalog_pages, 2u);  // the tree's height

  // One new memory: its record page, a leaf and the root, the manifest run.
  const std::uint64_t manifest_pages = StoreAccess::header(*f.store).manifest_pages;
  std::uint64_t before = f.pages();
  f.remember_range(1001, 1001);
  ASSERT_TRUE(f.store->flush());
  EXPECT_EQ(f.pages() - before, 1 + 2 + manifest_pages);

  // Access stamps of recalled rows: their leaves and the root only.
  before = f.pages();
  RecallRequest request;
  request.query = memory_n(5).vector;
  request.top_k = 3;
  ASSERT_TRUE(f.store->recall(request));
  ASSERT_TRUE(f.store->flush());
  EXPECT_LE(f.pages() - before, 3 + 1 + manifest_pages);

  // A restore writes no catalog node.
  before = f.pages();
  ASSERT_TRUE(f.store->restore_to(StoreAccess::manifest(*f.store).front().txn_id));
  EXPECT_EQ(f.pages() - before, manifest_pages);
}

// Every kind of row change, in random order, in a tree of several levels' worth of leaves: after
// each flush a reopened handle holds exactly the rows the writing handle held.
TEST(TreeFormatTest, EveryRowChangeSurvivesAReopen) {
  Fixture f;
  f.remember_range(1, 300);
  ASSERT_TRUE(f.store->set_format_version(8));
  ASSERT_TRUE(f.store->flush());
  std::mt19937_64 rng(8);
  std::uint64_t next = 301;
  for (int round = 0; round < 12; ++round) {
    for (int op = 0; op < 20; ++op) {
      const std::uint64_t n = 1 + rng() % (next - 1);
      switch (rng() % 4) {
        case 0: ASSERT_TRUE(f.store->remember(memory_n(next++))); break;
        case 1: {
          Memory m = memory_n(n);
          m.content = "again " + std::to_string(round);
          ASSERT_TRUE(f.store->remember(m));
          break;
        }
        case 2: ASSERT_TRUE(f.store->remove(memory_n(n).id)); break;
        default: {
          RecallRequest request;
          request.query = memory_n(n).vector;
          request.top_k = 4;
          ASSERT_TRUE(f.store->recall(request));
        }
      }
    }
    ASSERT_TRUE(f.store->flush());
    const std::vector<CatalogEntry> written = StoreAccess::catalog(*f.store);
    const State state = state_of(*f.store);
    EXPECT_EQ(f.store->live_count(), state.size());
    EXPECT_EQ(StoreAccess::header(*f.store).memory_count, state.size());
    Store& reopened = f.reopen();
    ASSERT_EQ(StoreAccess::catalog(reopened), written) << "round " << round;
    ASSERT_EQ(state_of(reopened), state);
    EXPECT_EQ(reopened.live_count(), state.size());
  }
}

// A restore in version 8 reads only the catalog leaves and posting trees that differ from those
// in memory (or from the index a restore to a row without one kept aside), and changes the
// catalog, the id index and the live count in place: after each of many restores (to older and
// newer rows, with rows staged or not, with an id held twice) the handle holds exactly what a
// reopened handle loads whole, and recalls alike.
TEST(TreeFormatTest, ARestoreChangesOnlyWhatDiffersAndEndsAsAWholeLoad) {
  Fixture f;
  f.remember_range(1, 400);  // four leaves
  ASSERT_TRUE(f.store->set_format_version(8));
  ASSERT_TRUE(f.store->flush());  // a row without an index: restoring it keeps the index aside
  ASSERT_TRUE(f.store->build_index());
  ASSERT_TRUE(f.store->flush());
  std::mt19937_64 rng(12);
  std::uint64_t next = 401;
  const auto recalled = [](Store& store) {
    RecallRequest request;
    request.query = memory_n(5).vector;
    request.top_k = 8;
    request.track_access = false;
    std::vector<Ulid> ids;
    const auto results = store.recall(request);
    EXPECT_TRUE(results) << results.error().message();
    if (results)
      for (const RecallResult& r : *results) ids.push_back(r.memory.id);
    return ids;
  };
  for (int round = 0; round < 30; ++round) {
    for (int op = 0; op < 5; ++op) {
      const std::uint64_t n = 1 + rng() % (next - 1);
      switch (rng() % 5) {
        case 0: ASSERT_TRUE(f.store->remember(memory_n(next++))); break;
        case 1: (void)f.store->remove(memory_n(n).id); break;  // absent after some restores
        case 2: {
          Memory m = memory_n(n);
          m.content = "round " + std::to_string(round);
          ASSERT_TRUE(f.store->remember(m));
          break;
        }
        case 3: {
          RecallRequest request;
          request.query = memory_n(n).vector;
          request.top_k = 3;
          ASSERT_TRUE(f.store->recall(request));
          break;
        }
        default:
          if (round == 7) {  // an id held twice: a later slot naming slot 0's id
            CatalogEntry row = StoreAccess::catalog(*f.store).back();
            row.id = StoreAccess::catalog(*f.store).front().id;
            StoreAccess::catalog(*f.store).push_back(row);
            StoreAccess::id_index(*f.store)[row.id] = StoreAccess::catalog(*f.store).size() - 1;
            StoreAccess::note_row_changed(*f.store, StoreAccess::catalog(*f.store).size() - 1);
            StoreAccess::recount_live(*f.store);
            StoreAccess::dirty(*f.store) = true;
          }
      }
    }
    if (rng() % 3 != 0) {
      ASSERT_TRUE(f.store->flush());
    }  // else restored with rows staged
    // A restore to any row; or to the row without an index and then to one with an index, which
    // reads against the index kept aside.
    const bool aside = rng() % 2 == 0;
    if (aside) {
      ASSERT_TRUE(f.store->restore_to(f.store->snapshots().front().txn_id));
    }
    std::vector<std::uint64_t> txns;
    for (const Snapshot& row : StoreAccess::manifest(*f.store))
      if (!aside || row.index_pages != 0) txns.push_back(row.txn_id);
    const std::uint64_t txn = txns[rng() % txns.size()];
    // The row's index as its own run holds it, read whole before the restore.
    std::vector<index::Posting> expected;
    for (const Snapshot& row : StoreAccess::manifest(*f.store)) {
      if (row.txn_id != txn || row.index_pages == 0) continue;
      auto whole = load_any_index(StoreAccess::pager(*f.store),
                                  {row.index_start, row.index_pages, row.index_len}, kDims,
                                  StoreAccess::committed(*f.store).page_count, nullptr, nullptr);
      ASSERT_TRUE(whole) << whole.error().message();
      expected = (*whole)->partitions;
    }
    ASSERT_TRUE(f.store->restore_to(txn)) << "round " << round;
    const std::vector<CatalogEntry> catalog = StoreAccess::catalog(*f.store);
    std::vector<std::size_t> slots;
    for (const CatalogEntry& row : catalog) slots.push_back(StoreAccess::id_index(*f.store).at(row.id));
    const std::uint64_t live = f.store->live_count();
    const State state = state_of(*f.store);
    const auto found = recalled(*f.store);
    const index::IvfPqIndex* kept = StoreAccess::index(*f.store).get();
    const auto postings = kept ? kept->partitions : std::vector<index::Posting>{};
    EXPECT_EQ(postings, expected) << "round " << round;
    Store& whole = f.reopen();
    const index::IvfPqIndex* loaded = StoreAccess::index(whole).get();
    ASSERT_EQ(loaded == nullptr, kept == nullptr) << "round " << round;
    if (loaded) {
      EXPECT_EQ(loaded->partitions, postings) << "round " << round;
    }
    ASSERT_EQ(StoreAccess::catalog(whole), catalog) << "round " << round << ", txn " << txn;
    EXPECT_EQ(StoreAccess::id_index(whole).size(), StoreAccess::id_index(*f.store).size());
    for (std::size_t i = 0; i < catalog.size(); ++i)
      ASSERT_EQ(StoreAccess::id_index(whole).at(catalog[i].id), slots[i]) << i;
    EXPECT_EQ(whole.live_count(), live);
    EXPECT_EQ(state_of(whole), state);
    EXPECT_EQ(recalled(whole), found);
  }
}

TEST(TreeFormatTest, OnlyVersionsSevenAndEightAreTaken) {
  Fixture f;
  for (std::uint64_t version : {0ull, 6ull, 9ull, 65543ull}) {
    const auto refused = f.store->set_format_version(version);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(refused.error().text(), "format version must be 7 or 8");
  }
  f.remember_range(1, 1);
  ASSERT_TRUE(f.store->flush());
  ASSERT_TRUE(f.store->set_format_version(7));
  EXPECT_FALSE(StoreAccess::dirty(*f.store));  // no change, nothing to commit
  ASSERT_TRUE(f.store->set_format_version(8));
  ASSERT_TRUE(f.store->flush());
  VacuumOptions options;
  options.format_version = 9;
  EXPECT_EQ(f.store->vacuum(options).error().text(), "format version must be 7 or 8");
}

// Back to 7: the catalog and every retained row's tree written as runs, so that a version-7
// reader restores any of them.
TEST(TreeFormatTest, BackToSevenKeepsEveryRowRestorable) {
  Fixture f;
  std::map<std::uint64_t, State> states;
  const auto commit = [&] {
    ASSERT_TRUE(f.store->flush());
    states[StoreAccess::committed(*f.store).last_txn_id] = state_of(*f.store);
  };
  f.remember_range(1, 3);
  commit();  // 1: a run
  ASSERT_TRUE(f.store->set_format_version(8));
  commit();  // 2: the same catalog as a tree
  f.remember_range(4, 200);
  ASSERT_TRUE(f.store->remove(memory_n(1).id));
  commit();  // 3
  ASSERT_TRUE(f.store->restore_to(2));
  states[4] = states[2];  // 4: row 2's tree adopted, so two rows share it
  f.remember_range(201, 201);
  ASSERT_TRUE(f.store->set_format_version(7));
  commit();  // 5: back to runs
  EXPECT_EQ(header_on(*f.disk).version, 7u);

  Store& s = f.reopen();
  EXPECT_EQ(s.format_version(), 7u);
  const std::vector<Snapshot> rows = StoreAccess::manifest(s);  // restores add rows
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(std::tie(rows[1].catalog_start, rows[1].catalog_len),
            std::tie(rows[3].catalog_start, rows[3].catalog_len));  // one run for one tree
  for (const Snapshot& row : rows) {
    EXPECT_FALSE(row.catalog_tree);
    ASSERT_TRUE(s.restore_to(row.txn_id));
    EXPECT_EQ(state_of(s), states.at(row.txn_id)) << "txn " << row.txn_id;
  }
}

// Records staged together share pages: small ones several to a page, a long one running on over
// the next pages, each read back (by get, by a scan, after a reopen) as it was written. A page a
// flush wrote is never added to, and going back to 7 gives every record pages of its own.
TEST(TreeFormatTest, RecordsArePackedAndStayReadableThroughEveryConversion) {
  Fixture f;
  ASSERT_TRUE(f.store->set_format_version(8));  // nothing committed: at once
  std::uint64_t bytes = 0;
  const auto remember = [&](std::uint64_t n, std::size_t long_content) {
    Memory m = memory_n(n);
    if (long_content != 0) m.content = std::string(long_content, static_cast<char>('a' + n % 26));
    bytes += memory::encode_memory(m).value().size();
    ASSERT_TRUE(f.store->remember(m));
  };
  const std::uint64_t first = f.pages();
  for (std::uint64_t n = 1; n <= 300; ++n) remember(n, n % 50 == 0 ? 20000 : 0);
  EXPECT_EQ(f.pages() - first, (bytes + kPageCapacity - 1) / kPageCapacity);  // no page wasted
  ASSERT_TRUE(f.store->flush());
  const State written = state_of(*f.store);
  ASSERT_EQ(written.size(), 300u);

  // After the flush, the next record starts on a page of its own.
  const std::uint64_t end = StoreAccess::committed(*f.store).page_count;
  remember(301, 0);
  const CatalogEntry& row = StoreAccess::catalog(*f.store).back();
  EXPECT_GE(row.start_page, end);
  EXPECT_EQ(row.offset, 0u);
  remember(302, 0);
  EXPECT_NE(StoreAccess::catalog(*f.store).back().offset, 0u);
  ASSERT_TRUE(f.store->flush());
  State all = state_of(*f.store);

  Store& s = f.reopen();
  EXPECT_EQ(state_of(s), all);
  // A scan's first reads, which take each shared page once.
  const auto hits = s.search(memory_n(7).vector, 302);
  ASSERT_TRUE(hits) << hits.error().message();
  ASSERT_EQ(hits->size(), 302u);
  for (const auto& [memory, score] : *hits) EXPECT_EQ(memory.content, all.at(memory.id));
  ASSERT_TRUE(s.verify());

  // Staged packed, then back to 7 before the flush: the records get pages of their own.
  remember(303, 0);
  remember(304, 0);
  ASSERT_TRUE(s.set_format_version(7));
  ASSERT_TRUE(s.flush());
  all = state_of(s);
  Store& seven = f.reopen();
  EXPECT_EQ(state_of(seven), all);
  for (const CatalogEntry& r : StoreAccess::catalog(seven)) ASSERT_EQ(r.offset, 0u);
  ASSERT_TRUE(seven.restore_to(1));  // a packed tree's row, converted
  EXPECT_EQ(state_of(seven), written);
  for (const CatalogEntry& r : StoreAccess::catalog(seven)) ASSERT_EQ(r.offset, 0u);

}

// A file that has committed nothing takes the version at once, with no transaction.
TEST(TreeFormatTest, AFreshFileSwitchesAtOnce) {
  Fixture f;
  f.remember_range(1, 2);  // staged before the switch
  ASSERT_TRUE(f.store->set_format_version(8));
  EXPECT_EQ(f.store->format_version(), 8u);
  EXPECT_EQ(header_on(*f.disk).version, 8u);
  EXPECT_EQ(header_on(*f.disk).last_txn_id, 0u);
  ASSERT_TRUE(f.store->flush());
  EXPECT_EQ(f.store->snapshots().size(), 1u);
  EXPECT_EQ(state_of(f.reopen()).size(), 2u);

  Fixture g;
  ASSERT_TRUE(g.store->set_format_version(8));
  ASSERT_TRUE(g.store->set_format_version(7));
  EXPECT_EQ(header_on(*g.disk).version, 7u);
  Store& s = g.reopen();
  EXPECT_EQ(s.format_version(), 7u);
  EXPECT_TRUE(s.snapshots().empty());
}

// The index in format 8: the same operations on a version-7 twin and a version-8 store give the
// same recall (ids, scores and order) after every flush and after reopening, while a flush with
// an index writes a few pages rather than the index.
TEST(TreeFormatTest, AnIndexInTreesRecallsAsTheWholeRunDoesAndAFlushWritesLittle) {
  Fixture seven, eight;
  ASSERT_TRUE(eight.store->set_format_version(8));
  const auto both = [&](auto&& op) {
    op(*seven.store);
    op(*eight.store);
  };
  const auto recalled = [](Store& store, std::uint64_t n) {
    RecallRequest request;
    request.query = memory_n(n).vector;
    request.top_k = 7;
    request.track_access = false;
    std::vector<std::pair<Ulid, float>> out;
    auto results = store.recall(request);
    EXPECT_TRUE(results) << results.error().message();
    if (results)
      for (const RecallResult& r : *results) out.emplace_back(r.memory.id, r.score);
    return out;
  };
  const auto same_recall = [&](const char* when) {
    for (std::uint64_t q : {1u, 50u, 333u})
      ASSERT_EQ(recalled(*seven.store, q), recalled(*eight.store, q)) << when << ", query " << q;
  };
  both([](Store& s) {
    for (std::uint64_t n = 1; n <= 600; ++n) ASSERT_TRUE(s.remember(memory_n(n)));
    ASSERT_TRUE(s.build_index());
    ASSERT_TRUE(s.flush());
  });
  same_recall("after the build");
  std::mt19937_64 rng(11);
  for (int round = 0; round < 8; ++round) {
    std::vector<std::uint64_t> picks;
    for (int i = 0; i < 6; ++i) picks.push_back(1 + rng() % 700);
    const std::uint64_t before = eight.pages();
    both([&](Store& s) {
      for (std::uint64_t n : picks) {
        if (n % 3 == 0) {
          (void)s.remove(memory_n(n).id);
        } else {
          Memory m = memory_n(n);
          m.vector[0] += static_cast<float>(round);  // may move to another partition
          ASSERT_TRUE(s.remember(m));
        }
      }
      if (round == 5) {
        ASSERT_TRUE(s.set_index_params(12, 40));
      }
      ASSERT_TRUE(s.flush());
    });
    EXPECT_LE(eight.pages() - before, 6u + 6 * 3 + 4 + 2) << "round " << round;
    same_recall("after a flush");
  }
  Store& eight_again = eight.reopen();
  Store& seven_again = seven.reopen();
  ASSERT_EQ(eight_again.format_version(), 8u);
  EXPECT_TRUE(is_index_root(*read_run_bytes(StoreAccess::pager(eight_again),
                                            StoreAccess::header(eight_again).index_start, 1,
                                            StoreAccess::header(eight_again).index_len)));
  EXPECT_EQ(StoreAccess::index(eight_again)->n_probe, 12u);
  same_recall("after reopening");
  (void)seven_again;

  // Every retained row restores the same index in both, and a restore writes no index page.
  for (const SnapshotInfo& row : eight.store->snapshots()) {
    if (row.txn_id == 0) continue;
    const std::uint64_t before = eight.pages();
    auto seven_row = seven.store->restore_to(row.txn_id);
    if (!seven_row) continue;  // the first rows predate the switch's numbering
    ASSERT_TRUE(eight.store->restore_to(row.txn_id));
    EXPECT_LE(eight.pages() - before, StoreAccess::header(*eight.store).manifest_pages);
    same_recall("after a restore");
  }

  // Back to 7: the rows' indexes become whole runs, and recall stays the same.
  ASSERT_TRUE(eight.store->set_format_version(7));
  ASSERT_TRUE(eight.store->flush());
  Store& back = eight.reopen();
  EXPECT_EQ(back.format_version(), 7u);
  same_recall("back in version 7");
}

// Files of versions 4 to 6 go straight to 8 at their first flush, records of 4 and 5 copied as
// their upgrade does.
TEST(TreeFormatTest, OlderVersionsUpgradeStraightToEight) {
  for (const std::uint16_t version : {4, 5, 6}) {
    SCOPED_TRACE(version);
    OldFile old(version);
    old.add(memory_n(1));
    old.add(memory_n(2));
    old.add(memory_n(3), /*deleted=*/true);
    auto disk = old.finish();
    auto store = open_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE(store) << store.error().message();
    ASSERT_TRUE((*store)->set_format_version(8));
    EXPECT_EQ(header_on(*disk).version, version);  // the old file is committed: no switch at once
    ASSERT_TRUE((*store)->flush());
    EXPECT_EQ(header_on(*disk).version, 8u);
    store->reset();
    auto reopened = open_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ((*reopened)->format_version(), 8u);
    EXPECT_EQ(state_of(**reopened), (State{{memory_n(1).id, "memory 1"}, {memory_n(2).id, "memory 2"}}));
    EXPECT_TRUE((*reopened)->verify());
  }
}

// A page 0 torn in a version-8 file is rebuilt from the log; version bytes changed in a version-7
// file still read as an unsupported version.
TEST(TreeFormatTest, ATornVersionEightHeaderIsRebuiltAndChangedVersionBytesAreNot) {
  Fixture f;
  f.remember_range(1, 3);
  ASSERT_TRUE(f.store->flush());
  const Bytes version_seven = f.disk->bytes;
  ASSERT_TRUE(f.store->set_format_version(8));
  ASSERT_TRUE(f.store->flush());
  const State state = state_of(*f.store);
  f.store.reset();

  f.disk->bytes[20] ^= 0x40;  // inside created_at: the CRC fails
  Store& rebuilt = f.reopen();
  EXPECT_EQ(state_of(rebuilt), state);
  EXPECT_EQ(rebuilt.format_version(), 8u);
  f.store.reset();

  f.disk->bytes = version_seven;
  f.disk->bytes[4] = 8;
  auto refused = open_on(std::make_unique<MemFile>(f.disk));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "unsupported .quarn format version 8");

  // Files that never committed, so have no log to rebuild from.
  Fixture fresh_seven;
  fresh_seven.store.reset();
  fresh_seven.disk->bytes[4] = 8;
  EXPECT_EQ(open_on(std::make_unique<MemFile>(fresh_seven.disk)).error().kind(),
            ErrorKind::UnsupportedVersion);
  Fixture fresh_eight;
  ASSERT_TRUE(fresh_eight.store->set_format_version(8));
  fresh_eight.store.reset();
  fresh_eight.disk->bytes[20] ^= 0x40;
  EXPECT_EQ(open_on(std::make_unique<MemFile>(fresh_eight.disk)).error().kind(),
            ErrorKind::HeaderChecksum);
}

// Roots that lie: each refused with Serialization at open, after a bounded number of reads.
TEST(TreeFormatTest, ForgedRootsAreRefused) {
  Fixture f;
  f.remember_range(1, 200);
  ASSERT_TRUE(f.store->set_format_version(8));
  ASSERT_TRUE(f.store->flush());
  f.store.reset();
  const Bytes good = f.disk->bytes;
  const format::Header h = header_on(*f.disk);
  const auto forged = [&](auto&& change) {
    format::Header forged_header = h;
    change(forged_header);
    // The seal covers these fields: reseal with the file's key, as only its holder could.
    auto store = open_on(std::make_unique<MemFile>(disk_of(good)));
    EXPECT_TRUE(store);
    Bytes bytes = good;
    const auto page = StoreAccess::pager(**store).seal_header(forged_header);
    EXPECT_TRUE(page);
    std::copy(page->begin(), page->end(), bytes.begin());
    return open_on(std::make_unique<MemFile>(disk_of(bytes)));
  };
  const struct {
    const char* what;
    void (*change)(format::Header&);
  } cases[] = {
      {"height beyond the largest", [](format::Header& x) { x.catalog_pages = 9; }},
      {"height below the count", [](format::Header& x) { x.catalog_pages = 1; }},
      {"count above the tree", [](format::Header& x) { x.catalog_len += 1; }},
      {"root past the file", [](format::Header& x) { x.catalog_start = x.page_count + 5; }},
      {"root on the header page", [](format::Header& x) { x.catalog_start = 0; }},
      {"root on a record page", [](format::Header& x) { x.catalog_start = 9; }},
  };
  for (const auto& c : cases) {
    auto opened = forged(c.change);
    ASSERT_FALSE(opened) << c.what;
    EXPECT_TRUE(opened.error().kind() == ErrorKind::Serialization ||
                opened.error().kind() == ErrorKind::PageAuth)
        << c.what << ": " << opened.error().message();
  }
}

}  // namespace
}  // namespace quarn::store::testing
