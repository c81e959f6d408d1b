#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "pager/file.h"
#include "pager/testing/flaky_syscalls.h"
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

// The handle lock: shared holders coexist, an exclusive request fails at once while another holds
// it, the flush lock is separate from it, and a file renamed over the path is what open_held
// opens.
TEST_F(PosixFileTest, HandleLockTellsWhetherAnotherHandleHasTheFileOpen) {
  using Mode = File::HoldMode;
  auto a = create("db");
  auto b = PosixFile::open_existing(path("db")).value();
  ASSERT_TRUE(a->hold(Mode::Shared, true));
  ASSERT_TRUE(b->hold(Mode::Shared, true));
  EXPECT_EQ(a->hold(Mode::Exclusive, false).error().os_errno(), EWOULDBLOCK);
  EXPECT_TRUE(a->lock_exclusive());  // the flush lock is another lock
  a->unlock();
  b.reset();
  ASSERT_TRUE(a->hold(Mode::Exclusive, false));
  auto c = PosixFile::open_existing(path("db")).value();
  EXPECT_EQ(c->hold(Mode::Shared, false).error().os_errno(), EWOULDBLOCK);
  ASSERT_TRUE(a->hold(Mode::Shared, false));  // converted back
  EXPECT_TRUE(c->hold(Mode::Shared, false));

  auto next = create("db.next");
  ASSERT_TRUE(next->write_at(0, bytes({7})));
  ASSERT_TRUE(rename_path(path("db.next"), path("db")));
  EXPECT_FALSE(a->is_at(path("db")).value());
  EXPECT_TRUE(next->is_at(path("db")).value());
  auto held = PosixFile::open_held(path("db")).value();
  Bytes one(1);
  ASSERT_TRUE(held->read_at(0, one));
  EXPECT_EQ(one, bytes({7}));
  EXPECT_TRUE(held->is_at(path("db")).value());
}

ssize_t accepts_nothing(int, const void*, std::size_t, off_t) { return 0; }
ssize_t at_end(int, void*, std::size_t, off_t) { return 0; }

TEST_F(PosixFileTest, InterruptedAndShortCallsAreContinuedUntilDone) {
  for (const Syscalls* sys :
       {&testing::flaky_syscalls(), &testing::flaky_syscalls_without_offload()}) {
    SCOPED_TRACE(sys == &testing::flaky_syscalls() ? "in-kernel" : "buffered copy, zeros written");
    fs::remove(path("db"));
    fs::remove(path("copy"));
    auto created = PosixFile::create_new(path("db"), *sys);
    ASSERT_TRUE(created) << created.error().message();
    PosixFile& file = **created;
    Bytes data(3 * kPageSize + 17);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 131 + 7);
    ASSERT_TRUE(file.write_at(5, data)) << "write";
    Bytes back(data.size());
    ASSERT_TRUE(file.read_at(5, back)) << "read";
    EXPECT_EQ(back, data);
    // Allocation adds zeros past the end and leaves what exists alone.
    ASSERT_TRUE(file.allocate(kPageSize, 5 * kPageSize)) << "allocate";
    EXPECT_EQ(file.size().value(), 6 * kPageSize);
    Bytes tail(6 * kPageSize - 5 - data.size());
    ASSERT_TRUE(file.read_at(5 + data.size(), tail));
    EXPECT_EQ(tail, Bytes(tail.size(), 0));
    ASSERT_TRUE(file.read_at(5, back));
    EXPECT_EQ(back, data);
    ASSERT_TRUE(file.sync());
    ASSERT_TRUE(file.lock_exclusive());
    file.unlock();
    ASSERT_EQ(::chmod(path("db").c_str(), 0604), 0);
    ASSERT_TRUE(file.copy_to(path("copy")));
    std::ifstream copy(path("copy"), std::ios::binary);
    const Bytes copied{std::istreambuf_iterator<char>(copy), {}};
    ASSERT_EQ(copied.size(), 6 * kPageSize);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), copied.begin() + 5));
    struct stat st{};
    ASSERT_EQ(::stat(path("copy").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
  }
}

TEST_F(PosixFileTest, CallsThatMoveNothingEndTheLoopsWithTheirTexts) {
  create("db");
  Syscalls stuck = system_calls();
  stuck.pwrite = accepts_nothing;
  stuck.pread = at_end;
  auto file = PosixFile::open_existing(path("db"), stuck).value();
  EXPECT_EQ(file->write_at(0, bytes({1})).error().text(), "failed to write whole buffer");
  Bytes out(1);
  EXPECT_EQ(file->read_at(0, out).error().text(), "failed to fill whole buffer");
}

TEST_F(PosixFileTest, CopyFailuresCarryTheOsText) {
  auto file = create("db");
  ASSERT_TRUE(file->write_at(0, bytes({1, 2, 3})));
  EXPECT_EQ(file->copy_to(path("no/such/dir")).error().text(),
            "No such file or directory (os error 2)");
  EXPECT_EQ(file->copy_to(path("db")).error().text(), "destination is the database itself");
  EXPECT_EQ(fs::file_size(path("db")), 3u);
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

// The seeded model: each unsynced write (the crashed one included) is lost, kept or torn; across
// seeds every combination shows and nothing else does.
TEST_F(FaultFileTest, SeededCrashKeepsAnySubsetOfTheUnsyncedWrites) {
  file_.crash_at(OpKind::Write, 3);
  run_scenario();
  const auto text = [](const Bytes& b) { return std::string(b.begin(), b.end()); };
  std::set<std::string> seen;
  for (std::uint64_t seed = 0; seed < 200; ++seed) seen.insert(text(file_.crash_image(seed)));
  EXPECT_EQ(seen, (std::set<std::string>{
                      text(bytes({1, 1, 1, 1})), text(bytes({1, 1, 1, 1, 2, 2})),
                      text(bytes({3, 3, 3, 3})), text(bytes({3, 3, 3, 3, 2, 2}))}));
  EXPECT_EQ(file_.crash_image(7), file_.crash_image(7));
}

// A torn write keeps whole 512-byte sectors, aligned on file offsets, each old or new.
TEST_F(FaultFileTest, SeededCrashTearsWritesAtSectorBoundaries) {
  const std::uint64_t kSector = testing::kSectorSize;
  (void)file_.write_at(0, Bytes(4 * kSector, 1));
  (void)file_.sync();
  (void)file_.write_at(kSector / 2, Bytes(3 * kSector, 2));  // touches sectors 0 to 3
  file_.crash_at(OpKind::Sync, 2);
  (void)file_.sync();
  std::set<std::vector<int>> shapes;
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    const Bytes image = file_.crash_image(seed);
    ASSERT_EQ(image.size(), 4 * kSector);
    std::vector<int> shape;
    for (std::uint64_t sector = 0; sector < 4; ++sector) {
      const std::uint64_t from = sector * kSector + (sector == 0 ? kSector / 2 : 0);
      const std::uint64_t to = sector * kSector + (sector == 3 ? kSector / 2 : kSector);
      const std::uint8_t first = image[from];
      EXPECT_TRUE(std::all_of(image.begin() + from, image.begin() + to,
                              [&](std::uint8_t b) { return b == first; }))
          << "sector " << sector << " is mixed";
      shape.push_back(first);
    }
    EXPECT_TRUE(
        std::all_of(image.begin(), image.begin() + kSector / 2, [](auto b) { return b == 1; }));
    shapes.insert(shape);
  }
  EXPECT_EQ(shapes.size(), 16u) << "every subset of the four sectors";
}

// A full disk fails only what needs more room: writes and allocations inside the file go on.
TEST_F(FaultFileTest, FullDiskRefusesOnlyWhatNeedsRoom) {
  file_.fill_disk_at(OpKind::Allocate, 2, EFBIG);
  ASSERT_TRUE(file_.write_at(0, bytes({1, 1, 1, 1})));
  ASSERT_TRUE(file_.allocate(2, 4));  // adds zeros at 4 and 5
  EXPECT_EQ(file_.allocate(0, 7).error().os_errno(), EFBIG);
  ASSERT_TRUE(file_.allocate(1, 5));
  ASSERT_TRUE(file_.write_at(3, bytes({2, 2, 2})));
  EXPECT_EQ(file_.write_at(5, bytes({3, 3})).error().os_errno(), EFBIG);
  EXPECT_EQ(file_.crash_image(CrashModel::KeepWritten), bytes({1, 1, 1, 2, 2, 3}));
  EXPECT_EQ(file_.crash_image(CrashModel::DropUnsynced), Bytes{});
}

TEST_F(FaultFileTest, EveryCallFailsAfterACrash) {
  file_.crash_at(OpKind::Write, 1);
  run_scenario();
  Bytes out(1);
  EXPECT_FALSE(file_.read_at(0, out).has_value());
  EXPECT_FALSE(file_.size().has_value());
  EXPECT_FALSE(file_.lock_exclusive().has_value());
  EXPECT_FALSE(file_.copy_to("copy").has_value());
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
