// Whole-store reads and maintenance: get, about, statistics, verification, the default manifest,
// the export, restore, and the cache and index switches.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include "index/index.h"
#include "store/reads.h"
#include "store/store_fixture.h"

namespace quarn::store::testing {
namespace {

using memory::Json;
using memory::JsonObject;

Memory tagged(std::uint64_t n, JsonObject metadata, float importance = 0.5f,
              std::int64_t created_at = 1700000000) {
  Memory m = memory_n(n);
  m.metadata = std::move(metadata);
  m.importance = importance;
  m.created_at = created_at;
  return m;
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { reopen(false); }
  void reopen(bool exists = true) {
    store_.reset();
    auto store = StoreAccess::open(std::make_unique<MemFile>(disk_), exists, passphrase(),
                                   kDims, cheap());
    ASSERT_TRUE(store) << store.error().message();
    store_ = std::move(*store);
  }
  Ulid put(const Memory& m) {
    auto id = store_->remember(m);
    EXPECT_TRUE(id) << id.error().message();
    return id ? *id : Ulid{};
  }
  void flush() {
    auto done = store_->flush();
    ASSERT_TRUE(done) << done.error().message();
  }
  // Flips a ciphertext byte of a page on the disk, behind the store's back.
  void corrupt_page(std::uint64_t page) { disk_->bytes.at(page * kPageSize + 200) ^= 0x01; }
  const CatalogEntry& row_of(const Ulid& id) {
    for (const CatalogEntry& row : StoreAccess::catalog(*store_))
      if (row.id == id) return row;
    static const CatalogEntry none{};
    ADD_FAILURE() << "no row";
    return none;
  }

  std::shared_ptr<MemDisk> disk_ = new_disk();
  std::unique_ptr<Store> store_;
};

TEST_F(StoreTest, GetRefusesUnknownAndDeletedIdsWithTheIdText) {
  const Ulid id = put(memory_n(1));
  auto got = store_->get(id);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->content, "memory 1");
  ASSERT_TRUE(store_->remove(id));
  for (const Ulid& missing : {id, Ulid{1, 2}}) {
    auto gone = store_->get(missing);
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().kind(), ErrorKind::NotFound);
    EXPECT_EQ(gone.error().text(), missing.to_string());
    EXPECT_EQ(gone.error().text().size(), 26u);
  }
  auto all = store_->memories();
  ASSERT_TRUE(all);
  EXPECT_TRUE(all->empty());
  EXPECT_EQ(store_->live_count(), 0u);
}

TEST(IsManifest, MatchesOnlyTheTopicTextManifestInAnyCase) {
  const struct {
    Json topic;
    bool expected;
  } cases[] = {{std::string("manifest"), true},   {std::string("MANIFEST"), true},
               {std::string("ManiFest"), true},   {std::string("manifests"), false},
               {std::string("manifest "), false}, {std::uint64_t{1}, false},
               {Json{}, false}};
  for (const auto& c : cases) EXPECT_EQ(is_manifest({{"topic", c.topic}}), c.expected);
  EXPECT_FALSE(is_manifest({{"Topic", std::string("manifest")}}));
  EXPECT_FALSE(is_manifest({}));
}

TEST_F(StoreTest, AboutListsOnboardingMemoriesManifestFirstThenImportanceThenAge) {
  const auto area = [](Json value, bool manifest = false) {
    JsonObject m{{"area", std::move(value)}};
    if (manifest) m.emplace("topic", std::string("Manifest"));
    return m;
  };
  const std::string onboarding = "onboarding";
  put(tagged(1, area(onboarding), 1.0f, 300));
  put(tagged(2, area(std::string("ONBOARDING")), 0.5f, 100));
  put(tagged(3, area(onboarding, true), 0.0f, 500));  // manifest: first despite importance 0
  put(tagged(4, area(std::uint64_t{1}), 1.0f));        // not text
  put(tagged(5, area(std::string("onboarding ")), 1.0f));
  put(tagged(6, area(onboarding), std::nanf(""), 900));  // NaN sorts before 1.0
  put(tagged(7, area(onboarding), 0.5f, 50));             // older than 2: before it
  put(tagged(8, area(onboarding), 0.5f, 100));            // ties with 2: catalog order
  put(tagged(9, {}, 1.0f));
  const Ulid gone = put(tagged(10, area(onboarding), 1.0f));
  ASSERT_TRUE(store_->remove(gone));
  Memory expired = tagged(11, area(onboarding), 0.1f);
  expired.ttl_secs = 0;  // expired memories are still listed
  put(expired);

  auto about = store_->about();
  ASSERT_TRUE(about) << about.error().message();
  std::vector<std::string> order;
  for (const Memory& m : *about) order.push_back(m.content);
  EXPECT_EQ(order, (std::vector<std::string>{"memory 3", "memory 6", "memory 1", "memory 7",
                                             "memory 2", "memory 8", "memory 11"}));
}

TEST_F(StoreTest, StatsCountTheStagedCatalogAndListLiveAgentsOnce) {
  auto fresh = store_->stats();
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->memories, 0u);
  EXPECT_EQ(fresh->deleted, 0u);
  EXPECT_EQ(fresh->dimensions, kDims);
  EXPECT_EQ(fresh->file_bytes, 9 * kPageSize);
  EXPECT_TRUE(fresh->agents.empty());
  EXPECT_TRUE(fresh->encrypted);
  EXPECT_EQ(fresh->wal_pages, 8u);
  EXPECT_EQ(fresh->snapshots, 0u);
  EXPECT_FALSE(fresh->index);

  const auto agent = [](std::uint64_t n, std::string id) {
    Memory m = memory_n(n);
    m.agent_id = std::move(id);
    return m;
  };
  put(agent(1, "b"));
  put(agent(2, "a"));
  put(agent(3, "b"));
  ASSERT_TRUE(store_->remove(put(agent(4, "only-deleted"))));
  auto staged = store_->stats();
  ASSERT_TRUE(staged);
  EXPECT_EQ(staged->memories, 3u);
  EXPECT_EQ(staged->deleted, 1u);
  EXPECT_EQ(staged->agents, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(staged->file_bytes, StoreAccess::header(*store_).page_count * kPageSize);
  EXPECT_EQ(staged->file_bytes, 13 * kPageSize);  // four one-page records, not yet flushed
  EXPECT_EQ(staged->snapshots, 0u);
  flush();
  EXPECT_EQ(store_->stats()->snapshots, 1u);

  for (std::uint64_t n = 10; n < 40; ++n) put(memory_n(n));
  ASSERT_TRUE(store_->build_index());
  auto indexed = store_->stats();
  ASSERT_TRUE(indexed && indexed->index);
  EXPECT_EQ(indexed->index->vectors, 33u);
  EXPECT_EQ(indexed->index->partitions, 6u);  // ceil(sqrt(33))
  EXPECT_EQ(indexed->index->subspaces, 1u);   // 4 dimensions: one subspace
  store_->drop_index();
  EXPECT_FALSE(store_->stats()->index);
}

TEST_F(StoreTest, StatsFailOnAnUnreadableLiveRecord) {
  const Ulid id = put(memory_n(1));
  flush();
  reopen();  // nothing cached
  corrupt_page(row_of(id).start_page);
  auto stats = store_->stats();
  ASSERT_FALSE(stats);
  EXPECT_EQ(stats.error().kind(), ErrorKind::PageAuth);
}

// Bytes that are not UTF-8 in any text field make the record undecodable, so every reader reports
// the same Serialization error instead of handing the bytes on (or skipping the record).
TEST_F(StoreTest, TextThatIsNotUtf8FailsEveryReaderAlike) {
  const struct {
    const char* field;
    void (*plant)(Memory&);
  } fields[] = {
      {"content", [](Memory& m) { m.content = "caf\xc3"; }},
      {"agent_id", [](Memory& m) { m.agent_id = "\xed\xa0\x80"; }},  // a surrogate
      {"session_id", [](Memory& m) { m.session_id = "s\xff"; }},
      {"metadata key", [](Memory& m) { m.metadata.emplace("\xc0\xaf", Json()); }},  // overlong
      {"metadata", [](Memory& m) { m.metadata.insert_or_assign("area", Json(std::string("\xf4\x90\x80\x80"))); }},
  };
  for (const auto& f : fields) {
    disk_ = new_disk();
    reopen(false);
    Memory m = memory_n(1);
    m.metadata.emplace("area", Json(std::string("onboarding")));  // so that about() reads it
    f.plant(m);
    const Ulid id = put(m);
    flush();
    reopen();
    RecallRequest request;
    request.query.assign(kDims, 1.0f);
    auto error_of = [](const auto& result) {
      return result ? QuarnError::io("no error") : result.error();
    };
    const std::pair<const char*, QuarnError> results[] = {
        {"get", error_of(store_->get(id))},
        {"search", error_of(store_->search(request.query, 10))},
        {"recall", error_of(store_->recall(request))},
        {"stats", error_of(store_->stats())},
        {"verify", error_of(store_->verify())},
        {"about", error_of(store_->about())},
    };
    for (const auto& [reader, error] : results) {
      EXPECT_EQ(error.kind(), ErrorKind::Serialization) << f.field << " " << reader;
      EXPECT_NE(error.text().find("not UTF-8"), std::string::npos) << f.field << " " << reader;
    }
  }
}

TEST_F(StoreTest, VerifyReadsCleanPagesFromTheFileEvenWhenCached) {
  const Ulid flushed = put(memory_n(1));
  flush();
  put(memory_n(2));  // staged: checked from the cache
  auto count = store_->verify();
  ASSERT_TRUE(count) << count.error().message();
  EXPECT_EQ(*count, 2u);

  ASSERT_TRUE(store_->get(flushed));  // its page is cached now
  const auto cached = store_->cache_stats();
  corrupt_page(row_of(flushed).start_page);
  EXPECT_TRUE(store_->get(flushed));  // the cache hides the damage from reads...
  auto damaged = store_->verify();    // ...but not from verify
  ASSERT_FALSE(damaged);
  EXPECT_EQ(damaged.error().kind(), ErrorKind::PageAuth);
  EXPECT_EQ(damaged.error().a(), row_of(flushed).start_page);
  EXPECT_EQ(store_->cache_stats(), cached);
}

TEST_F(StoreTest, DefaultManifestIsAStagedSharedOnboardingMemory) {
  auto id = store_->insert_default_manifest();
  ASSERT_TRUE(id) << id.error().message();
  EXPECT_TRUE(StoreAccess::dirty(*store_));
  auto m = store_->get(*id);
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->content.starts_with(
      "QUARN MANIFEST (scaffold) \u2014 Fresh 4-dimensional database created by `quarn init`."))
      << m->content;
  EXPECT_NE(m->content.find("knows the manifest has been curated."), std::string::npos);
  EXPECT_EQ(m->memory_type, MemoryType::Semantic);
  EXPECT_EQ(m->vector, std::vector<float>(kDims, 0.0f));
  EXPECT_EQ(m->agent_id, "quarn");
  EXPECT_EQ(m->scope, memory::Scope::Shared);
  EXPECT_EQ(m->importance, 1.0f);
  EXPECT_EQ(m->created_at, m->accessed_at);
  EXPECT_FALSE(m->session_id || m->ttl_secs);
  EXPECT_EQ(m->metadata, (JsonObject{{"area", std::string("onboarding")},
                                     {"dimensions", std::uint64_t{kDims}},
                                     {"engine_version", std::string("0.3.2")},
                                     {"scaffold", true},
                                     {"topic", std::string("manifest")}}));
  put(tagged(2, {{"area", std::string("onboarding")}}, 1.0f, 0));
  auto about = store_->about();
  ASSERT_TRUE(about);
  ASSERT_EQ(about->size(), 2u);
  EXPECT_EQ(about->front().id, *id);
}

TEST_F(StoreTest, CacheCapacityZeroMeansOneAndIndexDropMarksOnlyARealChange) {
  store_->set_cache_capacity(0);
  EXPECT_EQ(store_->cache_stats().second, 1u);
  store_->set_cache_capacity(std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(store_->cache_stats().second, std::numeric_limits<std::uint64_t>::max());

  EXPECT_FALSE(store_->has_index());
  store_->drop_index();
  EXPECT_FALSE(StoreAccess::index_dirty(*store_));
  auto empty = store_->build_index();
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().message(), "invalid argument: cannot build an index over an empty database");
  put(memory_n(1));
  ASSERT_TRUE(store_->build_index());
  EXPECT_TRUE(store_->has_index());
  flush();
  store_->drop_index();
  EXPECT_FALSE(store_->has_index());
  EXPECT_TRUE(StoreAccess::index_dirty(*store_));
}

// Seven flushes, one memory each; row i of the manifest has memory_count i.
class RestoreTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    for (std::uint64_t n = 1; n <= 7; ++n) {
      put(memory_n(n));
      flush();
    }
  }
};

TEST_F(RestoreTest, RestoringAnOldTransactionCommitsItAsTheNextOne) {
  auto info = store_->restore_to(3);
  ASSERT_TRUE(info) << info.error().message();
  EXPECT_EQ(info->txn_id, 3u);
  EXPECT_EQ(info->memory_count, 3u);
  EXPECT_EQ(StoreAccess::header(*store_).last_txn_id, 8u);
  EXPECT_FALSE(StoreAccess::dirty(*store_) || StoreAccess::index_dirty(*store_));
  const auto listed = store_->snapshots();
  ASSERT_EQ(listed.size(), 8u);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(listed[i].txn_id, i + 1);
  EXPECT_EQ(listed[7].memory_count, 3u);
  EXPECT_NE(StoreAccess::manifest(*store_)[7].catalog_start,
            StoreAccess::manifest(*store_)[2].catalog_start);
  EXPECT_EQ(store_->live_count(), 3u);
  EXPECT_FALSE(store_->get(memory_n(4).id));

  // The restore itself can be undone by restoring a later row.
  ASSERT_TRUE(store_->restore_to(7));
  EXPECT_EQ(store_->live_count(), 7u);
  reopen();
  EXPECT_EQ(store_->live_count(), 7u);
  EXPECT_EQ(state_of(*store_).size(), 7u);
}

TEST_F(RestoreTest, RestoreByTimeTakesTheGreatestTransactionAtOrBeforeTheTime) {
  const std::int64_t first = StoreAccess::manifest(*store_).front().created_at;
  auto before = store_->restore_to_time(first - 1);
  ASSERT_FALSE(before);
  EXPECT_EQ(before.error().kind(), ErrorKind::NotFound);
  EXPECT_EQ(before.error().text(), "no snapshot at or before time " + std::to_string(first - 1));
  auto negative = store_->restore_to_time(-5);
  ASSERT_FALSE(negative);
  EXPECT_EQ(negative.error().text(), "no snapshot at or before time -5");

  const std::int64_t last = StoreAccess::manifest(*store_).back().created_at;
  auto info = store_->restore_to_time(last);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->txn_id, 7u);
  EXPECT_EQ(info->created_at, last);
  EXPECT_EQ(StoreAccess::header(*store_).last_txn_id, 8u);
}

TEST_F(RestoreTest, UnknownOrUnreadableSnapshotsChangeNothing) {
  auto missing = store_->restore_to(99);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::NotFound);
  EXPECT_EQ(missing.error().text(), "snapshot for transaction 99");

  reopen();  // nothing cached
  const auto catalog = StoreAccess::catalog(*store_);
  corrupt_page(StoreAccess::manifest(*store_)[1].catalog_start);
  auto damaged = store_->restore_to(2);
  ASSERT_FALSE(damaged);
  EXPECT_EQ(damaged.error().kind(), ErrorKind::PageAuth);
  EXPECT_EQ(StoreAccess::catalog(*store_), catalog);
  EXPECT_FALSE(StoreAccess::dirty(*store_) || StoreAccess::index_dirty(*store_));
  EXPECT_EQ(StoreAccess::header(*store_).last_txn_id, 7u);
}

// A log region over records that only an older snapshot's catalog refers to is left alone until a
// restore brings that catalog back; then the restore's flush moves the log instead of writing over
// them.
TEST_F(StoreTest, RestoreMovesALogRegionOverTheRestoredRecords) {
  Memory big = memory_n(1);
  big.content.assign(40000, 'b');  // a record of five pages
  put(big);
  flush();
  const CatalogEntry first = row_of(big.id);
  ASSERT_GE(first.page_count, 4u);
  Memory again = big;
  again.content = "rewritten";
  put(again);
  flush();
  // A header whose region lies over the first record, sealed as only a key holder can.
  format::Header h = StoreAccess::committed(*store_);
  h.wal_start = first.start_page;
  h.wal_pages = 4;
  ASSERT_TRUE(StoreAccess::pager(*store_).write_header(h));
  reopen();
  EXPECT_EQ(StoreAccess::header(*store_).wal_start, first.start_page);

  ASSERT_TRUE(store_->restore_to(1));
  EXPECT_NE(StoreAccess::header(*store_).wal_start, first.start_page);
  for (int reopened = 0; reopened < 2; ++reopened) {
    if (reopened) reopen();
    auto restored = store_->get(big.id);
    ASSERT_TRUE(restored) << restored.error().message();
    EXPECT_TRUE(restored->content == big.content);
  }
}

TEST(NewStoreRestore, NoSnapshotsMeansNothingToRestore) {
  auto store = create_on(std::make_unique<MemFile>(new_disk()));
  ASSERT_TRUE(store);
  EXPECT_TRUE((*store)->snapshots().empty());
  EXPECT_EQ((*store)->restore_to(1).error().kind(), ErrorKind::NotFound);
  EXPECT_EQ((*store)->restore_to_time(std::numeric_limits<std::int64_t>::max()).error().kind(),
            ErrorKind::NotFound);
}

TEST(ExportTest, CopiesTheFlushedFileAndRefusesTheDatabaseItself) {
  TempDir dir;
  const std::string path = dir.file("db");
  auto opened = StoreAccess::open_path(path, passphrase(), kDims, cheap());
  ASSERT_TRUE(opened) << opened.error().message();
  std::unique_ptr<Store> store = std::move(*opened);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(store->remember(memory_n(1)));

  const std::string copy = dir.file("copy");
  {
    std::ofstream(copy) << std::string(100000, 'x');  // longer than the database: truncated
  }
  ASSERT_TRUE(store->export_encrypted(copy));
  EXPECT_FALSE(StoreAccess::dirty(*store));  // the export flushed first
  const auto bytes = [](const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(bytes(copy), bytes(path));
  struct stat st {};
  ASSERT_EQ(::stat(copy.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  const std::string link = dir.file("link");
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  const std::string hard = dir.file("hard");
  ASSERT_EQ(::link(path.c_str(), hard.c_str()), 0);
  const std::string before = bytes(path);
  for (const std::string& dest : {path, link, hard}) {
    auto refused = store->export_encrypted(dest);
    ASSERT_FALSE(refused) << dest;
    EXPECT_EQ(refused.error().detail(), ErrorDetail::ExportCopy);
    EXPECT_EQ(refused.error().text(), "destination is the database itself");
    EXPECT_EQ(bytes(path), before);
  }
  auto unwritable = store->export_encrypted(dir.file("no/such/dir"));
  ASSERT_FALSE(unwritable);
  EXPECT_EQ(unwritable.error().detail(), ErrorDetail::ExportCopy);
  EXPECT_EQ(unwritable.error().text(), "No such file or directory (os error 2)");

  store.reset();
  auto reopened = StoreAccess::open_path(copy, passphrase(), std::nullopt, cheap());
  ASSERT_TRUE(reopened) << reopened.error().message();
  EXPECT_TRUE((*reopened)->get(memory_n(1).id));
}

// The copy goes through the file seam: a failed copy is told apart from a failed flush by its
// detail, after the flush has committed.
TEST(ExportTest, FailedCopyIsAnExportErrorAfterTheFlush) {
  auto disk = new_disk();
  auto file = std::make_unique<FaultFile>(disk);
  FaultFile* fault = file.get();
  auto store = create_on(std::move(file));
  ASSERT_TRUE(store);
  ASSERT_TRUE((*store)->remember(memory_n(1)));
  fault->fail_nth(pager::testing::OpKind::Copy, 1, ENOSPC);
  auto failed = (*store)->export_encrypted("copy");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().detail(), ErrorDetail::ExportCopy);
  EXPECT_EQ(failed.error().text(), "No space left on device (os error 28)");
  EXPECT_FALSE(StoreAccess::dirty(**store));
  EXPECT_FALSE(disk->copies.contains("copy"));

  ASSERT_TRUE((*store)->export_encrypted("copy"));
  EXPECT_EQ(disk->copies.at("copy"), disk->bytes);
  fault->fail_nth(pager::testing::OpKind::Write, fault->writes() + 1);
  ASSERT_TRUE((*store)->remember(memory_n(2)));
  auto unflushed = (*store)->export_encrypted("copy");
  ASSERT_FALSE(unflushed);
  EXPECT_EQ(unflushed.error().detail(), ErrorDetail::None);
}

}  // namespace
}  // namespace quarn::store::testing
