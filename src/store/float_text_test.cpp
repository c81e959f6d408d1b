#include "store/float_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace quarn::store {
namespace {

std::string mine(float value) {
  char buf[16];
  return std::string(buf, write_shortest(buf, value));
}

std::string standard(float value) {
  char buf[64];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

// The standard library's shortest form is the reference: same digits, same layout.
TEST(FloatText, WritesWhatToCharsWritesAcrossTheWholeRange) {
  std::uint64_t checked = 0;
  for (std::uint64_t bits = 0; bits <= 0xffffffffu; bits += 4093) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    if (!std::isfinite(value)) continue;
    ASSERT_EQ(mine(value), standard(value)) << std::hex << bits;
    ++checked;
  }
  EXPECT_GT(checked, 1000000u);
}

TEST(FloatText, EdgesOfTheLayoutAndTheRange) {
  using limits = std::numeric_limits<float>;
  std::vector<float> values = {0.0f, -0.0f, 1.0f, 0.1f, 100000.0f, 10000.0f, 0.001f, 0.0001f, 1.5e-7f,
                               33871888.0f, 123456792.0f, 1e14f, 1e15f, limits::max(), -limits::max(),
                               limits::min(), limits::denorm_min(), 8.589973e9f, 9.999999e-5f};
  for (int e = -149; e <= 127; ++e) values.push_back(std::ldexp(1.0f, e));
  for (int e = -45; e <= 38; ++e) values.push_back(std::pow(10.0f, static_cast<float>(e)));
  for (float value : values) {
    EXPECT_EQ(mine(value), standard(value)) << standard(value);
    float back = 0.0f;
    const std::string text = mine(value);
    std::from_chars(text.data(), text.data() + text.size(), back);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(back), std::bit_cast<std::uint32_t>(value)) << text;
  }
}

}  // namespace
}  // namespace quarn::store
