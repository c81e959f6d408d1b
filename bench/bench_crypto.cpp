// One page through the prepared page cipher: the cost every flushed or cold-read page pays.
#include <array>
#include <cstdint>
#include <cstdlib>

#include <benchmark/benchmark.h>

#include "crypto/crypto.h"

namespace {

using quarn::kPageCapacity;
using quarn::kPageSize;
using quarn::crypto::PageCipher;

PageCipher make_cipher() {
  auto key = quarn::crypto::random_dek();
  if (!key) std::abort();
  auto cipher = PageCipher::create(*key);
  if (!cipher) std::abort();
  return std::move(*cipher);
}

void BM_EncryptPage(benchmark::State& state) {
  PageCipher cipher = make_cipher();
  std::array<std::uint8_t, kPageCapacity> plaintext{};
  std::array<std::uint8_t, kPageSize> image{};
  std::uint64_t counter = 0;
  for (auto _ : state) {
    if (!cipher.encrypt_page(17, ++counter, 7, plaintext, image)) state.SkipWithError("encrypt failed");
    benchmark::DoNotOptimize(image.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kPageCapacity);
}
BENCHMARK(BM_EncryptPage);

void BM_DecryptPage(benchmark::State& state) {
  PageCipher cipher = make_cipher();
  std::array<std::uint8_t, kPageCapacity> plaintext{};
  std::array<std::uint8_t, kPageSize> image{};
  if (!cipher.encrypt_page(17, 1, 7, plaintext, image)) std::abort();
  for (auto _ : state) {
    if (!cipher.decrypt_page(17, 7, image, plaintext)) state.SkipWithError("decrypt failed");
    benchmark::DoNotOptimize(plaintext.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kPageCapacity);
}
BENCHMARK(BM_DecryptPage);

}  // namespace

BENCHMARK_MAIN();
