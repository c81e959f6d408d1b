// What touching memory costs on this machine right after a process gives memory back.
//
//   build/bench/page_touch
//
// Fills 256 MiB, then either waits or fills and releases (munmap) a second region of a given
// size, then reads one byte from each of 1,000 random 4 KiB pages of the first region, three
// rounds. On a virtual machine whose guest page tables are shadowed by the host, releasing more
// than a few dozen pages flushes the shadow, and the first touch of each page afterwards costs
// microseconds instead of tens of nanoseconds; memory in 2 MiB pages suffers less. The first
// recall after build_index runs in exactly that state: the build has just released its work
// buffers.
#include <sys/mman.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

double micros_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

void run(bool huge, std::size_t release_mib) {
  constexpr std::size_t kSize = std::size_t{256} << 20;
  constexpr std::size_t kPage = 4096;
  void* mapped = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return;
  auto* region = static_cast<volatile std::uint8_t*>(mapped);
  madvise(mapped, kSize, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  std::memset(mapped, 1, kSize);
  if (release_mib != 0) {
    const std::size_t size = release_mib << 20;
    void* other = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (other == MAP_FAILED) return;
    std::memset(other, 2, size);
    munmap(other, size);
  }
  std::uint32_t seed = 12345;
  std::printf("%s pages, %4zu MiB released first:", huge ? "2 MiB" : "4 KiB", release_mib);
  for (int round = 0; round < 3; ++round) {
    const auto start = std::chrono::steady_clock::now();
    unsigned sum = 0;
    for (int i = 0; i < 1000; ++i) {
      seed = seed * 1103515245u + 12345u;
      sum += region[(seed >> 4) % (kSize / kPage) * kPage];
    }
    std::printf("  round %d %.2f us/page", round, micros_since(start) / 1000 + sum * 0.0);
  }
  std::printf("\n");
  munmap(mapped, kSize);
}

}  // namespace

int main() {
  for (bool huge : {false, true}) {
    for (std::size_t release : {0, 1, 8, 512}) run(huge, release);
  }
  return 0;
}
