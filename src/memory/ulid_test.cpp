#include "memory/ulid.h"

#include <chrono>

#include <gtest/gtest.h>

namespace quarn::memory {
namespace {

constexpr std::string_view kText = "01ARZ3NDEKTSV4RRFFQ69G5FAV";

TEST(UlidTest, TextRoundTripsAndKnownBitsLandWhereExpected) {
  const auto id = Ulid::parse(kText);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->to_string(), kText);
  // 48-bit time 0x01563E3AB5D3 in the high bits.
  EXPECT_EQ(id->hi >> 16, 0x01563E3AB5D3ULL);

  const auto max = Ulid::parse("7ZZZZZZZZZZZZZZZZZZZZZZZZZ");
  ASSERT_TRUE(max);
  EXPECT_EQ(max->hi, ~0ULL);
  EXPECT_EQ(max->lo, ~0ULL);
  EXPECT_EQ(Ulid::parse("00000000000000000000000000")->is_nil(), true);
}

TEST(UlidTest, ParsingAcceptsEitherCaseAndRefusesEverythingElse) {
  struct Case {
    std::string_view text;
    bool valid;
  };
  const Case cases[] = {
      {"01arz3ndektsv4rrffq69g5fav", true},
      {"01ARZ3ndektsv4RRFFQ69G5FAV", true},
      {"01ARZ3NDEKTSV4RRFFQ69G5FA", false},    // 25 characters
      {"01ARZ3NDEKTSV4RRFFQ69G5FAVX", false},  // 27
      {"", false},
      {"01ARZ3NDEKTSV4RRFFQ69G5FAI", false},
      {"01ARZ3NDEKTSV4RRFFQ69G5FAL", false},
      {"01ARZ3NDEKTSV4RRFFQ69G5FAO", false},
      {"01ARZ3NDEKTSV4RRFFQ69G5FAU", false},
      {"01ARZ3NDEKTSV4RRFFQ69G5FAu", false},
      {"01ARZ3NDEKTSV4RRFFQ69G5FA-", false},
      {"01ARZ3NDEKTSV4RRFFQ69G5FA\xc3", false},
      {std::string_view("01ARZ3NDEKTSV4RRFFQ69G5FA\0", 26), false},
  };
  for (const Case& c : cases) {
    const auto id = Ulid::parse(c.text);
    EXPECT_EQ(id.has_value(), c.valid) << c.text;
    if (id) {
      EXPECT_EQ(*id, *Ulid::parse(kText)) << c.text;
    }
  }
}

TEST(UlidTest, FirstCharacterKeepsOnlyItsLowThreeBits) {
  // 8 = 0b01000 aliases 0, Z = 31 = 0b11111 aliases 7.
  EXPECT_EQ(Ulid::parse("81ARZ3NDEKTSV4RRFFQ69G5FAV"), Ulid::parse(kText));
  EXPECT_EQ(Ulid::parse("ZZZZZZZZZZZZZZZZZZZZZZZZZZ"), Ulid::parse("7ZZZZZZZZZZZZZZZZZZZZZZZZZ"));
  EXPECT_EQ(Ulid::parse("81ARZ3NDEKTSV4RRFFQ69G5FAV")->to_string(), kText);
}

TEST(UlidTest, BytesAreBigEndian) {
  const Ulid id{0x0102030405060708ULL, 0x090A0B0C0D0E0F10ULL};
  const auto bytes = id.to_bytes();
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(bytes[i], i + 1);
  EXPECT_EQ(Ulid::from_bytes(bytes.data()), id);
  // Byte order equals text order equals numeric order.
  const Ulid later{0x0102030405060709ULL, 0};
  EXPECT_LT(id, later);
  EXPECT_LT(id.to_string(), later.to_string());
}

TEST(UlidTest, GenerateCarriesTheClockAndRandomLowBits) {
  const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const auto a = Ulid::generate();
  const auto b = Ulid::generate();
  const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  ASSERT_TRUE(a && b);
  const auto ms = static_cast<std::int64_t>(a->hi >> 16);
  EXPECT_GE(ms, before);
  EXPECT_LE(ms, after);
  EXPECT_NE(*a, *b);
  EXPECT_NE(a->lo, b->lo);
  EXPECT_EQ(Ulid::parse(a->to_string()), *a);
}

}  // namespace
}  // namespace quarn::memory
