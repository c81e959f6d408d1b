#include "index/chacha.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <vector>

namespace quarn::index {
namespace {

// OpenSSL's ChaCha20 keystream: its 16-byte IV is the block counter word (little-endian) and
// the three nonce words, i.e. input words 12-15.
std::vector<std::uint8_t> openssl_keystream(const ChaChaRng::Seed& key,
                                            const std::array<std::uint32_t, 4>& words,
                                            std::size_t bytes) {
  std::uint8_t iv[16];
  for (int w = 0; w < 4; ++w)
    for (int b = 0; b < 4; ++b) iv[4 * w + b] = static_cast<std::uint8_t>(words[w] >> (8 * b));
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                       EVP_CIPHER_CTX_free);
  EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_chacha20(), nullptr, key.data(), iv), 1);
  std::vector<std::uint8_t> zeros(bytes), out(bytes);
  int len = 0;
  EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &len, zeros.data(), static_cast<int>(bytes)), 1);
  return out;
}

ChaChaRng::Seed test_key() {
  ChaChaRng::Seed key;
  for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(7 * i + 3);
  return key;
}

std::uint32_t le32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

TEST(ChaCha, BlockFunctionAtTwentyRoundsMatchesOpenSsl) {
  const ChaChaRng::Seed key = test_key();
  const std::array<std::uint32_t, 4> counter_nonce = {0xFFFFFFFEu, 0x11223344u, 0x55667788u, 9u};
  std::array<std::uint32_t, 16> in = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (int i = 0; i < 8; ++i) in[4 + i] = le32(key.data() + 4 * i);
  for (int i = 0; i < 4; ++i) in[12 + i] = counter_nonce[i];
  const auto expected = openssl_keystream(key, counter_nonce, 64);
  std::array<std::uint32_t, 16> out;
  chacha_block(in, out, 20);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], le32(expected.data() + 4 * i)) << i;
}

TEST(ChaCha, GeneratorWordsFollowTheKeystreamAndWideDrawsTakeLowWordFirst) {
  const ChaChaRng::Seed key = test_key();
  const auto stream = openssl_keystream(key, {0, 0, 0, 0}, 64 * 4);
  ChaChaRng rng(key, 20);
  std::size_t word = 0;
  for (; word < 15; ++word) EXPECT_EQ(rng.next_u32(), le32(stream.data() + 4 * word));
  const std::uint64_t across = rng.next_u64();  // word 15 of block 0, word 0 of block 1
  EXPECT_EQ(across, le32(stream.data() + 60) | std::uint64_t{le32(stream.data() + 64)} << 32);
  word += 2;
  ChaChaRng same(key, 20);
  for (std::size_t i = 0; i < word; ++i) same.next_u32();
  for (; word < 64; ++word) EXPECT_EQ(rng.next_u32(), le32(stream.data() + 4 * word));
  // uniform floats: the top 24 bits of a word.
  const std::uint32_t next = same.next_u32();
  ChaChaRng again(key, 20);
  for (std::size_t i = 0; i < 17; ++i) again.next_u32();
  EXPECT_EQ(again.uniform_f32(), static_cast<float>(next >> 8) / 16777216.0f);
}

TEST(ChaCha, BoundedDrawsStayInRange) {
  ChaChaRng rng(test_key());
  EXPECT_EQ(rng.below_u64(0), 0u);
  EXPECT_EQ(rng.below_u64(1), 0u);
  const std::uint64_t half = (1ULL << 63) + 1;  // rejects almost half of all draws
  for (int i = 0; i < 200; ++i) {
    EXPECT_LT(rng.below_u64(half), half);
    EXPECT_LT(rng.below_u32(3), 3u);
    EXPECT_LT(rng.below_u32(0x80000001u), 0x80000001u);
    const float u = rng.uniform_f32();
    EXPECT_GE(u, 0.0f);
    EXPECT_LT(u, 1.0f);
  }
  // The widening multiply: a draw of x gives floor(x * range / 2^64) when not rejected.
  ChaChaRng a(test_key()), b(test_key());
  const std::uint64_t x = b.next_u64();
  EXPECT_EQ(a.below_u64(1000), static_cast<std::uint64_t>((static_cast<unsigned __int128>(x) * 1000) >> 64));
}

}  // namespace
}  // namespace quarn::index
