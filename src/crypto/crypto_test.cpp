#include "crypto/crypto.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace quarn::crypto {
namespace {

Bytes from_hex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

Bytes bytes_of(ByteView view) { return Bytes(view.begin(), view.end()); }

// A key whose byte i is first + i.
Key counting_key(std::uint8_t first = 0) {
  Key key;
  for (std::size_t i = 0; i < Key::size(); ++i) key.data()[i] = static_cast<std::uint8_t>(first + i);
  return key;
}

Salt counting_salt() {
  Salt salt;
  for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<std::uint8_t>(i);
  return salt;
}

ByteView text(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

bool same_key(const Key& a, const Key& b) { return std::memcmp(a.data(), b.data(), Key::size()) == 0; }

// --- AES-256-GCM primitives --------------------------------------------------------------------

TEST(AeadTest, MatchesPublishedGcmVectors) {
  const Key zero_key;
  const Nonce zero_nonce{};
  // Empty plaintext, then one zero block, under the all-zero key and nonce.
  EXPECT_EQ(*aead_encrypt(zero_key, zero_nonce, {}, {}), from_hex("530f8afbc74536b9a963b4f1c4cb738b"));
  const Bytes block(16, 0);
  EXPECT_EQ(*aead_encrypt(zero_key, zero_nonce, block, {}),
            from_hex("cea7403d4d606b6e074ec5d3baf39d18d0d1c8a799996bf0265b98b5d48ab919"));
  EXPECT_EQ(bytes_of(*seal_tag(zero_key, zero_nonce, {})), from_hex("530f8afbc74536b9a963b4f1c4cb738b"));
}

TEST(AeadTest, DecryptRejectsWrongAssociatedDataAndShortInput) {
  const Key key = counting_key();
  const Nonce nonce{1, 2, 3};
  const Bytes sealed = *aead_encrypt(key, nonce, text("payload"), text("ad"));
  EXPECT_EQ(*aead_decrypt(key, nonce, sealed, text("ad")), bytes_of(text("payload")));
  for (const auto& result : {aead_decrypt(key, nonce, sealed, text("AD")),
                             aead_decrypt(key, nonce, ByteView(sealed).first(15), text("ad"))}) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::Crypto);
    EXPECT_EQ(result.error().text(), "authentication failed");
  }
}

// --- Page images ------------------------------------------------------------------------------

struct PageFixture : ::testing::Test {
  PageFixture() : cipher(*PageCipher::create(counting_key())) {
    for (std::size_t i = 0; i < plaintext.size(); ++i) plaintext[i] = static_cast<std::uint8_t>(i % 251);
  }
  std::array<std::uint8_t, kPageSize> encrypt(std::uint64_t page, std::uint64_t counter,
                                              std::uint16_t version) {
    std::array<std::uint8_t, kPageSize> image{};
    EXPECT_TRUE(cipher.encrypt_page(page, counter, version, plaintext, image));
    return image;
  }
  Result<void> decrypt(std::uint64_t page, std::uint16_t version,
                       const std::array<std::uint8_t, kPageSize>& image) {
    out.fill(0xEE);
    return cipher.decrypt_page(page, version, image, out);
  }
  PageCipher cipher;
  std::array<std::uint8_t, kPageCapacity> plaintext{};
  std::array<std::uint8_t, kPageCapacity> out{};
};

// Independently computed images of page 2^32 + 5 with counter 7: the nonce keeps the page's low
// 32 bits, and the associated data (version 6 on) the whole page number.
TEST_F(PageFixture, ImageMatchesIndependentlyComputedLayout) {
  const std::uint64_t page = 0x100000005;
  for (const auto& [version, tag_hex] : {std::pair<std::uint16_t, const char*>{6, "f6bc59f9d851ee42cff92c9e2551b75f"},
                                         {5, "07b75fb917135a13851c920753f3bd03"}}) {
    const auto image = encrypt(page, 7, version);
    EXPECT_EQ(bytes_of(ByteView(image).first(12)), from_hex("050000000700000000000000"));
    EXPECT_EQ(bytes_of(ByteView(image).subspan(12, 16)), from_hex("ef3260f4fe7f2d14098d8cac4f082d2f"));
    EXPECT_EQ(bytes_of(ByteView(image).last(16)), from_hex(tag_hex)) << "version " << version;
  }
}

TEST_F(PageFixture, RoundTripsUnderEveryVersionWithOneCipherForManyPages) {
  for (std::uint16_t version = 4; version <= 7; ++version) {
    for (std::uint64_t page : {1ull, 2ull, 0xFFFFFFFFFFFFFFFFull}) {
      const auto image = encrypt(page, page + version, version);
      ASSERT_TRUE(decrypt(page, version, image)) << "version " << version << " page " << page;
      EXPECT_EQ(out, plaintext);
    }
  }
}

TEST_F(PageFixture, AnyFlippedBitFailsWithPageAuthAndYieldsNoPlaintext) {
  const auto good = encrypt(9, 1, 7);
  // Nonce (0, 4, 11), ciphertext (12, middle, last), tag (8176, 8191).
  for (std::size_t at : {0u, 4u, 11u, 12u, 4000u, 8175u, 8176u, 8191u}) {
    auto image = good;
    image[at] ^= 0x01;
    const auto result = decrypt(9, 7, image);
    ASSERT_FALSE(result) << "byte " << at;
    EXPECT_EQ(result.error().kind(), ErrorKind::PageAuth);
    EXPECT_EQ(result.error().a(), 9u);
    EXPECT_TRUE(std::ranges::all_of(out, [](std::uint8_t b) { return b == 0; })) << "byte " << at;
  }
  // A failure leaves the reused context fit for the next page.
  EXPECT_TRUE(decrypt(9, 7, good));
}

TEST_F(PageFixture, ImageMovedToAnotherPageFailsFromVersionSix) {
  const struct {
    std::uint16_t version;
    bool decrypts;
  } cases[] = {{4, true}, {5, true}, {6, false}, {7, false}};
  for (const auto& c : cases) {
    const auto image = encrypt(3, 42, c.version);
    const auto result = decrypt(4, c.version, image);
    EXPECT_EQ(result.has_value(), c.decrypts) << "version " << c.version;
    if (!result) {
      EXPECT_EQ(result.error().a(), 4u);
    }
  }
  // The associated data also separates the old rule from the new one.
  EXPECT_FALSE(decrypt(3, 7, encrypt(3, 1, 5)));
  EXPECT_FALSE(decrypt(3, 5, encrypt(3, 1, 7)));
}

TEST_F(PageFixture, AnotherKeyCannotDecrypt) {
  const auto image = encrypt(2, 1, 7);
  PageCipher other = *PageCipher::create(counting_key(1));
  std::array<std::uint8_t, kPageCapacity> plain{};
  EXPECT_FALSE(other.decrypt_page(2, 7, image, plain));
}

// --- Key derivation ---------------------------------------------------------------------------

// Reference values from an independent Argon2id implementation (salt bytes 0..15).
TEST(DeriveKekTest, MatchesIndependentArgon2id) {
  const struct {
    std::string_view passphrase;
    std::uint32_t m, t, p;
    const char* hex;
  } cases[] = {
      {"correct horse", 8, 1, 1, "3bfa796a86260b73457e1290b51695931a17e266f601d0fb45563e282fb6865b"},
      {"correct horse", 64, 3, 2, "20afd2eda971d75513038ad373070dd2c85315f3c4d58f2f444632cfa5c40af1"},
      {"", 8, 1, 1, "31ed41e2d73f27fdfe4eb4bec651341e58ba43477051c6fe4adad735d82ee08a"},  // empty is valid
  };
  for (const auto& c : cases) {
    const auto kek = derive_kek(text(c.passphrase), counting_salt(), c.m, c.t, c.p);
    ASSERT_TRUE(kek) << kek.error().message();
    EXPECT_EQ(bytes_of(ByteView(kek->data(), Key::size())), from_hex(c.hex)) << c.m << "/" << c.t << "/" << c.p;
  }
}

TEST(DeriveKekTest, RefusesParametersBeforeAnyWorkFirstFailingRuleWins) {
  const struct {
    std::uint32_t m, t, p;
    const char* text;
  } cases[] = {
      {7, 1, 1, "memory cost is too small"},
      {0, 0, 0, "memory cost is too small"},  // every rule fails: the first one is reported
      {15, 1, 2, "memory cost is too small"},  // below 8 KiB per lane
      {4194305, 0, 0, "memory cost is too large"},
      {0xFFFFFFFF, 1, 1, "memory cost is too large"},
      {8, 0, 0, "time cost is too small"},
      // The work bound: memory × passes at most 2^23 KiB.
      {8, 0xFFFFFFFF, 1, "time cost is too large"},
      {19456, 432, 1, "time cost is too large"},
      {4194304, 3, 1, "time cost is too large"},
      {4194305, 0xFFFFFFFF, 1, "memory cost is too large"},
      {8, 1048577, 0, "time cost is too large"},  // checked before the lanes
      {8, 1, 0, "not enough threads"},
      // Under the memory cap 2^24 lanes never have enough memory; the lane limit is never reached.
      {4194304, 1, 16777216, "memory cost is too small"},
      {0xFFFFFFFF, 1, 16777216, "memory cost is too large"},
  };
  for (const auto& c : cases) {
    const auto kek = derive_kek(text("pw"), counting_salt(), c.m, c.t, c.p);
    ASSERT_FALSE(kek) << c.m << "/" << c.t << "/" << c.p;
    EXPECT_EQ(kek.error().kind(), ErrorKind::KeyDerivation);
    EXPECT_EQ(kek.error().text(), c.text) << c.m << "/" << c.t << "/" << c.p;
  }
}

// A passphrase of 2^32 bytes in inaccessible memory: refused by length without a byte being read.
TEST(DeriveKekTest, RefusesPassphraseAbove4GiBWithoutReadingIt) {
  const std::size_t size = (std::size_t{1} << 32);
  void* region = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  const auto kek = derive_kek(ByteView(static_cast<const std::uint8_t*>(region), size), counting_salt(), 8, 1, 1);
  munmap(region, size);
  ASSERT_FALSE(kek);
  EXPECT_EQ(kek.error().kind(), ErrorKind::KeyDerivation);
  EXPECT_EQ(kek.error().text(), "password is too long");
}

// --- DEK wrapping -----------------------------------------------------------------------------

TEST(WrapTest, UnwrapsUnderTheSameKekOnly) {
  const Key kek = *derive_kek(text("pass"), counting_salt(), 8, 1, 1);
  const Key dek = *random_dek();
  const Nonce nonce = *random_nonce();
  const WrappedDek wrapped = *wrap_dek(kek, dek, nonce);
  ASSERT_TRUE(same_key(*unwrap_dek(kek, nonce, wrapped), dek));

  const Key other_kek = *derive_kek(text("pasS"), counting_salt(), 8, 1, 1);
  WrappedDek flipped = wrapped;
  flipped[47] ^= 0x80;
  Nonce other_nonce = nonce;
  other_nonce[0] ^= 1;
  for (const auto& result : {unwrap_dek(other_kek, nonce, wrapped), unwrap_dek(kek, nonce, flipped),
                             unwrap_dek(kek, other_nonce, wrapped)}) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::WrongPassphrase);
  }
}

// --- Randomness and key hygiene -----------------------------------------------------------------

TEST(RandomTest, DrawsDiffer) {
  EXPECT_NE(*random_salt(), *random_salt());
  EXPECT_NE(*random_nonce(), *random_nonce());
  EXPECT_FALSE(same_key(*random_dek(), *random_dek()));
  std::array<std::uint8_t, 64> a{}, b{};
  ASSERT_TRUE(random_bytes(a));
  ASSERT_TRUE(random_bytes(b));
  EXPECT_NE(a, b);
}

// A forked child must not replay its parent's random stream (shared DEKs, salts and nonces).
TEST(RandomTest, ForkedChildDrawsDifferentBytes) {
  ASSERT_TRUE(random_salt());  // make sure the generator is initialised before the fork
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const auto salt = random_salt();
    const bool ok = salt && write(fds[1], salt->data(), salt->size()) == static_cast<ssize_t>(salt->size());
    _exit(ok ? 0 : 1);
  }
  const Salt parent = *random_salt();
  Salt from_child{};
  ASSERT_EQ(read(fds[0], from_child.data(), from_child.size()), static_cast<ssize_t>(from_child.size()));
  int status = 0;
  waitpid(child, &status, 0);
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(status, 0);
  EXPECT_NE(parent, from_child);
}

TEST(KeyTest, MovedFromKeyIsWiped) {
  Key a = counting_key(1);
  Key b(std::move(a));
  const Key zero;
  EXPECT_TRUE(same_key(a, zero));  // NOLINT(bugprone-use-after-move): the wipe is the contract
  EXPECT_TRUE(same_key(b, counting_key(1)));
  Key c;
  c = std::move(b);
  EXPECT_TRUE(same_key(b, zero));  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(same_key(c, counting_key(1)));
}

// --- Header seal tag ----------------------------------------------------------------------------

TEST(SealTagTest, VerifiesOnlyTheSealedMessageUnderTheSameKey) {
  const Key dek = counting_key();
  const Nonce nonce = *random_nonce();
  const Tag tag = *seal_tag(dek, nonce, text("message"));
  EXPECT_TRUE(check_seal_tag(dek, nonce, text("message"), tag));
  Tag bad = tag;
  bad[0] ^= 1;
  for (const auto& result : {check_seal_tag(dek, nonce, text("messagf"), tag),
                             check_seal_tag(dek, nonce, text("message"), bad),
                             check_seal_tag(counting_key(1), nonce, text("message"), tag)}) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::HeaderSeal);
  }
}

}  // namespace
}  // namespace quarn::crypto
