// Test-only access to a pager's internals: its file, its counter and the one-page encryption.
// The engine never includes this; tests use it to set up states and to check the counter.
#pragma once

#include <cstdint>
#include <span>

#include "pager/pager.h"

namespace quarn::pager {

struct PagerAccess {
  static File& file(Pager& pager) { return *pager.file_; }
  static std::uint64_t counter(const Pager& pager) { return pager.nonce_counter_; }
  static void set_counter(Pager& pager, std::uint64_t counter) { pager.nonce_counter_ = counter; }
  [[nodiscard]] static Result<void> encrypt_next(
      Pager& pager, std::uint64_t page, std::span<const std::uint8_t, kPageCapacity> plaintext,
      std::span<std::uint8_t, kPageSize> image) {
    return pager.encrypt_next(page, plaintext, image);
  }
};

}  // namespace quarn::pager
