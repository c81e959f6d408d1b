#include "cache/page_cache.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quarn::cache {
namespace {

using Pages = std::vector<std::uint64_t>;
using Stats = std::pair<std::uint64_t, std::uint64_t>;

// Drives a cache the way the pager does: a read hits or inserts a clean page, a write stages a
// dirty one. Page contents are a single byte naming the page and the version written.
class PageCacheTest : public ::testing::Test {
 protected:
  void with_capacity(std::uint64_t pages) { cache_ = PageCache(pages); }
  void read(std::uint64_t page) {
    if (!cache_.lookup(page)) cache_.insert(page, content(page, 0), false);
  }
  void stage(std::uint64_t page, std::uint8_t version = 1) {
    cache_.insert(page, content(page, version), true);
  }
  static Bytes content(std::uint64_t page, std::uint8_t version) {
    return Bytes{static_cast<std::uint8_t>(page), version};
  }
  Pages cached() const {
    Pages pages;
    for (std::uint64_t p = 0; p < 64; ++p)
      if (cache_.contains(p)) pages.push_back(p);
    return pages;
  }
  // Invariant 2, counted from the outside.
  std::uint64_t counted_clean() const {
    std::uint64_t n = 0;
    for (auto p : cached()) n += cache_.is_dirty(p) ? 0 : 1;
    return n;
  }

  PageCache cache_;
};

TEST_F(PageCacheTest, CapacityOneKeepsOnlyTheLastPageRead) {
  with_capacity(1);
  for (std::uint64_t p : {1, 2, 3}) read(p);
  EXPECT_EQ(cached(), (Pages{3}));
  EXPECT_EQ(cache_.stats(), Stats(1, 1));
}

TEST_F(PageCacheTest, ReadingMovesAPageToTheFront) {
  with_capacity(2);
  for (std::uint64_t p : {1, 2, 1, 3}) read(p);
  EXPECT_EQ(cached(), (Pages{1, 3}));
}

TEST_F(PageCacheTest, DirtyPagesOutliveCapacityUntilMarkedClean) {
  with_capacity(2);
  for (std::uint64_t p : {1, 2, 3}) stage(p);
  EXPECT_EQ(cached(), (Pages{1, 2, 3}));
  EXPECT_EQ(cache_.stats(), Stats(3, 2));
  EXPECT_EQ(cache_.clean_count(), 0u);

  cache_.mark_all_clean();
  EXPECT_EQ(cached(), (Pages{2, 3}));  // the least recently used page goes first
  EXPECT_EQ(cache_.clean_count(), 2u);
  EXPECT_TRUE(cache_.dirty_pages().empty());
}

TEST_F(PageCacheTest, TrimSkipsDirtyPagesNearTheTail) {
  with_capacity(2);
  stage(1);
  read(2);
  read(3);  // over budget: 1 is dirty, so 2 goes although 1 is older
  EXPECT_EQ(cached(), (Pages{1, 3}));
  EXPECT_TRUE(cache_.is_dirty(1));
}

TEST_F(PageCacheTest, TheHeadIsNeverEvictedEvenWhenItIsTheOnlyCleanPage) {
  with_capacity(1);
  stage(1);
  stage(2);
  read(3);
  EXPECT_EQ(cached(), (Pages{1, 2, 3}));
  ASSERT_NE(cache_.peek(3), nullptr);
  EXPECT_EQ(*cache_.peek(3), content(3, 0));
}

TEST_F(PageCacheTest, DirtyPagesAreListedAscending) {
  with_capacity(8);
  for (std::uint64_t p : {7, 2, 9, 4}) stage(p);
  read(5);
  EXPECT_EQ(cache_.dirty_pages(), (Pages{2, 4, 7, 9}));
}

TEST_F(PageCacheTest, ZeroCapacityMeansOne) {
  PageCache zero(0);
  EXPECT_EQ(zero.capacity(), 1u);

  with_capacity(4);
  for (std::uint64_t p : {1, 2, 3, 4}) read(p);
  cache_.set_capacity(0);
  EXPECT_EQ(cache_.capacity(), 1u);
  EXPECT_EQ(cached(), (Pages{4}));
}

// Replacing a cached page changes clean_count by the flag's transition only, and keeps its slot.
TEST_F(PageCacheTest, ReplacingAPageTracksCleanTransitions) {
  struct Case {
    bool was_dirty, now_dirty;
    std::uint64_t clean_after;
  };
  for (const Case& c : {Case{false, true, 1}, Case{true, false, 2}, Case{false, false, 2},
                        Case{true, true, 1}}) {
    SCOPED_TRACE(testing::Message() << c.was_dirty << "->" << c.now_dirty);
    with_capacity(8);
    read(1);
    cache_.insert(2, content(2, 0), c.was_dirty);
    const auto slot = cache_.slot_of(2);
    cache_.insert(2, content(2, 7), c.now_dirty);
    EXPECT_EQ(cache_.clean_count(), c.clean_after);
    EXPECT_EQ(cache_.clean_count(), counted_clean());
    EXPECT_EQ(cache_.is_dirty(2), c.now_dirty);
    EXPECT_EQ(cache_.slot_of(2), slot);
    EXPECT_EQ(*cache_.peek(2), content(2, 7));
  }
}

TEST_F(PageCacheTest, ReplacingMovesThePageToTheFront) {
  with_capacity(2);
  read(1);
  read(2);
  cache_.insert(1, content(1, 5), false);
  read(3);
  EXPECT_EQ(cached(), (Pages{1, 3}));
}

TEST_F(PageCacheTest, VacatedSlotsAreReusedLastInFirstOut) {
  with_capacity(3);
  for (std::uint64_t p : {1, 2, 3}) read(p);
  const auto slot1 = cache_.slot_of(1), slot2 = cache_.slot_of(2);
  cache_.set_capacity(1);  // evicts 1, then 2
  ASSERT_EQ(cached(), (Pages{3}));
  cache_.set_capacity(3);
  read(4);
  EXPECT_EQ(cache_.slot_of(4), slot2);
  read(5);
  EXPECT_EQ(cache_.slot_of(5), slot1);
  read(6);
  EXPECT_EQ(*cache_.slot_of(6), 3u);  // the arena grows only when no slot is free
}

TEST_F(PageCacheTest, LookupOfAMissingPageChangesNothing) {
  with_capacity(2);
  read(1);
  EXPECT_EQ(cache_.lookup(9), nullptr);
  EXPECT_EQ(cache_.peek(9), nullptr);
  EXPECT_EQ(cache_.stats(), Stats(1, 2));
}

// A long mixed workload keeps invariants 1 and 2, and never loses a dirty page.
TEST_F(PageCacheTest, MixedWorkloadKeepsInvariants) {
  with_capacity(5);
  Pages staged;
  for (std::uint64_t i = 0; i < 500; ++i) {
    const std::uint64_t page = (i * 37) % 41;
    if (i % 7 == 0) {
      stage(page);
      staged.push_back(page);
    } else {
      read(page);
    }
    if (i % 100 == 99) {
      cache_.mark_all_clean();
      staged.clear();
    }
    ASSERT_EQ(cache_.clean_count(), counted_clean());
    ASSERT_EQ(cache_.size(), cached().size());
    for (auto p : staged) ASSERT_TRUE(cache_.is_dirty(p));
    ASSERT_LE(cache_.size(), std::max<std::uint64_t>(5, cache_.dirty_pages().size() + 1));
  }
}

}  // namespace
}  // namespace quarn::cache
