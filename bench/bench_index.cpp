// The approximate index at the size it is built for: training over 100,000 memories of 384
// dimensions (clustered synthetic data, 1000 clusters), encoding and decoding that index, and one
// probe with the built parameters. Training also runs on 10,000 memories with the SIMD kernels
// and with the scalar kernels forced, to show what the kernels buy.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>

#include "index/index.h"
#include "index/kernels.h"
#include "index/test_util.h"

namespace {

using namespace quarn;
using namespace quarn::index;

constexpr std::size_t kDims = 384;
constexpr std::size_t kClusters = 1000;

struct Data {
  std::size_t n;
  std::vector<Ulid> ids;
  std::vector<float> vectors;
};

const Data& data(std::size_t n) {
  static std::vector<std::unique_ptr<Data>> cache;
  for (const auto& d : cache)
    if (d->n == n) return *d;
  cache.push_back(std::make_unique<Data>(
      Data{n, testing::ids(n), testing::clustered(n, kDims, kClusters, 42)}));
  return *cache.back();
}

const IvfPqIndex& big_index() {
  static std::unique_ptr<IvfPqIndex> index = [] {
    const Data& d = data(100000);
    return std::move(train(d.ids, d.vectors, kDims).value());
  }();
  return *index;
}

void train_on(benchmark::State& state, std::size_t n, kernels::Isa isa) {
  const Data& d = data(n);
  kernels::set_isa(isa);
  for (auto _ : state) {
    auto index = train(d.ids, d.vectors, kDims);
    benchmark::DoNotOptimize(index);
  }
  kernels::set_isa(kernels::supported_isa());
}

void BM_Train100k(benchmark::State& state) { train_on(state, 100000, kernels::supported_isa()); }
BENCHMARK(BM_Train100k)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_Train10kSimd(benchmark::State& state) { train_on(state, 10000, kernels::supported_isa()); }
BENCHMARK(BM_Train10kSimd)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_Train10kScalar(benchmark::State& state) { train_on(state, 10000, kernels::Isa::Scalar); }
BENCHMARK(BM_Train10kScalar)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_Encode100k(benchmark::State& state) {
  const IvfPqIndex& index = big_index();
  std::size_t bytes = 0;
  for (auto _ : state) {
    Bytes out = encode_index(index).value();
    bytes = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Encode100k)->Unit(benchmark::kMillisecond);

void BM_Decode100k(benchmark::State& state) {
  const Bytes bytes = encode_index(big_index()).value();
  for (auto _ : state) {
    auto index = decode_index(bytes, kDims);
    benchmark::DoNotOptimize(index);
  }
}
BENCHMARK(BM_Decode100k)->Unit(benchmark::kMillisecond);

// One probe (n_probe 8, n_rerank 64) per iteration. "recall@10" is the share of the ten exact
// nearest neighbours (squared distance) found among the 64 candidates, "recall@10_all" among all
// candidates of the 8 partitions (what the product quantiser's ranking loses is the difference),
// and "candidates" the mean number of vectors in the 8 partitions.
void BM_Probe100k(benchmark::State& state) {
  const IvfPqIndex& index = big_index();
  const Data& d = data(100000);
  constexpr std::size_t kQueries = 200;
  const std::vector<float> queries = testing::clustered(kQueries, kDims, kClusters, 42);
  std::size_t q = 0;
  for (auto _ : state) {
    auto ids = probe(index, std::span(queries).subspan((q % kQueries) * kDims, kDims), 8, 64);
    benchmark::DoNotOptimize(ids);
    ++q;
  }
  std::size_t found = 0, found_all = 0, candidates = 0;
  std::vector<float> dist(d.n);
  for (std::size_t i = 0; i < kQueries; ++i) {
    const float* query = queries.data() + i * kDims;
    kernels::row_distances(d.vectors.data(), d.n, kDims, query, dist.data());
    std::vector<std::size_t> order(d.n);
    for (std::size_t j = 0; j < d.n; ++j) order[j] = j;
    std::partial_sort(order.begin(), order.begin() + 10, order.end(),
                      [&](auto a, auto b) { return dist[a] < dist[b]; });
    const auto query_span = std::span(queries).subspan(i * kDims, kDims);
    const auto cands = probe(index, query_span, 8, 64);
    const auto all = probe(index, query_span, 8, d.n);
    candidates += all.size();
    for (std::size_t k = 0; k < 10; ++k) {
      found += std::count(cands.begin(), cands.end(), d.ids[order[k]]);
      found_all += std::count(all.begin(), all.end(), d.ids[order[k]]);
    }
  }
  state.counters["recall@10"] = static_cast<double>(found) / (10.0 * kQueries);
  state.counters["recall@10_all"] = static_cast<double>(found_all) / (10.0 * kQueries);
  state.counters["candidates"] = static_cast<double>(candidates) / kQueries;
}
BENCHMARK(BM_Probe100k)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
