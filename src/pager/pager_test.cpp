#include "pager/pager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "pager/testing/mem_file.h"
#include "pager/testing/pager_access.h"

namespace quarn::pager {
namespace {

using testing::FaultFile;
using testing::MemDisk;
using testing::OpKind;
using Stats = std::pair<std::uint64_t, std::uint64_t>;

Bytes pattern(std::size_t length, std::uint8_t seed) {
  Bytes out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 7);
  return out;
}

Bytes padded(Bytes bytes) {
  bytes.resize(kPageCapacity, 0);
  return bytes;
}

// A pager over an in-memory disk. `put_page` writes an encrypted page home, not into the cache.
class PagerTest : public ::testing::Test {
 protected:
  void SetUp() override { open(7); }

  void open(std::uint16_t version) {
    pager_.reset();
    auto file = std::make_unique<FaultFile>(disk_);
    file_ = file.get();
    auto dek = crypto::random_dek();
    if (!dek_) dek_ = std::move(*dek);
    crypto::Key copy;
    std::copy_n(dek_->data(), crypto::kKeySize, copy.data());
    auto pager = Pager::create(std::move(file), std::move(copy), 0, version);
    ASSERT_TRUE(pager.has_value()) << pager.error().message();
    pager_ = std::make_unique<Pager>(std::move(*pager));
  }
  void put_page(std::uint64_t page, const Bytes& plaintext) {
    ASSERT_TRUE(pager_->write_run(page, plaintext).has_value());
  }
  void flip_byte(std::uint64_t page, std::size_t index) {
    disk_->bytes.at(page * kPageSize + index) ^= 0x01;
  }
  void copy_image(std::uint64_t from, std::uint64_t to) {
    ASSERT_LE((std::max(from, to) + 1) * kPageSize, disk_->bytes.size());
    std::copy_n(disk_->bytes.begin() + static_cast<std::ptrdiff_t>(from * kPageSize), kPageSize,
                disk_->bytes.begin() + static_cast<std::ptrdiff_t>(to * kPageSize));
  }
  cache::PageCache& cache() { return pager_->cache(); }

  std::shared_ptr<MemDisk> disk_ = std::make_shared<MemDisk>();
  std::optional<crypto::Key> dek_;
  FaultFile* file_ = nullptr;
  std::unique_ptr<Pager> pager_;
};

TEST_F(PagerTest, APageWrittenHomeReadsBackThroughTheCache) {
  put_page(1, pattern(100, 1));
  put_page(2, pattern(kPageCapacity, 2));
  EXPECT_EQ(pager_->read_page(1).value(), padded(pattern(100, 1)));
  EXPECT_EQ(pager_->read_page(2).value(), pattern(kPageCapacity, 2));
  EXPECT_EQ(cache().stats(), Stats(2, 8192));
  EXPECT_EQ(cache().clean_count(), 2u);

  const auto reads = file_->count(OpKind::Read);
  Bytes seen;
  ASSERT_TRUE(pager_->with_page(2, [&](ByteView v) { seen.assign(v.begin(), v.end()); }));
  EXPECT_EQ(seen, pattern(kPageCapacity, 2));
  EXPECT_EQ(file_->count(OpKind::Read), reads);  // a hit costs no I/O
}

TEST_F(PagerTest, WithPageOnAMissDecryptsAndCaches) {
  put_page(3, pattern(10, 3));
  Bytes seen;
  ASSERT_TRUE(pager_->with_page(3, [&](ByteView v) { seen.assign(v.begin(), v.end()); }));
  EXPECT_EQ(seen, padded(pattern(10, 3)));
  EXPECT_TRUE(cache().contains(3));
  EXPECT_FALSE(cache().is_dirty(3));
}

TEST_F(PagerTest, WritePageStagesAPaddedDirtyPageWithoutIo) {
  ASSERT_TRUE(pager_->write_page(4, pattern(kPageCapacity, 4)).has_value());
  ASSERT_TRUE(pager_->write_page(5, pattern(3, 5)).has_value());
  EXPECT_EQ(file_->ops().size(), 0u);
  EXPECT_EQ(cache().dirty_pages(), (std::vector<std::uint64_t>{4, 5}));
  EXPECT_EQ(pager_->read_page(5).value(), padded(pattern(3, 5)));
}

TEST_F(PagerTest, OversizedPayloadIsRefusedAndChangesNothing) {
  ASSERT_TRUE(pager_->write_page(4, pattern(1, 4)).has_value());
  auto r = pager_->write_page(4, Bytes(kPageCapacity + 1, 9));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "invalid argument: payload 8165 exceeds page capacity 8164");
  EXPECT_EQ(pager_->read_page(4).value(), padded(pattern(1, 4)));
}

// Failed reads leave the cache as it was: nothing half-read or unauthenticated is ever served.
TEST_F(PagerTest, FailedReadsCacheNothing) {
  put_page(1, pattern(8, 1));
  put_page(2, pattern(8, 2));
  struct Case {
    const char* what;
    std::uint64_t page;
    std::function<void()> damage;
    std::string message;
  };
  const std::string auth = " failed authentication \u2014 the file is corrupt or tampered";
  const Case cases[] = {
      {"beyond the end", 3, [] {}, "io error: failed to fill whole buffer"},
      {"offset past off_t", UINT64_MAX / 2, [] {},
       "io error: Value too large for defined data type (os error 75)"},
      {"nonce byte", 1, [&] { flip_byte(1, 11); }, "page 1" + auth},
      {"ciphertext byte", 1, [&] { flip_byte(1, 12); }, "page 1" + auth},
      {"tag byte", 1, [&] { flip_byte(1, kPageSize - 1); }, "page 1" + auth},
      {"image of another page", 2, [&] { copy_image(1, 2); }, "page 2" + auth},
      {"read error", 1,
       [&] {
         for (int n = 1; n <= 4; ++n) file_->fail_nth(OpKind::Read, n);
       },
       "io error: Input/output error (os error 5)"},
  };
  const Bytes saved = disk_->bytes;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    disk_->bytes = saved;
    open(7);
    c.damage();
    auto r = pager_->read_page(c.page);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_EQ(cache().size(), 0u);
    EXPECT_FALSE(pager_->with_page(c.page, [](ByteView) { FAIL() << "sink called"; }));
    EXPECT_EQ(cache().size(), 0u);
    ReadWindow window;
    auto w = pager_->read_page_uncached(c.page, window);
    ASSERT_FALSE(w.has_value());
    EXPECT_EQ(w.error().message(), c.message);
  }
}

// A window reads ahead and serves every page as a one-page read would, refilling where it does not
// reach; it never touches the cache.
TEST_F(PagerTest, AReadWindowServesPagesAsOnePageReadsDo) {
  const std::uint64_t pages = ReadWindow::kPages + 5;
  for (std::uint64_t p = 1; p <= pages; ++p) put_page(p, pattern(16, static_cast<std::uint8_t>(p)));
  flip_byte(3, 40);
  const std::uint64_t reads_before = file_->count(OpKind::Read);
  ReadWindow window;
  for (std::uint64_t p : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3}, std::uint64_t{4},
                          pages, std::uint64_t{2}, pages + 1}) {
    SCOPED_TRACE(p);
    auto alone = pager_->read_page_uncached(p);
    auto windowed = pager_->read_page_uncached(p, window);
    ASSERT_EQ(windowed.has_value(), alone.has_value());
    if (alone) {
      EXPECT_EQ(*windowed, *alone);
    } else {
      EXPECT_EQ(windowed.error().message(), alone.error().message());
    }
  }
  // Seven one-page reads; the window read page 1, then 2..3 and 4..7 as the pass went on, then
  // pages 37 and 2 alone (neither continues the window), and page 38, past the end, alone.
  EXPECT_EQ(file_->count(OpKind::Read) - reads_before, 7u + 6u);
  EXPECT_EQ(cache().size(), 0u);

  // A pass in page order: 1, 2, 4, 8 and 16 pages, then the 6 left, in six reads.
  const std::uint64_t before_pass = file_->count(OpKind::Read);
  ReadWindow pass;
  for (std::uint64_t p = 1; p <= pages; ++p) {
    EXPECT_EQ(pager_->read_page_uncached(p, pass).has_value(), p != 3) << p;
  }
  EXPECT_EQ(file_->count(OpKind::Read) - before_pass, 6u);
}

// Before version 6 pages carry no page number, so an image moved to another page still decrypts.
TEST_F(PagerTest, OldVersionsDoNotBindImagesToTheirPage) {
  open(5);
  put_page(1, pattern(8, 1));
  put_page(2, pattern(8, 2));
  copy_image(1, 2);
  EXPECT_EQ(pager_->read_page(2).value(), padded(pattern(8, 1)));
}

TEST_F(PagerTest, UncachedReadSeesTheFileAndLeavesTheCacheAlone) {
  put_page(1, pattern(8, 1));
  ASSERT_TRUE(pager_->read_page(1).has_value());
  flip_byte(1, 100);
  EXPECT_EQ(pager_->read_page(1).value(), padded(pattern(8, 1)));  // the cached plaintext
  auto r = pager_->read_page_uncached(1);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::PageAuth);
  EXPECT_EQ(r.error().a(), 1u);
  EXPECT_TRUE(cache().contains(1));
  flip_byte(1, 100);
  put_page(2, pattern(8, 2));
  EXPECT_EQ(pager_->read_page_uncached(2).value(), padded(pattern(8, 2)));
  EXPECT_FALSE(cache().contains(2));
}

// The nonce is the page's low 32 bits and the incremented counter; the counter is never reused.
TEST_F(PagerTest, EncryptNextAdvancesTheCounterIntoTheNonce) {
  PagerAccess::set_counter(*pager_, 41);
  const std::uint64_t page = 0x1'0000'0002;
  std::array<std::uint8_t, kPageSize> image;
  const Bytes plain = padded(pattern(5, 5));
  const auto plaintext = std::span<const std::uint8_t, kPageCapacity>(plain);
  ASSERT_TRUE(PagerAccess::encrypt_next(*pager_, page, plaintext, image));
  EXPECT_EQ(PagerAccess::counter(*pager_), 42u);
  EXPECT_EQ(get_le<std::uint32_t>(image.data()), 2u);
  EXPECT_EQ(get_le<std::uint64_t>(image.data() + 4), 42u);

  PagerAccess::set_counter(*pager_, UINT64_MAX);
  auto r = PagerAccess::encrypt_next(*pager_, page, plaintext, image);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(PagerAccess::counter(*pager_), UINT64_MAX);
}

// Every encrypted write takes its counter values in page order, one per page, and writes
// consecutive pages with one call; only the write-back syncs and cleans.
TEST_F(PagerTest, EncryptedWritesTakeOneCounterValuePerPage) {
  PagerAccess::set_counter(*pager_, 10);
  const Bytes two_pages = pattern(kPageCapacity + 3, 9);
  ASSERT_TRUE(pager_->write_run(20, two_pages));
  ASSERT_TRUE(pager_->write_page(31, pattern(4, 1)));
  ASSERT_TRUE(pager_->write_page(30, pattern(4, 2)));
  ASSERT_TRUE(pager_->write_page(33, pattern(4, 3)));
  std::vector<wal::PageImage> images;
  ASSERT_TRUE(pager_->seal_run(40, pattern(7, 4), images));
  EXPECT_EQ(PagerAccess::counter(*pager_), 13u);
  EXPECT_EQ(file_->writes(), 1u) << "seal_run writes nothing";
  ASSERT_TRUE(pager_->write_back());
  EXPECT_EQ(PagerAccess::counter(*pager_), 16u);
  EXPECT_TRUE(cache().dirty_pages().empty());

  using Pairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  Pairs writes, nonces;
  for (const auto& op : file_->ops())
    if (op.kind == OpKind::Write) writes.emplace_back(op.offset / kPageSize, op.length / kPageSize);
  EXPECT_EQ(writes, (Pairs{{20, 2}, {30, 2}, {33, 1}}));
  EXPECT_EQ(file_->ops().back().kind, OpKind::Sync);
  for (std::uint64_t page : {20, 21, 30, 31, 33})
    nonces.emplace_back(page, get_le<std::uint64_t>(disk_->bytes.data() + page * kPageSize + 4));
  ASSERT_EQ(images.size(), 1u);
  nonces.emplace_back(40, get_le<std::uint64_t>(images[0].image.data() + 4));
  EXPECT_EQ(nonces, (Pairs{{20, 11}, {21, 12}, {30, 14}, {31, 15}, {33, 16}, {40, 13}}));
  EXPECT_EQ(pager_->read_page(21).value(), padded(pattern(3, 9 + kPageCapacity * 7 % 256)));
  EXPECT_EQ(pager_->read_page(40).value(), padded(pattern(7, 4)));
}

TEST_F(PagerTest, HeadersCarryTheCounterAndTheReservationCoversTheFlush) {
  PagerAccess::set_counter(*pager_, 7);
  format::Header h;
  h.page_count = 9;
  ASSERT_TRUE(pager_->write_header(h));
  ASSERT_EQ(file_->ops().size(), 2u);
  EXPECT_EQ(file_->ops()[0].kind, OpKind::Write);
  EXPECT_EQ(file_->ops()[0].offset, 0u);
  EXPECT_EQ(file_->ops()[0].length, kPageSize);
  EXPECT_EQ(file_->ops()[1].kind, OpKind::Sync);
  auto on_disk = pager_->read_header();
  ASSERT_TRUE(on_disk);
  EXPECT_EQ(on_disk->nonce_counter, 7u);
  EXPECT_EQ(*on_disk, h);
  EXPECT_TRUE(format::validate_seal(*on_disk, *dek_));

  ASSERT_TRUE(pager_->write_page(12, pattern(1, 1)));
  ASSERT_TRUE(pager_->write_page(13, pattern(1, 1)));
  ASSERT_TRUE(pager_->write_reservation(h, 5));
  EXPECT_EQ(pager_->read_header()->nonce_counter, 7u + 2 + 5);
  const format::PageImage image = pager_->seal_header(h).value();
  EXPECT_EQ(h.nonce_counter, 7u);
  EXPECT_EQ(format::from_page(image).value(), h);

  PagerAccess::set_counter(*pager_, UINT64_MAX - 6);
  const std::uint64_t writes = file_->writes();
  EXPECT_TRUE(pager_->check_reservation(4));
  auto refused = pager_->write_reservation(h, 5);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(file_->writes(), writes);
}

TEST(PagerRelease, ReleasingThePagerClosesTheFile) {
  std::string dir = (std::filesystem::temp_directory_path() / "quarn-pager-XXXXXX").string();
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  auto file = PosixFile::create_new(dir + "/db").value();
  const int fd = file->native_handle();
  {
    auto pager = Pager::create(std::move(file), crypto::random_dek().value(), 0, 7);
    ASSERT_TRUE(pager.has_value());
    EXPECT_NE(::fcntl(fd, F_GETFD), -1);
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quarn::pager
