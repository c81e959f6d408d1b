#include "store/packed_records.h"

#include <limits>
#include <map>

#include <gtest/gtest.h>

namespace quarn::store {
namespace {

Bytes record(std::size_t len, std::uint8_t seed) {
  Bytes r(len);
  for (std::size_t i = 0; i < len; ++i) r[i] = static_cast<std::uint8_t>(seed + i * 7);
  return r;
}

// Pages handed out from 10 on; staged plaintexts kept as a page cache would.
struct Pages {
  std::uint64_t next = 10;
  std::map<std::uint64_t, Bytes> staged;
  RecordPacker::Allocate allocate() {
    return [this](std::uint64_t n) -> Result<std::uint64_t> {
      const std::uint64_t first = next;
      next += n;
      return first;
    };
  }
  RecordPacker::Stage stage() {
    return [this](std::uint64_t page, ByteView payload) -> Result<void> {
      staged[page] = Bytes(payload.begin(), payload.end());
      return {};
    };
  }
  Result<Bytes> read(const PackedPlace& place) {
    return read_packed(place, [this](std::uint64_t page) -> Result<Bytes> {
      const auto it = staged.find(page);
      if (it == staged.end()) return fail(QuarnError::io("failed to fill whole buffer"));
      return it->second;
    });
  }
};

TEST(PackedRecordsTest, RecordsShareAndSpanPagesAndReadBack) {
  Pages pages;
  RecordPacker packer;
  const std::vector<std::size_t> sizes = {100, 2100, 2100, 2100, 20000, 5, kPageCapacity, 1};
  std::vector<std::pair<PackedPlace, Bytes>> placed;
  std::size_t total = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const Bytes r = record(sizes[i], static_cast<std::uint8_t>(i));
    const PackedPlace place = packer.add(r, pages.allocate(), pages.stage()).value();
    EXPECT_TRUE(check_place(place).has_value()) << i;
    placed.emplace_back(place, r);
    total += sizes[i];
  }
  for (const auto& [place, bytes] : placed) EXPECT_EQ(pages.read(place).value(), bytes);
  EXPECT_EQ(placed[1].first.start_page, placed[0].first.start_page);  // several to a page
  EXPECT_EQ(placed[1].first.offset, 100u);
  // Packed densely: no more pages than the bytes need.
  EXPECT_EQ(pages.next - 10, (total + kPageCapacity - 1) / kPageCapacity);

  // After close() (a flush wrote the open page) the next record starts a page of its own, and so
  // does one whose next pages went elsewhere.
  packer.close();
  const PackedPlace after = packer.add(record(10, 1), pages.allocate(), pages.stage()).value();
  EXPECT_EQ(after.offset, 0u);
  EXPECT_EQ(after.start_page, pages.next - 1);
  pages.next += 3;  // another allocation in between
  const Bytes spanning = record(kPageCapacity, 2);
  const PackedPlace moved = packer.add(spanning, pages.allocate(), pages.stage()).value();
  EXPECT_EQ(moved.offset, 0u);
  EXPECT_EQ(pages.read(moved).value(), spanning);
  EXPECT_EQ(pages.read(after).value(), record(10, 1));
}

TEST(PackedRecordsTest, PlacesThatNoPackerMakesAreRefused) {
  const std::vector<std::pair<const char*, PackedPlace>> cases = {
      {"offset past the page", {5, static_cast<std::uint32_t>(kPageCapacity), 2, 10}},
      {"too few pages", {5, 8000, 1, 200}},
      {"too many pages", {5, 0, 2, 10}},
      {"page zero", {0, 0, 1, 10}},
      {"pages past the largest page number", {std::numeric_limits<std::uint64_t>::max(), 0, 1, 1}},
      {"an empty record somewhere", {5, 0, 1, 0}},
  };
  for (const auto& [label, place] : cases) {
    const auto checked = check_place(place);
    ASSERT_FALSE(checked.has_value()) << label;
    EXPECT_EQ(checked.error().kind(), ErrorKind::Serialization) << label;
    Pages pages;
    EXPECT_FALSE(pages.read(place).has_value()) << label;
  }
  EXPECT_TRUE(check_place(PackedPlace{}).has_value());
}

}  // namespace
}  // namespace quarn::store
