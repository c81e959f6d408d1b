#include "store/catalog.h"

#include <gtest/gtest.h>

#include <string>

#include "memory/msgpack_io.h"
#include "store/pager_fixture.h"

namespace quarn::store {
namespace {

using pager::testing::OpKind;

const Ulid kId{0x0102030405060708ULL, 0x090a0b0c0d0e0f10ULL};

Bytes id_bytes() {
  return {0xc4, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Result<std::vector<CatalogEntry>> decode(const Bytes& bytes) { return decode_catalog(bytes); }

TEST(CatalogCodec, WritesRowsAsSevenElementArraysInShortestForms) {
  const std::vector<CatalogEntry> catalog = {
      {kId, 9, 1, 200, false, -1, 70000},
      {kId, 4294967296ULL, 300, 0, true, 1700000000, 4294967295u},
      {kId, 127, 65535, 65536, false, -200, 0},
      {kId, 128, 255, 256, false, -33, 128},
  };
  const Bytes expected = concat({
      {0x94},
      {0x97}, id_bytes(), {0x09, 0x01, 0xcc, 0xc8, 0xc2, 0xff, 0xce, 0x00, 0x01, 0x11, 0x70},
      {0x97}, id_bytes(),
      {0xcf, 0, 0, 0, 1, 0, 0, 0, 0, 0xcd, 0x01, 0x2c, 0x00, 0xc3, 0xce, 0x65, 0x53, 0xf1, 0x00,
       0xce, 0xff, 0xff, 0xff, 0xff},
      {0x97}, id_bytes(), {0x7f, 0xcd, 0xff, 0xff, 0xce, 0x00, 0x01, 0x00, 0x00, 0xc2, 0xd1, 0xff, 0x38, 0x00},
      {0x97}, id_bytes(), {0xcc, 0x80, 0xcc, 0xff, 0xcd, 0x01, 0x00, 0xc2, 0xd0, 0xdf, 0xcc, 0x80},
  });
  EXPECT_EQ(encode_catalog(catalog), expected);
  auto back = decode(expected);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  EXPECT_EQ(*back, catalog);
}

TEST(CatalogCodec, ArrayHeaderTakesTheShortestFormForTheRowCount) {
  EXPECT_EQ(encode_catalog({}), Bytes{0x90});
  const Bytes sixteen = encode_catalog(std::vector<CatalogEntry>(16));
  EXPECT_EQ(Bytes(sixteen.begin(), sixteen.begin() + 4), (Bytes{0xdc, 0x00, 0x10, 0x97}));
}

// A row as a map: fields shuffled, one unknown key with a nested value, integers in wide forms.
Bytes map_row(bool with_extra, bool repeat_len, bool drop_deleted) {
  Bytes out;
  mp::ByteSink sink{&out};
  mp::Packer p(sink);
  p.pack_array(1);
  p.pack_map(7 + (with_extra ? 4 : 0) + (repeat_len ? 1 : 0) - (drop_deleted ? 1 : 0));
  p.pack_str(12); p.pack_str_body("access_count", 12); p.pack_uint64(3);
  if (with_extra) {
    p.pack_str(5); p.pack_str_body("extra", 5); p.pack_array(2); p.pack_nil(); p.pack_map(0);
    // Keys of other types name no field either.
    p.pack_int64(-1); p.pack_true();
    p.pack_bin(3); p.pack_bin_body("len", 3); p.pack_uint64(9);
    p.pack_ext(1, 2); p.pack_ext_body("", 1); p.pack_nil();
  }
  p.pack_str(3); p.pack_str_body("len", 3);
  out.insert(out.end(), {0xcf, 0, 0, 0, 0, 0, 0, 0, 200});
  if (!drop_deleted) { p.pack_str(7); p.pack_str_body("deleted", 7); p.pack_true(); }
  p.pack_str(11); p.pack_str_body("accessed_at", 11);
  out.insert(out.end(), {0xd3, 0, 0, 0, 0, 0, 0, 0, 5});  // int 64 holding 5
  p.pack_str(2); p.pack_str_body("id", 2); mp::pack_id(p, kId);
  p.pack_str(10); p.pack_str_body("page_count", 10); p.pack_uint64(2);
  if (repeat_len) { p.pack_str(3); p.pack_str_body("len", 3); p.pack_uint64(1); }
  p.pack_str(10); p.pack_str_body("start_page", 10); p.pack_uint64(77);
  return out;
}

TEST(CatalogCodec, MapRowsInAnyOrderWithUnknownKeysLoadLikePositionalRows) {
  auto rows = decode(map_row(true, false, false));
  ASSERT_TRUE(rows.has_value()) << rows.error().message();
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*rows)[0], (CatalogEntry{kId, 77, 2, 200, true, 5, 3}));
}

TEST(CatalogCodec, MalformedBlobsAreSerializationErrors) {
  const Bytes row_tail = {0x09, 0x01, 0x01, 0xc2, 0x00};  // start, pages, len, deleted, accessed
  const struct {
    const char* name;
    Bytes blob;
  } cases[] = {
      {"six elements", concat({{0x91, 0x96}, id_bytes(), row_tail})},
      {"eight elements", concat({{0x91, 0x98}, id_bytes(), row_tail, {0x00, 0x00}})},
      {"15-byte id", concat({{0x91, 0x97, 0xc4, 0x0f}, Bytes(15, 7), row_tail, {0x00}})},
      {"17-byte id", concat({{0x91, 0x97, 0xc4, 0x11}, Bytes(17, 7), row_tail, {0x00}})},
      {"id as text", concat({{0x91, 0x97, 0xa2, 'i', 'd'}, row_tail, {0x00}})},
      {"page_count above u32", concat({{0x91, 0x97}, id_bytes(),
                                       {0x09, 0xcf, 0, 0, 0, 1, 0, 0, 0, 0, 0x01, 0xc2, 0x00, 0x00}})},
      {"negative access_count", concat({{0x91, 0x97}, id_bytes(), row_tail, {0xff}})},
      {"deleted as integer", concat({{0x91, 0x97}, id_bytes(), {0x09, 0x01, 0x01, 0x00, 0x00, 0x00}})},
      {"top level is a map", Bytes{0x80}},
      {"truncated", concat({{0x91, 0x97}, id_bytes(), {0x09}})},
      {"repeated field", map_row(false, true, false)},
      {"missing field", map_row(false, false, true)},
      {"four billion rows in 20 bytes", concat({{0xdd, 0xff, 0xff, 0xff, 0xff}, Bytes(15, 0x90)})},
  };
  for (const auto& c : cases) {
    auto rows = decode(c.blob);
    ASSERT_FALSE(rows.has_value()) << c.name;
    EXPECT_EQ(rows.error().kind(), ErrorKind::Serialization) << c.name;
    EXPECT_FALSE(rows.error().text().empty()) << c.name;
  }
}

TEST(IdIndex, LaterSlotWinsForARepeatedId) {
  const Ulid other{0, 1};
  const std::vector<CatalogEntry> catalog = {{kId, 1}, {other, 2, 0, 0, true}, {kId, 3}};
  const IdIndex index = build_id_index(catalog);
  EXPECT_EQ(index.size(), 2u);
  EXPECT_EQ(index.at(kId), 2u);
  EXPECT_EQ(index.at(other), 1u);  // deleted rows are indexed too
}

TEST(AccessBump, StampsTimeAndSaturatesTheCount) {
  CatalogEntry e{.id = {}, .accessed_at = 5, .access_count = 4294967294u};
  bump_access(e, 100);
  EXPECT_EQ(e.accessed_at, 100);
  EXPECT_EQ(e.access_count, 4294967295u);
  bump_access(e, -3);
  EXPECT_EQ(e.accessed_at, -3);
  EXPECT_EQ(e.access_count, 4294967295u);
}

class LoadCatalogTest : public testing::PagerFixture {};

TEST_F(LoadCatalogTest, EmptyCatalogReadsNoPage) {
  auto rows = load_catalog(*pager_, 12345, 0, 999);
  ASSERT_TRUE(rows.has_value());
  EXPECT_TRUE(rows->empty());
  EXPECT_EQ(file_->count(OpKind::Read), 0u);
  EXPECT_EQ(pager_->cache().size(), 0u);
}

TEST_F(LoadCatalogTest, LoadsAMultiPageCatalogAndReportsDamagedPages) {
  std::vector<CatalogEntry> catalog(400);  // about 12 KB: two pages
  for (std::size_t i = 0; i < catalog.size(); ++i) {
    catalog[i] = {Ulid{i, i * 3}, 1000 + i, 1, static_cast<std::uint32_t>(i), i % 3 == 0,
                  -static_cast<std::int64_t>(i), static_cast<std::uint32_t>(i * i)};
  }
  const Bytes blob = encode_catalog(catalog);
  const std::uint64_t pages = put_run(20, blob);
  ASSERT_EQ(pages, 2u);
  auto rows = load_catalog(*pager_, 20, pages, blob.size());
  ASSERT_TRUE(rows.has_value()) << rows.error().message();
  EXPECT_EQ(*rows, catalog);

  // The same blob elsewhere with its second page damaged on the file.
  put_run(30, blob);
  corrupt_page(31);
  auto damaged = load_catalog(*pager_, 30, pages, blob.size());
  ASSERT_FALSE(damaged.has_value());
  EXPECT_EQ(damaged.error().kind(), ErrorKind::PageAuth);
  EXPECT_EQ(damaged.error().a(), 31u);
}

}  // namespace
}  // namespace quarn::store
