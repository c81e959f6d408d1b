// Cache hits through the pager: the cost of serving a hot page as a copy and in place.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>

#include "pager/pager.h"
#include "pager/testing/mem_file.h"

namespace {

using namespace quarn;

// A pager over an in-memory file whose pages 1..pages are written home, and all read once.
pager::Pager hot_pager(std::uint64_t pages) {
  auto pager = pager::Pager::create(std::make_unique<pager::testing::MemFile>(),
                                    crypto::random_dek().value(), 0, 7);
  if (!pager) std::abort();
  const Bytes plain(kPageCapacity, 0x42);
  for (std::uint64_t page = 1; page <= pages; ++page) {
    if (!pager->write_run(page, plain) || !pager->read_page(page)) std::abort();
  }
  return std::move(*pager);
}

void BM_ReadPageHit(benchmark::State& state) {
  const auto pages = static_cast<std::uint64_t>(state.range(0));
  auto pager = hot_pager(pages);
  std::uint64_t page = 0;
  for (auto _ : state) {
    auto plain = pager.read_page(page % pages + 1);
    benchmark::DoNotOptimize(plain);
    ++page;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPageCapacity));
}
BENCHMARK(BM_ReadPageHit)->Arg(1)->Arg(1024);

void BM_WithPageHit(benchmark::State& state) {
  const auto pages = static_cast<std::uint64_t>(state.range(0));
  auto pager = hot_pager(pages);
  std::uint64_t page = 0, sum = 0;
  for (auto _ : state) {
    auto r = pager.with_page(page % pages + 1, [&](ByteView v) { sum += v[page % v.size()]; });
    benchmark::DoNotOptimize(r);
    ++page;
  }
  benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_WithPageHit)->Arg(1)->Arg(1024);

// For scale: a miss, i.e. one read and one AES-256-GCM decryption of a page.
void BM_ReadPageUncached(benchmark::State& state) {
  auto pager = hot_pager(1);
  for (auto _ : state) {
    auto plain = pager.read_page_uncached(1);
    benchmark::DoNotOptimize(plain);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPageSize));
}
BENCHMARK(BM_ReadPageUncached);

}  // namespace

BENCHMARK_MAIN();
