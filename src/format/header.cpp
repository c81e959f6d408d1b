#include "format/header.h"

#include <zlib.h>

#include <cstring>
#include <string_view>

namespace quarn::format {
namespace {

// Offsets of the page-0 fields; the table in header.h is the reference.
constexpr std::size_t kMagicAt = 0;
constexpr std::size_t kVersionAt = 4;
constexpr std::size_t kPageSizeAt = 6;
constexpr std::size_t kEncryptedAt = 10;
constexpr std::size_t kDimensionsAt = 14;
constexpr std::size_t kCreatedAtAt = 18;
constexpr std::size_t kNonceCounterAt = 26;
constexpr std::size_t kPageCountAt = 34;
constexpr std::size_t kCatalogStartAt = 42;
constexpr std::size_t kCatalogPagesAt = 50;
constexpr std::size_t kCatalogLenAt = 58;
constexpr std::size_t kMemoryCountAt = 66;
constexpr std::size_t kKdfMCostAt = 74;
constexpr std::size_t kKdfTCostAt = 78;
constexpr std::size_t kKdfPCostAt = 82;
constexpr std::size_t kSaltAt = 86;
constexpr std::size_t kDekNonceAt = 102;
constexpr std::size_t kWrappedDekAt = 114;
constexpr std::size_t kIndexStartAt = 162;
constexpr std::size_t kIndexPagesAt = 170;
constexpr std::size_t kIndexLenAt = 178;
constexpr std::size_t kWalStartAt = 186;
constexpr std::size_t kWalPagesAt = 194;
constexpr std::size_t kLastTxnIdAt = 202;
constexpr std::size_t kManifestStartAt = 214;
constexpr std::size_t kManifestPagesAt = 222;
constexpr std::size_t kManifestLenAt = 230;
constexpr std::size_t kCrcAt = 238;  // the CRC covers bytes [0, kCrcAt)
constexpr std::size_t kSealNonceAt = 242;
constexpr std::size_t kSealTagAt = 254;

static_assert(kWrappedDekAt + crypto::kWrappedDekSize == kIndexStartAt);
static_assert(kSealNonceAt + crypto::kNonceSize == kSealTagAt);

constexpr std::string_view kMagic = "QUAR";
constexpr std::string_view kSealDomain = "quarn-header-seal-v7";
constexpr std::uint16_t kFirstSealedVersion = 7;

template <std::size_t N>
void put_bytes(PageImage& page, std::size_t at, const std::array<std::uint8_t, N>& bytes) {
  std::memcpy(page.data() + at, bytes.data(), N);
}

template <std::size_t N>
std::array<std::uint8_t, N> get_bytes(const std::uint8_t* page, std::size_t at) {
  std::array<std::uint8_t, N> bytes;
  std::memcpy(bytes.data(), page + at, N);
  return bytes;
}

// The fifteen fields the seal protects, in message order: everything a transaction changes.
std::array<std::uint64_t, 15> sealed_fields(const Header& h) {
  return {h.nonce_counter,  h.page_count,   h.catalog_start, h.catalog_pages, h.catalog_len,
          h.memory_count,   h.index_start,  h.index_pages,   h.index_len,     h.wal_start,
          h.wal_pages,      h.last_txn_id,  h.manifest_start, h.manifest_pages, h.manifest_len};
}

}  // namespace

std::uint32_t crc32(ByteView data, std::uint32_t seed) {
  if (data.empty()) return seed;  // zlib answers 0 for a null buffer whatever the seed
  return static_cast<std::uint32_t>(::crc32_z(seed, data.data(), data.size()));
}

Result<std::uint32_t> checked_dimensions(std::uint64_t dimensions) {
  if (dimensions > UINT32_MAX)
    return fail(QuarnError::invalid_argument("dimensions must be <= 4294967295"));
  return static_cast<std::uint32_t>(dimensions);
}

PageImage to_page(const Header& h) {
  PageImage page{};
  std::uint8_t* p = page.data();
  std::memcpy(p + kMagicAt, kMagic.data(), kMagic.size());
  put_le<std::uint16_t>(p + kVersionAt, h.version);
  put_le<std::uint32_t>(p + kPageSizeAt, h.page_size);
  p[kEncryptedAt] = h.encrypted;
  put_le<std::uint32_t>(p + kDimensionsAt, h.dimensions);
  put_le<std::uint64_t>(p + kCreatedAtAt, h.created_at);
  put_le<std::uint64_t>(p + kNonceCounterAt, h.nonce_counter);
  put_le<std::uint64_t>(p + kPageCountAt, h.page_count);
  put_le<std::uint64_t>(p + kCatalogStartAt, h.catalog_start);
  put_le<std::uint64_t>(p + kCatalogPagesAt, h.catalog_pages);
  put_le<std::uint64_t>(p + kCatalogLenAt, h.catalog_len);
  put_le<std::uint64_t>(p + kMemoryCountAt, h.memory_count);
  put_le<std::uint32_t>(p + kKdfMCostAt, h.kdf_m_cost);
  put_le<std::uint32_t>(p + kKdfTCostAt, h.kdf_t_cost);
  put_le<std::uint32_t>(p + kKdfPCostAt, h.kdf_p_cost);
  put_bytes(page, kSaltAt, h.salt);
  put_bytes(page, kDekNonceAt, h.dek_nonce);
  put_bytes(page, kWrappedDekAt, h.wrapped_dek);
  put_le<std::uint64_t>(p + kIndexStartAt, h.index_start);
  put_le<std::uint64_t>(p + kIndexPagesAt, h.index_pages);
  put_le<std::uint64_t>(p + kIndexLenAt, h.index_len);
  put_le<std::uint64_t>(p + kWalStartAt, h.wal_start);
  put_le<std::uint64_t>(p + kWalPagesAt, h.wal_pages);
  put_le<std::uint64_t>(p + kLastTxnIdAt, h.last_txn_id);
  put_le<std::uint64_t>(p + kManifestStartAt, h.manifest_start);
  put_le<std::uint64_t>(p + kManifestPagesAt, h.manifest_pages);
  put_le<std::uint64_t>(p + kManifestLenAt, h.manifest_len);
  put_le<std::uint32_t>(p + kCrcAt, crc32(ByteView(p, kCrcAt)));
  return page;
}

bool crc_holds(std::span<const std::uint8_t, kPageSize> image) {
  return crc32(ByteView(image.data(), kCrcAt)) == get_le<std::uint32_t>(image.data() + kCrcAt);
}

Result<Header> from_page(std::span<const std::uint8_t, kPageSize> image) {
  const std::uint8_t* p = image.data();
  if (std::memcmp(p + kMagicAt, kMagic.data(), kMagic.size()) != 0) return fail(QuarnError::bad_magic());
  Header h;
  h.version = get_le<std::uint16_t>(p + kVersionAt);
  if (h.version < kOldestVersion || h.version > kTreeVersion)
    return fail(QuarnError::unsupported_version(h.version));
  if (!crc_holds(image)) return fail(QuarnError::header_checksum());
  h.page_size = get_le<std::uint32_t>(p + kPageSizeAt);
  h.encrypted = p[kEncryptedAt];
  h.dimensions = get_le<std::uint32_t>(p + kDimensionsAt);
  h.created_at = get_le<std::uint64_t>(p + kCreatedAtAt);
  h.nonce_counter = get_le<std::uint64_t>(p + kNonceCounterAt);
  h.page_count = get_le<std::uint64_t>(p + kPageCountAt);
  h.catalog_start = get_le<std::uint64_t>(p + kCatalogStartAt);
  h.catalog_pages = get_le<std::uint64_t>(p + kCatalogPagesAt);
  h.catalog_len = get_le<std::uint64_t>(p + kCatalogLenAt);
  h.memory_count = get_le<std::uint64_t>(p + kMemoryCountAt);
  h.kdf_m_cost = get_le<std::uint32_t>(p + kKdfMCostAt);
  h.kdf_t_cost = get_le<std::uint32_t>(p + kKdfTCostAt);
  h.kdf_p_cost = get_le<std::uint32_t>(p + kKdfPCostAt);
  h.salt = get_bytes<crypto::kSaltSize>(p, kSaltAt);
  h.dek_nonce = get_bytes<crypto::kNonceSize>(p, kDekNonceAt);
  h.wrapped_dek = get_bytes<crypto::kWrappedDekSize>(p, kWrappedDekAt);
  h.index_start = get_le<std::uint64_t>(p + kIndexStartAt);
  h.index_pages = get_le<std::uint64_t>(p + kIndexPagesAt);
  h.index_len = get_le<std::uint64_t>(p + kIndexLenAt);
  h.wal_start = get_le<std::uint64_t>(p + kWalStartAt);
  h.wal_pages = get_le<std::uint64_t>(p + kWalPagesAt);
  h.last_txn_id = get_le<std::uint64_t>(p + kLastTxnIdAt);
  h.manifest_start = get_le<std::uint64_t>(p + kManifestStartAt);
  h.manifest_pages = get_le<std::uint64_t>(p + kManifestPagesAt);
  h.manifest_len = get_le<std::uint64_t>(p + kManifestLenAt);
  if (h.version >= kFirstSealedVersion) {
    h.seal_nonce = get_bytes<crypto::kNonceSize>(p, kSealNonceAt);
    h.seal_tag = get_bytes<crypto::kTagSize>(p, kSealTagAt);
  }
  return h;
}

std::array<std::uint8_t, kSealMessageSize> seal_message(const Header& header) {
  std::array<std::uint8_t, kSealMessageSize> message{};
  std::uint8_t* m = message.data();
  std::memcpy(m, kSealDomain.data(), kSealDomain.size());
  m += kSealDomain.size();
  put_le<std::uint16_t>(m, header.version);
  m += 2;
  for (std::uint64_t field : sealed_fields(header)) {
    put_le<std::uint64_t>(m, field);
    m += 8;
  }
  return message;
}

Result<void> apply_seal(Header& header, PageImage& image, const crypto::Key& dek) {
  if (header.version < kFirstSealedVersion) return {};
  const crypto::Nonce nonce = TRY(crypto::random_nonce());
  const crypto::Tag tag = TRY(crypto::seal_tag(dek, nonce, seal_message(header)));
  put_bytes(image, kSealNonceAt, nonce);
  put_bytes(image, kSealTagAt, tag);
  header.seal_nonce = nonce;
  header.seal_tag = tag;
  return {};
}

Result<void> validate_seal(const Header& header, const crypto::Key& dek) {
  if (header.version < kFirstSealedVersion) return {};
  if (!header.seal_nonce || !header.seal_tag) return fail(QuarnError::header_seal());
  return crypto::check_seal_tag(dek, *header.seal_nonce, seal_message(header), *header.seal_tag);
}

}  // namespace quarn::format
