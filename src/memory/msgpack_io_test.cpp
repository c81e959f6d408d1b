#include "memory/msgpack_io.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quarn::mp
