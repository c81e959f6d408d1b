// Encoding and decoding of a 384-dimensional memory record with a little metadata.
#include <benchmark/benchmark.h>

#include "memory/memory.h"

namespace {

using namespace quarn::memory;

Memory sample_record() {
  std::vector<float> vector(384);
  for (std::size_t i = 0; i < vector.size(); ++i) {
    vector[i] = static_cast<float>(static_cast<double>(i % 97) / 97.0 - 0.5);
  }
  Memory m = Memory::create("The user prefers short answers and metric units in every reply.",
                            MemoryType::Semantic, std::move(vector))
                 .value();
  m.agent_id = "assistant-1";
  m.session_id = Ulid::generate().value().to_string();
  m.metadata.emplace("source", Json(std::string("chat")));
  m.metadata.emplace("turn", Json(std::uint64_t{12}));
  m.metadata.emplace("score", Json(0.75));
  m.metadata.emplace("tags", Json(JsonArray{Json(std::string("prefs")), Json(std::string("units"))}));
  return m;
}

void BM_EncodeMemory384(benchmark::State& state) {
  const Memory m = sample_record();
  std::size_t size = 0;
  for (auto _ : state) {
    auto bytes = encode_memory(m);
    size = bytes->size();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["bytes"] = static_cast<double>(size);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_EncodeMemory384);

void BM_DecodeMemory384(benchmark::State& state) {
  const quarn::Bytes bytes = encode_memory(sample_record()).value();
  for (auto _ : state) {
    auto m = decode_memory(bytes);
    benchmark::DoNotOptimize(m);
  }
  state.counters["bytes"] = static_cast<double>(bytes.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeMemory384);

void BM_Similarity384(benchmark::State& state) {
  const Memory a = sample_record();
  std::vector<float> b(a.vector.rbegin(), a.vector.rend());
  for (auto _ : state) benchmark::DoNotOptimize(similarity(a.vector, b));
}
BENCHMARK(BM_Similarity384);

}  // namespace

BENCHMARK_MAIN();
