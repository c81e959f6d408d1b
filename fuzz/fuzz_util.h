// Shared pieces of the fuzz targets: an in-memory file over the input, the header CRC fix-up that
// lets mutated header fields reach the checks behind the CRC, and the cheap Argon2 costs the seed
// files are made with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "format/bytes.h"
#include "format/header.h"
#include "pager/testing/mem_file.h"
#include "store/internal.h"

namespace quarn::fuzz {

inline constexpr std::string_view kPassphrase = "correct horse";
inline constexpr std::size_t kCrcAt = 238;
inline constexpr std::size_t kKdfAt = 74;  // kdf_m_cost, kdf_t_cost, kdf_p_cost: u32 each

inline ByteView passphrase() {
  return ByteView(reinterpret_cast<const std::uint8_t*>(kPassphrase.data()), kPassphrase.size());
}

inline store::StoreAccess::Tuning cheap() {
  store::StoreAccess::Tuning tuning;
  tuning.kdf_m_cost = 8;
  tuning.kdf_t_cost = 1;
  tuning.kdf_p_cost = 1;
  return tuning;
}

// A disk holding the input. Writes may grow it by `room` bytes at most, so a hostile page number
// cannot make the in-memory file allocate up to its 1 TiB limit.
inline std::shared_ptr<pager::testing::MemDisk> disk_of(const std::uint8_t* data, std::size_t size,
                                                         std::uint64_t room = 64 * kPageSize) {
  auto disk = std::make_shared<pager::testing::MemDisk>();
  disk->bytes.assign(data, data + size);
  disk->room = size + room;
  return disk;
}

// Recomputes the CRC of page 0 when the bytes hold a whole page 0.
inline void fix_header_crc(Bytes& bytes) {
  if (bytes.size() < kPageSize) return;
  const std::uint32_t crc = format::crc32(ByteView(bytes.data(), kCrcAt));
  put_le<std::uint32_t>(bytes.data() + kCrcAt, crc);
}

}  // namespace quarn::fuzz
