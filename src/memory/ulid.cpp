#include "memory/ulid.h"

#include <chrono>

#include "crypto/crypto.h"

namespace quarn::memory {
namespace {

using U128 = unsigned __int128;

constexpr std::string_view kAlphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr std::size_t kTextLength = 26;
constexpr std::uint8_t kInvalid = 0xff;

// Character -> 5-bit value, both letter cases; I, L, O and U (and everything else) are invalid.
constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    const auto c = static_cast<unsigned char>(kAlphabet[i]);
    table[c] = static_cast<std::uint8_t>(i);
    if (c >= 'A' && c <= 'Z') table[c - 'A' + 'a'] = static_cast<std::uint8_t>(i);
  }
  return table;
}
constexpr auto kDecode = make_decode_table();

U128 to_u128(const Ulid& id) { return (static_cast<U128>(id.hi) << 64) | id.lo; }
Ulid from_u128(U128 v) { return Ulid{static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v)}; }

// Milliseconds since the epoch, 0 when the clock reads earlier.
std::uint64_t now_millis() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  if (since.count() < 0) return 0;
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

}  // namespace

Result<Ulid> Ulid::generate() {
  std::array<std::uint8_t, 10> random{};
  TRY(crypto::random_bytes(random));
  std::uint64_t lo = 0;
  for (std::size_t i = 2; i < 10; ++i) lo = (lo << 8) | random[i];
  const std::uint64_t hi = (now_millis() << 16) | (static_cast<std::uint64_t>(random[0]) << 8) | random[1];
  return Ulid{hi, lo};
}

std::optional<Ulid> Ulid::parse(std::string_view text) {
  if (text.size() != kTextLength) return std::nullopt;
  U128 v = 0;
  for (char c : text) {
    const std::uint8_t digit = kDecode[static_cast<unsigned char>(c)];
    if (digit == kInvalid) return std::nullopt;
    v = (v << 5) | digit;  // 130 bits in all: the first character's top two bits fall off
  }
  return from_u128(v);
}

std::string Ulid::to_string() const {
  const U128 v = to_u128(*this);
  std::string text(kTextLength, '0');
  for (std::size_t i = 0; i < kTextLength; ++i) {
    text[i] = kAlphabet[static_cast<std::size_t>(v >> (5 * (kTextLength - 1 - i))) & 31];
  }
  return text;
}

std::array<std::uint8_t, 16> Ulid::to_bytes() const {
  std::array<std::uint8_t, 16> out{};
  for (std::size_t i = 0; i < 8; ++i) {
    out[i] = static_cast<std::uint8_t>(hi >> (56 - 8 * i));
    out[8 + i] = static_cast<std::uint8_t>(lo >> (56 - 8 * i));
  }
  return out;
}

Ulid Ulid::from_bytes(const std::uint8_t* bytes16) {
  Ulid id;
  for (std::size_t i = 0; i < 8; ++i) {
    id.hi = (id.hi << 8) | bytes16[i];
    id.lo = (id.lo << 8) | bytes16[8 + i];
  }
  return id;
}

}  // namespace quarn::memory
