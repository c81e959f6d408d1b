// The write path on a real file: flush latency, bulk remember + flush, open of a large database,
// and what each flush writes and syncs, beside the latency of one 8 KiB write + fsync on the same
// file system.
//
//   cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQUARN_BENCH=ON -DQUARN_PYTHON=OFF
//   cmake --build build-release --target bench_flush && build-release/bench/bench_flush
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "crypto/crypto.h"
#include "memory/memory.h"
#include "pager/file.h"
#include "store/internal.h"
#include "store/store.h"

namespace {

using quarn::Bytes;
using quarn::ByteView;
using quarn::Result;
using quarn::store::Store;
using quarn::store::StoreAccess;

constexpr std::size_t kBenchDims = 384;

ByteView passphrase() {
  static const std::string text = "benchmark passphrase";
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// A scratch directory beside the build, on the same disk as real databases.
std::string scratch(const std::string& name) {
  const std::filesystem::path dir = std::filesystem::current_path() / "bench-flush-scratch";
  std::filesystem::create_directories(dir);
  const std::filesystem::path path = dir / name;
  std::filesystem::remove(path);
  return path.string();
}

StoreAccess::Tuning cheap_keys() {
  StoreAccess::Tuning tuning;
  tuning.kdf_m_cost = 8;
  tuning.kdf_t_cost = 1;
  return tuning;
}

quarn::memory::Memory sample(std::uint64_t n) {
  quarn::memory::Memory m;
  m.id = quarn::memory::Ulid{0x0190000000000000ULL + n, n * 0x9E3779B97F4A7C15ULL + 1};
  m.content = "benchmark memory number " + std::to_string(n) + " with a sentence of content";
  m.vector.resize(kBenchDims);
  for (std::size_t i = 0; i < kBenchDims; ++i)
    m.vector[i] = static_cast<float>((n * 131 + i * 17) % 1000) / 1000.0f;
  m.created_at = m.accessed_at = 1700000000;
  return m;
}

// Counts what reaches the file: bytes written, write calls and syncs.
class CountingFile final : public quarn::pager::File {
 public:
  explicit CountingFile(std::unique_ptr<quarn::pager::File> inner) : inner_(std::move(inner)) {}
  Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) override {
    return inner_->read_at(offset, out);
  }
  Result<void> write_at(std::uint64_t offset, std::span<const std::uint8_t> in) override {
    bytes += in.size();
    ++writes;
    return inner_->write_at(offset, in);
  }
  Result<void> sync() override {
    ++syncs;
    return inner_->sync();
  }
  Result<void> allocate(std::uint64_t offset, std::uint64_t length) override {
    return inner_->allocate(offset, length);
  }
  Result<std::uint64_t> size() override { return inner_->size(); }
  Result<void> lock_exclusive() override { return inner_->lock_exclusive(); }
  void unlock() override { inner_->unlock(); }
  Result<void> hold(HoldMode mode, bool wait) override { return inner_->hold(mode, wait); }
  Result<bool> is_at(const std::string& path) override { return inner_->is_at(path); }
  Result<void> copy_to(const std::string& dest) override { return inner_->copy_to(dest); }

  std::uint64_t bytes = 0, writes = 0, syncs = 0;

 private:
  std::unique_ptr<quarn::pager::File> inner_;
};

std::unique_ptr<Store> create_store(const std::string& path, CountingFile** counter = nullptr) {
  auto posix = quarn::pager::PosixFile::create_new(path);
  if (!posix) std::abort();
  auto file = std::make_unique<CountingFile>(std::move(*posix));
  if (counter) *counter = file.get();
  auto store = StoreAccess::open(std::move(file), false, passphrase(), kBenchDims, cheap_keys());
  if (!store) std::abort();
  return std::move(*store);
}

void remember_range(Store& store, std::uint64_t from, std::uint64_t count) {
  for (std::uint64_t n = from; n < from + count; ++n)
    if (!store.remember(sample(n))) std::abort();
}

void must_flush(Store& store) {
  if (!store.flush()) std::abort();
}

// The reference: one 8 KiB pwrite followed by fsync.
void BM_Write8KiBAndFsync(benchmark::State& state) {
  const std::string path = scratch("fsync");
  const int fd = ::open(path.c_str(), O_CREAT | O_RDWR, 0644);
  Bytes page(8192, 0x5a);
  std::uint64_t i = 0;
  for (auto _ : state) {
    if (::pwrite(fd, page.data(), page.size(), static_cast<off_t>((i++ % 64) * 8192)) != 8192)
      std::abort();
    if (::fsync(fd) != 0) std::abort();
  }
  ::close(fd);
}
BENCHMARK(BM_Write8KiBAndFsync)->Unit(benchmark::kMicrosecond);

// Flush of 100 staged 384-dimension memories into a growing database.
void BM_Flush100(benchmark::State& state) {
  auto store = create_store(scratch("flush100"));
  std::uint64_t n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    remember_range(*store, n, 100);
    n += 100;
    state.ResumeTiming();
    must_flush(*store);
  }
}
BENCHMARK(BM_Flush100)->Unit(benchmark::kMillisecond)->Iterations(50);

// 10,000 remembers and the one flush that commits them.
void BM_Remember10kAndFlush(benchmark::State& state) {
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto store = create_store(scratch("bulk" + std::to_string(round++)));
    state.ResumeTiming();
    remember_range(*store, 0, 10000);
    must_flush(*store);
  }
}
BENCHMARK(BM_Remember10kAndFlush)->Unit(benchmark::kMillisecond)->Iterations(3);

// Argon2 at the production cost, the floor of every open.
void BM_Argon2ProductionCost(benchmark::State& state) {
  const auto salt = quarn::crypto::random_salt();
  for (auto _ : state) {
    auto kek = quarn::crypto::derive_kek(passphrase(), *salt, 19456, 2, 1);
    benchmark::DoNotOptimize(kek);
  }
}
BENCHMARK(BM_Argon2ProductionCost)->Unit(benchmark::kMillisecond)->Iterations(10);

// Open of a 10,000-memory database created with the production key cost.
void BM_Open10k(benchmark::State& state) {
  const std::string path = scratch("open10k");
  {
    auto store = Store::open(path, passphrase(), kBenchDims);
    if (!store) std::abort();
    remember_range(**store, 0, 10000);
    must_flush(**store);
  }
  for (auto _ : state) {
    auto store = Store::open(path, passphrase(), std::nullopt);
    if (!store || (*store)->live_count() != 10000) std::abort();
  }
}
BENCHMARK(BM_Open10k)->Unit(benchmark::kMillisecond)->Iterations(10);

// The same open with the smallest key cost: everything an open does besides Argon2.
void BM_Open10kWithoutArgon2(benchmark::State& state) {
  const std::string path = scratch("open10k-cheap");
  {
    auto store = create_store(path);
    remember_range(*store, 0, 10000);
    must_flush(*store);
  }
  for (auto _ : state) {
    auto store = StoreAccess::open_path(path, passphrase(), std::nullopt, cheap_keys());
    if (!store || (*store)->live_count() != 10000) std::abort();
  }
}
BENCHMARK(BM_Open10kWithoutArgon2)->Unit(benchmark::kMillisecond)->Iterations(20);

// Bytes written and syncs of one flush of `staged` memories onto a catalog of `existing` rows.
void BM_FlushCost(benchmark::State& state) {
  const auto existing = static_cast<std::uint64_t>(state.range(0));
  const auto staged = static_cast<std::uint64_t>(state.range(1));
  CountingFile* counter = nullptr;
  auto store = create_store(scratch("cost"), &counter);
  for (std::uint64_t done = 0; done < existing; done += 10000) {
    remember_range(*store, done, std::min<std::uint64_t>(10000, existing - done));
    must_flush(*store);
  }
  std::uint64_t n = existing, bytes = 0, syncs = 0, writes = 0, flushes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    remember_range(*store, n, staged);
    n += staged;
    const std::uint64_t b0 = counter->bytes, s0 = counter->syncs, w0 = counter->writes;
    state.ResumeTiming();
    must_flush(*store);
    bytes += counter->bytes - b0;
    syncs += counter->syncs - s0;
    writes += counter->writes - w0;
    ++flushes;
  }
  state.counters["bytes_per_flush"] = static_cast<double>(bytes) / static_cast<double>(flushes);
  state.counters["syncs_per_flush"] = static_cast<double>(syncs) / static_cast<double>(flushes);
  state.counters["writes_per_flush"] = static_cast<double>(writes) / static_cast<double>(flushes);
}
BENCHMARK(BM_FlushCost)
    ->Args({0, 1})
    ->Args({0, 100})
    ->Args({0, 10000})
    ->Args({100000, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// One memory remembered then flushed, and a tracked recall (top 10) then flushed, onto `existing`
// memories, in format `version` (7, or 8 switched to after the fill): time per flush and the
// file's growth per flush.
void BM_OneChangeFlushByFormat(benchmark::State& state) {
  const auto version = static_cast<std::uint64_t>(state.range(0));
  const auto existing = static_cast<std::uint64_t>(state.range(1));
  const bool recall = state.range(2) != 0;
  auto store = create_store(scratch("format" + std::to_string(version)));
  for (std::uint64_t done = 0; done < existing; done += 10000) {
    remember_range(*store, done, std::min<std::uint64_t>(10000, existing - done));
    must_flush(*store);
  }
  if (!store->set_format_version(version)) std::abort();
  must_flush(*store);
  std::uint64_t n = existing, pages = 0, flushes = 0;
  quarn::store::RecallRequest request;
  request.query = sample(7).vector;
  for (auto _ : state) {
    const std::uint64_t before = StoreAccess::header(*store).page_count;
    if (recall) {
      if (!store->recall(request)) std::abort();
    } else if (!store->remember(sample(n++))) {
      std::abort();
    }
    must_flush(*store);
    pages += StoreAccess::header(*store).page_count - before;
    ++flushes;
  }
  state.counters["growth_kb_per_flush"] =
      static_cast<double>(pages) * 8192 / 1000 / static_cast<double>(flushes);
}
BENCHMARK(BM_OneChangeFlushByFormat)
    ->ArgNames({"format", "memories", "recall"})
    ->ArgsProduct({{7, 8}, {10000, 100000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
