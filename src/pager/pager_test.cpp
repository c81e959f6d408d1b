#include "pager/pager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "pager/testing/mem_file.h"

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

// A pager over an in-memory disk. `put_page` plays the write path: it encrypts a plaintext with
// the pager's counter and writes the image home, leaving the cache alone.
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
    std::array<std::uint8_t, kPageSize> image;
    Bytes full = padded(plaintext);
    ASSERT_TRUE(pager_
                    ->encrypt_next(page, std::span<const std::uint8_t, kPageCapacity>(full),
                                   image)
                    .has_value());
    ASSERT_TRUE(pager_->file().write_at(page * kPageSize, image).has_value());
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
         file_->fail_nth(OpKind::Read, 1);
         file_->fail_nth(OpKind::Read, 2);
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
  }
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
  pager_->set_nonce_counter(41);
  const std::uint64_t page = 0x1'0000'0002;
  std::array<std::uint8_t, kPageSize> image;
  const Bytes plain = padded(pattern(5, 5));
  ASSERT_TRUE(pager_->encrypt_next(page, std::span<const std::uint8_t, kPageCapacity>(plain), image));
  EXPECT_EQ(pager_->nonce_counter(), 42u);
  EXPECT_EQ(get_le<std::uint32_t>(image.data()), 2u);
  EXPECT_EQ(get_le<std::uint64_t>(image.data() + 4), 42u);

  pager_->set_nonce_counter(UINT64_MAX);
  auto r = pager_->encrypt_next(page, std::span<const std::uint8_t, kPageCapacity>(plain), image);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(pager_->nonce_counter(), UINT64_MAX);
}

TEST_F(PagerTest, WriteRawWritesPageZeroWholeWithoutSync) {
  std::array<std::uint8_t, kPageSize> image;
  image.fill(0x5a);
  ASSERT_TRUE(pager_->write_raw(image).has_value());
  ASSERT_EQ(file_->ops().size(), 1u);
  EXPECT_EQ(file_->ops()[0].kind, OpKind::Write);
  EXPECT_EQ(file_->ops()[0].offset, 0u);
  EXPECT_EQ(file_->ops()[0].length, kPageSize);
  EXPECT_EQ(disk_->bytes, Bytes(image.begin(), image.end()));
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
