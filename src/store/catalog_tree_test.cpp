#include "store/catalog_tree.h"

#include <limits>

#include "store/pager_fixture.h"

namespace quarn::store::testing {
namespace {

constexpr std::uint64_t kNoEnd = ~std::uint64_t{0};

CatalogEntry entry_n(std::size_t i) {
  CatalogEntry e;
  e.id = Ulid{0x0190000000000000ULL + i, 0xabcdef0000000000ULL | i};
  e.start_page = 10 + 3 * i;
  e.page_count = 1 + static_cast<std::uint32_t>(i % 3);
  e.len = 100 + static_cast<std::uint32_t>(i);
  e.deleted = i % 7 == 0;
  e.accessed_at = i % 5 == 0 ? -static_cast<std::int64_t>(i) : 1700000000 + static_cast<std::int64_t>(i);
  e.access_count = i % 11 == 0 ? kMaxAccessCount : static_cast<std::uint32_t>(i);
  return e;
}

TEST(CatalogRowTest, EveryFieldRoundTripsAndStrayBytesAreRefused) {
  CatalogEntry extreme = entry_n(3);
  extreme.start_page = std::numeric_limits<std::uint64_t>::max();
  extreme.accessed_at = std::numeric_limits<std::int64_t>::min();
  CatalogEntry packed = entry_n(2);  // starts near its first page's end, ends on the next
  packed.offset = 8000;
  packed.len = 300;
  packed.page_count = 2;
  for (const CatalogEntry& e : {entry_n(0), entry_n(14), extreme, packed}) {
    std::array<std::uint8_t, kCatalogRowSize> row;
    encode_catalog_row(e, row);
    EXPECT_EQ(decode_catalog_row(row).value(), e);
  }
  std::array<std::uint8_t, kCatalogRowSize> row;
  encode_catalog_row(entry_n(1), row);
  // An offset that the row's pages cannot hold with its length, flags, reserved bytes.
  for (const std::size_t at : {32u, 48u, 49u, 63u}) {
    auto bad = row;
    bad[at] = 2;
    EXPECT_EQ(decode_catalog_row(bad).error().kind(), ErrorKind::Serialization) << at;
  }
  EXPECT_FALSE(decode_catalog_row(ByteView(row.data(), 63)).has_value());
}

class CatalogTreeTest : public PagerFixture {
 protected:
  // Nodes go straight to the file from page 100 on.
  SlotTree::WriteNode writer() {
    return [this](Bytes node) -> Result<std::uint64_t> {
      TRY(pager_->write_run(next_, node));
      ++written_;
      return next_++;
    };
  }
  std::uint64_t next_ = 100;
  std::size_t written_ = 0;
};

TEST_F(CatalogTreeTest, AFlushOfOneChangedRowWritesItsLeafAndPathOnly) {
  std::vector<CatalogEntry> catalog;
  for (std::size_t i = 0; i < 300; ++i) catalog.push_back(entry_n(i));  // three leaves, one branch
  std::vector<std::size_t> all(catalog.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  const SlotTreeRoot first = store_catalog_tree(*pager_, {}, 100, catalog, all, writer()).value();
  EXPECT_EQ(first.height, 2u);
  EXPECT_EQ(written_, 4u);
  EXPECT_EQ(load_catalog_tree(*pager_, first, 100, kNoEnd).value(), catalog);

  // A tracked access of one row and a new row: their two leaves and the root.
  bump_access(catalog[5], 1800000000);
  catalog.push_back(entry_n(300));
  const std::size_t changed[] = {5, 300};
  written_ = 0;
  const SlotTreeRoot second =
      store_catalog_tree(*pager_, first, 100, catalog, changed, writer()).value();
  EXPECT_EQ(written_, 3u);
  EXPECT_EQ(load_catalog_tree(*pager_, second, 100, kNoEnd).value(), catalog);
  EXPECT_EQ(load_catalog_tree(*pager_, first, 100, kNoEnd).value().size(), 300u);  // the older state

  // A damaged node is reported as the page it is.
  corrupt_page(second.page);
  pager_->cache().set_capacity(0);  // drops every clean page
  pager_->cache().set_capacity(cache::kDefaultCapacity);
  const auto damaged = load_catalog_tree(*pager_, second, 100, kNoEnd);
  ASSERT_FALSE(damaged.has_value());
  EXPECT_EQ(damaged.error().kind(), ErrorKind::PageAuth);
}

}  // namespace
}  // namespace quarn::store::testing
