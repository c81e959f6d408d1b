// Page 0: the plain header page. All integers little-endian; bytes not listed are zero.
//
//    0 magic "QUAR" (4)          4 version u16            6 page_size u32        10 encrypted u8
//   11 zero (3)                 14 dimensions u32        18 created_at u64      26 nonce_counter u64
//   34 page_count u64           42 catalog_start u64     50 catalog_pages u64   58 catalog_len u64
//   66 memory_count u64         74 kdf_m_cost u32        78 kdf_t_cost u32      82 kdf_p_cost u32
//   86 salt (16)               102 dek_nonce (12)       114 wrapped_dek (48)   162 index_start u64
//  170 index_pages u64         178 index_len u64        186 wal_start u64      194 wal_pages u64
//  202 last_txn_id u64         210 reserved (4)         214 manifest_start u64 222 manifest_pages u64
//  230 manifest_len u64        238 CRC-32 of bytes 0..237 (4)
//  242 seal_nonce (12), 254 seal_tag (16): versions 7 and 8, outside the CRC
//
// Version 8 keeps this layout and gives three fields another meaning: catalog_start, catalog_pages
// and catalog_len are the catalog tree's root page, height and row count (store/catalog_tree.h).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "crypto/crypto.h"
#include "error/error.h"
#include "format/bytes.h"

namespace quarn::format {

// What a new file is written as; version 8 is taken only on request, and read as well.
inline constexpr std::uint16_t kCurrentVersion = 7;
inline constexpr std::uint16_t kTreeVersion = 8;
inline constexpr std::uint16_t kOldestVersion = 4;
inline constexpr std::size_t kSealMessageSize = 142;

using PageImage = std::array<std::uint8_t, kPageSize>;

struct Header {
  std::uint16_t version = kCurrentVersion;
  std::uint32_t page_size = kPageSize;
  std::uint8_t encrypted = 1;
  std::uint32_t dimensions = 0;
  std::uint64_t created_at = 0;
  std::uint64_t nonce_counter = 0;
  std::uint64_t page_count = 0;
  std::uint64_t catalog_start = 0;
  std::uint64_t catalog_pages = 0;
  std::uint64_t catalog_len = 0;
  std::uint64_t memory_count = 0;
  std::uint32_t kdf_m_cost = 0;
  std::uint32_t kdf_t_cost = 0;
  std::uint32_t kdf_p_cost = 0;
  crypto::Salt salt{};
  crypto::Nonce dek_nonce{};
  crypto::WrappedDek wrapped_dek{};
  std::uint64_t index_start = 0;
  std::uint64_t index_pages = 0;
  std::uint64_t index_len = 0;
  std::uint64_t wal_start = 0;
  std::uint64_t wal_pages = 0;
  std::uint64_t last_txn_id = 0;
  std::uint64_t manifest_start = 0;
  std::uint64_t manifest_pages = 0;
  std::uint64_t manifest_len = 0;
  std::optional<crypto::Nonce> seal_nonce;
  std::optional<crypto::Tag> seal_tag;

  bool operator==(const Header&) const = default;
};

// Narrows a 64-bit dimensionality for the 32-bit field; above 4294967295 is InvalidArgument
// "dimensions must be <= 4294967295".
[[nodiscard]] Result<std::uint32_t> checked_dimensions(std::uint64_t dimensions);

// Builds the image: fields at their offsets, CRC at 238. Never writes the seal bytes.
PageImage to_page(const Header& header);
// Checks in order: magic (BadMagic), version 4..8 (UnsupportedVersion), CRC (HeaderChecksum).
// Versions 7 and 8 read the seal fields as present (checked by validate_seal); 4 to 6 leave them
// absent whatever bytes 242..269 hold.
[[nodiscard]] Result<Header> from_page(std::span<const std::uint8_t, kPageSize> image);
// Whether the CRC at 238 matches bytes 0..237.
bool crc_holds(std::span<const std::uint8_t, kPageSize> image);
// Version >= 7: fresh random nonce, tag over the 142-byte message, written to 242..269 and the header.
[[nodiscard]] Result<void> apply_seal(Header& header, PageImage& image, const crypto::Key& dek);
// Versions below 7 pass; 7 and 8 need both seal fields and an authentic tag, else HeaderSeal.
[[nodiscard]] Result<void> validate_seal(const Header& header, const crypto::Key& dek);
// "quarn-header-seal-v7", version u16, then fifteen u64 fields, all little-endian.
std::array<std::uint8_t, kSealMessageSize> seal_message(const Header& header);

// CRC-32 (IEEE 802.3) through zlib; `seed` continues a running CRC (0 starts one).
std::uint32_t crc32(ByteView data, std::uint32_t seed = 0);

}  // namespace quarn::format
