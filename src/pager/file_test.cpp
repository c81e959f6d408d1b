#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "pager/file.h"
#include "pager/testing/mem_file.h"

namespace quarn::pager {
namespace {

namespace fs = std::filesystem;
using testing::CrashModel;
using testing::FaultFile;
using testing::MemFile;
using testing::OpKind;

Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

class PosixFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "quarn-file-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  std::unique_ptr<PosixFile> create(const char* name) {
    auto file = PosixFile::create_new(path(name));
    EXPECT_TRUE(file.has_value()) << file.error().message();
    return file ? std::move(*file) : nullptr;
  }

  fs::path dir_;
};

TEST_F(PosixFileTest, WritesReadBackAtOffsets) {
  auto file = create("db");
  ASSERT_TRUE(file->write_at(10, bytes({1, 2, 3})).has_value());
  ASSERT_TRUE(file->write_at(0, bytes({9})).has_value());
  EXPECT_EQ(file->size().value(), 13u);
  Bytes out(13);
  ASSERT_TRUE(file->read_at(0, out).has_value());
  EXPECT_EQ(out, bytes({9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}));
  EXPECT_TRUE(file->sync().has_value());
}

TEST_F(PosixFileTest, ShortReadAtEndOfFileFailsToFillTheBuffer) {
  auto file = create("db");
  ASSERT_TRUE(file->write_at(0, bytes({1, 2, 3})).has_value());
  Bytes out(4);
  auto r = file->read_at(0, out);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "io error: failed to fill whole buffer");
  EXPECT_EQ(file->read_at(100, std::span(out).first(1)).error().text(),
            "failed to fill whole buffer");
}

TEST_F(PosixFileTest, CreatingAnExistingPathFailsWithEexist) {
  create("db");
  auto again = PosixFile::create_new(path("db"));
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().os_errno(), EEXIST);
  EXPECT_EQ(again.error().text(), "File exists (os error 17)");
}

TEST_F(PosixFileTest, OpeningAMissingFileCarriesTheOsText) {
  auto file = PosixFile::open_existing(path("missing"));
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error().message(), "io error: No such file or directory (os error 2)");
}

TEST_F(PosixFileTest, PathExistsTellsMissingFromBroken) {
  create("db");
  fs::create_symlink(path("loop"), path("loop"));
  EXPECT_EQ(path_exists(path("db")).value(), true);
  EXPECT_EQ(path_exists(path("missing")).value(), false);
  EXPECT_EQ(path_exists(path("db") + "/below").value(), false);  // ENOTDIR
  auto loop = path_exists(path("loop"));
  ASSERT_FALSE(loop.has_value());
  EXPECT_EQ(loop.error().os_errno(), ELOOP);
}

// Two opens in one process exclude each other, as two processes would.
TEST_F(PosixFileTest, ExclusiveLockSeparatesTwoOpensOfOnePath) {
  auto a = create("db");
  auto b = PosixFile::open_existing(path("db")).value();
  ASSERT_TRUE(a->lock_exclusive().has_value());
  EXPECT_EQ(::flock(b->native_handle(), LOCK_EX | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  a->unlock();
  EXPECT_TRUE(b->lock_exclusive().has_value());
  b->unlock();
}

TEST(MemFileTest, ReopeningSharesBytesAndTheLock) {
  auto first = std::make_unique<MemFile>();
  auto disk = first->disk();
  ASSERT_TRUE(first->write_at(2, bytes({7})).has_value());
  ASSERT_TRUE(first->lock_exclusive().has_value());
  MemFile second(disk);
  EXPECT_EQ(second.lock_exclusive().error().os_errno(), EWOULDBLOCK);
  first.reset();  // dropping a handle releases its lock
  EXPECT_TRUE(second.lock_exclusive().has_value());
  Bytes out(3);
  ASSERT_TRUE(second.read_at(0, out).has_value());
  EXPECT_EQ(out, bytes({0, 0, 7}));
  EXPECT_EQ(second.read_at(1, out).error().text(), "failed to fill whole buffer");
}

TEST(MemFileTest, PageLogKeepsEveryWholeAlignedPageWritten) {
  auto disk = std::make_shared<testing::MemDisk>();
  disk->log_pages = true;
  MemFile file(disk);
  Bytes two_pages(2 * kPageSize + 5, 0xab);
  ASSERT_TRUE(file.write_at(kPageSize - 5, two_pages).has_value());  // covers pages 1 and 2 whole
  ASSERT_TRUE(file.write_at(3 * kPageSize + 1, Bytes(kPageSize, 1)).has_value());  // none whole
  ASSERT_EQ(disk->page_log.size(), 2u);
  EXPECT_EQ(disk->page_log[0].offset, kPageSize);
  EXPECT_EQ(disk->page_log[1].offset, 2 * kPageSize);
  EXPECT_EQ(disk->page_log[1].image, Bytes(kPageSize, 0xab));
}

// The fault file: a scenario of three writes around one sync, crashed at each point that matters.
class FaultFileTest : public ::testing::Test {
 protected:
  // write [1 1 1 1] at 0, sync, write [2 2] at 4, write [3 3 3 3] at 0, sync.
  void run_scenario() {
    (void)file_.write_at(0, bytes({1, 1, 1, 1}));
    (void)file_.sync();
    (void)file_.write_at(4, bytes({2, 2}));
    (void)file_.write_at(0, bytes({3, 3, 3, 3}));
    (void)file_.sync();
  }
  FaultFile file_;
};

TEST_F(FaultFileTest, CrashAtAWriteYieldsThreeDiskImages) {
  file_.crash_at(OpKind::Write, 3);
  run_scenario();
  ASSERT_TRUE(file_.crashed());
  EXPECT_EQ(file_.crash_image(CrashModel::KeepWritten), bytes({1, 1, 1, 1, 2, 2}));
  EXPECT_EQ(file_.crash_image(CrashModel::DropUnsynced), bytes({1, 1, 1, 1}));
  EXPECT_EQ(file_.crash_image(CrashModel::TearCrashed), bytes({3, 3, 1, 1, 2, 2}));
}

TEST_F(FaultFileTest, CrashAtASyncKeepsOrDropsWhatItWouldHaveSynced) {
  file_.crash_at(OpKind::Sync, 2);
  run_scenario();
  EXPECT_EQ(file_.crash_image(CrashModel::KeepWritten), bytes({3, 3, 3, 3, 2, 2}));
  EXPECT_EQ(file_.crash_image(CrashModel::DropUnsynced), bytes({1, 1, 1, 1}));
  EXPECT_EQ(file_.crash_image(CrashModel::TearCrashed), bytes({3, 3, 3, 3, 2, 2}));
}

TEST_F(FaultFileTest, EveryCallFailsAfterACrash) {
  file_.crash_at(OpKind::Write, 1);
  run_scenario();
  Bytes out(1);
  EXPECT_FALSE(file_.read_at(0, out).has_value());
  EXPECT_FALSE(file_.size().has_value());
  EXPECT_FALSE(file_.lock_exclusive().has_value());
  EXPECT_EQ(file_.sync().error().os_errno(), EIO);
  EXPECT_TRUE(file_.crash_image(CrashModel::KeepWritten).empty());
}

TEST_F(FaultFileTest, AFailedCallHasNoEffectAndLaterCallsWork) {
  file_.fail_nth(OpKind::Write, 2, ENOSPC);
  run_scenario();
  EXPECT_FALSE(file_.crashed());
  EXPECT_EQ(file_.crash_image(CrashModel::KeepWritten), bytes({3, 3, 3, 3}));
  EXPECT_EQ(file_.writes(), 3u);
  EXPECT_EQ(file_.syncs(), 2u);
  EXPECT_FALSE(file_.ops()[2].ok);
  EXPECT_EQ(file_.ops()[2].length, 2u);
}

TEST_F(FaultFileTest, FailingTheNthCallCountsEveryKind) {
  file_.fail_nth_call(2);  // the first sync
  run_scenario();
  EXPECT_EQ(file_.crash_image(CrashModel::DropUnsynced), bytes({3, 3, 3, 3, 2, 2}));
  std::vector<OpKind> kinds;
  for (const auto& op : file_.ops()) kinds.push_back(op.kind);
  EXPECT_EQ(kinds, (std::vector<OpKind>{OpKind::Write, OpKind::Sync, OpKind::Write,
                                        OpKind::Write, OpKind::Sync}));
  EXPECT_FALSE(file_.ops()[1].ok);
}

}  // namespace
}  // namespace quarn::pager
