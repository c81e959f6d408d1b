// The store's read side: catalog codec, a warm get, exact recall and search over a warm cache, and
// recall through a trained index.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <unistd.h>

#include "pager/testing/mem_file.h"
#include "store/catalog.h"
#include "store/internal.h"
#include "store/runs.h"
#include "store/store.h"

namespace {

using namespace quarn;
using store::CatalogEntry;
using store::Store;
using store::StoreAccess;

constexpr std::uint64_t kDims = 384;

template <class T>
T must(Result<T> r) {
  if (!r) {
    std::fprintf(stderr, "%s\n", r.error().message().c_str());
    std::abort();
  }
  return std::move(*r);
}
void must(Result<void> r) {
  if (!r) {
    std::fprintf(stderr, "%s\n", r.error().message().c_str());
    std::abort();
  }
}

std::vector<CatalogEntry> catalog_of(std::size_t rows) {
  std::vector<CatalogEntry> catalog(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    catalog[i] = {memory::Ulid{0x0190000000000000ULL + i, i * 0x9E3779B97F4A7C15ULL},
                  9 + i,
                  1,
                  static_cast<std::uint32_t>(1900 + i % 300),
                  i % 10 == 0,
                  1700000000 + static_cast<std::int64_t>(i),
                  static_cast<std::uint32_t>(i % 50)};
  }
  return catalog;
}

void BM_EncodeCatalog(benchmark::State& state) {
  const auto catalog = catalog_of(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(store::encode_catalog(catalog));
}
BENCHMARK(BM_EncodeCatalog)->Arg(100000)->Unit(benchmark::kMillisecond);

// Loading from the run's pages through the pager (decrypting each page) and decoding.
void BM_LoadCatalog(benchmark::State& state) {
  const Bytes blob = store::encode_catalog(catalog_of(static_cast<std::size_t>(state.range(0))));
  auto pager = must(pager::Pager::create(std::make_unique<pager::testing::MemFile>(),
                                         must(crypto::random_dek()), 0, 7));
  const std::uint64_t pages = run_pages(blob.size());
  if (!pager.write_run(1, blob)) std::abort();
  pager.cache().set_capacity(1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(must(store::load_catalog(pager, 1, pages, blob.size())));
  }
}
BENCHMARK(BM_LoadCatalog)->Arg(100000)->Unit(benchmark::kMillisecond);

std::vector<float> random_vector(std::mt19937& rng) {
  std::normal_distribution<float> normal;
  std::vector<float> v(kDims);
  for (float& x : v) x = normal(rng);
  return v;
}

// A database of n memories of 384 dimensions in a temporary file, flushed, every record read once
// with the page cache large enough to keep them all.
struct Fixture {
  std::string dir;
  std::unique_ptr<Store> store;
  std::vector<memory::Ulid> ids;
  std::mt19937 rng{7};

  explicit Fixture(std::size_t n, bool indexed) {
    std::string pattern = std::filesystem::temp_directory_path() / "quarn-bench-XXXXXX";
    dir = ::mkdtemp(pattern.data());
    StoreAccess::Tuning tuning;
    tuning.kdf_m_cost = 8;
    tuning.kdf_t_cost = 1;
    store = must(StoreAccess::open_path(dir + "/db", ByteView(), kDims, tuning));
    store->set_cache_capacity(n + 1024);
    const std::int64_t now = memory::now_secs();
    for (std::size_t i = 0; i < n; ++i) {
      memory::Memory m = must(memory::Memory::create("memory number " + std::to_string(i),
                                                     memory::MemoryType::Semantic, random_vector(rng)));
      m.agent_id = i % 3 == 0 ? "alice" : "bob";
      m.accessed_at = now - static_cast<std::int64_t>(i % 100000);
      m.access_count = static_cast<std::uint32_t>(i % 17);
      ids.push_back(must(store->remember(std::move(m))));
    }
    if (indexed) must(store->build_index());
    must(store->flush());
    must(store->stats());  // reads every record once
  }
  ~Fixture() {
    store.reset();
    std::filesystem::remove_all(dir);
  }
};

Fixture& fixture(std::size_t n, bool indexed) {
  static std::map<std::pair<std::size_t, bool>, std::unique_ptr<Fixture>> made;
  auto& slot = made[{n, indexed}];
  if (!slot) slot = std::make_unique<Fixture>(n, indexed);
  return *slot;
}

void BM_GetWarm(benchmark::State& state) {
  Fixture& f = fixture(10000, false);
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(must(f.store->get(f.ids[i++ % f.ids.size()])));
}
BENCHMARK(BM_GetWarm);

void BM_RecallExact(benchmark::State& state) {
  Fixture& f = fixture(static_cast<std::size_t>(state.range(0)), false);
  store::RecallRequest request;
  request.query = random_vector(f.rng);
  request.track_access = state.range(1) != 0;
  for (auto _ : state) benchmark::DoNotOptimize(must(f.store->recall(request)));
}
BENCHMARK(BM_RecallExact)->Args({10000, 0})->Args({10000, 1})->Unit(benchmark::kMillisecond);

void BM_SearchExact(benchmark::State& state) {
  Fixture& f = fixture(static_cast<std::size_t>(state.range(0)), false);
  const std::vector<float> query = random_vector(f.rng);
  for (auto _ : state) benchmark::DoNotOptimize(must(f.store->search(query, 10)));
}
BENCHMARK(BM_SearchExact)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_RecallIndexed(benchmark::State& state) {
  Fixture& f = fixture(static_cast<std::size_t>(state.range(0)), true);
  std::vector<std::vector<float>> queries;
  for (int i = 0; i < 64; ++i) queries.push_back(random_vector(f.rng));
  store::RecallRequest request;
  request.track_access = false;
  std::size_t i = 0;
  for (auto _ : state) {
    request.query = queries[i++ % queries.size()];
    benchmark::DoNotOptimize(must(f.store->recall(request)));
  }
}
BENCHMARK(BM_RecallIndexed)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
