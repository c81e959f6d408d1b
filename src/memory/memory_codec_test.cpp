#include <algorithm>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "memory/memory.h"
#include "memory/msgpack_io.h"

namespace quarn::memory {
namespace {

constexpr std::string_view kIdText = "01ARZ3NDEKTSV4RRFFQ69G5FAV";
constexpr std::int64_t kTime = 1700000000;  // 0x6553F100

// "9d ba" -> {0x9d, 0xba}
Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

Bytes ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

bool contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// Replaces the first occurrence of `from` by `to`.
Bytes replaced(Bytes bytes, const Bytes& from, const Bytes& to) {
  const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  EXPECT_NE(at, bytes.end());
  const auto offset = at - bytes.begin();
  bytes.erase(at, at + static_cast<std::ptrdiff_t>(from.size()));
  bytes.insert(bytes.begin() + offset, to.begin(), to.end());
  return bytes;
}

// Memory::create("x", Semantic, {0.5}) with the id and clock pinned.
Memory small_record() {
  Memory m = Memory::create("x", MemoryType::Semantic, {0.5f}).value();
  m.id = *Ulid::parse(kIdText);
  m.created_at = kTime;
  m.accessed_at = kTime;
  return m;
}

Bytes encode(const Memory& m) { return encode_memory(m).value(); }

void expect_serialization_error(ByteView bytes, std::string_view label) {
  const auto decoded = decode_memory(bytes);
  ASSERT_FALSE(decoded.has_value()) << label;
  EXPECT_EQ(decoded.error().kind(), ErrorKind::Serialization) << label;
  EXPECT_FALSE(decoded.error().text().empty()) << label;
}

TEST(MemoryCodecTest, SmallRecordEncodesToTheExactBytes) {
  const Bytes expected = concat({
      hex("9d"),                              // array of 13
      hex("ba"), ascii(kIdText),              // id: str of 26
      hex("a8"), ascii("Semantic"),           // memory_type
      hex("91 ca 3f 00 00 00"),               // vector [0.5f]
      hex("a1"), ascii("x"),                  // content
      hex("80"),                              // metadata {}
      hex("a7"), ascii("default"),            // agent_id
      hex("c0"),                              // session_id nil
      hex("a7"), ascii("Private"),            // scope
      hex("ce 65 53 f1 00"),                  // created_at, uint32
      hex("ce 65 53 f1 00"),                  // accessed_at
      hex("00"),                              // access_count
      hex("ca 3f 00 00 00"),                  // importance 0.5f
      hex("c0"),                              // ttl_secs nil
  });
  const Bytes bytes = encode(small_record());
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(decode_memory(bytes).value(), small_record());
}

TEST(MemoryCodecTest, NumbersAndHeadersTakeTheirShortestForms) {
  // created_at, with accessed_at 0 and no ttl: the record ends "<created_at> 00 00 ca3f000000 c0".
  struct IntCase {
    std::int64_t value;
    std::string_view bytes;
  };
  const IntCase ints[] = {
      {0, "00"}, {127, "7f"}, {128, "cc 80"}, {255, "cc ff"}, {256, "cd 01 00"},
      {65536, "ce 00 01 00 00"}, {4294967296, "cf 00 00 00 01 00 00 00 00"},
      {std::numeric_limits<std::int64_t>::max(), "cf 7f ff ff ff ff ff ff ff"},
      {-1, "ff"}, {-32, "e0"}, {-33, "d0 df"}, {-129, "d1 ff 7f"}, {-32769, "d2 ff ff 7f ff"},
      {std::numeric_limits<std::int64_t>::min(), "d3 80 00 00 00 00 00 00 00"},
  };
  for (const IntCase& c : ints) {
    Memory m = small_record();
    m.created_at = c.value;
    m.accessed_at = 0;
    const Bytes bytes = encode(m);
    const Bytes tail = concat({hex(c.bytes), hex("00 00 ca 3f 00 00 00 c0")});
    ASSERT_GE(bytes.size(), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.end() - static_cast<std::ptrdiff_t>(tail.size())))
        << c.value;
    EXPECT_EQ(decode_memory(bytes).value().created_at, c.value);

    m.ttl_secs = c.value;  // ttl_secs uses the same forms
    const Bytes with_ttl = encode(m);
    const Bytes ttl_tail = concat({hex("ca 3f 00 00 00"), hex(c.bytes)});
    EXPECT_TRUE(std::equal(ttl_tail.begin(), ttl_tail.end(),
                           with_ttl.end() - static_cast<std::ptrdiff_t>(ttl_tail.size())))
        << c.value;
    EXPECT_EQ(decode_memory(with_ttl).value().ttl_secs, c.value);
  }

  Memory m = small_record();
  m.access_count = 300;
  m.importance = 1.0f;  // float32 even when integral
  EXPECT_TRUE(contains(encode(m), hex("cd 01 2c ca 3f 80 00 00 c0")));

  // Content follows 9d, the id, the type and the one-float vector: offset 43.
  struct HeaderCase {
    std::size_t length;
    std::string_view header;
  };
  const HeaderCase strings[] = {{31, "bf"}, {32, "d9 20"}, {255, "d9 ff"}, {256, "da 01 00"},
                                {65535, "da ff ff"}, {65536, "db 00 01 00 00"}};
  for (const HeaderCase& c : strings) {
    Memory s = small_record();
    s.content.assign(c.length, 'c');
    const Bytes bytes = encode(s);
    const Bytes header = hex(c.header);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), bytes.begin() + 43)) << c.length;
  }
  const HeaderCase arrays[] = {{15, "9f"}, {16, "dc 00 10"}, {65536, "dd 00 01 00 00"}};
  for (const HeaderCase& c : arrays) {
    Memory v = small_record();
    v.vector.assign(c.length, 1.0f);
    const Bytes bytes = encode(v);
    const Bytes header = concat({hex(c.header), hex("ca 3f 80 00 00")});
    EXPECT_TRUE(std::equal(header.begin(), header.end(), bytes.begin() + 37)) << c.length;
    EXPECT_EQ(decode_memory(bytes).value().vector.size(), c.length);
  }
}

TEST(MemoryCodecTest, MetadataKeepsItsKindsAndAscendingKeys) {
  Memory m = small_record();
  m.metadata.emplace("b", Json(std::int64_t{-1}));
  m.metadata.emplace("a", Json(std::uint64_t{1}));
  m.metadata.emplace("c", Json(1.0));
  const Bytes bytes = encode(m);
  // Signed -1, unsigned 1, float64 1.0 (never shortened to an integer), keys a, b, c.
  EXPECT_TRUE(contains(bytes, concat({hex("83 a1"), ascii("a"), hex("01 a1"), ascii("b"),
                                      hex("ff a1"), ascii("c"), hex("cb 3f f0 00 00 00 00 00 00")})));
  const Memory back = decode_memory(bytes).value();
  EXPECT_EQ(back, m);
  EXPECT_EQ(back.metadata.at("a").value.index(), 2u);  // unsigned
  EXPECT_EQ(back.metadata.at("b").value.index(), 3u);  // signed
  EXPECT_EQ(back.metadata.at("c").value.index(), 4u);  // double

  // Every kind, nested, and the other optional fields set.
  JsonObject inner;
  inner.emplace("y", Json(std::string("t")));
  inner.emplace("x", Json(JsonArray{Json(), Json(false)}));
  m.metadata.emplace("d", Json(std::move(inner)));
  m.metadata.emplace("e", Json(JsonArray{}));
  m.metadata.emplace("big", Json(std::numeric_limits<std::uint64_t>::max()));
  m.metadata.emplace("min", Json(std::numeric_limits<std::int64_t>::min()));
  m.metadata.emplace("\xc3\xa9", Json(true));  // sorts after every ASCII key
  m.metadata.emplace("inf", Json(std::numeric_limits<double>::infinity()));
  m.session_id = "01BX5ZZKBKACTAV9WEVGEMMVRZ";
  m.agent_id = "agent-7";
  m.scope = Scope::Shared;
  m.memory_type = MemoryType::Working;
  m.access_count = std::numeric_limits<std::uint32_t>::max();
  m.ttl_secs = 60;
  m.vector = {0.1f, -2.5f, 0.0f, -0.0f, 3e38f};
  const Memory full = decode_memory(encode(m)).value();
  EXPECT_EQ(full, m);
  EXPECT_EQ(std::signbit(full.vector[3]), true);
  std::vector<std::string> keys;
  for (const auto& [key, value] : full.metadata) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "b", "big", "c", "d", "e", "inf", "min", "\xc3\xa9"}));
}

// Packs a record in map form with the given fields; values come from `m`.
Bytes map_form(const Memory& m, std::vector<std::string_view> keys) {
  Bytes out;
  mp::ByteSink sink{&out};
  mp::Packer p(sink);
  p.pack_map(static_cast<std::uint32_t>(keys.size()));
  const std::string id = m.id.to_string();
  for (std::string_view key : keys) {
    // "#int", "#bin", "#ext", "#nil", "#array": a key of that type, which names no field.
    if (key == "#int") p.pack_uint64(3);
    else if (key == "#bin") mp::pack_id(p, m.id);
    else if (key == "#ext") p.pack_ext(1, 5), p.pack_ext_body("", 1);
    else if (key == "#nil") p.pack_nil();
    else if (key == "#array") p.pack_array(1), p.pack_str(2), p.pack_str_body("id", 2);
    else {
      p.pack_str(static_cast<std::uint32_t>(key.size()));
      p.pack_str_body(key.data(), static_cast<std::uint32_t>(key.size()));
    }
    auto str = [&p](std::string_view s) {
      p.pack_str(static_cast<std::uint32_t>(s.size()));
      p.pack_str_body(s.data(), static_cast<std::uint32_t>(s.size()));
    };
    if (key == "id") str(id);
    else if (key == "memory_type") str(stored_name(m.memory_type));
    else if (key == "vector") {
      p.pack_array(static_cast<std::uint32_t>(m.vector.size()));
      for (float x : m.vector) p.pack_double(x);  // float64 and integer forms
    } else if (key == "content") str(m.content);
    else if (key == "metadata") {
      p.pack_map(2);
      str("z");  // out of order and repeated: the later value wins
      p.pack_int64(1);
      str("z");
      p.pack_int64(-2);
    } else if (key == "agent_id") str(m.agent_id);
    else if (key == "session_id") str(*m.session_id);
    else if (key == "scope") str(stored_name(m.scope));
    else if (key == "created_at") p.pack_int64(m.created_at);
    else if (key == "accessed_at") p.pack_int64(m.accessed_at);
    else if (key == "access_count") p.pack_uint32(m.access_count);
    else if (key == "importance") p.pack_double(m.importance);
    else if (key == "ttl_secs") p.pack_int64(*m.ttl_secs);
    else p.pack_array(0);  // an unknown field
  }
  return out;
}

TEST(MemoryCodecTest, MapFormDecodesInAnyOrderAndRefusesRepeats) {
  Memory m = small_record();
  m.vector = {1.0f, 0.25f, -3.0f};
  m.importance = 1.0f;  // arrives as a positive integer
  m.session_id = "s";
  m.ttl_secs = -7;
  Memory expected = m;
  expected.metadata.emplace("z", Json(std::int64_t{-2}));

  const std::vector<std::string_view> shuffled = {
      "ttl_secs", "scope", "extra", "#int", "vector", "importance", "id", "#bin", "metadata",
      "agent_id", "access_count", "#ext", "content", "session_id", "#nil", "created_at",
      "memory_type", "#array", "accessed_at"};
  EXPECT_EQ(decode_memory(map_form(m, shuffled)).value(), expected);

  std::vector<std::string_view> without_optionals = shuffled;
  std::erase(without_optionals, "ttl_secs");
  std::erase(without_optionals, "session_id");
  expected.session_id.reset();
  expected.ttl_secs.reset();
  EXPECT_EQ(decode_memory(map_form(m, without_optionals)).value(), expected);

  std::vector<std::string_view> repeated = shuffled;
  repeated.push_back("created_at");
  expect_serialization_error(map_form(m, repeated), "repeated key");
  std::vector<std::string_view> missing = shuffled;
  std::erase(missing, "content");
  expect_serialization_error(map_form(m, missing), "missing content");
}

TEST(MemoryCodecTest, NestingIsBoundedAt1024LevelsCountingTheRecord) {
  // Metadata {"k": [[...[]...]]}: the record is level 1, the metadata map 2, so `arrays` nested
  // arrays put the deepest container at level arrays + 2.
  auto nested = [](std::size_t arrays) {
    Memory m = small_record();
    m.metadata.emplace("k", Json());
    Bytes inner(arrays - 1, 0x91);
    inner.push_back(0x90);
    return replaced(encode(m), concat({hex("81 a1"), ascii("k"), hex("c0")}),
                    concat({hex("81 a1"), ascii("k"), inner}));
  };
  const Bytes deepest_ok = nested(kMaxNesting - 2);
  const auto decoded = decode_memory(deepest_ok);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  EXPECT_EQ(encode(*decoded), deepest_ok);  // the encoder accepts what the decoder does
  expect_serialization_error(nested(kMaxNesting - 1), "level 1025");

  Memory too_deep = *decoded;
  Json* leaf = &too_deep.metadata.at("k");
  while (!std::get<JsonArray>(leaf->value).empty()) leaf = &std::get<JsonArray>(leaf->value)[0];
  std::get<JsonArray>(leaf->value).push_back(Json(JsonArray{}));
  const auto refused = encode_memory(too_deep);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), ErrorKind::Serialization);
}

TEST(MemoryCodecTest, MalformedRecordsAreSerializationErrors) {
  const Bytes good = encode(small_record());
  Memory episodic_record = small_record();
  episodic_record.memory_type = MemoryType::Episodic;
  const Bytes episodic = encode(episodic_record);
  ASSERT_TRUE(decode_memory(episodic).has_value());
  const std::string_view nils13 = "c0 c0 c0 c0 c0 c0 c0 c0 c0 c0 c0 c0 c0";
  struct Case {
    std::string_view label;
    Bytes bytes;
  };
  const Case cases[] = {
      {"empty", {}},
      {"reserved byte", hex("c1")},
      {"header only", hex("9d")},
      {"array32 of 4G", hex("dd ff ff ff ff c0")},
      {"map32 of 4G", hex("de ff ff ff ff c0")},
      {"str32 of 4G", hex("db ff ff ff ff 41")},
      {"not a container", hex("c4 02 9d 9d")},
      {"13 nils", concat({hex("9d"), hex(nils13)})},
      {"12 elements", concat({hex("9c"), Bytes(good.begin() + 1, good.end() - 1)})},
      {"14 elements", concat({hex("9e"), Bytes(good.begin() + 1, good.end()), hex("c0")})},
      {"lower-case scope", replaced(good, ascii("Private"), ascii("private"))},
      {"unknown type", replaced(good, ascii("Semantic"), ascii("Semantix"))},
      {"lower-case episodic", replaced(episodic, ascii("Episodic"), ascii("episodic"))},
      {"id with U", replaced(good, ascii(kIdText.substr(0, 3)), ascii("0UA"))},
      {"id of 25", replaced(good, concat({hex("ba"), ascii(kIdText)}), concat({hex("b9"), ascii(kIdText.substr(1))}))},
      {"id as bin", replaced(good, hex("ba"), hex("c4 1a"))},
      {"vector element text", replaced(good, hex("91 ca 3f 00 00 00"), hex("91 a1 41"))},
      {"vector not array", replaced(good, hex("91 ca 3f 00 00 00"), hex("ca 3f 00 00 00"))},
      {"access_count 2^32", replaced(good, hex("00 ca 3f"), hex("cf 00 00 00 01 00 00 00 00 ca 3f"))},
      {"created_at 2^63", replaced(good, hex("ce 65 53 f1 00"), hex("cf 80 00 00 00 00 00 00 00"))},
      {"created_at float", replaced(good, hex("ce 65 53 f1 00"), hex("ca 3f 00 00 00"))},
      {"metadata int key", replaced(good, hex("80 a7"), hex("81 01 c0 a7"))},
      {"metadata bin value", replaced(good, hex("80 a7"), hex("81 a1 6b c4 00 a7"))},
      {"metadata ext value", replaced(good, hex("80 a7"), hex("81 a1 6b d4 01 00 a7"))},
      {"metadata array", replaced(good, hex("80 a7"), hex("90 a7"))},
      {"session_id int", replaced(good, hex("c0 a7"), hex("01 a7"))},
      {"importance text", replaced(good, hex("00 ca 3f 00 00 00"), hex("00 a1 41"))},
      {"content not UTF-8", replaced(good, hex("a1 78"), hex("a1 ff"))},
      {"content overlong", replaced(good, hex("a1 78"), hex("a2 c0 af"))},
      {"agent_id surrogate", replaced(good, concat({hex("a7"), ascii("default")}), hex("a3 ed a0 80"))},
      {"session_id cut sequence", replaced(good, hex("c0 a7"), hex("a2 41 e2 a7"))},
      {"metadata key not UTF-8", replaced(good, hex("80 a7"), hex("81 a1 80 c0 a7"))},
      {"metadata value above U+10FFFF", replaced(good, hex("80 a7"), hex("81 a1 6b a4 f4 90 80 80 a7"))},
      {"metadata nested value", replaced(good, hex("80 a7"), hex("81 a1 6b 91 a1 fe a7"))},
      {"scope not UTF-8", replaced(good, ascii("Private"), hex("50 72 69 76 61 74 e5"))},
  };
  for (const Case& c : cases) expect_serialization_error(c.bytes, c.label);

  // Every proper prefix of a record is refused.
  Memory m = small_record();
  m.metadata.emplace("a", Json(JsonArray{Json(1.5), Json(std::string("s"))}));
  m.ttl_secs = 5;
  const Bytes full = encode(m);
  for (std::size_t n = 0; n < full.size(); ++n) {
    expect_serialization_error(ByteView(full.data(), n), "prefix " + std::to_string(n));
  }
}

TEST(MemoryCodecTest, CorruptedBytesNeverCrashTheDecoder) {
  Memory m = small_record();
  m.metadata.emplace("a", Json(JsonArray{Json(1.5), Json(std::string("s"))}));
  m.metadata.emplace("o", Json(JsonObject{{"k", Json(std::int64_t{-9})}}));
  m.session_id = "s";
  const Bytes good = encode(m);
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (int v = 0; v < 256; ++v) {
      Bytes bad = good;
      bad[i] = static_cast<std::uint8_t>(v);
      const auto decoded = decode_memory(bad);
      if (!decoded) {
        EXPECT_EQ(decoded.error().kind(), ErrorKind::Serialization);
      }
    }
  }
}

}  // namespace
}  // namespace quarn::memory
