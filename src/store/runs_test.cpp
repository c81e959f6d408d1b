#include "store/runs.h"

#include <gtest/gtest.h>

#include <limits>

#include "store/pager_fixture.h"

namespace quarn::store {
namespace {

using pager::testing::OpKind;

class RunsTest : public testing::PagerFixture {};

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return b;
}

TEST(RunPages, CoversEveryByteAndAtLeastOnePage) {
  const struct {
    std::uint64_t len, pages;
  } cases[] = {{0, 1},        {1, 1},         {8164, 1},
               {8165, 2},     {16328, 2},     {16329, 3},
               {std::numeric_limits<std::uint64_t>::max(), 2259522791978143ULL}};
  for (const auto& c : cases) EXPECT_EQ(run_pages(c.len), c.pages) << c.len;
}

TEST_F(RunsTest, RunsOfOneAndTwoPagesReadBackExactly) {
  std::uint64_t start = 10;
  for (std::size_t len : {std::size_t{0}, std::size_t{8164}, std::size_t{8165}}) {
    const Bytes bytes = pattern(len);
    start += 2;  // distinct pages per case; the last run starts at 16
    const std::uint64_t pages = put_run(start, bytes);
    ASSERT_EQ(pages, run_pages(len));
    auto read = read_run_bytes(*pager_, start, pages, len);
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_EQ(*read, bytes) << len;
  }
  // The second page of an 8165-byte run holds one byte, then zeros.
  auto tail = pager_->read_page(17);
  ASSERT_TRUE(tail.has_value());
  EXPECT_EQ((*tail)[0], pattern(8165)[8164]);
  EXPECT_EQ(std::count(tail->begin() + 1, tail->end(), 0), 8163);
}

TEST_F(RunsTest, LengthBeyondThePagesIsCutToWhatThePagesHold) {
  put_run(3, pattern(100));
  // A hostile length far above one page: the read returns one page's payload, nothing more.
  auto read = read_run_bytes(*pager_, 3, 1, std::numeric_limits<std::uint64_t>::max());
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->size(), kPageCapacity);
  auto shorter = read_run_bytes(*pager_, 3, 1, 10);
  ASSERT_TRUE(shorter.has_value());
  const Bytes full = pattern(100);
  EXPECT_EQ(*shorter, Bytes(full.begin(), full.begin() + 10));
}

TEST_F(RunsTest, EveryPageIsReadAndTheFirstFailureEndsTheRead) {
  put_run(3, pattern(20000));  // pages 3, 4, 5
  corrupt_page(5);
  // Page 5 lies past the 10 bytes asked for, yet it is read and its failure reported.
  auto read = read_run_bytes(*pager_, 3, 3, 10);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().kind(), ErrorKind::PageAuth);
  EXPECT_EQ(read.error().a(), 5u);

  auto past_end = read_run_bytes(*pager_, 6, 1, 10);
  ASSERT_FALSE(past_end.has_value());
  EXPECT_EQ(past_end.error().kind(), ErrorKind::Io);
  EXPECT_EQ(past_end.error().text(), "failed to fill whole buffer");

  const std::uint64_t reads = file_->count(OpKind::Read);
  auto wraps = read_run_bytes(*pager_, std::numeric_limits<std::uint64_t>::max() - 1, 5, 10);
  ASSERT_FALSE(wraps.has_value());
  EXPECT_EQ(wraps.error().kind(), ErrorKind::Io);
  EXPECT_EQ(file_->count(OpKind::Read), reads);
}

TEST_F(RunsTest, RecordWithoutPagesIsEmptyAndReadsNothing) {
  auto read = read_record(*pager_, CatalogEntry{.id = {}, .start_page = 999, .page_count = 0, .len = 50});
  ASSERT_TRUE(read.has_value());
  EXPECT_TRUE(read->empty());
  EXPECT_EQ(file_->count(OpKind::Read), 0u);
}

TEST_F(RunsTest, ReadFromFileAuthenticatesCleanCachedPagesAndTakesDirtyOnesFromTheCache) {
  put_run(3, pattern(100));
  const CatalogEntry clean{.id = {}, .start_page = 3, .page_count = 1, .len = 100};
  ASSERT_TRUE(read_record(*pager_, clean).has_value());  // now cached
  corrupt_page(3);
  EXPECT_TRUE(read_record(*pager_, clean).has_value());  // the cache hides the damage
  auto checked = read_record_from_file(*pager_, clean);
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ(checked.error().kind(), ErrorKind::PageAuth);
  EXPECT_TRUE(pager_->cache().contains(3));

  ASSERT_TRUE(pager_->write_page(40, pattern(30)).has_value());  // staged, not on the file
  auto staged = read_record_from_file(*pager_, {.id = {}, .start_page = 40, .page_count = 1, .len = 30});
  ASSERT_TRUE(staged.has_value());
  EXPECT_EQ(*staged, pattern(30));
}

// Records packed together: each of the three readers yields a record's own bytes from its offset
// on, across the pages it spans, whatever record came before.
TEST_F(RunsTest, PackedRecordsReadFromTheirOffsetWhateverRecordCameBefore) {
  const Bytes all = pattern(3 * kPageCapacity);  // pages 20, 21, 22 hold it end to end
  put_run(20, all);
  const auto row = [](std::uint64_t start, std::uint32_t offset, std::uint32_t pages, std::uint32_t len) {
    CatalogEntry e;
    e.start_page = start;
    e.offset = offset;
    e.page_count = pages;
    e.len = len;
    return e;
  };
  const auto bytes_of = [&](std::uint64_t start, std::size_t offset, std::size_t len) {
    const std::size_t at = (start - 20) * kPageCapacity + offset;
    return Bytes(all.begin() + static_cast<std::ptrdiff_t>(at),
                 all.begin() + static_cast<std::ptrdiff_t>(at + len));
  };
  // Each starts where the one before ended, on its last page, but the last.
  const CatalogEntry rows[] = {row(20, 0, 1, 100),   row(20, 100, 2, 9000), row(21, 1000, 1, 100),
                               row(21, 1100, 2, 8000), row(22, 900, 1, 50), row(20, 7000, 1, 50)};
  // The scan first, while nothing is cached: a record starting on the page the one before it
  // ended on takes that page from the buffer.
  pager::ReadWindow window;
  ScanBuffer buffer;
  for (const CatalogEntry& r : rows) {
    const ByteView scanned = read_record_for_scan(*pager_, r, window, buffer).value();
    EXPECT_EQ(Bytes(scanned.begin(), scanned.end()), bytes_of(r.start_page, r.offset, r.len))
        << r.start_page << "+" << r.offset;
  }
  EXPECT_FALSE(pager_->cache().contains(20));
  for (const CatalogEntry& r : rows) {
    const Bytes expected = bytes_of(r.start_page, r.offset, r.len);
    EXPECT_EQ(read_record(*pager_, r).value(), expected);
    EXPECT_EQ(read_record_from_file(*pager_, r).value(), expected);
  }

  // A row whose offset and length reach past its pages is cut to what they hold.
  EXPECT_EQ(read_record(*pager_, row(22, 8000, 1, 500)).value(), bytes_of(22, 8000, 164));
}

}  // namespace
}  // namespace quarn::store
