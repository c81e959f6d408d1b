// The deterministic generator of index training: a ChaCha stream (12 rounds for training; the
// round count is a parameter so that the block function can be checked at 20 rounds).
//
// Block input, sixteen 32-bit words: 0-3 the constant "expand 32-byte k", 4-11 the 32-byte seed
// read as little-endian words, 12-13 a 64-bit block counter (low word first) starting at 0,
// 14-15 a stream number, here always 0.
//
// Consumption, fixed so that builds are reproducible: the output is one sequence of 32-bit words,
// block 0's sixteen words in order, then block 1's, and so on. A 32-bit draw takes the next word;
// a 64-bit draw takes the next two words, the first as the low half (across a block boundary too).
#pragma once

#include <array>
#include <cstdint>

namespace quarn::index {

// Runs `rounds` rounds (an even number) over `in` and adds the input: one keystream block.
void chacha_block(const std::array<std::uint32_t, 16>& in, std::array<std::uint32_t, 16>& out,
                  int rounds);

class ChaChaRng {
 public:
  using Seed = std::array<std::uint8_t, 32>;
  explicit ChaChaRng(const Seed& seed, int rounds = 12);

  std::uint32_t next_u32();
  std::uint64_t next_u64();
  // Uniform in [0, range) by the widening multiply with rejection; 64-bit draws. range 0 gives 0
  // and draws nothing.
  std::uint64_t below_u64(std::uint64_t range);
  // The same with 32-bit draws.
  std::uint32_t below_u32(std::uint32_t range);
  // The top 24 bits of one 32-bit draw times 2^-24: uniform in [0, 1).
  float uniform_f32();

 private:
  void refill();

  std::array<std::uint32_t, 16> input_{};
  std::array<std::uint32_t, 16> block_{};
  int rounds_;
  unsigned used_ = 16;  // words of block_ already handed out
};

}  // namespace quarn::index
