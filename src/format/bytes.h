// Byte strings, page geometry and little-endian integer access shared by the on-disk formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace quarn {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline constexpr std::size_t kPageSize = 8192;      // bytes per page on disk
inline constexpr std::size_t kPageCapacity = 8164;  // plaintext bytes of an encrypted page
inline constexpr std::size_t kPageOverhead = kPageSize - kPageCapacity;  // nonce (12) + tag (16)

template <class T>
inline void put_le(std::uint8_t* out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <class T>
inline T get_le(const std::uint8_t* in) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(in[i]) << (8 * i));
  return value;
}

// Pages a run of `len` bytes spans: max(1, ceil(len / 8164)). Never overflows.
constexpr std::uint64_t run_pages(std::uint64_t len) {
  const std::uint64_t pages = len / kPageCapacity + (len % kPageCapacity != 0 ? 1 : 0);
  return pages == 0 ? 1 : pages;
}

// Byte offset of a page, or false when it would not fit a signed 64-bit file offset.
inline bool page_offset(std::uint64_t page, std::uint64_t& offset) {
  if (page > (static_cast<std::uint64_t>(INT64_MAX) / kPageSize)) return false;
  offset = page * kPageSize;
  return true;
}

}  // namespace quarn
