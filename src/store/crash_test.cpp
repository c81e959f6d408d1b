// Failure and crash injection over whole workloads. For every chosen k, the k-th write or sync of
// a scripted workload
//   - fails with an Io error: the flush reports it, keeps its flags, manifest and counters, a
//     retry commits, and the file reopens at the last commit; or
//   - crashes the process: under each crash model the file reopens at exactly the last committed
//     state or the one being committed, every live record decodes, and a further flush commits.
//     The models are the three fixed ones of the fault file and its seeded one, which keeps any
//     subset of the unsynced writes, each possibly torn at 512-byte sectors, over several seeds
//     at every point.
// Throughout, no nonce (page, counter) ever encrypts two different page images.
//
// Every write and sync of each workload is tried, with 3 seeds of the seeded model at each. The
// default workloads are small enough for a few seconds; a larger one (thousands of records, the
// log moved twice, long batches of record pages) runs on demand, and the on-demand run tries 200
// seeds at every point of every workload (QUARN_CRASH_SEEDS=n sets another number):
//   QUARN_CRASH_LARGE=1 ./store_test --gtest_filter='*CrashTest*'
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string_view>

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
  std::map<std::uint64_t, State> by_txn;  // what each commit of the run left
  bool restoring = false;                 // the step staged a restored state before its flush
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
  CatalogEntry row = StoreAccess::catalog(store).front();
  row.id = memory_n(n).id;
  row.deleted = false;
  row.accessed_at = -(std::int64_t{1} << 40);
  row.access_count = 70000;
  StoreAccess::catalog(store).push_back(row);
  StoreAccess::id_index(store)[row.id] = StoreAccess::catalog(store).size() - 1;
  StoreAccess::note_row_changed(store, StoreAccess::catalog(store).size() - 1);
  StoreAccess::recount_live(store);
  StoreAccess::dirty(store) = true;
  model.staged[row.id] = model.staged.at(StoreAccess::catalog(store).front().id);
  return {};
}

// Grows the catalog with shared-run rows until it is longer than `bytes`.
std::uint64_t clone_rows_past(Store& store, Model& model, std::uint64_t bytes) {
  const std::size_t before = StoreAccess::catalog(store).size();
  std::uint64_t n = 100 + before;
  grow_catalog_past(StoreAccess::catalog(store), bytes,
                    [&] { return clone_first_row(store, model, n++).has_value(); });
  return StoreAccess::catalog(store).size() - before;
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
  model.by_txn[StoreAccess::committed(store).last_txn_id] = model.committed;
  return {};
}

std::function<Result<void>(Store&, Model&)> to_version(std::uint64_t version) {
  return [=](Store& store, Model&) { return store.set_format_version(version); };
}

// A restore commits a transaction of its own; when its flush fails, the retry's flush commits
// the restored state.
std::function<Result<void>(Store&, Model&)> restore(std::uint64_t txn) {
  return [=](Store& store, Model& model) -> Result<void> {
    model.staged = model.by_txn.at(txn);
    model.restoring = true;
    TRY(store.restore_to(txn));
    model.restoring = false;
    model.committed = model.staged;
    model.by_txn[StoreAccess::committed(store).last_txn_id] = model.committed;
    return {};
  };
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
    EXPECT_EQ(StoreAccess::header(**store).wal_start, 1u);
    b.bytes = disk->bytes;
    b.state = state_of(**store);
    EXPECT_EQ(b.state, model.committed);
    EXPECT_TRUE(b.ledger.add(*disk));
    b.next = 100 + StoreAccess::catalog(**store).size();
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
               EXPECT_GT(StoreAccess::header(store).wal_start, 1u) << "the log moved to the end";
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
      std::uint64_t n = 100 + StoreAccess::catalog(store).size();
      std::optional<QuarnError> error;
      grow_catalog_to(StoreAccess::catalog(store), pages, [&] {
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

// A version-7 file switched to version 8: the switch's flush writes the whole catalog as a tree,
// later flushes the leaves they change (rows cloned to span three leaves), an index built and
// changed (its posting trees written in part); restores of a row
// from before the switch (its catalog a run, written again as a tree) and of one after it (its
// tree adopted, no node written); then back to version 7, which writes every retained row's tree
// as a run, and a restore of one of those.
Workload tree_workload() {
  Workload w = new_file_workload();
  const auto index = [](Store& store, Model&) { return store.build_index(); };
  w.steps = {remember_range(1, 3), flush,       to_version(8),   flush,
             clone_rows(200, 300), remember_range(4, 5), forget(2), flush,
             rewrite(3),           index,       flush,           remember_range(6, 7),
             forget(4),            flush,       restore(1),      remember_range(8, 8),
             flush,                restore(5),  forget(1),       flush,
             to_version(7),        flush,       restore(3),      restore(6)};
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
    const std::vector<Snapshot> manifest = StoreAccess::manifest(s);
    const format::Header committed = StoreAccess::committed(s);
    const std::uint64_t pages = StoreAccess::header(s).page_count;
    const std::uint64_t counter = pager::PagerAccess::counter(StoreAccess::pager(s));
    const bool dirty = StoreAccess::dirty(s), index_dirty = StoreAccess::index_dirty(s);
    const std::uint64_t txn = committed.last_txn_id;
    auto result = step(s, out.model);
    if (result) {
      if (retried && StoreAccess::header(s).last_txn_id != txn) return out;
      continue;
    }
    if (!retry_failed_flushes) {
      out.error = result.error();
      return out;
    }
    // A failed flush keeps everything needed to write it all again (a restore's flush: the
    // restored state, staged with both flags).
    EXPECT_EQ(result.error().kind(), ErrorKind::Io) << result.error().message();
    EXPECT_EQ(StoreAccess::dirty(s), dirty || out.model.restoring);
    EXPECT_EQ(StoreAccess::index_dirty(s), index_dirty || out.model.restoring);
    out.model.restoring = false;
    EXPECT_EQ(StoreAccess::manifest(s), manifest);
    EXPECT_EQ(StoreAccess::committed(s), committed);
    EXPECT_GE(StoreAccess::header(s).page_count, pages);
    EXPECT_GE(pager::PagerAccess::counter(StoreAccess::pager(s)), counter);
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

// Every write, sync and allocation of a run, in order.
std::vector<Point> fault_points(const std::vector<Op>& ops) {
  std::vector<Point> points;
  std::uint64_t writes = 0, syncs = 0, allocations = 0;
  for (const Op& op : ops) {
    if (op.kind == OpKind::Write) points.push_back({OpKind::Write, ++writes});
    if (op.kind == OpKind::Sync) points.push_back({OpKind::Sync, ++syncs});
    if (op.kind == OpKind::Allocate) points.push_back({OpKind::Allocate, ++allocations});
  }
  return points;
}

std::string describe(const Point& p) {
  const char* kind = p.kind == OpKind::Write  ? "write "
                     : p.kind == OpKind::Sync ? "sync "
                                              : "allocate ";
  return kind + std::to_string(p.n);
}

// Live ids only: cheap, for states whose records were already read once.
std::set<Ulid> live_ids(const Store& store) {
  std::set<Ulid> ids;
  for (const CatalogEntry& row : StoreAccess::catalog(store))
    if (!row.deleted) ids.insert(row.id);
  return ids;
}

std::set<Ulid> ids_of(const State& state) {
  std::set<Ulid> ids;
  for (const auto& [id, content] : state) ids.insert(id);
  return ids;
}

// The workloads, by name. The on-demand ones run only with QUARN_CRASH_LARGE set.
struct WorkloadEntry {
  const char* name;
  Workload (*make)();
  bool on_demand;
};
constexpr WorkloadEntry kWorkloads[] = {
    {"new", new_file_workload, false},
    {"moved", moved_log_workload, false},
    {"version5", version_five_workload, false},
    {"tree", tree_workload, false},
    {"large", large_workload, true},
};

const WorkloadEntry* find_workload(std::string_view name) {
  for (const WorkloadEntry& entry : kWorkloads)
    if (name == entry.name) return &entry;
  return nullptr;
}

// Seeds of the seeded crash model tried at every crash point: a few by default, 200 in the
// on-demand run, or QUARN_CRASH_SEEDS.
std::uint64_t crash_seeds() {
  if (const char* n = std::getenv("QUARN_CRASH_SEEDS")) return std::strtoull(n, nullptr, 10);
  return std::getenv("QUARN_CRASH_LARGE") ? 200 : 3;
}

class CrashTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    entry_ = find_workload(GetParam());
    ASSERT_NE(entry_, nullptr) << "no workload is named " << GetParam();
    if (entry_->on_demand && !std::getenv("QUARN_CRASH_LARGE"))
      GTEST_SKIP() << "set QUARN_CRASH_LARGE=1 to run";
  }
  Workload workload() const { return entry_->make(); }
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

  const WorkloadEntry* entry_ = nullptr;
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

// The disk fills up at a write or an allocation (no space, or a file size limit: the engine
// treats both alike, so the points take turns): a flush that needs the room fails before its
// commit point, the file opens on the still-full disk at its last commit without needing any
// room, the changes stay staged, and once there is room the same handle commits them.
TEST_P(CrashTest, FullDiskFailsTheFlushBeforeItsCommitAndTheFileStillOpens) {
  const Workload w = workload();
  const std::vector<Point> all = points(w);
  for (std::size_t p = 0; p < all.size(); ++p) {
    const Point& point = all[p];
    if (point.kind == OpKind::Sync) continue;
    const int full = p % 2 == 0 ? ENOSPC : EFBIG;
    SCOPED_TRACE(describe(point) + (full == ENOSPC ? ", no space" : ", size limit"));
    auto disk = w.initial_disk();
    auto fault = std::make_shared<FaultFile>(disk);
    fault->fill_disk_at(point.kind, point.n, full);
    Model model;
    auto store = w.start(std::make_unique<Forward>(fault), model);
    if (!store) {
      EXPECT_FALSE(model.created);  // no room for a new file's header
      continue;
    }
    std::optional<QuarnError> error;
    for (const auto& step : w.steps) {
      if (auto result = step(**store, model); !result) {
        error = result.error();
        break;
      }
    }
    if (!error) continue;  // nothing after this point needed more room
    EXPECT_EQ(error->os_errno(), full) << error->message();
    EXPECT_TRUE(StoreAccess::dirty(**store) || StoreAccess::index_dirty(**store));
    {
      auto still_full = open_on(std::make_unique<MemFile>(disk));
      ASSERT_TRUE(still_full) << still_full.error().message();
      EXPECT_EQ(state_of(**still_full), model.committed);
    }
    disk->room = UINT64_MAX;
    const auto retried = flush(**store, model);
    ASSERT_TRUE(retried) << retried.error().message();
    store->reset();
    auto reopened = open_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ(state_of(**reopened), model.committed);
    NonceLedger ledger(base_ledger(w));
    EXPECT_TRUE(ledger.add(*disk)) << ledger.failure();
    if (HasFailure()) return;
  }
}

// The disks a crash at one point may leave, made and checked one at a time: the three fixed
// models, then the seeded model over `seeds` seeds, each distinct image once (by hash). Stops at
// the first failure.
template <class Check>
void for_each_crash_disk(const FaultFile& fault, std::uint64_t point_seed, std::uint64_t seeds,
                         Check&& check) {
  std::set<std::size_t> seen;
  const auto offer = [&](const std::string& model, Bytes image) {
    const std::string_view bytes(reinterpret_cast<const char*>(image.data()), image.size());
    if (seen.insert(std::hash<std::string_view>{}(bytes)).second) check(model, std::move(image));
    return !::testing::Test::HasFailure();
  };
  if (!offer("drop unsynced", fault.crash_image(CrashModel::DropUnsynced))) return;
  if (!offer("keep written", fault.crash_image(CrashModel::KeepWritten))) return;
  if (!offer("tear crashed", fault.crash_image(CrashModel::TearCrashed))) return;
  for (std::uint64_t i = 0; i < seeds; ++i) {
    const std::uint64_t seed = point_seed * 1000003 + i;
    if (!offer("seed " + std::to_string(seed), fault.crash_image(seed))) return;
  }
}

TEST_P(CrashTest, CrashReopensAtTheLastCommitOrTheOneBeingMade) {
  const Workload w = workload();
  const std::vector<Point> all = points(w);
  const std::uint64_t seeds = crash_seeds();
  std::uint64_t images = 0;
  for (std::size_t p = 0; p < all.size(); ++p) {
    const Point& point = all[p];
    SCOPED_TRACE(describe(point));
    auto disk = w.initial_disk();
    auto fault = std::make_shared<FaultFile>(disk);
    fault->crash_at(point.kind, point.n);
    const Outcome out = run(w, fault, false);
    ASSERT_TRUE(fault->crashed());
    ASSERT_TRUE(out.error);
    expect_sync_order(fault->ops());
    NonceLedger before_crash(base_ledger(w));
    EXPECT_TRUE(before_crash.add(*disk)) << before_crash.failure();

    for_each_crash_disk(*fault, p, seeds, [&](const std::string& model, Bytes image) {
      SCOPED_TRACE(model);
      ++images;
      auto after = disk_of(image);
      image = Bytes();
      after->log_pages = true;
      // One model's reopen also checks the ordering of its replay and flush.
      auto reopen_fault = model == "drop unsynced" ? std::make_shared<FaultFile>(after) : nullptr;
      auto reopened = reopen_fault ? open_on(std::make_unique<Forward>(reopen_fault))
                                   : open_on(std::make_unique<MemFile>(after));
      if (!out.model.created) {
        // The crash came while the file was made: it holds no database (too short, or a header
        // page whose first sector never arrived) or an empty one.
        if (reopened) {
          EXPECT_TRUE(StoreAccess::catalog(**reopened).empty());
        } else {
          const ErrorKind kind = reopened.error().kind();
          EXPECT_TRUE(kind == ErrorKind::Io || kind == ErrorKind::BadMagic)
              << reopened.error().message();
        }
        return;
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

      NonceLedger ledger(&before_crash);
      EXPECT_TRUE(ledger.add(*after)) << ledger.failure();
    });
    if (HasFailure()) return;
  }
  RecordProperty("crash_images", static_cast<int>(images));
}

std::vector<const char*> workload_names() {
  std::vector<const char*> names;
  for (const WorkloadEntry& entry : kWorkloads) names.push_back(entry.name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(Workloads, CrashTest, ::testing::ValuesIn(workload_names()),
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
    const std::uint64_t newest = StoreAccess::header(*store).last_txn_id;
    store.reset();
    disk->bytes[100] ^= 0x10;
    auto reopened = open_on(std::make_unique<MemFile>(disk));
    EXPECT_TRUE(reopened) << reopened.error().message();
    if (!reopened) return;
    store = std::move(*reopened);
    EXPECT_EQ(StoreAccess::header(*store).last_txn_id, newest);
    EXPECT_EQ(state_of(*store), model.committed);
  };

  // The very first flush moves the log: pages 1 to 8 never held a transaction.
  std::uint64_t n = 10000;
  grow_catalog_to(StoreAccess::catalog(*store), 6,
                  [&] { return remember(*store, model, memory_n(++n)).has_value(); });
  ASSERT_TRUE(flush(*store, model));
  const std::uint64_t first_region = StoreAccess::header(*store).wal_start;
  EXPECT_GT(first_region, 1u);
  damage_and_reopen();

  ASSERT_TRUE(remember_range(1, 2)(*store, model));
  ASSERT_TRUE(flush(*store, model));
  ASSERT_TRUE(forget(1)(*store, model));
  ASSERT_TRUE(flush(*store, model));
  damage_and_reopen();

  // Grow until the moved region is too small as well.
  const std::uint64_t region_bytes = StoreAccess::header(*store).wal_pages * kPageSize;
  const std::uint64_t pages_held = (region_bytes - 8250) / wal::kPageFrameSize;  // runs incl. manifest
  grow_catalog_to(StoreAccess::catalog(*store), pages_held,
                  [&] { return remember(*store, model, memory_n(++n)).has_value(); });
  ASSERT_TRUE(flush(*store, model));
  EXPECT_NE(StoreAccess::header(*store).wal_start, first_region);
  ASSERT_TRUE(rewrite(2)(*store, model));
  ASSERT_TRUE(flush(*store, model));
  damage_and_reopen();
}

}  // namespace
}  // namespace quarn::store::testing
