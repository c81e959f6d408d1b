#include "store/jsonl.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "store/json_text.h"

namespace quarn::store::jsonl {
namespace {

using memory::Json;
using memory::JsonArray;
using memory::JsonObject;
using memory::Memory;

constexpr float kInf = std::numeric_limits<float>::infinity();

Memory fixture() {
  Memory m;
  m.id = *memory::Ulid::parse("01KC0000000000000000000000");
  m.memory_type = memory::MemoryType::Semantic;
  m.vector = {0.1f, -0.0f, 1e-45f, 3.4028235e38f};
  m.content = "say \"hi\"\n\x01 \xc3\xa9";
  m.metadata = {{"f", 2.0}, {"i", std::uint64_t{1}}, {"n", -3}, {"big", 1e22},
                {"l", JsonArray{Json(), true, JsonObject{}}}};
  m.session_id = "s";
  m.scope = memory::Scope::Shared;
  m.created_at = -5;
  m.accessed_at = 1767225600;
  m.access_count = 4294967295u;
  m.importance = 0.5f;
  m.ttl_secs = 60;
  return m;
}

std::string line_of(const Memory& m, bool deleted = false) {
  std::string out;
  auto written = append_memory(out, m, deleted);
  EXPECT_TRUE(written.has_value()) << written.error().message();
  return out;
}

// Memory's == compares floats by value, under which a NaN never equals itself.
void expect_same(const Memory& a, const Memory& b) {
  ASSERT_EQ(a.vector.size(), b.vector.size());
  for (std::size_t i = 0; i < a.vector.size(); ++i)
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a.vector[i]), std::bit_cast<std::uint32_t>(b.vector[i])) << i;
  EXPECT_EQ(std::bit_cast<std::uint32_t>(a.importance), std::bit_cast<std::uint32_t>(b.importance));
  Memory x = a, y = b;
  x.vector = y.vector = {};
  x.importance = y.importance = 0;
  EXPECT_EQ(x, y);
}

TEST(JsonlWrite, MemoryLineHasTheDictsFieldsInOrderAndExactNumbers) {
  EXPECT_EQ(line_of(fixture()),
            "{\"id\":\"01KC0000000000000000000000\",\"content\":\"say \\\"hi\\\"\\n\\u0001 \xc3\xa9\","
            "\"memory_type\":\"semantic\",\"vector\":[0.1,-0,1e-45,3.4028235e+38],\"agent_id\":\"default\","
            "\"session_id\":\"s\",\"scope\":\"shared\",\"created_at\":-5,\"accessed_at\":1767225600,"
            "\"access_count\":4294967295,\"importance\":0.5,\"ttl_secs\":60,"
            "\"metadata\":{\"big\":1e+22,\"f\":2.0,\"i\":1,\"l\":[null,true,{}],\"n\":-3}}\n");
  std::string header;
  append_header(header, {384, 2});
  EXPECT_EQ(header, "{\"format\":\"quarn-jsonl\",\"version\":1,\"dimensions\":384,\"memories\":2}\n");
}

TEST(JsonlWrite, NonFiniteFloatsBecomeStringsThatKeepTheirBits) {
  Memory m = fixture();
  m.vector = {kInf, -kInf, std::bit_cast<float>(kQuietNan), std::bit_cast<float>(0xffc00000u)};
  m.importance = std::bit_cast<float>(0x7f800001u);
  m.metadata = {{"x", std::numeric_limits<double>::quiet_NaN()}};
  const std::string line = line_of(m, true);
  EXPECT_NE(line.find("\"vector\":[\"Infinity\",\"-Infinity\",\"NaN\",\"NaN:ffc00000\"]"), std::string::npos);
  EXPECT_NE(line.find("\"importance\":\"NaN:7f800001\""), std::string::npos);
  EXPECT_TRUE(line.ends_with(",\"metadata\":{\"x\":null},\"deleted\":true}\n")) << line;
  auto back = parse_memory(std::string_view(line).substr(0, line.size() - 1), 4);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  EXPECT_TRUE(back->deleted);
  m.metadata = {{"x", Json()}};
  expect_same(back->memory, m);
}

TEST(JsonlWrite, RefusesWhatCouldNotBeReadBack) {
  const auto refused = [](Memory m) {
    std::string out = "kept";
    auto written = append_memory(out, m, false);
    EXPECT_EQ(out, "kept");
    return written ? std::string() : written.error().message();
  };
  Memory bad_text = fixture();
  bad_text.agent_id = "\xff";
  EXPECT_NE(refused(bad_text).find("its agent_id is not valid UTF-8"), std::string::npos);
  Memory bad_key = fixture();
  bad_key.metadata = {{"\xc0\x80", Json()}};
  EXPECT_NE(refused(bad_key).find("a metadata key is not valid UTF-8"), std::string::npos);
  Memory long_line = fixture();
  long_line.content.assign(kMaxLineBytes, 'x');
  EXPECT_NE(refused(long_line).find("longer than the limit"), std::string::npos);
  Memory many = fixture();
  many.metadata = {{"l", JsonArray(kMaxMetadataValues, Json())}};
  EXPECT_NE(refused(many).find("too many values"), std::string::npos);
}

TEST(JsonlRead, EveryWrittenMemoryReadsBackExactly) {
  std::vector<Memory> cases(4, fixture());
  cases[1].session_id.reset();
  cases[1].ttl_secs.reset();
  cases[1].metadata.clear();
  cases[2].vector = {std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::max(),
                     std::numeric_limits<float>::min(), 123456792.0f};
  cases[2].created_at = std::numeric_limits<std::int64_t>::min();
  cases[2].ttl_secs = std::numeric_limits<std::int64_t>::max();
  cases[3].metadata = {{"u", std::numeric_limits<std::uint64_t>::max()},
                       {"s", std::numeric_limits<std::int64_t>::min()},
                       {"d", 0.1}, {"e", -0.0}, {"z", 123456789012345680.0}};
  for (const Memory& m : cases) {
    const std::string line = line_of(m);
    auto back = parse_memory(std::string_view(line).substr(0, line.size() - 1), 4);
    ASSERT_TRUE(back.has_value()) << back.error().message();
    expect_same(back->memory, m);
    EXPECT_FALSE(back->deleted);
    EXPECT_EQ(line_of(back->memory), line);
  }
}

// A memory line with one member replaced (or added, or removed when `value` is empty).
std::string with(std::string_view name, std::string_view value) {
  std::string line = line_of(fixture());
  line.pop_back();
  const std::string key = "\"" + std::string(name) + "\":";
  const auto at = line.find(key);
  if (at == std::string::npos) {
    line.insert(line.size() - 1, "," + key + std::string(value));
    return line;
  }
  std::size_t end = at + key.size();
  int depth = 0;
  bool in_string = false;
  for (; end < line.size(); ++end) {
    const char c = line[end];
    if (in_string) {
      if (c == '\\') ++end;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if (c == ']' || c == '}') {
      if (depth-- == 0) break;
    } else if (c == ',' && depth == 0) {
      break;
    }
  }
  if (value.empty()) return line.erase(at - 1, end - at + 1);
  return line.replace(at + key.size(), end - at - key.size(), value);
}

TEST(JsonlRead, AcceptsAnyJsonSpellingOfTheSameValues) {
  struct Case {
    std::string line;
    void (*check)(const Memory&);
  };
  const std::vector<Case> cases = {
      {" \t{ \"content\" : \"\\u00e9\\ud83d\\ude00\\/\" , " + with("content", "").substr(1) + " \r",
       [](const Memory& m) { EXPECT_EQ(m.content, "\xc3\xa9\xf0\x9f\x98\x80/"); }},
      {with("vector", "[1E0, -2.5e-1, 1e-50, -1e-60]"),
       [](const Memory& m) { EXPECT_EQ(m.vector, (std::vector<float>{1.0f, -0.25f, 0.0f, -0.0f})); }},
      {with("memory_type", "\"WORKING\""),
       [](const Memory& m) { EXPECT_EQ(m.memory_type, memory::MemoryType::Working); }},
      {with("scope", "\"Private\""), [](const Memory& m) { EXPECT_EQ(m.scope, memory::Scope::Private); }},
      {with("id", "\"01kc0000000000000000000000\""),
       [](const Memory& m) { EXPECT_EQ(m.id.to_string(), "01KC0000000000000000000000"); }},
      {with("importance", "\"-Infinity\""), [](const Memory& m) { EXPECT_EQ(m.importance, -kInf); }},
      {with("metadata", "{\"b\":1,\"a\":-0,\"b\":18446744073709551616,\"c\":1e400,\"d\":-1e-400}"),
       [](const Memory& m) {
         EXPECT_EQ(m.metadata, (JsonObject{{"a", std::uint64_t{0}}, {"b", 18446744073709551616.0},
                                           {"c", Json()}, {"d", -0.0}}));
         EXPECT_TRUE(std::signbit(std::get<double>(m.metadata.at("d").value)));
       }},
  };
  for (const Case& c : cases) {
    auto entry = parse_memory(c.line, 4);
    ASSERT_TRUE(entry.has_value()) << c.line << "\n" << entry.error().message();
    c.check(entry->memory);
  }
}

TEST(JsonlRead, RefusesLinesThatAreNotMemoriesOfTheDatabase) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "a memory line must be a JSON object, not nothing"},
      {"[1]", "must be a JSON object, not an array"},
      {with("content", "\"a\" x"), "invalid JSON at byte"},
      {line_of(fixture()).substr(0, 40), "invalid JSON at byte 41: unterminated string"},
      {with("content", "\"a\x01\""), "control character in a string"},
      {with("content", "\"\xed\xa0\x80\""), "invalid UTF-8"},
      {with("content", "\"\\ud800x\""), "lone surrogate"},
      {with("content", "\"\\q\""), "invalid escape"},
      {with("content", "1"), "\"content\" must be a string, not a number"},
      {with("vector", "[1,2,3]"), "\"vector\" has 3 elements, the database has 4 dimensions"},
      {with("vector", "[1,2,3,4,5]"), "\"vector\" has more than 4 elements"},
      {with("vector", "[1,2,3,1e39]"), "\"vector[3]\" is beyond the range of a 32-bit float"},
      {with("vector", "[1,2,NaN,4]"), "\"vector[2]\" is not JSON: write NaN and the infinities as"},
      {with("importance", "-Infinity"), "\"importance\" is not JSON"},
      {with("vector", "[1,2,\"nan\",4]"), "\"vector[2]\" must be a number"},
      {with("vector", "[1,2,\"NaN:7f800000\",4]"), "\"vector[2]\" must be a number"},
      {with("vector", "[01,2,3,4]"), "expected ',' or ']'"},
      {with("vector", "{}"), "\"vector\" must be an array, not an object"},
      {with("created_at", "1.0"), "\"created_at\" must be an integer, not 1.0"},
      {with("created_at", "9223372036854775808"), "\"created_at\" is out of range"},
      {with("access_count", "-1"), "\"access_count\" is out of range (0 to 4294967295)"},
      {with("ttl_secs", "\"60\""), "\"ttl_secs\" must be an integer, not a string"},
      {with("id", "\"01KC000000000000000000000\""), "\"id\" is not a ULID: '01KC000000000000000000000'"},
      {with("id", "\"00000000000000000000000000\""), "\"id\" is the nil ULID"},
      {with("memory_type", "\"semantic \""), "unknown memory_type 'semantic '"},
      {with("scope", "\"public\""), "unknown scope 'public'"},
      {with("metadata", "[]"), "\"metadata\" must be an object, not an array"},
      {with("metadata", "{\"a\":tru}"), "invalid JSON"},
      {with("deleted", "1"), "\"deleted\" must be true or false, not a number"},
      {with("importance", ""), "\"importance\" is missing"},
      {with("extra", "1"), "unknown member \"extra\""},
      {with("id", "\"01KC0000000000000000000000\",\"id\":\"01KC0000000000000000000000\""),
       "\"id\" is given twice"},
  };
  for (const auto& [line, expected] : cases) {
    auto entry = parse_memory(line, 4);
    ASSERT_FALSE(entry.has_value()) << line;
    EXPECT_EQ(entry.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_NE(entry.error().text().find(expected), std::string::npos)
        << line << "\n" << entry.error().text();
  }
}

TEST(JsonlRead, MetadataNestsAsDeepAsARecordAllowsAndHoldsBoundedValues) {
  const auto nested = [](std::size_t levels) {
    return "{\"k\":" + std::string(levels, '[') + std::string(levels, ']') + "}";
  };
  // The metadata object is level 2, so its values may nest 1022 containers.
  auto deepest = parse_memory(with("metadata", nested(1022)), 4);
  ASSERT_TRUE(deepest.has_value()) << deepest.error().message();
  EXPECT_EQ(line_of(deepest->memory), with("metadata", nested(1022)) + "\n");
  auto deeper = parse_memory(with("metadata", nested(1023)), 4);
  ASSERT_FALSE(deeper.has_value());
  EXPECT_EQ(deeper.error().text(), "metadata nested too deeply");

  std::string many = "{\"l\":[0";
  for (std::size_t i = 1; i < kMaxMetadataValues; ++i) many += ",0";
  auto over = parse_memory(with("metadata", many + "]}"), 4);
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error().text(), "\"metadata\" holds more than 1048576 values");
  many.erase(many.size() - 2);  // the list and its values, one fewer
  EXPECT_TRUE(parse_memory(with("metadata", many + "]}"), 4).has_value());
}

TEST(JsonlRead, HeaderNamesTheFormatVersionAndSizes) {
  auto header = parse_header(" {\"memories\":0,\"dimensions\":384,\"format\":\"quarn-jsonl\",\"version\":1} ");
  ASSERT_TRUE(header.has_value()) << header.error().message();
  EXPECT_EQ(header->dimensions, 384u);
  EXPECT_EQ(header->memories, 0u);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"id,content", "not a quarn export: the first line is not a JSON object"},
      {"{\"format\":\"csv\",\"version\":1,\"dimensions\":4,\"memories\":0}", "not a quarn export"},
      {"{\"format\":\"quarn-jsonl\",\"version\":2,\"dimensions\":4,\"memories\":0}",
       "unsupported export version 2"},
      {"{\"format\":\"quarn-jsonl\",\"version\":1,\"memories\":0}", "the header has no \"dimensions\""},
      {"{\"format\":\"quarn-jsonl\",\"version\":1,\"dimensions\":4}", "the header has no \"memories\""},
      {"{\"format\":\"quarn-jsonl\",\"version\":1,\"dimensions\":-4,\"memories\":0}",
       "\"dimensions\" is out of range"},
      {"{\"format\":\"quarn-jsonl\",\"version\":1,\"dimensions\":4,\"memories\":0,\"x\":0}",
       "unknown member \"x\" in the header"},
  };
  for (const auto& [line, expected] : cases) {
    auto refused = parse_header(line);
    ASSERT_FALSE(refused.has_value()) << line;
    EXPECT_NE(refused.error().text().find(expected), std::string::npos) << refused.error().text();
  }
}

TEST(JsonText, BeyondLargestTellsOverflowFromUnderflow) {
  const std::vector<std::pair<std::string_view, bool>> cases = {
      {"1e39", true},      {"-1e39", true},     {"340282357000000000000000000000000000000", true},
      {"0.0001e43", true}, {"1e-50", false},    {"0.000000000000000000000000000000000000000000000001", false},
      {"12e-60", false},   {"1e999999999999999999999", true}, {"1e-999999999999999999999", false},
  };
  for (const auto& [number, large] : cases) EXPECT_EQ(json::beyond_largest(number), large) << number;
}

}  // namespace
}  // namespace quarn::store::jsonl
