#include "store/migration.h"

#include <gtest/gtest.h>

#include "memory/memory.h"
#include "memory/msgpack_io.h"
#include "store/pager_fixture.h"

namespace quarn::store {
namespace {

using pager::testing::OpKind;

const Ulid kLive{0x0190000000000001ULL, 0x42};
const Ulid kGone{0x0190000000000002ULL, 0x43};

TEST(CatalogV4Codec, ReadsPositionalAndMapRows) {
  Bytes blob = {0x92, 0x95, 0xc4, 0x10};
  const auto id = kLive.to_bytes();
  blob.insert(blob.end(), id.begin(), id.end());
  blob.insert(blob.end(), {0x09, 0x01, 0xcc, 0xc8, 0xc2});
  {
    mp::ByteSink sink{&blob};
    mp::Packer p(sink);
    p.pack_map(8);
    p.pack_str(7); p.pack_str_body("deleted", 7); p.pack_true();
    p.pack_int64(-3); p.pack_uint64(1);                       // keys of other types name no field
    p.pack_ext(1, 9); p.pack_ext_body("", 1); p.pack_false();
    p.pack_str(3); p.pack_str_body("len", 3); p.pack_uint64(5);
    p.pack_str(6); p.pack_str_body("origin", 6); p.pack_str(3); p.pack_str_body("old", 3);
    p.pack_str(10); p.pack_str_body("page_count", 10); p.pack_uint64(1);
    p.pack_str(2); p.pack_str_body("id", 2); mp::pack_id(p, kGone);
    p.pack_str(10); p.pack_str_body("start_page", 10); p.pack_uint64(12);
  }
  auto rows = decode_catalog_v4(blob);
  ASSERT_TRUE(rows.has_value()) << rows.error().message();
  EXPECT_EQ(*rows, (std::vector<CatalogEntryV4>{{kLive, 9, 1, 200, false}, {kGone, 12, 1, 5, true}}));

  // A current (7-element) row is not a version-4 row.
  auto current = decode_catalog_v4(Bytes{0x91, 0x97, 0xc4, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                                         11, 12, 13, 14, 15, 16, 1, 1, 1, 0xc2, 0, 0});
  ASSERT_FALSE(current.has_value());
  EXPECT_EQ(current.error().kind(), ErrorKind::Serialization);
}

class MigrationTest : public testing::PagerFixture {};

TEST_F(MigrationTest, LiveRowsTakeTheirRecordsStatisticsAndDeletedRowsAreNotRead) {
  const Bytes record = *memory::encode_memory(testing::sample_memory(1650000000, 7));
  put_run(9, record);
  const std::vector<CatalogEntryV4> rows = {
      {kLive, 9, 1, static_cast<std::uint32_t>(record.size()), false},
      // Points past the end of the file: reading it would fail.
      {kGone, 500, 3, 100, true},
  };
  auto migrated = migrate_v4_catalog(*pager_, rows);
  ASSERT_TRUE(migrated.has_value()) << migrated.error().message();
  EXPECT_EQ(*migrated,
            (std::vector<CatalogEntry>{
                {kLive, 9, 1, static_cast<std::uint32_t>(record.size()), false, 1650000000, 7},
                {kGone, 500, 3, 100, true, 0, 0}}));
  EXPECT_EQ(file_->count(OpKind::Read), 1u);
}

TEST_F(MigrationTest, FirstUnreadableLiveRecordStopsTheMigration) {
  const Bytes record = *memory::encode_memory(testing::sample_memory(1, 1));
  put_run(9, record);
  put_run(10, Bytes{0x93, 0x01});  // not a memory record
  const auto len = static_cast<std::uint32_t>(record.size());
  const std::vector<CatalogEntryV4> rows = {
      {kLive, 9, 1, len, false}, {kGone, 10, 1, 2, false}, {Ulid{0, 9}, 600, 1, 10, false}};
  auto migrated = migrate_v4_catalog(*pager_, rows);
  ASSERT_FALSE(migrated.has_value());
  EXPECT_EQ(migrated.error().kind(), ErrorKind::Serialization);

  put_run(11, record);
  corrupt_page(11);
  auto damaged = migrate_v4_catalog(*pager_, {{kLive, 11, 1, len, false}});
  ASSERT_FALSE(damaged.has_value());
  EXPECT_EQ(damaged.error().kind(), ErrorKind::PageAuth);
}

TEST_F(MigrationTest, EmptyVersion4CatalogReadsNothing) {
  auto rows = load_catalog_v4(*pager_, 77, 0, 10);
  ASSERT_TRUE(rows.has_value());
  EXPECT_TRUE(rows->empty());
  EXPECT_EQ(file_->count(OpKind::Read), 0u);
}

}  // namespace
}  // namespace quarn::store
