#include "format/header.h"

#include <cstring>
#include <random>
#include <string_view>

#include <gtest/gtest.h>

namespace quarn::format {
namespace {

// A header with a distinct value in every field, so a swapped or misplaced field shows.
Header sample(std::uint16_t version = kCurrentVersion) {
  Header h;
  h.version = version;
  h.page_size = 8192;
  h.encrypted = 1;
  h.dimensions = 0x01020304;
  h.created_at = 0x1112131415161718;
  h.nonce_counter = 0x2122232425262728;
  h.page_count = 0x3132333435363738;
  h.catalog_start = 0x4142434445464748;
  h.catalog_pages = 0x5152535455565758;
  h.catalog_len = 0x6162636465666768;
  h.memory_count = 0x7172737475767778;
  h.kdf_m_cost = 19456;
  h.kdf_t_cost = 2;
  h.kdf_p_cost = 1;
  for (std::size_t i = 0; i < h.salt.size(); ++i) h.salt[i] = static_cast<std::uint8_t>(0xA0 + i);
  for (std::size_t i = 0; i < h.dek_nonce.size(); ++i) h.dek_nonce[i] = static_cast<std::uint8_t>(0xB0 + i);
  for (std::size_t i = 0; i < h.wrapped_dek.size(); ++i) h.wrapped_dek[i] = static_cast<std::uint8_t>(0xC0 + i);
  h.index_start = 0x8182838485868788;
  h.index_pages = 0x9192939495969798;
  h.index_len = 0xA1A2A3A4A5A6A7A8;
  h.wal_start = 0xB1B2B3B4B5B6B7B8;
  h.wal_pages = 0xC1C2C3C4C5C6C7C8;
  h.last_txn_id = 0xD1D2D3D4D5D6D7D8;
  h.manifest_start = 0xE1E2E3E4E5E6E7E8;
  h.manifest_pages = 0xF1F2F3F4F5F6F7F8;
  h.manifest_len = 0x0A0B0C0D0E0F0A0B;
  return h;
}

crypto::Key key_filled(std::uint8_t value) {
  crypto::Key key;
  std::memset(key.data(), value, crypto::Key::size());
  return key;
}

void refresh_crc(PageImage& image) {
  put_le<std::uint32_t>(image.data() + 238, crc32(ByteView(image.data(), 238)));
}

ErrorKind decode_error(const PageImage& image) { return from_page(image).error().kind(); }

TEST(Crc32Test, IsTheIeeeCrcAndContinuesFromASeed) {
  const std::string_view check = "123456789";
  const ByteView bytes(reinterpret_cast<const std::uint8_t*>(check.data()), check.size());
  EXPECT_EQ(crc32(bytes), 0xCBF43926u);
  EXPECT_EQ(crc32(bytes.subspan(4), crc32(bytes.first(4))), 0xCBF43926u);
  EXPECT_EQ(crc32({}, 0x1234u), 0x1234u);
}

TEST(HeaderTest, EveryFieldSitsAtItsOffset) {
  const Header h = sample();
  const PageImage page = to_page(h);
  const std::uint8_t* p = page.data();
  EXPECT_EQ(std::memcmp(p, "QUAR", 4), 0);
  EXPECT_EQ(get_le<std::uint16_t>(p + 4), 7);
  EXPECT_EQ(get_le<std::uint32_t>(p + 6), 8192u);
  EXPECT_EQ(p[10], 1);
  EXPECT_EQ(get_le<std::uint32_t>(p + 14), h.dimensions);
  const struct {
    std::size_t at;
    std::uint64_t value;
  } u64s[] = {{18, h.created_at},      {26, h.nonce_counter},   {34, h.page_count},
              {42, h.catalog_start},   {50, h.catalog_pages},   {58, h.catalog_len},
              {66, h.memory_count},    {162, h.index_start},    {170, h.index_pages},
              {178, h.index_len},      {186, h.wal_start},      {194, h.wal_pages},
              {202, h.last_txn_id},    {214, h.manifest_start}, {222, h.manifest_pages},
              {230, h.manifest_len}};
  for (const auto& f : u64s) EXPECT_EQ(get_le<std::uint64_t>(p + f.at), f.value) << "offset " << f.at;
  EXPECT_EQ(get_le<std::uint32_t>(p + 74), 19456u);
  EXPECT_EQ(get_le<std::uint32_t>(p + 78), 2u);
  EXPECT_EQ(get_le<std::uint32_t>(p + 82), 1u);
  EXPECT_EQ(std::memcmp(p + 86, h.salt.data(), 16), 0);
  EXPECT_EQ(std::memcmp(p + 102, h.dek_nonce.data(), 12), 0);
  EXPECT_EQ(std::memcmp(p + 114, h.wrapped_dek.data(), 48), 0);
  EXPECT_EQ(get_le<std::uint32_t>(p + 238), crc32(ByteView(p, 238)));
  // Gaps, seal bytes and the rest of the page stay zero.
  for (std::size_t at : {11u, 12u, 13u, 210u, 211u, 212u, 213u}) EXPECT_EQ(p[at], 0) << "offset " << at;
  for (std::size_t at = 242; at < kPageSize; ++at) ASSERT_EQ(p[at], 0) << "offset " << at;
}

TEST(HeaderTest, RoundTripsEveryVersion) {
  for (std::uint16_t version = kOldestVersion; version <= kTreeVersion; ++version) {
    Header h = sample(version);
    PageImage page = to_page(h);
    ASSERT_TRUE(apply_seal(h, page, key_filled(7)));
    const auto back = from_page(page);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_EQ(*back, h) << "version " << version;
    EXPECT_EQ(back->seal_nonce.has_value(), version >= 7);
  }
}

TEST(HeaderTest, DecodingChecksMagicThenVersionThenCrc) {
  const PageImage good = to_page(sample(6));
  const auto with = [&](std::size_t at, std::uint8_t value, bool fix_crc = false) {
    PageImage page = good;
    page[at] = value;
    if (fix_crc) refresh_crc(page);
    return page;
  };
  PageImage bad_both = with(0, 'X');
  put_le<std::uint16_t>(bad_both.data() + 4, 3);
  EXPECT_EQ(decode_error(bad_both), ErrorKind::BadMagic);

  PageImage v3_bad_crc = with(100, 0xFF);
  put_le<std::uint16_t>(v3_bad_crc.data() + 4, 3);
  const auto v3 = from_page(v3_bad_crc);
  ASSERT_FALSE(v3);
  EXPECT_EQ(v3.error().kind(), ErrorKind::UnsupportedVersion);
  EXPECT_EQ(v3.error().a(), 3u);

  for (std::uint16_t version : {0, 3, 9, 0xFFFF}) {
    PageImage page = good;
    put_le<std::uint16_t>(page.data() + 4, version);
    refresh_crc(page);
    ASSERT_EQ(decode_error(page), ErrorKind::UnsupportedVersion);
    EXPECT_EQ(from_page(page).error().a(), version);
  }
  EXPECT_EQ(decode_error(with(3, 'r', true)), ErrorKind::BadMagic);
}

TEST(HeaderTest, AnyChangedByteBeforeTheSealBytesFailsTheCrc) {
  const PageImage good = to_page(sample(7));
  for (std::size_t at = 6; at < 242; ++at) {  // past magic and version, which are checked first
    PageImage page = good;
    page[at] ^= 0x01;
    ASSERT_EQ(decode_error(page), ErrorKind::HeaderChecksum) << "offset " << at;
  }
}

TEST(HeaderTest, SealMessageIsDomainVersionAndFifteenCountersInOrder) {
  const Header h = sample();
  const auto m = seal_message(h);
  EXPECT_EQ(std::memcmp(m.data(), "quarn-header-seal-v7", 20), 0);
  EXPECT_EQ(get_le<std::uint16_t>(m.data() + 20), 7);
  const std::uint64_t order[] = {h.nonce_counter, h.page_count,  h.catalog_start, h.catalog_pages,
                                 h.catalog_len,   h.memory_count, h.index_start,  h.index_pages,
                                 h.index_len,     h.wal_start,   h.wal_pages,     h.last_txn_id,
                                 h.manifest_start, h.manifest_pages, h.manifest_len};
  for (std::size_t i = 0; i < 15; ++i) EXPECT_EQ(get_le<std::uint64_t>(m.data() + 22 + 8 * i), order[i]) << i;
}

// --- Seal -------------------------------------------------------------------------------------

struct SealFixture : ::testing::Test {
  crypto::Key dek = key_filled(0x5A);
};

TEST_F(SealFixture, EachSealDrawsAFreshNonceOverIdenticalFields) {
  Header h = sample();
  PageImage first = to_page(h);
  PageImage second = to_page(h);
  ASSERT_TRUE(apply_seal(h, first, dek));
  ASSERT_TRUE(apply_seal(h, second, dek));
  EXPECT_EQ(std::memcmp(first.data(), second.data(), 242), 0);
  EXPECT_NE(std::memcmp(first.data() + 242, second.data() + 242, 28), 0);
  EXPECT_NE(std::memcmp(first.data() + 242, second.data() + 242, 12), 0);  // nonce
  EXPECT_TRUE(std::all_of(first.begin() + 270, first.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(validate_seal(*from_page(first), dek));
  EXPECT_TRUE(validate_seal(*from_page(second), dek));
}

TEST_F(SealFixture, TamperedOrMissingSealFails) {
  Header h = sample();
  PageImage sealed = to_page(h);
  ASSERT_TRUE(apply_seal(h, sealed, dek));

  std::vector<std::pair<std::string, PageImage>> bad;
  for (std::size_t at = 242; at < 270; ++at) {
    bad.emplace_back("seal byte " + std::to_string(at), sealed);
    bad.back().second[at] ^= 0x10;
  }
  // A sealed counter rewritten with a valid CRC: only the seal notices.
  bad.emplace_back("last_txn_id", sealed);
  bad.back().second[202] ^= 0x01;
  refresh_crc(bad.back().second);
  bad.emplace_back("never sealed", to_page(h));  // seal bytes all zero

  for (const auto& [what, page] : bad) {
    const auto decoded = from_page(page);
    ASSERT_TRUE(decoded) << what;
    const auto result = validate_seal(*decoded, dek);
    ASSERT_FALSE(result) << what;
    EXPECT_EQ(result.error().kind(), ErrorKind::HeaderSeal) << what;
  }
  EXPECT_EQ(validate_seal(*from_page(sealed), key_filled(0x5B)).error().kind(), ErrorKind::HeaderSeal);

  Header unsealed = sample();  // version 7 without seal fields
  EXPECT_EQ(validate_seal(unsealed, dek).error().kind(), ErrorKind::HeaderSeal);
  unsealed.seal_nonce = crypto::Nonce{};
  EXPECT_EQ(validate_seal(unsealed, dek).error().kind(), ErrorKind::HeaderSeal);
}

TEST_F(SealFixture, OlderVersionsIgnoreTheSealBytes) {
  Header h = sample(6);
  PageImage page = to_page(h);
  const PageImage before = page;
  ASSERT_TRUE(apply_seal(h, page, dek));
  EXPECT_EQ(page, before);
  EXPECT_EQ(h, sample(6));

  for (std::size_t at = 242; at < 270; ++at) page[at] = static_cast<std::uint8_t>(at * 37);
  const auto decoded = from_page(page);
  ASSERT_TRUE(decoded);
  EXPECT_FALSE(decoded->seal_nonce);
  EXPECT_FALSE(decoded->seal_tag);
  EXPECT_TRUE(validate_seal(*decoded, dek));
}

// Random pages with a valid magic, version and CRC decode without error; a version-7 one never
// passes the seal. Run under the sanitizers, this also shows decoding stays inside the page.
TEST_F(SealFixture, RandomPagesDecodeAndNeverValidate) {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 500; ++round) {
    PageImage page;
    for (auto& b : page) b = static_cast<std::uint8_t>(rng());
    const auto raw = from_page(page);
    EXPECT_FALSE(raw);
    std::memcpy(page.data(), "QUAR", 4);
    const std::uint16_t version = static_cast<std::uint16_t>(4 + round % 4);
    put_le<std::uint16_t>(page.data() + 4, version);
    refresh_crc(page);
    const auto decoded = from_page(page);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(validate_seal(*decoded, dek).has_value(), version < 7);
  }
}

TEST(DimensionsTest, FitsThirtyTwoBitsOrIsRefused) {
  EXPECT_EQ(*checked_dimensions(4294967295u), 4294967295u);
  const auto over = checked_dimensions(4294967296u);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(over.error().text(), "dimensions must be <= 4294967295");
}

}  // namespace
}  // namespace quarn::format
