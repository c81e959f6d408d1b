// Opening and creating: new-file facts, refusals that must leave no file behind, recovery before
// key derivation, torn headers, and the in-memory upgrade of version 4 to 6 files.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "index/index.h"
#include "pager/testing/flaky_syscalls.h"
#include "store/store_fixture.h"
#include "wal/wal.h"

namespace quarn::store::testing {
namespace {

std::string error_text(const QuarnError& e) { return e.message(); }

TEST(OpenTest, NewFileIsOneSealedHeaderPageWithProductionKeyCosts) {
  auto disk = new_disk();
  auto store = Store::open_file(std::make_unique<MemFile>(disk), false, "db", passphrase(), 384);
  ASSERT_TRUE(store) << store.error().message();
  EXPECT_EQ(disk->bytes.size(), kPageSize);
  const format::Header h = header_on(*disk);
  EXPECT_EQ(h.version, 7);
  EXPECT_EQ(h.page_count, 9u);
  EXPECT_EQ(h.wal_start, 1u);
  EXPECT_EQ(h.wal_pages, 8u);
  EXPECT_EQ(h.nonce_counter, 0u);
  EXPECT_EQ(h.last_txn_id, 0u);
  EXPECT_EQ(h.dimensions, 384u);
  EXPECT_EQ(std::tie(h.kdf_m_cost, h.kdf_t_cost, h.kdf_p_cost), std::tuple(19456u, 2u, 1u));
  EXPECT_TRUE(h.seal_nonce && h.seal_tag);
  EXPECT_FALSE(StoreAccess::dirty(**store));
  EXPECT_TRUE(StoreAccess::manifest(**store).empty());
  store->reset();

  // Reopening takes the stored dimensionality, whatever is passed.
  auto reopened = Store::open_file(std::make_unique<MemFile>(disk), true, "db", passphrase(), 16);
  ASSERT_TRUE(reopened) << reopened.error().message();
  EXPECT_EQ((*reopened)->dimensions(), 384u);
}

TEST(OpenTest, RefusedCreationLeavesNoFile) {
  const struct {
    std::optional<std::uint64_t> dimensions;
    const char* message;
  } cases[] = {
      {std::nullopt, "invalid argument: dimensions is required when creating a new database"},
      {0, "invalid argument: dimensions must be > 0"},
      {4294967296ULL, "invalid argument: dimensions must be <= 4294967295"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::string path = dir.file("db");
    auto store = StoreAccess::open_path(path, passphrase(), c.dimensions, cheap());
    ASSERT_FALSE(store);
    EXPECT_EQ(error_text(store.error()), c.message);
    EXPECT_EQ(store.error().detail() == ErrorDetail::DimensionsRequired, !c.dimensions);
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  // A wrong Argon2 cost fails before the file exists too.
  auto tuning = cheap();
  tuning.kdf_m_cost = 1;
  auto store = StoreAccess::open_path(dir.file("db"), passphrase(), 4, tuning);
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().kind(), ErrorKind::KeyDerivation);
  EXPECT_FALSE(std::filesystem::exists(dir.file("db")));
}

TEST(OpenTest, ExistingEmptyFileIsIoAndStaysEmpty) {
  TempDir dir;
  const std::string path = dir.file("empty");
  ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0644));
  auto store = StoreAccess::open_path(path, passphrase(), 4, cheap());
  ASSERT_FALSE(store);
  EXPECT_EQ(error_text(store.error()), "io error: failed to fill whole buffer");
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST(OpenTest, PathThatCannotBeQueriedIsIoNotACreation) {
  TempDir dir;
  const std::string loop = dir.file("loop");
  ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
  auto store = StoreAccess::open_path(loop, passphrase(), 4, cheap());
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().kind(), ErrorKind::Io);
  EXPECT_EQ(store.error().os_errno(), ELOOP);
}

TEST(OpenTest, RealFileCreatesFlushesAndReopens) {
  TempDir dir;
  const std::string path = dir.file("db");
  {
    auto store = StoreAccess::open_path(path, passphrase(), 4, cheap());
    ASSERT_TRUE(store) << store.error().message();
    ASSERT_TRUE((*store)->remember(memory_n(1)));
    ASSERT_TRUE((*store)->flush());
  }
  auto wrong = StoreAccess::open_path(path, passphrase("wrong"), std::nullopt, cheap());
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().kind(), ErrorKind::WrongPassphrase);
  auto store = StoreAccess::open_path(path, passphrase(), std::nullopt, cheap());
  ASSERT_TRUE(store) << store.error().message();
  EXPECT_EQ(state_of(**store), (State{{memory_n(1).id, "memory 1"}}));
}

// Every read, write, sync and copy of a real file interrupted every other call and cut to 1000
// bytes: the store's files come out the same.
TEST(OpenTest, InterruptedAndShortSystemCallsLeaveTheSameDatabase) {
  TempDir dir;
  const std::string path = dir.file("db");
  State expected;
  {
    auto file = pager::PosixFile::create_new(path, pager::testing::flaky_syscalls());
    ASSERT_TRUE(file) << file.error().message();
    auto store = StoreAccess::open(std::move(*file), false, passphrase(), kDims, cheap());
    ASSERT_TRUE(store) << store.error().message();
    for (std::uint64_t n = 1; n <= 6; ++n) {
      Memory m = memory_n(n);
      m.content.assign(3000 * n, static_cast<char>('a' + n));  // records of one to three pages
      ASSERT_TRUE((*store)->remember(m));
      expected[m.id] = m.content;
      if (n % 2 == 0) {
        ASSERT_TRUE((*store)->flush());
      }
    }
    ASSERT_TRUE((*store)->export_encrypted(dir.file("copy")));
  }
  for (const char* name : {"db", "copy"}) {
    auto reopened = StoreAccess::open_path(dir.file(name), passphrase(), std::nullopt, cheap());
    ASSERT_TRUE(reopened) << name << ": " << reopened.error().message();
    EXPECT_EQ(state_of(**reopened), expected) << name;
  }
}

// The flush of one memory on a fresh store, stopped after its commit: the checkpoint's writes
// never happen.
std::shared_ptr<MemDisk> committed_not_checkpointed() {
  auto disk = new_disk();
  auto file = std::make_unique<FaultFile>(disk);
  FaultFile* fault = file.get();
  auto store = create_on(std::move(file));
  EXPECT_TRUE(store);
  EXPECT_TRUE((*store)->remember(memory_n(1)));
  // Writes: header at creation, reservation, the record page, the commit; then the checkpoint.
  fault->crash_at(pager::testing::OpKind::Write, 5);
  EXPECT_FALSE((*store)->flush());
  EXPECT_EQ(header_on(*disk).last_txn_id, 0u);
  return disk_of(fault->crash_image(pager::testing::CrashModel::DropUnsynced));
}

TEST(OpenTest, CommittedTransactionIsReplayedEvenWhenThePassphraseIsWrong) {
  auto disk = committed_not_checkpointed();
  EXPECT_EQ(header_on(*disk).last_txn_id, 0u);
  auto wrong = open_on(std::make_unique<MemFile>(disk), "wrong");
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().kind(), ErrorKind::WrongPassphrase);
  EXPECT_EQ(header_on(*disk).last_txn_id, 1u);
  auto store = open_on(std::make_unique<MemFile>(disk));
  ASSERT_TRUE(store) << store.error().message();
  EXPECT_EQ(state_of(**store), (State{{memory_n(1).id, "memory 1"}}));
}

TEST(OpenTest, TornHeaderIsRebuiltFromTheLogOnlyWhenTheLogHoldsACommit) {
  auto fresh = new_disk();
  ASSERT_TRUE(create_on(std::make_unique<MemFile>(fresh)));
  fresh->bytes[50] ^= 1;
  auto refused = open_on(std::make_unique<MemFile>(fresh));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::HeaderChecksum);

  auto disk = committed_not_checkpointed();
  disk->bytes[50] ^= 1;  // a torn page 0, the log holding the commit
  auto store = open_on(std::make_unique<MemFile>(disk));
  ASSERT_TRUE(store) << store.error().message();
  EXPECT_EQ(StoreAccess::header(**store).last_txn_id, 1u);
  EXPECT_EQ(state_of(**store), (State{{memory_n(1).id, "memory 1"}}));
}

TEST(OpenTest, PageNumbersStartPastEverythingTheFileHolds) {
  auto disk = new_disk();
  {
    auto store = create_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE((*store)->remember(memory_n(1)));
    ASSERT_TRUE((*store)->flush());
  }
  const std::uint64_t committed = header_on(*disk).page_count;
  // Pages written beyond the header's page count, as by a flush that never committed.
  disk->bytes.resize(disk->bytes.size() + 3 * kPageSize + 5);
  auto store = open_on(std::make_unique<MemFile>(disk));
  ASSERT_TRUE(store);
  EXPECT_EQ(StoreAccess::header(**store).page_count,
            (disk->bytes.size() + kPageSize - 1) / kPageSize);
  EXPECT_GT(StoreAccess::header(**store).page_count, committed);
  const auto id = (*store)->remember(memory_n(2));
  ASSERT_TRUE(id);
  EXPECT_GE(StoreAccess::catalog(**store).back().start_page, committed + 4);
}

// An old but authentic page 0 copied back (a restored backup of the header, an abandoned log's
// copy): the file opens at that older state, and what it writes next takes page numbers past
// everything the newer states wrote, so no nonce encrypts two different images.
TEST(OpenTest, HeaderRolledBackNeverReusesPagesOrNonces) {
  auto disk = new_disk();
  disk->log_pages = true;
  auto store = create_on(std::make_unique<MemFile>(disk));
  ASSERT_TRUE(store);
  ASSERT_TRUE((*store)->remember(memory_n(1)));
  ASSERT_TRUE((*store)->flush());
  const Bytes old_header(disk->bytes.begin(), disk->bytes.begin() + kPageSize);
  for (std::uint64_t n = 2; n <= 4; ++n) {
    ASSERT_TRUE((*store)->remember(memory_n(n)));
    ASSERT_TRUE((*store)->flush());
  }
  store->reset();
  const std::uint64_t file_pages = disk->bytes.size() / kPageSize;
  std::copy(old_header.begin(), old_header.end(), disk->bytes.begin());
  // The log region no longer holds the newest transaction either (else it would be replayed).
  std::fill(disk->bytes.begin() + kPageSize, disk->bytes.begin() + 9 * kPageSize, 0);

  auto rolled_back = open_on(std::make_unique<MemFile>(disk));
  ASSERT_TRUE(rolled_back) << rolled_back.error().message();
  EXPECT_EQ(state_of(**rolled_back), (State{{memory_n(1).id, "memory 1"}}));
  ASSERT_TRUE((*rolled_back)->remember(memory_n(5)));
  ASSERT_TRUE((*rolled_back)->flush());
  EXPECT_GE(StoreAccess::catalog(**rolled_back).back().start_page, file_pages);
  NonceLedger ledger;
  EXPECT_TRUE(ledger.add(*disk)) << ledger.failure();
}

// Versions 4 and 5 get their live records copied to new runs (never rewritten in place);
// version 6 keeps them where they are. All three drop their snapshots and flush as version 7.
TEST(OpenTest, OldVersionsUpgradeInMemoryAndFlushAsVersionSeven) {
  for (const std::uint16_t version : {4, 5, 6}) {
    SCOPED_TRACE(version);
    OldFile old(version);
    Memory accessed = memory_n(2);
    accessed.access_count = 7;
    accessed.accessed_at = 1700000123;
    const CatalogEntry live = old.add(memory_n(1));
    const CatalogEntry live2 = old.add(accessed);
    old.add(memory_n(3), /*deleted=*/true);
    auto disk = old.finish();
    const Bytes before = disk->bytes;
    const std::uint64_t old_pages = header_on(*disk).page_count;

    auto store = open_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE(store) << store.error().message();
    EXPECT_TRUE(StoreAccess::dirty(**store));
    EXPECT_FALSE(StoreAccess::index_dirty(**store));
    EXPECT_TRUE(StoreAccess::manifest(**store).empty());
    EXPECT_EQ(StoreAccess::header(**store).version, 7);
    EXPECT_EQ(StoreAccess::committed(**store).version, version);
    const auto& rows = StoreAccess::catalog(**store);
    if (version <= 5) {
      EXPECT_GE(rows[0].start_page, old_pages);
      EXPECT_GE(rows[1].start_page, old_pages);
    } else {
      EXPECT_EQ(rows[0].start_page, live.start_page);
    }
    EXPECT_EQ(rows[1].page_count, live2.page_count);
    EXPECT_EQ(rows[1].len, live2.len);
    EXPECT_EQ(rows[1].access_count, 7u);
    EXPECT_EQ(disk->bytes, before) << "opening writes nothing";

    ASSERT_TRUE((*store)->flush());
    // Committed record pages of the old file were never rewritten.
    EXPECT_TRUE(std::equal(before.begin() + kPageSize, before.begin() + old_pages * kPageSize,
                           disk->bytes.begin() + kPageSize));
    store->reset();
    auto reopened = open_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ(header_on(*disk).version, 7);
    EXPECT_FALSE(StoreAccess::dirty(**reopened));
    EXPECT_EQ(StoreAccess::manifest(**reopened).size(), 1u);
    EXPECT_EQ(state_of(**reopened), (State{{live.id, "memory 1"}, {live2.id, "memory 2"}}));
    const auto got = (*reopened)->get(live2.id);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->access_count, 7u);
    EXPECT_EQ(got->accessed_at, 1700000123);
  }
}

// A version-5 row's page_count is not trusted by the upgrade's copy: it copies the pages the row's
// len needs (if the file holds them), whatever the count says, so a count far past the record
// neither stages the pages after it nor reads past the file, and a failed first flush leaves a file
// that opens again the same way.
TEST(OpenTest, VersionFiveUpgradeCopiesWhatTheRowsLengthNeeds) {
  for (const std::uint32_t claimed : {30u, 50000u, 65535u, 4294967295u}) {
    SCOPED_TRACE(claimed);
    OldFile old(5);
    old.add(memory_n(1));
    for (std::uint64_t n = 2; n <= 31; ++n) old.add(memory_n(n));  // 30 more one-page records
    ASSERT_EQ(old.catalog_[0].page_count, 1u);
    old.catalog_[0].page_count = claimed;
    auto disk = old.finish();
    State expected;
    for (std::uint64_t n = 1; n <= 31; ++n)
      expected[memory_n(n).id] = "memory " + std::to_string(n);

    auto file = std::make_unique<FaultFile>(disk);
    file->fail_nth(pager::testing::OpKind::Allocate, 1);
    auto store = open_on(std::move(file));
    ASSERT_TRUE(store) << store.error().message();
    const cache::PageCache& cache = StoreAccess::pager(**store).cache();
    EXPECT_EQ(cache.size() - cache.clean_count(), 31u) << "one staged page per record";
    EXPECT_EQ(StoreAccess::catalog(**store)[0].page_count, 1u);
    EXPECT_EQ(state_of(**store), expected);
    ASSERT_FALSE((*store)->flush());  // fails after writing the copies, before its commit
    store->reset();

    auto again = open_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE(again) << again.error().message();
    EXPECT_EQ(state_of(**again), expected);
    ASSERT_TRUE((*again)->flush());
    again->reset();
    auto upgraded = open_on(std::make_unique<MemFile>(disk));
    ASSERT_TRUE(upgraded) << upgraded.error().message();
    EXPECT_EQ(StoreAccess::header(**upgraded).version, 7);
    EXPECT_EQ(state_of(**upgraded), expected);
    EXPECT_EQ((*upgraded)->verify().value(), 31u);
  }
  // A run that starts at the end of the file is refused as a read past the end.
  OldFile old(5);
  old.add(memory_n(1));
  old.catalog_[0].start_page = 1000;
  auto refused = open_on(std::make_unique<MemFile>(old.finish()));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "io error: failed to fill whole buffer");
}

// The dimensionality of an unsealed header is only checksummed. Records without that many values
// are kept aside by the scans: the vectors of 256 records of the claimed length (4 TiB here) are
// allocated only once a record has them, and a record's first read takes the vector of the claimed
// length (16 GiB) only when its bytes could hold one, so reading this file allocates nothing of
// the sort.
TEST(OpenTest, AHeaderClaimingHugeDimensionsAllocatesNothingForRecordsWithoutThem) {
  constexpr std::uint32_t kClaimed = 0xfffffff0u;
#if !defined(__SANITIZE_ADDRESS__)
  // Below 16 GiB of address space an allocation of that size fails outright instead of being
  // granted lazily and zeroed for minutes (the sanitizers reserve far more, so not under them).
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &before), 0);
  rlimit capped = before;
  capped.rlim_cur = std::min<rlim_t>(before.rlim_cur, rlim_t{8} << 30);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
  struct Restore {
    rlimit limit;
    ~Restore() { setrlimit(RLIMIT_AS, &limit); }
  } restore{before};
#endif
  OldFile old(6);
  const Ulid id = old.add(memory_n(1)).id;
  auto disk = old.finish();
  put_le<std::uint32_t>(disk->bytes.data() + 14, kClaimed);
  put_le<std::uint32_t>(disk->bytes.data() + 238, format::crc32(ByteView(disk->bytes.data(), 238)));
  auto store = open_on(std::make_unique<MemFile>(disk));
  ASSERT_TRUE(store) << store.error().message();
  auto stats = (*store)->stats();
  ASSERT_TRUE(stats) << stats.error().message();
  EXPECT_EQ(stats->dimensions, kClaimed);
  EXPECT_EQ((*store)->get(id)->vector.size(), kDims);
}

TEST(OpenTest, VersionFiveIndexIsWrittenAgain) {
  OldFile old(5);
  std::vector<Ulid> ids;
  std::vector<float> vectors;
  for (std::uint64_t n = 1; n <= 6; ++n) {
    const Memory m = memory_n(n);
    old.add(m);
    ids.push_back(m.id);
    vectors.insert(vectors.end(), m.vector.begin(), m.vector.end());
  }
  auto index = index::train(ids, vectors, kDims);
  ASSERT_TRUE(index);
  auto disk = old.finish(*index::encode_index(**index));
  auto store = open_on(std::make_unique<MemFile>(disk));
  ASSERT_TRUE(store) << store.error().message();
  EXPECT_TRUE((*store)->has_index());
  EXPECT_TRUE(StoreAccess::dirty(**store));
  EXPECT_TRUE(StoreAccess::index_dirty(**store));
  const std::uint64_t old_index_start = header_on(*disk).index_start;
  ASSERT_TRUE((*store)->flush());
  store->reset();
  auto reopened = open_on(std::make_unique<MemFile>(disk));
  ASSERT_TRUE(reopened) << reopened.error().message();
  EXPECT_TRUE((*reopened)->has_index());
  EXPECT_NE(StoreAccess::header(**reopened).index_start, old_index_start);
  EXPECT_EQ(StoreAccess::index(**reopened)->vector_count(), 6u);
}

}  // namespace
}  // namespace quarn::store::testing
