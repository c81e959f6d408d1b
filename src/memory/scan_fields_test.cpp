#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "memory/memory.h"

namespace quarn::memory {
namespace {

Memory record(std::vector<float> vector) {
  Memory m = Memory::create("some content", MemoryType::Procedural, std::move(vector)).value();
  m.id = *Ulid::parse("01ARZ3NDEKTSV4RRFFQ69G5FAV");
  m.created_at = 1700000000;
  m.accessed_at = 1700000100;
  return m;
}

// Every metadata kind, nested, and the optional fields present.
Memory rich_record() {
  // Twenty values: the vector is read six at a time where the machine allows, then one by one.
  std::vector<float> vector(20);
  for (std::size_t i = 0; i < vector.size(); ++i) vector[i] = 0.25f * static_cast<float>(i) - 1.5f;
  Memory m = record(vector);
  m.metadata.emplace("a", Json(JsonArray{Json(1.5), Json(std::string("é")), Json()}));
  m.metadata.emplace("b", Json(true));
  m.metadata.emplace("i", Json(std::int64_t{-70000}));
  m.metadata.emplace("o", Json(JsonObject{{"k", Json(std::uint64_t{1} << 40)}}));
  m.session_id = "session";
  m.ttl_secs = -5;
  m.scope = Scope::Shared;
  m.agent_id = "agent ü";
  m.importance = 0.75f;
  m.access_count = 70000;
  return m;
}

// When the scan reader takes `bytes`, the full decoder does too, with the same fields.
void expect_agrees(ByteView bytes, std::size_t dims, const std::string& label) {
  std::vector<float> vector(dims, -7.0f);
  ScanFields f;
  if (!read_scan_fields(bytes, vector, f)) return;
  const auto m = decode_memory(bytes);
  ASSERT_TRUE(m.has_value()) << label << ": taken by the scan reader, refused by the decoder";
  EXPECT_EQ(m->id, f.id) << label;
  EXPECT_EQ(m->memory_type, f.memory_type) << label;
  EXPECT_EQ(m->scope, f.scope) << label;
  EXPECT_EQ(m->agent_id, f.agent_id) << label;
  EXPECT_EQ(m->created_at, f.created_at) << label;
  EXPECT_EQ(m->ttl_secs, f.ttl_secs) << label;
  EXPECT_EQ(std::bit_cast<std::uint32_t>(m->importance), std::bit_cast<std::uint32_t>(f.importance))
      << label;
  ASSERT_EQ(m->vector.size(), dims) << label;
  EXPECT_EQ(std::memcmp(m->vector.data(), vector.data(), dims * sizeof(float)), 0) << label;
}

TEST(ScanFieldsTest, StoredRecordsAreReadInFull) {
  Memory plain = record({1.0f});
  Memory negative = record({0.0f, -0.0f});
  negative.created_at = std::numeric_limits<std::int64_t>::min();
  negative.ttl_secs = std::numeric_limits<std::int64_t>::max();
  Memory wide = record(std::vector<float>(384, 0.125f));
  wide.content = std::string(70000, 'x');  // str 32
  for (const Memory& m : {plain, negative, wide, rich_record()}) {
    const Bytes bytes = encode_memory(m).value();
    std::vector<float> vector(m.vector.size());
    ScanFields f;
    ASSERT_TRUE(read_scan_fields(bytes, vector, f));
    EXPECT_EQ(vector, m.vector);
    EXPECT_EQ(f.agent_id, m.agent_id);
    EXPECT_EQ(f.ttl_secs, m.ttl_secs);
    expect_agrees(bytes, m.vector.size(), "stored form");
  }
}

// Records the full decoder reads but that are not in the form this reader takes.
TEST(ScanFieldsTest, OtherFormsAreLeftToTheFullDecoder) {
  const Bytes stored = encode_memory(record({0.5f, 2.0f})).value();
  Bytes int_element = stored;  // the first vector element 0.5 (ca 3f 00 00 00) as the integer 1
  const std::uint8_t half[] = {0xca, 0x3f, 0x00, 0x00, 0x00};
  const auto at = std::search(int_element.begin(), int_element.end(), std::begin(half),
                              std::end(half)) - int_element.begin();
  ASSERT_LT(static_cast<std::size_t>(at), int_element.size());
  int_element.erase(int_element.begin() + at, int_element.begin() + at + 5);
  int_element.insert(int_element.begin() + at, 0x01);
  Memory nan = record({std::numeric_limits<float>::quiet_NaN(), 1.0f});
  Memory infinite = record({1.0f, 2.0f});
  infinite.importance = std::numeric_limits<float>::infinity();
  Memory deep = record({1.0f, 2.0f});
  Json value(std::int64_t{1});
  for (int i = 0; i < 40; ++i) value = Json(JsonArray{value});
  deep.metadata.emplace("deep", value);
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"an integer element", int_element},
      {"a NaN element", encode_memory(nan).value()},
      {"an infinite importance", encode_memory(infinite).value()},
      {"metadata 42 levels deep", encode_memory(deep).value()},
  };
  for (const auto& [label, bytes] : cases) {
    ASSERT_TRUE(decode_memory(bytes).has_value()) << label;
    std::vector<float> vector(2);
    ScanFields f;
    EXPECT_FALSE(read_scan_fields(bytes, vector, f)) << label;
  }
  std::vector<float> three(3);
  ScanFields f;
  EXPECT_FALSE(read_scan_fields(stored, three, f)) << "another length than asked for";
}

// The property the scan relies on, over every one-byte change and every truncation of a record
// that uses each field form: what this reader takes, the full decoder takes alike.
TEST(ScanFieldsTest, NeverTakesWhatTheFullDecoderRefuses) {
  const Bytes good = encode_memory(rich_record()).value();
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (int v = 0; v < 256; ++v) {
      Bytes bad = good;
      bad[i] = static_cast<std::uint8_t>(v);
      expect_agrees(bad, 20, "byte " + std::to_string(i) + " = " + std::to_string(v));
      if (::testing::Test::HasFailure()) return;
    }
    expect_agrees(ByteView(good.data(), i), 20, "cut at " + std::to_string(i));
  }
}

}  // namespace
}  // namespace quarn::memory
