#include "memory/msgpack_io.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include <gtest/gtest.h>

#include "memory/memory.h"

namespace quarn::mp {
namespace {

Bytes packed(void (*write)(Packer&)) {
  Bytes out;
  ByteSink sink{&out};
  Packer packer(sink);
  write(packer);
  return out;
}

TEST(MsgpackIoTest, FloatsKeepTheirFloatFormsEvenWhenIntegral) {
  EXPECT_EQ(packed([](Packer& p) { pack_f32(p, 1.0f); }), (Bytes{0xca, 0x3f, 0x80, 0x00, 0x00}));
  EXPECT_EQ(packed([](Packer& p) { pack_f32(p, -0.0f); }), (Bytes{0xca, 0x80, 0x00, 0x00, 0x00}));
  EXPECT_EQ(packed([](Packer& p) { pack_f64(p, 1.0); }),
            (Bytes{0xcb, 0x3f, 0xf0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(packed([](Packer& p) { pack_f64(p, -2.5); }),
            (Bytes{0xcb, 0xc0, 0x04, 0, 0, 0, 0, 0, 0}));
  // What the library's own calls would have written instead.
  EXPECT_EQ(packed([](Packer& p) { p.pack_double(1.0); }), (Bytes{0x01}));
  EXPECT_EQ(packed([](Packer& p) { p.pack_float(-3.0f); }), (Bytes{0xfd}));

  const Bytes bytes = packed([](Packer& p) {
    p.pack_array(2);
    pack_f32(p, 2.0f);
    pack_f64(p, 2.0);
  });
  const auto handle = unpack(bytes).value();
  EXPECT_EQ(handle.get().via.array.ptr[0].type, msgpack::type::FLOAT32);
  EXPECT_EQ(handle.get().via.array.ptr[1].type, msgpack::type::FLOAT64);
}

// 1024 nested array headers, each claiming 65536 elements, then nils up to 64 KiB: every claim is
// within the input size, yet a decoder that allocates per header asks for 1024 x 65536 elements.
TEST(MsgpackIoTest, NestedOversizedClaimsFailBeforeAnyAllocation) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "address-space limits do not mix with the address sanitizer";
#else
  Bytes input;
  for (int i = 0; i < 1024; ++i) input.insert(input.end(), {0xdd, 0x00, 0x01, 0x00, 0x00});
  input.resize(65536, 0xc0);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{512u << 20, 512u << 20};  // far below the 1.5 GiB of the headers' claims
    setrlimit(RLIMIT_AS, &limit);
    try {
      const auto result = unpack(input);
      _exit(!result && result.error().kind() == ErrorKind::Serialization ? 0 : 1);
    } catch (...) {
      _exit(2);  // bad_alloc: the claims were allocated for
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST(MsgpackIoTest, UnpackReportsTheDecodersDescription) {
  struct Case {
    Bytes bytes;
    std::string_view text;
  };
  const Case cases[] = {
      {{}, "insufficient bytes"},
      {{0x92, 0x01}, "insufficient bytes"},
      {{0xc1}, "parse error"},
  };
  for (const Case& c : cases) {
    const auto result = unpack(c.bytes);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(), "serialization error: " + std::string(c.text));
  }
  Bytes deep(1025, 0x91);
  deep.push_back(0xc0);
  EXPECT_EQ(unpack(deep).error().text(), "depth size overflow");
  deep.erase(deep.begin());
  EXPECT_TRUE(unpack(deep).has_value());
}

// One value using every header family: fixed and sized ints, floats, str, bin, ext, arrays, maps.
Bytes every_form() {
  Bytes out;
  ByteSink sink{&out};
  Packer p(sink);
  const std::string long_text(300, 't');
  p.pack_array(28);
  p.pack_nil().pack_true().pack_false();
  for (std::int64_t v : {1LL, 200LL, 70000LL, 1LL << 40, -1LL, -100LL, -40000LL, -(1LL << 40)}) {
    p.pack_int64(v);
  }
  pack_f32(p, 1.5f);
  pack_f64(p, 2.5);
  p.pack_str(1).pack_str_body("s", 1);
  p.pack_str(40).pack_str_body(long_text.data(), 40);
  p.pack_str(300).pack_str_body(long_text.data(), 300);
  p.pack_bin(3).pack_bin_body("abc", 3);
  p.pack_bin(300).pack_bin_body(long_text.data(), 300);
  for (std::uint32_t size : {1u, 2u, 4u, 8u, 16u, 3u, 300u}) {
    p.pack_ext(size, 7).pack_ext_body(long_text.data(), size);
  }
  p.pack_map(1).pack_str(1).pack_str_body("k", 1).pack_array(2).pack_uint8(1).pack_uint8(2);
  p.pack_array(0).pack_map(0);
  p.pack_array(20);
  for (int i = 0; i < 20; ++i) pack_f32(p, static_cast<float>(i));
  p.pack_map(16);
  for (int i = 0; i < 16; ++i) p.pack_int32(i).pack_array(1).pack_nil();
  return out;
}

// unpack's first pass must accept exactly what the library's decoder accepts.
TEST(MsgpackIoTest, FirstPassAgreesWithTheLibraryDecoder) {
  auto library_accepts = [](const Bytes& bytes) {
    try {
      const std::size_t n = bytes.size();
      msgpack::unpack_limit limit(n, n / 2, n, n, n, memory::kMaxNesting);
      msgpack::unpack(reinterpret_cast<const char*>(bytes.data()), n, nullptr, nullptr, limit);
      return true;
    } catch (const msgpack::unpack_error&) {
      return false;
    }
  };
  const Bytes seed = every_form();
  ASSERT_TRUE(unpack(seed).has_value());
  for (std::size_t n = 0; n <= seed.size(); ++n) {
    const Bytes prefix(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(n));
    ASSERT_EQ(unpack(prefix).has_value(), library_accepts(prefix)) << "prefix " << n;
  }
  std::mt19937 random(20240611);
  const std::uint8_t headers[] = {0x00, 0x80, 0x81, 0x91, 0x9f, 0xa5, 0xc0, 0xc1, 0xc4, 0xc5,
                                  0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xcb, 0xcf, 0xd3, 0xd4, 0xd8,
                                  0xd9, 0xda, 0xdb, 0xdc, 0xdd, 0xde, 0xdf, 0xff};
  for (int round = 0; round < 20000; ++round) {
    Bytes bytes = seed;
    const int edits = 1 + static_cast<int>(random() % 3);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = random() % bytes.size();
      bytes[at] = (random() % 2) ? headers[random() % sizeof headers] : static_cast<std::uint8_t>(random());
    }
    ASSERT_EQ(unpack(bytes).has_value(), library_accepts(bytes)) << "round " << round;
  }
}

}  // namespace
}  // namespace quarn::mp

namespace quarn::mp {
namespace {

TEST(MsgpackIoTest, Utf8CheckFindsTheFirstIllFormedSequence) {
  constexpr std::size_t kValid = std::string_view::npos;
  const struct {
    std::string_view text;
    std::size_t at;
  } cases[] = {
      {"", kValid},
      {"plain ASCII text longer than eight bytes", kValid},
      {"\xc2\x80 \xdf\xbf \xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80 \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf", kValid},
      {"\x80", 0},                          // a lone continuation byte
      {"abc\xc1\xbf", 3},                   // overlong two-byte form
      {"\xe0\x9f\xbf", 0},                  // overlong three-byte form
      {"\xf0\x8f\xbf\xbf", 0},              // overlong four-byte form
      {"\xed\xa0\x80", 0},                  // a surrogate
      {"\xf4\x90\x80\x80", 0},              // above U+10FFFF
      {"\xf5\x80\x80\x80", 0},
      {"12345678\xe2\x82", 8},              // cut short after a run of ASCII
      {"\xe2\x28\xa1", 0},                  // a continuation byte missing
      {"0123456789abcdef\xff", 16},
  };
  for (const auto& c : cases) EXPECT_EQ(invalid_utf8_at(c.text), c.at) << testing::PrintToString(c.text);
}

}  // namespace
}  // namespace quarn::mp
