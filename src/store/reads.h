// Helpers shared by the store's read operations.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

#include "memory/json.h"

namespace quarn::store {

// True exactly when metadata["topic"] is a text equal to "manifest" under ASCII case folding.
bool is_manifest(const memory::JsonObject& metadata);

// True when metadata[key] is a text equal to `value` under ASCII case folding (same length).
bool text_field_equals(const memory::JsonObject& metadata, std::string_view key,
                       std::string_view value);

// A key whose unsigned order is the IEEE 754 total order of 32-bit floats (-NaN < -inf < ... <
// -0.0 < +0.0 < ... < +inf < +NaN).
inline std::uint32_t total_order_key(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

}  // namespace quarn::store
