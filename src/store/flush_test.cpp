// The write path: staging rules of remember and remove, what a flush writes and refuses to write,
// the log region's move, and two handles on one file.
#include <sys/wait.h>
#include <unistd.h>

#include <limits>

#include "index/index.h"
#include "store/store_fixture.h"

namespace quarn::store::testing {
namespace {

using pager::testing::OpKind;

struct Fixture {
  std::shared_ptr<MemDisk> disk = new_disk();
  FaultFile* file = nullptr;
  std::unique_ptr<Store> store;

  explicit Fixture(StoreAccess::Tuning tuning = cheap()) {
    auto f = std::make_unique<FaultFile>(disk);
    file = f.get();
    auto s = StoreAccess::open(std::move(f), false, passphrase(), kDims, tuning);
    EXPECT_TRUE(s) << s.error().message();
    store = std::move(*s);
  }
  std::unique_ptr<Store> reopen() {
    store.reset();
    auto f = std::make_unique<FaultFile>(disk);
    file = f.get();
    auto s = open_on(std::move(f));
    EXPECT_TRUE(s) << s.error().message();
    return s ? std::move(*s) : nullptr;
  }
  std::uint64_t io_calls() const { return file->ops().size(); }
};

TEST(FlushTest, FlushCommitsOneTransactionAndReopensToIt) {
  Fixture f;
  ASSERT_TRUE(f.store->remember(memory_n(1)));
  ASSERT_TRUE(f.store->remember(memory_n(2)));
  ASSERT_TRUE(f.store->remove(memory_n(2).id));
  ASSERT_TRUE(f.store->flush());
  EXPECT_FALSE(StoreAccess::dirty(*f.store));
  const format::Header& h = StoreAccess::header(*f.store);
  EXPECT_EQ(h.last_txn_id, 1u);
  EXPECT_EQ(h.memory_count, 1u);
  ASSERT_EQ(StoreAccess::manifest(*f.store).size(), 1u);
  const Snapshot& row = StoreAccess::manifest(*f.store)[0];
  EXPECT_EQ(std::tie(row.txn_id, row.catalog_start, row.catalog_pages, row.catalog_len,
                     row.memory_count),
            std::tie(h.last_txn_id, h.catalog_start, h.catalog_pages, h.catalog_len,
                     h.memory_count));
  EXPECT_EQ(header_on(*f.disk), h);

  auto reopened = f.reopen();
  EXPECT_EQ(state_of(*reopened), (State{{memory_n(1).id, "memory 1"}}));
  EXPECT_EQ(StoreAccess::catalog(*reopened).size(), 2u);
  EXPECT_EQ(StoreAccess::manifest(*reopened).size(), 1u);
}

TEST(FlushTest, FlushWithNothingStagedTouchesNoFile) {
  Fixture f;
  const std::uint64_t after_create = f.io_calls();
  ASSERT_TRUE(f.store->flush());
  EXPECT_EQ(f.io_calls(), after_create);
  ASSERT_TRUE(f.store->remember(memory_n(1)));
  ASSERT_TRUE(f.store->flush());
  const std::uint64_t after_flush = f.io_calls();
  ASSERT_TRUE(f.store->flush());
  EXPECT_EQ(f.io_calls(), after_flush);
  EXPECT_EQ(StoreAccess::header(*f.store).last_txn_id, 1u);
}

TEST(FlushTest, RememberStagesOneRowPerIdAndRefusesBadRecordsUntouched) {
  auto tuning = cheap();
  tuning.record_limit = 200;
  Fixture f(tuning);
  Store& s = *f.store;
  const std::uint64_t pages = StoreAccess::header(s).page_count;

  Memory wrong = memory_n(1);
  wrong.vector.push_back(1.0f);
  auto refused = s.remember(wrong);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "vector dimension mismatch: database expects 4, got 5");

  Memory big = memory_n(1);
  big.content.assign(300, 'x');
  refused = s.remember(big);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_TRUE(refused.error().text().starts_with("record of "));
  EXPECT_TRUE(refused.error().text().ends_with(" bytes exceeds the limit of 200"));
  EXPECT_EQ(StoreAccess::header(s).page_count, pages);
  EXPECT_FALSE(StoreAccess::dirty(s));
  EXPECT_TRUE(StoreAccess::catalog(s).empty());

  Memory nil = memory_n(2);
  nil.id = Ulid{};
  const auto fresh = s.remember(nil);
  ASSERT_TRUE(fresh);
  EXPECT_FALSE(fresh->is_nil());

  // The same id again: one row, pointing at the second record, access statistics kept.
  ASSERT_TRUE(s.remember(memory_n(3)));
  ASSERT_TRUE(s.remove(memory_n(3).id));
  Memory again = memory_n(3);
  again.content = "again";
  again.access_count = 99;
  ASSERT_TRUE(s.remember(again));
  ASSERT_EQ(StoreAccess::catalog(s).size(), 2u);
  EXPECT_FALSE(StoreAccess::catalog(s)[1].deleted);
  EXPECT_EQ(StoreAccess::catalog(s)[1].access_count, memory_n(3).access_count);
  EXPECT_EQ(s.get(again.id)->content, "again");
  EXPECT_TRUE(StoreAccess::dirty(s));
}

TEST(FlushTest, RemoveMarksOnceAndKeepsTheIndexInStep) {
  Fixture f;
  Store& s = *f.store;
  auto missing = s.remove(memory_n(9).id);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "memory '" + memory_n(9).id.to_string() + "' not found");

  ASSERT_TRUE(s.remember(memory_n(1)));
  ASSERT_TRUE(s.remove(memory_n(1).id));
  ASSERT_TRUE(s.flush());
  ASSERT_TRUE(s.remove(memory_n(1).id));  // already deleted: no change to flush
  EXPECT_FALSE(StoreAccess::dirty(s));

  const std::vector<Ulid> ids{memory_n(1).id};
  auto index = index::train(ids, memory_n(1).vector, kDims);
  ASSERT_TRUE(index);
  StoreAccess::index(s) = std::move(*index);
  ASSERT_TRUE(s.remove(memory_n(1).id));
  EXPECT_FALSE(StoreAccess::dirty(s));
  EXPECT_TRUE(StoreAccess::index_dirty(s));
  EXPECT_EQ(StoreAccess::index(s)->vector_count(), 0u);
}

TEST(FlushTest, DroppingTheIndexStoresAnEmptyLocation) {
  Fixture f;
  Store& s = *f.store;
  std::vector<Ulid> ids;
  std::vector<float> vectors;
  for (std::uint64_t n = 1; n <= 5; ++n) {
    const Memory m = memory_n(n);
    ASSERT_TRUE(s.remember(m));
    ids.push_back(m.id);
    vectors.insert(vectors.end(), m.vector.begin(), m.vector.end());
  }
  StoreAccess::index(s) = std::move(*index::train(ids, vectors, kDims));
  StoreAccess::index_dirty(s) = true;
  ASSERT_TRUE(s.flush());
  EXPECT_GT(StoreAccess::header(s).index_pages, 0u);
  const std::uint64_t catalog_start = StoreAccess::header(s).catalog_start;

  s.drop_index();
  ASSERT_TRUE(s.flush());
  const format::Header& h = StoreAccess::header(s);
  EXPECT_EQ(std::tie(h.index_start, h.index_pages, h.index_len), std::tuple(0u, 0u, 0u));
  EXPECT_EQ(h.catalog_start, catalog_start) << "an index-only flush keeps the catalog run";
  const Snapshot& row = StoreAccess::manifest(s).back();
  EXPECT_EQ(std::tie(row.index_start, row.index_pages, row.index_len), std::tuple(0u, 0u, 0u));
  EXPECT_FALSE(f.reopen()->has_index());
}

// The 8-page region of a new file holds V = 6 run pages; V = 7 moves the log to the end of the
// file with 1.5 times the needed pages plus 4.
TEST(FlushTest, LogRegionMovesWhenTheRunsNeedSevenPages) {
  Fixture f;
  Store& s = *f.store;
  std::uint64_t n = 0;
  const auto fill_catalog_to = [&](std::uint64_t pages) {
    grow_catalog_to(StoreAccess::catalog(s), pages,
                    [&] { return s.remember(memory_n(++n)).has_value(); });
    ASSERT_EQ(run_pages(encode_catalog(StoreAccess::catalog(s)).size()), pages);
  };
  fill_catalog_to(5);
  ASSERT_TRUE(s.flush());  // V = 5 + 1
  EXPECT_EQ(StoreAccess::header(s).wal_start, 1u);
  fill_catalog_to(6);
  const std::uint64_t end = StoreAccess::header(s).page_count;
  ASSERT_TRUE(s.flush());  // V = 6 + 1
  EXPECT_EQ(StoreAccess::header(s).wal_start, end);
  EXPECT_EQ(StoreAccess::header(s).wal_pages, 17u);  // R = 65797 bytes: W = 9, + 4, + 4
  auto reopened = f.reopen();
  EXPECT_EQ(reopened->live_count(), n);
}

TEST(FlushTest, NumbersThatWouldWrapAreRefusedBeforeAnyWrite) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::function<void(Store&)> cases[] = {
      [](Store& s) { StoreAccess::header(s).last_txn_id = kMax; },
      [](Store& s) { StoreAccess::header(s).page_count = kMax / kPageSize - 1; },
      [](Store& s) { pager::PagerAccess::set_counter(StoreAccess::pager(s), kMax - 1); },
  };
  for (const auto& set_up : cases) {
    Fixture f;
    ASSERT_TRUE(f.store->remember(memory_n(1)));
    set_up(*f.store);
    const std::uint64_t writes = f.file->writes();
    auto result = f.store->flush();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(f.file->writes(), writes);
    EXPECT_TRUE(StoreAccess::dirty(*f.store));
  }
  Fixture f;
  StoreAccess::header(*f.store).page_count = kMax - 1;
  auto refused = f.store->remember(memory_n(1));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
}

TEST(FlushTest, RegionCoveringPageZeroIsMovedNotWritten) {
  Fixture f;
  StoreAccess::header(*f.store).wal_start = 0;
  ASSERT_TRUE(f.store->remember(memory_n(1)));
  const std::uint64_t end = StoreAccess::header(*f.store).page_count;
  ASSERT_TRUE(f.store->flush());
  EXPECT_EQ(StoreAccess::header(*f.store).wal_start, end);
  EXPECT_EQ(state_of(*f.reopen()), (State{{memory_n(1).id, "memory 1"}}));
}

// A version-6 header (checksummed, not sealed) whose page_count is raised to 2^32 - 1: the runs
// of the upgrade's flush would lie past the file size limit. Every such flush fails before its
// commit point, so the file keeps opening at its state (a flush that committed first would have
// to be replayed past the limit by every open).
TEST(FlushTest, RunsPastTheFileSizeLimitFailTheFlushBeforeItsCommit) {
  auto disk = new_disk();
  {
    auto store = create_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE((*store)->remember(memory_n(1)));
    ASSERT_TRUE((*store)->flush());
  }
  format::Header h = header_on(*disk);
  h.version = 6;
  h.page_count = 0xFFFFFFFFu;
  const format::PageImage page0 = format::to_page(h);
  std::copy(page0.begin(), page0.end(), disk->bytes.begin());
  for (int attempt = 1; attempt <= 2; ++attempt) {
    SCOPED_TRACE(attempt);
    auto store = open_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE(store) << store.error().message();
    EXPECT_EQ(state_of(**store), (State{{memory_n(1).id, "memory 1"}}));
    auto flushed = (*store)->flush();
    ASSERT_FALSE(flushed);
    EXPECT_EQ(flushed.error().os_errno(), EFBIG) << flushed.error().message();
    EXPECT_TRUE(StoreAccess::dirty(**store));
    EXPECT_EQ(header_on(*disk).last_txn_id, 1u);
  }
}

// A version-6 header (checksummed only) whose log region lies over a run the file refers to: the
// first flush moves the log instead of writing its frames over that run.
TEST(FlushTest, LogRegionOverLiveRunsIsMovedNotWritten) {
  enum Target { kRecord, kCatalog, kIndex, kManifest };
  for (const Target target : {kRecord, kCatalog, kIndex, kManifest}) {
    SCOPED_TRACE(target);
    OldFile old(6);
    std::vector<Ulid> ids;
    std::vector<float> vectors;
    State expected;
    for (std::uint64_t n = 1; n <= 6; ++n) {
      const Memory m = memory_n(n);
      old.add(m);
      ids.push_back(m.id);
      vectors.insert(vectors.end(), m.vector.begin(), m.vector.end());
      expected[m.id] = m.content;
    }
    auto disk = old.finish(*index::encode_index(**index::train(ids, vectors, kDims)));
    format::Header h = header_on(*disk);
    const std::uint64_t starts[] = {old.catalog_[1].start_page, h.catalog_start, h.index_start,
                                    h.manifest_start};
    h.wal_start = starts[target];
    h.wal_pages = 4;    // enough for the first flush's frames
    h.page_count += 8;  // and inside the pages the header accounts for
    const format::PageImage page0 = format::to_page(h);
    std::copy(page0.begin(), page0.end(), disk->bytes.begin());

    auto store = open_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE(store) << store.error().message();
    ASSERT_TRUE((*store)->flush());
    EXPECT_GE(StoreAccess::header(**store).wal_start, h.page_count) << "the log moved to the end";
    store->reset();
    auto reopened = open_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ(state_of(**reopened), expected);
    EXPECT_TRUE((*reopened)->has_index());
  }
}

TEST(FlushTest, SecondHandleCannotFlushOverAnotherHandlesCommit) {
  auto disk = new_disk();
  disk->log_pages = true;
  auto a = create_on(std::make_unique<MemFile>(disk));
  auto b = open_on(std::make_unique<MemFile>(disk));
  ASSERT_TRUE(a && b);
  ASSERT_TRUE((*a)->remember(memory_n(1)));
  ASSERT_TRUE((*a)->flush());

  ASSERT_TRUE((*b)->remember(memory_n(2)));
  const std::size_t images = disk->page_log.size();
  auto refused = (*b)->flush();
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "io error: database was changed by another handle; reopen it (os error 16)");
  EXPECT_EQ(disk->page_log.size(), images) << "the refused flush wrote nothing";
  EXPECT_TRUE(StoreAccess::dirty(**b));

  ASSERT_TRUE((*a)->remember(memory_n(3)));
  ASSERT_TRUE((*a)->flush());
  auto reopened = open_on(std::make_unique<MemFile>(disk));
  ASSERT_TRUE(reopened);
  EXPECT_EQ(state_of(**reopened),
            (State{{memory_n(1).id, "memory 1"}, {memory_n(3).id, "memory 3"}}));
  NonceLedger ledger;
  EXPECT_TRUE(ledger.add(*disk)) << ledger.failure();
}

// Two processes flush in turns on one real file: each flush commits or is refused, and the file
// ends up holding exactly the memories of the committed flushes.
TEST(FlushTest, TwoProcessesFlushingInALoopNeverLoseACommit) {
  TempDir dir;
  const std::string path = dir.file("db");
  ASSERT_TRUE(StoreAccess::open_path(path, passphrase(), kDims, cheap()));
  constexpr int kRounds = 25;
  const auto run = [&](std::uint64_t base) {
    int committed = 0;
    auto store = StoreAccess::open_path(path, passphrase(), std::nullopt, cheap());
    for (int i = 0; i < kRounds && store; ++i) {
      if (!(*store)->remember(memory_n(base + i))) return -1;
      if ((*store)->flush()) {
        ++committed;
      } else {
        store = StoreAccess::open_path(path, passphrase(), std::nullopt, cheap());
      }
    }
    return store ? committed : -1;
  };
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int commits = run(1000);
    ::_exit(commits < 0 ? 255 : commits);
  }
  const int parent_commits = run(2000);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  const int child_commits = WEXITSTATUS(status);
  ASSERT_GE(parent_commits, 1);
  ASSERT_LE(child_commits, kRounds) << "the child failed";
  auto store = StoreAccess::open_path(path, passphrase(), std::nullopt, cheap());
  ASSERT_TRUE(store);
  EXPECT_EQ(state_of(**store).size(), static_cast<std::size_t>(parent_commits + child_commits));
  EXPECT_EQ(StoreAccess::header(**store).last_txn_id,
            static_cast<std::uint64_t>(parent_commits + child_commits));
}

}  // namespace
}  // namespace quarn::store::testing
