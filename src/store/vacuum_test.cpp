// The vacuum and the passphrase change: what the new file holds (every kept row restorable, the
// purged records gone from every page), the nonce rule across the two files, the handle lock,
// failure and crash at every write and sync of a vacuum, and a passphrase change crashed at every
// write and sync.
#include "index/index.h"
#include "store/keys.h"
#include "store/store_fixture.h"

namespace quarn::store::testing {
namespace {

using pager::testing::CrashModel;
using pager::testing::OpKind;

// A vacuum's new file in memory. install() keeps what the new file holds durably at the moment
// of the rename: what a crash right after it would leave at the path.
class MemTarget final : public VacuumTarget {
 public:
  std::shared_ptr<FaultFile> file;
  std::optional<Bytes> at_install;
  bool discarded = false;

  explicit MemTarget(std::shared_ptr<MemDisk> disk = new_disk())
      : file(std::make_shared<FaultFile>(std::move(disk))) {
    file->disk()->log_pages = true;
  }
  Result<std::unique_ptr<pager::File>> create() override {
    return std::unique_ptr<pager::File>(std::make_unique<Forward>(file));
  }
  Result<void> install() override {
    TRY(fail_if(install_error));
    at_install = file->crash_image(CrashModel::DropUnsynced);
    return {};
  }
  Result<void> sync_install() override { return {}; }
  void discard() override { discarded = true; }
  std::optional<int> install_error;

 private:
  static Result<void> fail_if(std::optional<int> error) {
    if (error) return fail(QuarnError::io_errno(*error));
    return {};
  }
};

// Live id -> (content, accessed_at, access_count): what a state holds, statistics included.
using Full = std::map<Ulid, std::tuple<std::string, std::int64_t, std::uint32_t>>;

Full full_state(Store& store) {
  Full out;
  auto all = store.memories();
  EXPECT_TRUE(all) << all.error().message();
  if (all)
    for (const Memory& m : *all) out[m.id] = {m.content, m.accessed_at, m.access_count};
  return out;
}

Result<std::unique_ptr<Store>> open_bytes(const Bytes& bytes, std::string_view pass = "correct horse") {
  return open_on(std::make_unique<MemFile>(disk_of(bytes)), pass);
}

// The state each snapshot row restores to, by transaction id (each on its own copy of the file).
std::map<std::uint64_t, Full> restorable(const Bytes& bytes, std::string_view pass = "correct horse") {
  std::map<std::uint64_t, Full> out;
  auto store = open_bytes(bytes, pass);
  EXPECT_TRUE(store) << store.error().message();
  if (!store) return out;
  for (const SnapshotInfo& s : (*store)->snapshots()) {
    auto copy = open_bytes(bytes, pass);
    EXPECT_TRUE(copy && (*copy)->restore_to(s.txn_id)) << s.txn_id;
    if (copy) out[s.txn_id] = full_state(**copy);
  }
  return out;
}

Memory secret(std::uint64_t n) {
  Memory m = memory_n(n);
  m.content = "secret number " + std::to_string(n) + " must not survive";
  return m;
}

// Whether any decrypted page of the file the store is on holds `text` (pages that do not
// authenticate, as the unwritten log region, hold nothing).
bool file_holds(Store& store, std::string_view text) {
  pager::Pager& pager = StoreAccess::pager(store);
  for (std::uint64_t page = 1; page < StoreAccess::header(store).page_count; ++page) {
    auto plain = pager.read_page_uncached(page);
    if (!plain) continue;
    if (std::search(plain->begin(), plain->end(), text.begin(), text.end()) != plain->end())
      return true;
  }
  return false;
}

struct Fixture {
  std::shared_ptr<MemDisk> disk = new_disk();
  std::unique_ptr<Store> store;

  Fixture() {
    disk->log_pages = true;
    store = *create_on(std::make_unique<MemFile>(disk));
  }
  // Six transactions: records written again, deleted, an index built, statistics changed by a
  // recall, a restore; then one memory staged (the vacuum's own flush commits it).
  void build() {
    const auto ok = [](auto r) { ASSERT_TRUE(r) << r.error().message(); };
    for (std::uint64_t n = 1; n <= 6; ++n) ok(store->remember(n == 2 ? secret(2) : memory_n(n)));
    ok(store->flush());
    Memory again = memory_n(3);
    again.content = "written again";
    ok(store->remember(again));
    ok(store->remove(memory_n(5).id));
    ok(store->flush());
    ok(store->remove(memory_n(2).id));
    ok(store->build_index());
    ok(store->flush());
    Memory large = memory_n(7);
    large.content.assign(12000, 'x');
    ok(store->remember(large));
    ok(store->remove(memory_n(4).id));
    ok(store->flush());
    RecallRequest request;
    request.query = memory_n(1).vector;
    request.top_k = 2;
    ok(store->recall(request));
    ok(store->flush());
    ok(store->restore_to(3));
    ok(store->remember(memory_n(8)));
  }
  Bytes committed() {
    EXPECT_TRUE(store->flush());
    return disk->bytes;
  }
};

// Format versions: a vacuum keeps the file's version or converts to the one asked for, and
// every kept row, whatever form its catalog had, restores the same state afterwards.
TEST(VacuumTest, KeepsOrConvertsTheFormatAndEveryRowStillRestores) {
  const struct {
    bool switch_to_8;  // midway through the history
    std::optional<std::uint16_t> asked;
    std::uint16_t expected;
  } cases[] = {{false, std::nullopt, 7}, {false, 8, 8}, {true, std::nullopt, 8}, {true, 7, 7},
               {true, 8, 8}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.switch_to_8) + " -> " + std::to_string(c.expected));
    Fixture f;
    f.build();
    if (c.switch_to_8) {  // records packed several to a page
      ASSERT_TRUE(f.store->set_format_version(8));
      for (std::uint64_t n = 10; n <= 40; ++n) ASSERT_TRUE(f.store->remember(memory_n(n)));
      ASSERT_TRUE(f.store->flush());
    }
    const Bytes before = f.committed();
    const auto rows = restorable(before);
    const Full now = full_state(*f.store);

    MemTarget target;
    auto done = StoreAccess::vacuum_into(*f.store, target, true, std::nullopt, std::nullopt, c.asked);
    ASSERT_TRUE(done) << done.error().message();
    ASSERT_TRUE(target.at_install);
    EXPECT_EQ(header_on(*target.file->disk()).version, c.expected);
    EXPECT_EQ(f.store->format_version(), c.expected);
    EXPECT_EQ(restorable(*target.at_install), rows);

    ASSERT_TRUE(f.store->remember(memory_n(41)));
    ASSERT_TRUE(f.store->flush());
    auto after = open_on(std::make_unique<MemFile>(target.file->disk()));
    ASSERT_TRUE(after) << after.error().message();
    EXPECT_EQ((*after)->live_count(), now.size() + 1);
    EXPECT_EQ((*after)->format_version(), c.expected);
  }
}

// Written as version 8, the records are packed: 300 small records, each on a page of its own in
// version 7, take a few pages.
TEST(VacuumTest, AVersionEightFileHoldsLittleMoreThanItsRecords) {
  Fixture f;
  std::uint64_t bytes = 0;
  for (std::uint64_t n = 1; n <= 300; ++n) {
    bytes += memory::encode_memory(memory_n(n)).value().size();
    ASSERT_TRUE(f.store->remember(memory_n(n)));
  }
  ASSERT_TRUE(f.store->flush());
  const Full now = full_state(*f.store);
  MemTarget target;
  auto done = StoreAccess::vacuum_into(*f.store, target, true, 1, std::nullopt, 8);
  ASSERT_TRUE(done) << done.error().message();
  const format::Header header = header_on(*target.file->disk());
  // Page 0, the log region, the records, a catalog of three leaves and a branch, the manifest.
  EXPECT_LE(header.page_count, 9 + (bytes + kPageCapacity - 1) / kPageCapacity + 4 + 1);
  auto after = open_on(std::make_unique<MemFile>(target.file->disk()));
  ASSERT_TRUE(after) << after.error().message();
  EXPECT_EQ(full_state(**after), now);
}

TEST(VacuumTest, EveryKeptRowRestoresAfterwardAndTheHandleGoesOn) {
  Fixture f;
  f.build();
  const Bytes before = f.committed();
  const auto rows = restorable(before);
  ASSERT_EQ(rows.size(), 7u);
  const auto snapshots = f.store->snapshots();
  const Full now = full_state(*f.store);
  const format::Header old_header = StoreAccess::header(*f.store);
  // The scan table is full before the vacuum; after it, the records it follows are at new runs.
  const auto ranking = [](Store& store) {
    std::vector<std::pair<Ulid, float>> out;
    auto hits = store.search(memory_n(1).vector, 5);
    EXPECT_TRUE(hits);
    if (hits)
      for (const auto& [m, similarity] : *hits) out.emplace_back(m.id, similarity);
    return out;
  };
  const auto ranked = ranking(*f.store);

  MemTarget target;
  auto done = StoreAccess::vacuum_into(*f.store, target, true, std::nullopt, std::nullopt);
  ASSERT_TRUE(done) << done.error().message();
  EXPECT_EQ(done->snapshots, 7u);
  EXPECT_EQ(done->memories, f.store->live_count());
  EXPECT_EQ(done->file_bytes_before, before.size());
  EXPECT_EQ(done->file_bytes_after, target.file->disk()->bytes.size());
  EXPECT_LT(done->file_bytes_after, done->file_bytes_before);
  EXPECT_EQ(f.disk->bytes, before);  // the old file is never written

  // The file at the path after the rename holds every row, each restoring the same state.
  ASSERT_TRUE(target.at_install);
  EXPECT_EQ(restorable(*target.at_install), rows);
  auto reopened = open_bytes(*target.at_install);
  ASSERT_TRUE(reopened) << reopened.error().message();
  const format::Header& h = StoreAccess::header(**reopened);
  EXPECT_EQ(std::tie(h.last_txn_id, h.memory_count, h.created_at, h.salt, h.wrapped_dek),
            std::tie(old_header.last_txn_id, old_header.memory_count, old_header.created_at,
                     old_header.salt, old_header.wrapped_dek));
  const auto kept = (*reopened)->snapshots();
  ASSERT_EQ(kept.size(), snapshots.size());
  for (std::size_t i = 0; i < snapshots.size(); ++i) {
    const SnapshotInfo& a = snapshots[i];
    const SnapshotInfo& b = kept[i];
    EXPECT_EQ(std::tie(a.txn_id, a.created_at, a.memory_count),
              std::tie(b.txn_id, b.created_at, b.memory_count));
  }
  EXPECT_EQ(full_state(**reopened), now);
  EXPECT_TRUE((*reopened)->verify());
  EXPECT_TRUE((*reopened)->has_index());

  // The handle is on the new file: same state, and its next commit lands there.
  EXPECT_EQ(ranking(*f.store), ranked);
  EXPECT_EQ(ranking(**reopened), ranked);
  EXPECT_EQ(full_state(*f.store), now);
  EXPECT_EQ(f.store->snapshots().size(), snapshots.size());
  ASSERT_TRUE(f.store->remember(memory_n(9)));
  ASSERT_TRUE(f.store->flush());
  EXPECT_EQ(f.disk->bytes, before);
  auto after = open_on(std::make_unique<MemFile>(target.file->disk()));
  ASSERT_TRUE(after) << after.error().message();
  EXPECT_EQ((*after)->live_count(), now.size() + 1);
  EXPECT_EQ(StoreAccess::header(**after).last_txn_id, old_header.last_txn_id + 1);
}

TEST(VacuumTest, KeepingTheNewestRowPurgesDeletedRecordsFromEveryPage) {
  Fixture f;
  f.build();
  ASSERT_TRUE(f.store->remove(memory_n(6).id));
  (void)f.committed();
  EXPECT_TRUE(file_holds(*f.store, "secret number 2"));  // the check sees what is there

  MemTarget all;
  Fixture g;  // the same history, vacuumed keeping every row: the secret stays reachable
  g.build();
  ASSERT_TRUE(StoreAccess::vacuum_into(*g.store, all, true, std::nullopt, std::nullopt));
  EXPECT_TRUE(file_holds(*g.store, "secret number 2"));

  MemTarget one;
  auto done = StoreAccess::vacuum_into(*f.store, one, true, 1, std::nullopt);
  ASSERT_TRUE(done) << done.error().message();
  EXPECT_EQ(done->snapshots, 1u);
  EXPECT_FALSE(file_holds(*f.store, "secret number 2"));
  EXPECT_FALSE(file_holds(*f.store, "memory 6"));
  EXPECT_TRUE(file_holds(*f.store, "memory 1"));
  for (const std::uint64_t n : {2, 6}) {
    EXPECT_EQ(f.store->get(memory_n(n).id).error().kind(), ErrorKind::NotFound);
    EXPECT_EQ(f.store->remove(memory_n(n).id).error().kind(), ErrorKind::NotFound);
  }
  for (const CatalogEntry& row : StoreAccess::catalog(*f.store)) EXPECT_FALSE(row.deleted);

  // Nothing but the header, the log region, the live records, one catalog, one index and one
  // manifest.
  const format::Header& h = StoreAccess::header(*f.store);
  std::uint64_t pages = 9 + h.catalog_pages + h.index_pages + h.manifest_pages;
  for (const CatalogEntry& row : StoreAccess::catalog(*f.store)) pages += row.page_count;
  EXPECT_EQ(h.page_count, pages);
  EXPECT_EQ(one.file->disk()->bytes.size(), pages * kPageSize);
  auto reopened = open_bytes(*one.at_install);
  ASSERT_TRUE(reopened);
  EXPECT_EQ(full_state(**reopened), full_state(*f.store));
  EXPECT_TRUE((*reopened)->restore_to(f.store->snapshots().back().txn_id));
}

// Under the same key the new file never uses a (page, counter) pair the old one used, nor do
// later commits on either side of an in-place vacuum.
TEST(VacuumTest, NoNonceOfTheOldFileIsUsedAgainInTheNewOne) {
  Fixture f;
  f.build();
  (void)f.committed();
  NonceLedger old_file;
  ASSERT_TRUE(old_file.add(*f.disk)) << old_file.failure();
  MemTarget target;
  ASSERT_TRUE(StoreAccess::vacuum_into(*f.store, target, true, 2, std::nullopt));
  for (std::uint64_t n = 20; n < 30; ++n) ASSERT_TRUE(f.store->remember(memory_n(n)));
  ASSERT_TRUE(f.store->flush());
  NonceLedger both(&old_file);
  EXPECT_TRUE(both.add(*target.file->disk())) << both.failure();
}

TEST(VacuumTest, ANewPassphraseGivesAFreshKeyAndOnlyItOpensTheResult) {
  Fixture f;
  f.build();
  const Bytes before = f.committed();
  const auto rows = restorable(before);
  MemTarget target;
  const auto pass = passphrase("a new passphrase");
  auto done = StoreAccess::vacuum_into(*f.store, target, false, std::nullopt, pass);
  ASSERT_TRUE(done) << done.error().message();
  EXPECT_EQ(f.disk->bytes, before);  // dest: the database is unchanged and goes on as it was
  ASSERT_TRUE(f.store->remember(memory_n(30)));
  ASSERT_TRUE(f.store->flush());

  const Bytes& copy = target.file->disk()->bytes;
  EXPECT_EQ(open_bytes(copy).error().kind(), ErrorKind::WrongPassphrase);
  EXPECT_EQ(restorable(copy, "a new passphrase"), rows);
  const format::Header h = header_on(*target.file->disk());
  const format::Header old = header_on(*disk_of(before));
  EXPECT_NE(h.salt, old.salt);
  // The old file's key does not open the copy: its data key is another.
  auto dek = unlock_dek(old, passphrase());
  ASSERT_TRUE(dek);
  EXPECT_FALSE(format::validate_seal(h, *dek));
}

TEST(VacuumTest, InPlaceRefusesWhileAnotherHandleHasTheFileOpen) {
  Fixture f;
  f.build();
  (void)f.committed();
  auto other = open_on(std::make_unique<MemFile>(f.disk));
  ASSERT_TRUE(other);
  MemTarget target;
  auto refused = StoreAccess::vacuum_into(*f.store, target, true, std::nullopt, std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::Io);
  EXPECT_EQ(refused.error().os_errno(), EBUSY);
  EXPECT_NE(refused.error().message().find("another handle"), std::string::npos);
  // A copy elsewhere needs no exclusive hold; once the other handle is gone the vacuum runs.
  MemTarget copy;
  EXPECT_TRUE(StoreAccess::vacuum_into(*f.store, copy, false, std::nullopt, std::nullopt));
  other->reset();
  EXPECT_TRUE(StoreAccess::vacuum_into(*f.store, target, true, std::nullopt, std::nullopt));
  // The handle holds the new file shared, as every handle does: others open it.
  EXPECT_TRUE(open_on(std::make_unique<MemFile>(target.file->disk())));
}

TEST(VacuumTest, KeepingNoSnapshotIsRefused) {
  Fixture f;
  MemTarget target;
  auto refused = StoreAccess::vacuum_into(*f.store, target, true, 0, std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_TRUE(target.file->disk()->bytes.empty());
}

// Every write and sync of the new file, failed or crashed, and a failed rename: the vacuum
// reports it, the old file is untouched, the handle goes on on it (and holds it shared again:
// another handle opens), and the next vacuum succeeds; a vacuum that gets through leaves at its
// rename a new file that opens with the same state and snapshots.
TEST(VacuumTest, AFailureAtAnyWriteOrSyncLeavesTheOldFileAndTheHandleWorking) {
  Fixture base;
  base.build();
  const Bytes before = base.committed();
  const auto rows = restorable(before);
  const Full now = full_state(*base.store);

  struct Case {
    OpKind kind;
    bool crash;
  };
  for (const Case c : {Case{OpKind::Write, false}, Case{OpKind::Write, true},
                       Case{OpKind::Sync, false}, Case{OpKind::Sync, true}}) {
    for (std::uint64_t n = 1;; ++n) {
      SCOPED_TRACE(std::to_string(static_cast<int>(c.kind)) + (c.crash ? " crash " : " fail ") +
                   std::to_string(n));
      auto disk = disk_of(before);
      auto store = open_on(std::make_unique<MemFile>(disk));
      ASSERT_TRUE(store);
      MemTarget target;
      if (c.crash)
        target.file->crash_at(c.kind, n);
      else
        target.file->fail_nth(c.kind, n);
      auto done = StoreAccess::vacuum_into(**store, target, true, std::nullopt, std::nullopt);
      if (done) {
        ASSERT_GT(n, 1u);
        ASSERT_TRUE(target.at_install);
        EXPECT_EQ(restorable(*target.at_install), rows);
        break;
      }
      EXPECT_TRUE(target.discarded);
      EXPECT_EQ(disk->bytes, before);
      EXPECT_EQ(full_state(**store), now);
      EXPECT_TRUE(open_on(std::make_unique<MemFile>(disk)));
      ASSERT_TRUE((*store)->remember(memory_n(40)));
      ASSERT_TRUE((*store)->flush());
      MemTarget retry;
      ASSERT_TRUE(StoreAccess::vacuum_into(**store, retry, true, std::nullopt, std::nullopt));
      EXPECT_EQ((*store)->live_count(), now.size() + 1);
    }
  }
  auto store = open_on(std::make_unique<MemFile>(disk_of(before)));
  MemTarget target;
  target.install_error = EXDEV;
  auto refused = StoreAccess::vacuum_into(**store, target, true, std::nullopt, std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_TRUE(target.discarded);
  EXPECT_EQ(full_state(**store), now);
  EXPECT_TRUE((*store)->flush());
}

// A passphrase change crashed at every write and sync, under every crash model: the file opens
// with exactly one of the two passphrases, at the committed state.
TEST(VacuumTest, APassphraseChangeCrashedAnywhereOpensWithExactlyOnePassphrase) {
  Fixture base;
  base.build();
  const Bytes before = base.committed();
  const Full now = full_state(*base.store);
  const auto opens = [&](const Bytes& image, std::string_view pass) {
    auto store = open_bytes(image, pass);
    if (!store) {
      EXPECT_EQ(store.error().kind(), ErrorKind::WrongPassphrase) << store.error().message();
      return false;
    }
    EXPECT_EQ(full_state(**store), now);
    return true;
  };
  bool reached_new = false;
  for (const OpKind kind : {OpKind::Write, OpKind::Sync}) {
    for (std::uint64_t n = 1;; ++n) {
      SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + " " + std::to_string(n));
      auto file = std::make_shared<FaultFile>(disk_of(before));
      auto store = open_on(std::make_unique<Forward>(file));
      ASSERT_TRUE(store);
      file->crash_at(kind, n);
      const bool changed = (*store)->change_passphrase(passphrase("the new one")).has_value();
      std::vector<Bytes> images = {file->crash_image(CrashModel::KeepWritten),
                                   file->crash_image(CrashModel::DropUnsynced),
                                   file->crash_image(CrashModel::TearCrashed)};
      for (std::uint64_t seed = 1; seed <= 4; ++seed) images.push_back(file->crash_image(seed));
      for (const Bytes& image : images) {
        const bool old_opens = opens(image, "correct horse");
        const bool new_opens = opens(image, "the new one");
        EXPECT_NE(old_opens, new_opens);
        reached_new = reached_new || new_opens;
      }
      if (changed) {
        EXPECT_TRUE(opens(file->disk()->bytes, "the new one"));
        EXPECT_FALSE(opens(file->disk()->bytes, "correct horse"));
        break;
      }
    }
  }
  EXPECT_TRUE(reached_new);
}

TEST(VacuumTest, AFailedPassphraseChangeKeepsTheOldPassphraseForLaterCommits) {
  auto file = std::make_shared<FaultFile>();
  auto store = create_on(std::make_unique<Forward>(file));
  ASSERT_TRUE(store);
  ASSERT_TRUE((*store)->remember(memory_n(1)));
  ASSERT_TRUE((*store)->flush());
  file->fail_nth(OpKind::Sync, file->syncs() + 3);  // inside the commit
  ASSERT_FALSE((*store)->change_passphrase(passphrase("never")));
  ASSERT_TRUE((*store)->remember(memory_n(2)));
  ASSERT_TRUE((*store)->flush());
  EXPECT_TRUE(open_bytes(file->disk()->bytes));
  ASSERT_TRUE((*store)->change_passphrase(passphrase("now")));
  auto reopened = open_bytes(file->disk()->bytes, "now");
  ASSERT_TRUE(reopened);
  EXPECT_EQ((*reopened)->live_count(), 2u);
  EXPECT_EQ((*reopened)->snapshots().size(), 3u);  // the change is a transaction of its own
}

}  // namespace
}  // namespace quarn::store::testing
