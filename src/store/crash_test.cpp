// Failure and crash injection over whole workloads. For every chosen k, the k-th write or sync of
// a scripted workload
//   - fails with an Io error: the flush reports it, keeps its flags, manifest and counters, a
//     retry commits, and the file reopens at the last commit; or
//   - crashes the process: under each crash model the file reopens at exactly the last committed
//     state or the one being committed, every live record decodes, and a further flush commits.
// Throughout, no nonce (page, counter) ever encrypts two different page images.
//
// Every write and sync of each workload is tried. The default workloads are small enough for a
// few seconds; a larger one (thousands of records, the log moved twice, long batches of record
// pages) runs on demand:
//   QUARN_CRASH_LARGE=1 ./store_test --gtest_filter='*CrashTest*large'
#include <cstdlib>
#include <functional>
#include <map>
#include <set>

#include "index/index.h"
#include "store/store_fixture.h"
#include "wal/wal.h"

namespace quarn::store::testing {
namespace {

using pager::testing::CrashModel;
using pager::testing::Op;
using pager::testing::OpKind;

// What the workload has committed, and what it holds staged now.
struct Model {
  State committed;
  State staged;
  bool created = false;
};

// One workload: `start` creates or opens a store on the file, then the steps run in order.
struct Base;
struct Workload {
  const Base* base = nullptr;  // the file the workload starts from, when made beforehand
  std::function<std::shared_ptr<MemDisk>()> initial_disk;
  std::function<Result<std::unique_ptr<Store>>(std::unique_ptr<pager::File>, Model&)> start;
  std::vector<std::function<Result<void>(Store&, Model&)>> steps;
};

Result<void> remember(Store& store, Model& model, const Memory& memory) {
  TRY(store.remember(memory));
  model.staged[memory.id] = memory.content;
  return {};
}

std::function<Result<void>(Store&, Model&)> remember_range(
    std::uint64_t from, std::uint64_t to, Memory (*make)(std::uint64_t, std::size_t) = memory_n) {
  return [=](Store& store, Model& model) -> Result<void> {
    for (std::uint64_t n = from; n <= to; ++n) TRY(remember(store, model, make(n, kDims)));
    return {};
  };
}

std::function<Result<void>(Store&, Model&)> rewrite(std::uint64_t n) {
  return [=](Store& store, Model& model) {
    Memory memory = memory_n(n);
    memory.content = "rewritten " + std::to_string(n);
    return remember(store, model, memory);
  };
}

std::function<Result<void>(Store&, Model&)> forget(std::uint64_t n) {
  return [=](Store& store, Model& model) -> Result<void> {
    TRY(store.remove(memory_n(n).id));
    model.staged.erase(memory_n(n).id);
    return {};
  };
}

// Adds a catalog row for memory_n(n)'s id that shares the run of the first row's record: a large
// catalog without a page per record, so that each of the hundreds of runs below stays small. The
// row is among the longest (9-byte accessed_at, 5-byte access count).
Result<void> clone_first_row(Store& store, Model& model, std::uint64_t n) {
  CatalogEntry row = store.catalog().front();
  row.id = memory_n(n).id;
  row.deleted = false;
  row.accessed_at = -(std::int64_t{1} << 40);
  row.access_count = 70000;
  StoreAccess::catalog(store).push_back(row);
  StoreAccess::id_index(store)[row.id] = store.catalog().size() - 1;
  StoreAccess::dirty(store) = true;
  model.staged[row.id] = model.staged.at(store.catalog().front().id);
  return {};
}

// Grows the catalog with shared-run rows until it is longer than `bytes`.
std::uint64_t clone_rows_past(Store& store, Model& model, std::uint64_t bytes) {
  const std::size_t before = store.catalog().size();
  std::uint64_t n = 100 + before;
  grow_catalog_past(store.catalog(), bytes,
                    [&] { return clone_first_row(store, model, n++).has_value(); });
  return store.catalog().size() - before;
}

std::function<Result<void>(Store&, Model&)> clone_rows(std::uint64_t from, std::uint64_t count) {
  return [=](Store& store, Model& model) -> Result<void> {
    for (std::uint64_t n = from; n < from + count; ++n) TRY(clone_first_row(store, model, n));
    return {};
  };
}

Result<void> flush(Store& store, Model& model) {
  TRY(store.flush());
  model.committed = model.staged;
  return {};
}

// A file the workload starts from, made once: its bytes, its live state and every page image
// written while it was made.
struct Base {
  Bytes bytes;
  State state;
  std::uint64_t next = 0;   // memory_n(next) onwards are not stored yet
  std::uint64_t to_fill = 0;  // rows that take the catalog run to six pages
  NonceLedger ledger;
};

std::shared_ptr<MemDisk> copy_of(const Base& base) {
  auto disk = disk_of(base.bytes);
  disk->log_pages = true;
  return disk;
}

// A new file: small transactions in the first region.
Workload new_file_workload() {
  Workload w;
  w.initial_disk = [] {
    auto disk = new_disk();
    disk->log_pages = true;
    return disk;
  };
  w.start = [](std::unique_ptr<pager::File> file, Model& model) {
    auto store = create_on(std::move(file));
    model.created = store.has_value();
    return store;
  };
  w.steps = {remember_range(1, 3), flush, remember_range(4, 5), forget(2), flush,
             rewrite(3),           flush, flush};
  return w;
}

// A file whose catalog is a few rows short of six pages: the workload's first flush moves the
// log to the end of the file and the later ones commit there.
const Base& near_full_base() {
  static const Base base = [] {
    Base b;
    auto disk = new_disk();
    disk->log_pages = true;
    Model model;
    auto store = create_on(std::make_unique<MemFile>(disk));
    EXPECT_TRUE(remember_range(1, 3)(**store, model));
    EXPECT_TRUE(flush(**store, model));
    clone_rows_past(**store, model, 5 * kPageCapacity - 400);
    EXPECT_TRUE(flush(**store, model));
    EXPECT_EQ((*store)->header().wal_start, 1u);
    b.bytes = disk->bytes;
    b.state = state_of(**store);
    EXPECT_EQ(b.state, model.committed);
    EXPECT_TRUE(b.ledger.add(*disk));
    b.next = 100 + (*store)->catalog().size();
    b.to_fill = clone_rows_past(**store, model, 5 * kPageCapacity);  // six pages: V = 7
    return b;
  }();
  return base;
}

Workload moved_log_workload() {
  Workload w;
  w.base = &near_full_base();
  w.initial_disk = [] { return copy_of(near_full_base()); };
  w.start = [](std::unique_ptr<pager::File> file, Model& model) {
    auto store = open_on(std::move(file));
    model.created = store.has_value();
    model.committed = model.staged = near_full_base().state;
    return store;
  };
  const Base& base = near_full_base();
  w.steps = {clone_rows(base.next, base.to_fill),
             remember_range(6, 7),
             flush,
             [](Store& store, Model&) -> Result<void> {
               EXPECT_GT(store.header().wal_start, 1u) << "the log moved to the end";
               return {};
             },
             forget(2),
             remember_range(8, 8),
             flush,
             flush,
             rewrite(3),
             flush};
  return w;
}

// Thousands of records remembered one by one: batches of record pages, the log moved at the
// first flush and again when the catalog outgrows the moved region.
Workload large_workload() {
  Workload w = new_file_workload();
  const auto grow_to = [](std::uint64_t pages) {
    return [pages](Store& store, Model& model) -> Result<void> {
      std::uint64_t n = 100 + store.catalog().size();
      std::optional<QuarnError> error;
      grow_catalog_to(store.catalog(), pages, [&] {
        auto added = remember(store, model, memory_n(n++));
        if (!added) error = added.error();
        return added.has_value();
      });
      if (error) return fail(*error);
      return {};
    };
  };
  w.steps = {grow_to(6), flush, remember_range(1, 3), forget(101), flush,
             grow_to(15), flush, rewrite(2), flush};
  return w;
}

// A version-5 file: the upgrade's flush copies every live record and moves the log to the end.
Workload version_five_workload() {
  Workload w;
  w.initial_disk = [] {
    OldFile old(5);
    std::vector<Ulid> ids;
    std::vector<float> vectors;
    for (std::uint64_t n = 1; n <= 6; ++n) {
      const Memory memory = memory_n(n);
      old.add(memory, /*deleted=*/n == 4);
      ids.push_back(memory.id);
      vectors.insert(vectors.end(), memory.vector.begin(), memory.vector.end());
    }
    auto index = index::train(ids, vectors, kDims);
    auto disk = old.finish(*index::encode_index(**index));
    disk->log_pages = true;
    return disk;
  };
  w.start = [](std::unique_ptr<pager::File> file, Model& model) {
    auto store = open_on(std::move(file));
    if (store) {
      model.created = true;
      model.committed = model.staged = state_of(**store);
    }
    return store;
  };
  w.steps = {flush, remember_range(7, 8), forget(1), flush, rewrite(2), flush};
  return w;
}

// Runs the workload on `file`. Without retries it stops at the first failing step; with them a
// failed flush is checked, retried, and the run ends once one more flush has committed after it.
struct Outcome {
  Model model;
  std::optional<QuarnError> error;
};

Outcome run(const Workload& w, const std::shared_ptr<FaultFile>& file, bool retry_failed_flushes) {
  Outcome out;
  auto store = w.start(std::make_unique<Forward>(file), out.model);
  if (!store) {
    out.error = store.error();
    return out;
  }
  Store& s = **store;
  bool retried = false;
  for (const auto& step : w.steps) {
    const std::vector<Snapshot> manifest = s.manifest();
    const format::Header committed = StoreAccess::committed(s);
    const std::uint64_t pages = s.header().page_count;
    const std::uint64_t counter = s.pager().nonce_counter();
    const bool dirty = s.dirty(), index_dirty = s.index_dirty();
    const std::uint64_t txn = committed.last_txn_id;
    auto result = step(s, out.model);
    if (result) {
      if (retried && s.header().last_txn_id != txn) return out;
      continue;
    }
    if (!retry_failed_flushes) {
      out.error = result.error();
      return out;
    }
    // A failed flush keeps everything needed to write it all again.
    EXPECT_EQ(result.error().kind(), ErrorKind::Io) << result.error().message();
    EXPECT_EQ(s.dirty(), dirty);
    EXPECT_EQ(s.index_dirty(), index_dirty);
    EXPECT_EQ(s.manifest(), manifest);
    EXPECT_EQ(StoreAccess::committed(s), committed);
    EXPECT_GE(s.header().page_count, pages);
    EXPECT_GE(s.pager().nonce_counter(), counter);
    auto again = flush(s, out.model);
    EXPECT_TRUE(again) << again.error().message();
    retried = true;
  }
  return out;
}

// The durability orderings, over the writes and syncs a run made before anything failed:
// a committed page 0 is written only when every other page written before it is synced, and a
// page 0 is synced before any other page is written after it.
void expect_sync_order(const std::vector<Op>& ops) {
  bool other_unsynced = false, header_unsynced = false;
  for (const Op& op : ops) {
    if (!op.ok) return;
    if (op.kind == OpKind::Sync) {
      other_unsynced = header_unsynced = false;
    } else if (op.kind == OpKind::Write && op.offset == 0) {
      EXPECT_FALSE(other_unsynced) << "page 0 written before the pages it names were synced";
      header_unsynced = true;
    } else if (op.kind == OpKind::Write) {
      EXPECT_FALSE(header_unsynced) << "a page written before the header before it was synced";
      other_unsynced = true;
    }
  }
}

struct Point {
  OpKind kind;
  std::uint64_t n;
};

// Every write and every sync of a run, in order.
std::vector<Point> fault_points(const std::vector<Op>& ops) {
  std::vector<Point> points;
  std::uint64_t writes = 0, syncs = 0;
  for (const Op& op : ops) {
    if (op.kind == OpKind::Write) points.push_back({OpKind::Write, ++writes});
    if (op.kind == OpKind::Sync) points.push_back({OpKind::Sync, ++syncs});
  }
  return points;
}

std::string describe(const Point& p) {
  return std::string(p.kind == OpKind::Write ? "write " : "sync ") + std::to_string(p.n);
}

// Live ids only: cheap, for states whose records were already read once.
std::set<Ulid> live_ids(const Store& store) {
  std::set<Ulid> ids;
  for (const CatalogEntry& row : store.catalog())
    if (!row.deleted) ids.insert(row.id);
  return ids;
}

std::set<Ulid> ids_of(const State& state) {
  std::set<Ulid> ids;
  for (const auto& [id, content] : state) ids.insert(id);
  return ids;
}

class CrashTest : public ::testing::TestWithParam<const char*> {
 protected:
  Workload workload() const {
    const std::string name = GetParam();
    if (name == "new") return new_file_workload();
    if (name == "moved") return moved_log_workload();
    if (name == "large") return large_workload();
    return version_five_workload();
  }
  void SetUp() override {
    if (std::string(GetParam()) == "large" && !std::getenv("QUARN_CRASH_LARGE"))
      GTEST_SKIP() << "set QUARN_CRASH_LARGE=1 to run";
  }
  std::vector<Point> points(const Workload& w) {
    auto fault = std::make_shared<FaultFile>(w.initial_disk());
    const Outcome dry = run(w, fault, false);
    EXPECT_FALSE(dry.error) << dry.error->message();
    expect_sync_order(fault->ops());
    const auto chosen = fault_points(fault->ops());
    RecordProperty("fault_points", static_cast<int>(chosen.size()));
    return chosen;
  }
  static const NonceLedger* base_ledger(const Workload& w) {
    return w.base ? &w.base->ledger : nullptr;
  }
};

TEST_P(CrashTest, FailedWriteOrSyncIsReportedAndARetryCommits) {
  const Workload w = workload();
  for (const Point& point : points(w)) {
    SCOPED_TRACE(describe(point));
    auto disk = w.initial_disk();
    auto file = std::make_shared<FaultFile>(disk);
    file->fail_nth(point.kind, point.n);
    const Outcome out = run(w, file, true);
    if (!out.model.created) {
      ASSERT_TRUE(out.error);
      EXPECT_EQ(out.error->kind(), ErrorKind::Io);
      continue;
    }
    auto reopened = open_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ(state_of(**reopened), out.model.committed);
    NonceLedger ledger(base_ledger(w));
    EXPECT_TRUE(ledger.add(*disk)) << ledger.failure();
    if (HasFailure()) return;
  }
}

TEST_P(CrashTest, CrashReopensAtTheLastCommitOrTheOneBeingMade) {
  const Workload w = workload();
  for (const Point& point : points(w)) {
    SCOPED_TRACE(describe(point));
    auto disk = w.initial_disk();
    auto fault = std::make_shared<FaultFile>(disk);
    fault->crash_at(point.kind, point.n);
    const Outcome out = run(w, fault, false);
    ASSERT_TRUE(fault->crashed());
    ASSERT_TRUE(out.error);
    expect_sync_order(fault->ops());

    std::vector<Bytes> seen;
    for (const CrashModel model :
         {CrashModel::DropUnsynced, CrashModel::KeepWritten, CrashModel::TearCrashed}) {
      SCOPED_TRACE(static_cast<int>(model));
      Bytes image = fault->crash_image(model);
      if (std::find(seen.begin(), seen.end(), image) != seen.end()) continue;  // same disk
      auto after = disk_of(image);
      seen.push_back(std::move(image));
      after->log_pages = true;
      // One model's reopen also checks the ordering of its replay and flush.
      auto reopen_fault =
          model == CrashModel::DropUnsynced ? std::make_shared<FaultFile>(after) : nullptr;
      auto reopened = reopen_fault ? open_on(std::make_unique<Forward>(reopen_fault))
                                   : open_on(std::make_unique<MemFile>(after));
      if (!out.model.created) {
        // The crash came while the file was made: it holds no database or an empty one.
        if (reopened) {
          EXPECT_TRUE((*reopened)->catalog().empty());
        } else {
          EXPECT_EQ(reopened.error().kind(), ErrorKind::Io);
        }
        continue;
      }
      ASSERT_TRUE(reopened) << reopened.error().message();
      Store& s = **reopened;
      const State state = state_of(s);
      EXPECT_TRUE(state == out.model.committed || state == out.model.staged)
          << state.size() << " live memories; committed " << out.model.committed.size()
          << ", being committed " << out.model.staged.size();

      // The reopened file takes further transactions without reusing a page or a nonce.
      std::set<Ulid> expected = ids_of(state);
      const Memory more = memory_n(5000);
      expected.insert(more.id);
      ASSERT_TRUE(s.remember(more));
      const auto flushed = s.flush();
      ASSERT_TRUE(flushed) << flushed.error().message();
      if (reopen_fault) expect_sync_order(reopen_fault->ops());
      reopened->reset();
      auto again = open_on(std::make_unique<MemFile>(after));
      ASSERT_TRUE(again) << again.error().message();
      EXPECT_EQ(live_ids(**again), expected);
      EXPECT_EQ((*again)->get(more.id)->content, more.content);

      NonceLedger ledger(base_ledger(w));
      EXPECT_TRUE(ledger.add(*disk)) << ledger.failure();
      EXPECT_TRUE(ledger.add(*after)) << ledger.failure();
    }
    if (HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Workloads, CrashTest, ::testing::Values("new", "moved", "version5", "large"),
                         [](const auto& info) { return std::string(info.param); });

// A torn page 0 after the log has moved, once and twice: the newest commit is rebuilt from the
// newest region, never an older transaction left in an abandoned one.
TEST(DamagedHeaderTest, NewestCommitWinsOverAbandonedRegions) {
  auto disk = new_disk();
  auto created = create_on(std::make_unique<MemFile>(disk));
  ASSERT_TRUE(created);
  std::unique_ptr<Store> store = std::move(*created);
  Model model;
  const auto damage_and_reopen = [&] {
    const std::uint64_t newest = store->header().last_txn_id;
    store.reset();
    disk->bytes[100] ^= 0x10;
    auto reopened = open_on(std::make_unique<MemFile>(disk));
    EXPECT_TRUE(reopened) << reopened.error().message();
    if (!reopened) return;
    store = std::move(*reopened);
    EXPECT_EQ(store->header().last_txn_id, newest);
    EXPECT_EQ(state_of(*store), model.committed);
  };

  // The very first flush moves the log: pages 1 to 8 never held a transaction.
  std::uint64_t n = 10000;
  grow_catalog_to(store->catalog(), 6,
                  [&] { return remember(*store, model, memory_n(++n)).has_value(); });
  ASSERT_TRUE(flush(*store, model));
  const std::uint64_t first_region = store->header().wal_start;
  EXPECT_GT(first_region, 1u);
  damage_and_reopen();

  ASSERT_TRUE(remember_range(1, 2)(*store, model));
  ASSERT_TRUE(flush(*store, model));
  ASSERT_TRUE(forget(1)(*store, model));
  ASSERT_TRUE(flush(*store, model));
  damage_and_reopen();

  // Grow until the moved region is too small as well.
  const std::uint64_t region_bytes = store->header().wal_pages * kPageSize;
  const std::uint64_t pages_held = (region_bytes - 8250) / wal::kPageFrameSize;  // runs incl. manifest
  grow_catalog_to(store->catalog(), pages_held,
                  [&] { return remember(*store, model, memory_n(++n)).has_value(); });
  ASSERT_TRUE(flush(*store, model));
  EXPECT_NE(store->header().wal_start, first_region);
  ASSERT_TRUE(rewrite(2)(*store, model));
  ASSERT_TRUE(flush(*store, model));
  damage_and_reopen();
}

}  // namespace
}  // namespace quarn::store::testing
