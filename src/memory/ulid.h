// ULIDs: 48 bits of Unix milliseconds, then 80 random bits. Text form: 26 Crockford base32
// characters, upper case. Catalog rows and index postings hold the 16 bytes big-endian.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.h"

namespace quarn::memory {

struct Ulid {
  std::uint64_t hi = 0;  // timestamp (48 bits) and the top 16 random bits
  std::uint64_t lo = 0;

  bool is_nil() const { return hi == 0 && lo == 0; }
  auto operator<=>(const Ulid&) const = default;

  // A fresh id: the clock in milliseconds (0 before the epoch) and 80 strong random bits.
  [[nodiscard]] static Result<Ulid> generate();
  // Exactly 26 characters of the Crockford alphabet, either case; the first character keeps only
  // its low three bits. Anything else: nullopt.
  static std::optional<Ulid> parse(std::string_view text);
  std::string to_string() const;

  std::array<std::uint8_t, 16> to_bytes() const;  // big-endian
  static Ulid from_bytes(const std::uint8_t* bytes16);
};

struct UlidHash {
  std::size_t operator()(const Ulid& id) const noexcept {
    std::uint64_t h = id.hi * 0x9E3779B97F4A7C15ULL ^ (id.lo + 0x632BE59BD9B4E019ULL + (id.hi << 6));
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

}  // namespace quarn::memory
