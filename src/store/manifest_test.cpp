#include "store/manifest.h"

#include <gtest/gtest.h>

#include <limits>

#include "memory/msgpack_io.h"
#include "store/pager_fixture.h"

namespace quarn::store {
namespace {

using pager::testing::OpKind;

TEST(ManifestCodec, WritesNineElementRowsInShortestForms) {
  const std::vector<Snapshot> rows = {
      {1, 1700000000, 9, 1, 40, 0, 0, 0, 1},
      {300, -1, 70000, 2, 9000, 12, 3, 20000, 0},
  };
  const Bytes expected = {
      0x92,
      0x99, 0x01, 0xce, 0x65, 0x53, 0xf1, 0x00, 0x09, 0x01, 0x28, 0x00, 0x00, 0x00, 0x01,
      0x99, 0xcd, 0x01, 0x2c, 0xff, 0xce, 0x00, 0x01, 0x11, 0x70, 0x02, 0xcd, 0x23, 0x28, 0x0c,
      0x03, 0xcd, 0x4e, 0x20, 0x00,
  };
  EXPECT_EQ(encode_manifest(rows), expected);
  auto back = decode_manifest(expected);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  EXPECT_EQ(*back, rows);
}

TEST(ManifestCodec, LargestRowTakesEightyTwoBytes) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const Snapshot widest{kMax, std::numeric_limits<std::int64_t>::min(), kMax, kMax, kMax,
                        kMax, kMax, kMax, kMax};
  EXPECT_EQ(encode_manifest({widest}).size(), 1 + kMaxSnapshotRowBytes);
  auto back = decode_manifest(encode_manifest({widest}));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->at(0), widest);
}

// Version 8: a tree row carries a tenth element, the form; only that version reads it.
TEST(ManifestCodec, TreeRowsCarryTheirFormAndOnlyVersionEightReadsThem) {
  Snapshot tree{2, 1700000000, 40, 2, 1000, 0, 0, 0, 999};
  tree.catalog_tree = true;
  const std::vector<Snapshot> rows = {{1, 1700000000, 9, 1, 40, 0, 0, 0, 1}, tree};
  const Bytes bytes = encode_manifest(rows);
  const Bytes tail = {0x9a, 0x02, 0xce, 0x65, 0x53, 0xf1, 0x00, 0x28, 0x02, 0xcd, 0x03, 0xe8,
                      0x00, 0x00, 0x00, 0xcd, 0x03, 0xe7, 0x08};
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_EQ(Bytes(bytes.end() - static_cast<std::ptrdiff_t>(tail.size()), bytes.end()), tail);
  EXPECT_EQ(decode_manifest(bytes, true).value(), rows);
  EXPECT_EQ(decode_manifest(bytes).error().text(),
            "invalid length 10, expected struct Snapshot of 9 elements");

  Snapshot widest{~0ull, std::numeric_limits<std::int64_t>::min(), ~0ull, ~0ull, ~0ull,
                  ~0ull, ~0ull, ~0ull, ~0ull};
  widest.catalog_tree = true;
  EXPECT_EQ(encode_manifest({widest}).size(), 1 + kMaxTreeSnapshotRowBytes);

  Bytes unknown = bytes;
  unknown.back() = 0x09;
  EXPECT_EQ(decode_manifest(unknown, true).error().text(), "unknown catalog form 9");
}

TEST(ManifestCodec, AcceptsMapRowsAndRefusesMisshapenOnes) {
  const char* names[] = {"memory_count", "index_len", "txn_id", "created_at", "catalog_start",
                         "catalog_pages", "catalog_len", "index_start", "index_pages"};
  Bytes blob;
  {
    mp::ByteSink sink{&blob};
    mp::Packer p(sink);
    p.pack_array(1);
    p.pack_map(12);
    p.pack_uint64(1);  // keys of other types name no field
    p.pack_uint64(99);
    p.pack_bin(6);
    p.pack_bin_body("txn_id", 6);
    p.pack_uint64(98);
    std::uint64_t value = 1;
    for (const char* name : names) {
      const std::string key(name);
      p.pack_str(static_cast<std::uint32_t>(key.size()));
      p.pack_str_body(key.data(), static_cast<std::uint32_t>(key.size()));
      p.pack_uint64(value++);
    }
    p.pack_str(4);
    p.pack_str_body("note", 4);
    p.pack_str(2);
    p.pack_str_body("hi", 2);
  }
  auto rows = decode_manifest(blob);
  ASSERT_TRUE(rows.has_value()) << rows.error().message();
  EXPECT_EQ(rows->at(0), (Snapshot{3, 4, 5, 6, 7, 8, 9, 2, 1}));

  for (const Bytes& bad : {Bytes{0x91, 0x98, 1, 2, 3, 4, 5, 6, 7, 8},
                           Bytes{0x91, 0x9a, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                           Bytes{0x91, 0x99, 0xff, 2, 3, 4, 5, 6, 7, 8, 9},  // negative txn_id
                           Bytes{0xdd, 0xff, 0xff, 0xff, 0xff, 0x90}}) {
    auto r = decode_manifest(bad);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  }
}

TEST(NextManifest, PrunesOldestRowsWhileAtOrAboveTheLimitThenAppends) {
  const auto rows = [](std::initializer_list<std::uint64_t> ids) {
    std::vector<Snapshot> out;
    for (std::uint64_t id : ids) out.push_back({.txn_id = id});
    return out;
  };
  const struct {
    std::vector<Snapshot> current;
    std::uint64_t max;
    std::vector<Snapshot> expected;
  } cases[] = {
      {rows({}), 0, rows({9})},
      {rows({1, 2, 3}), 0, rows({1, 2, 3, 9})},
      {rows({1, 2, 3}), 1, rows({9})},
      {rows({1, 2, 3}), 3, rows({2, 3, 9})},
      {rows({1, 2, 3}), 4, rows({1, 2, 3, 9})},
      {rows({1, 2, 3, 4, 5}), 2, rows({5, 9})},
      {rows({}), 1, rows({9})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(next_manifest(c.current, c.max, {.txn_id = 9}), c.expected) << c.max;
  }
}

class LoadManifestTest : public testing::PagerFixture {};

TEST_F(LoadManifestTest, ReadsTheRunOrNothing) {
  auto none = load_manifest(*pager_, 50, 0, 77);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
  EXPECT_EQ(file_->count(OpKind::Read), 0u);

  const std::vector<Snapshot> rows = {{1, 10, 9, 1, 40, 0, 0, 0, 1}, {2, 20, 11, 1, 60, 0, 0, 0, 2}};
  const Bytes blob = encode_manifest(rows);
  put_run(5, blob);
  auto loaded = load_manifest(*pager_, 5, 1, blob.size());
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(*loaded, rows);
}

}  // namespace
}  // namespace quarn::store
