#include "memory/memory.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace quarn::memory {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(MemoryTest, CreateFillsTheDefaultsFromOneClockReading) {
  const std::int64_t before = now_secs();
  auto memory = Memory::create("x", MemoryType::Semantic, {0.5f});
  const std::int64_t after = now_secs();
  ASSERT_TRUE(memory);
  const Memory& m = *memory;
  EXPECT_FALSE(m.id.is_nil());
  EXPECT_EQ(m.memory_type, MemoryType::Semantic);
  EXPECT_EQ(m.vector, std::vector<float>{0.5f});
  EXPECT_EQ(m.content, "x");
  EXPECT_TRUE(m.metadata.empty());
  EXPECT_EQ(m.agent_id, "default");
  EXPECT_EQ(m.session_id, std::nullopt);
  EXPECT_EQ(m.scope, Scope::Private);
  EXPECT_GE(m.created_at, before);
  EXPECT_LE(m.created_at, after);
  EXPECT_EQ(m.accessed_at, m.created_at);
  EXPECT_EQ(m.access_count, 0u);
  EXPECT_EQ(m.importance, 0.5f);
  EXPECT_EQ(m.ttl_secs, std::nullopt);
  EXPECT_FALSE(m.is_expired(kMax));
}

TEST(MemoryTest, StoredNamesAreCapitalisedAndExact) {
  for (MemoryType type : kMemoryTypes) {
    EXPECT_EQ(parse_stored_type(stored_name(type)), type);
    EXPECT_EQ(parse_python_type(python_name(type)), type);
    EXPECT_EQ(parse_stored_type(python_name(type)), std::nullopt);
  }
  EXPECT_EQ(stored_name(MemoryType::Procedural), "Procedural");
  EXPECT_EQ(python_name(MemoryType::Working), "working");
  EXPECT_EQ(parse_stored_type("Semantic "), std::nullopt);
  EXPECT_EQ(parse_stored_type("SEMANTIC"), std::nullopt);
  EXPECT_EQ(parse_stored_scope("Shared"), Scope::Shared);
  EXPECT_EQ(parse_stored_scope("shared"), std::nullopt);
  EXPECT_EQ(python_name(Scope::Private), "private");

  EXPECT_EQ(parse_python_type("SEMANTIC"), MemoryType::Semantic);
  EXPECT_EQ(parse_python_type("Semantic"), MemoryType::Semantic);
  EXPECT_EQ(parse_python_type("semantic "), std::nullopt);
  EXPECT_EQ(parse_python_type("sem"), std::nullopt);
  EXPECT_EQ(parse_python_type(""), std::nullopt);
}

TEST(MemoryTest, ExpiryComparesTheWrappedAgeWithTheTtl) {
  struct Case {
    std::int64_t created_at;
    std::optional<std::int64_t> ttl;
    std::int64_t now;
    bool expired;
  };
  const Case cases[] = {
      {1000, std::nullopt, kMax, false},
      {1000, 0, 1000, true},      // ttl 0: expired from the moment it is written
      {1000, -5, 1000, true},
      {1000, 60, 1059, false},
      {1000, 60, 1060, true},
      {1000, 60, 999, false},     // clock went back
      // Extreme stored values: the difference wraps instead of overflowing.
      {kMin, 60, kMax, false},    // kMax - kMin wraps to -1
      {kMax, 60, kMin, false},    // wraps to 1
      {kMax, 1, kMin, true},
      {kMin, kMax, 0, false},     // 0 - kMin wraps to kMin
      {0, kMin, 0, true},
  };
  for (const Case& c : cases) {
    Memory m;
    m.created_at = c.created_at;
    m.ttl_secs = c.ttl;
    EXPECT_EQ(m.is_expired(c.now), c.expired)
        << c.created_at << " " << c.ttl.value_or(-1) << " " << c.now;
  }
  EXPECT_EQ(wrapping_sub(kMin, 1), kMax);
  EXPECT_EQ(wrapping_sub(kMax, -1), kMin);
}

TEST(MemoryTest, SimilarityIsFloat32CosineWithZeroForZeroNorms) {
  const std::vector<float> a = {1.0f, 2.0f, 3.0f};
  EXPECT_NEAR(similarity(a, a), 1.0f, 1e-6f);
  EXPECT_EQ(similarity(a, std::vector<float>{0.0f, 0.0f, 0.0f}), 0.0f);
  EXPECT_EQ(similarity(std::vector<float>{}, a), 0.0f);
  EXPECT_EQ(similarity(std::vector<float>{-0.0f}, a), 0.0f);
  EXPECT_NEAR(similarity(a, std::vector<float>{-1.0f, -2.0f, -3.0f}), -1.0f, 1e-6f);
  EXPECT_EQ(similarity(std::vector<float>{1.0f, 0.0f}, std::vector<float>{0.0f, 1.0f}), 0.0f);

  // Different lengths: the dot runs over the shorter, each norm over its whole vector.
  // dot = 1*1 + 2*2 = 5; |a| = sqrt(14), |b| = sqrt(5).
  const std::vector<float> b = {1.0f, 2.0f};
  const float expected = 5.0f / (std::sqrt(14.0f) * std::sqrt(5.0f));
  EXPECT_EQ(similarity(a, b), expected);
  EXPECT_EQ(similarity(b, a), expected);
}

}  // namespace
}  // namespace quarn::memory
