// Test fixture: a pager over an in-memory file, with verbs to place encrypted pages on the "disk".
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>

#include "crypto/crypto.h"
#include "format/bytes.h"
#include "memory/memory.h"
#include "pager/pager.h"
#include "pager/testing/mem_file.h"

namespace quarn::store::testing {

class PagerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    auto file = std::make_unique<pager::testing::FaultFile>(disk_);
    file_ = file.get();
    auto key = crypto::random_dek();
    ASSERT_TRUE(key.has_value());
    auto pager = pager::Pager::create(std::move(file), std::move(*key), 0, 7);
    ASSERT_TRUE(pager.has_value());
    pager_.emplace(std::move(*pager));
  }

  // Encrypts `payload` (zero-padded) as page `page` and writes it to the file, not the cache.
  void put_page(std::uint64_t page, ByteView payload) {
    ASSERT_LE(payload.size(), kPageCapacity);
    ASSERT_TRUE(pager_->write_run(page, payload).has_value());
  }

  // Lays `bytes` out as a run from `start` on the file; returns its page count.
  std::uint64_t put_run(std::uint64_t start, ByteView bytes) {
    EXPECT_TRUE(pager_->write_run(start, bytes).has_value());
    return run_pages(bytes.size());
  }

  // Flips one ciphertext byte of a page on the file.
  void corrupt_page(std::uint64_t page) { disk_->bytes.at(page * kPageSize + 100) ^= 0x40; }

  std::shared_ptr<pager::testing::MemDisk> disk_ = std::make_shared<pager::testing::MemDisk>();
  pager::testing::FaultFile* file_ = nullptr;  // owned by the pager; counts its reads
  std::optional<pager::Pager> pager_;
};

// A small memory record with chosen access statistics.
inline memory::Memory sample_memory(std::int64_t accessed_at, std::uint32_t access_count) {
  memory::Memory m;
  m.id = memory::Ulid{0x0190000000000001ULL, 0x42};
  m.content = "sample";
  m.vector = {0.25f, -1.0f};
  m.created_at = 1700000000;
  m.accessed_at = accessed_at;
  m.access_count = access_count;
  return m;
}

}  // namespace quarn::store::testing
