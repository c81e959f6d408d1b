#include "store/record_cache.h"

#include <sys/mman.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <limits>

#include "store/runs.h"

namespace quarn::store {
namespace {

static_assert(sizeof(ScanEntry) + sizeof(VectorInfo) == 88, "the per-row cost in record_cache.h");

// The smallest float at or above v.
float float_up(double v) {
  float f = static_cast<float>(v);
  if (static_cast<double>(f) < v) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

// Room for the rounding of the double arithmetic below (a few units of 2^-53).
constexpr double kSlack = 1.0 + 1e-12;

// Rounds to the nearest integer, ties to even, as nearbyint does in the default rounding mode, for
// |y| < 2^51: adding 1.5 * 2^52 leaves no fraction bits, so the addition itself rounds. A library
// call that saves and restores the floating-point environment per element cost more than the rest
// of a record's first read.
inline double round_even(double y) {
  constexpr double kShift = 6755399441055744.0;  // 1.5 * 2^52
  return (y + kShift) - kShift;                  // never reassociated: the build has no fast-math
}

// A fresh info with a vector's norm from its float sum of squares; whether every value is finite,
// told by the double sum of squares: squares of finite floats summed in double cannot overflow,
// so that sum is finite exactly when every value is.
bool set_norms(VectorInfo& info, float squares, double x2) {
  info = VectorInfo{};
  info.norm_squares = squares;
  info.norm = std::sqrt(squares);
  return std::isfinite(x2);
}

// The bounds of a vector's codes from its sums (see VectorInfo), rounded upwards.
void set_bounds(VectorInfo& info, float scale, double c2, double e2, double x2, double xmax) {
  info.scale = scale;
  info.scaled_code_norm = float_up(static_cast<double>(scale) * std::sqrt(c2) * kSlack);
  info.err_norm = float_up(std::sqrt(e2) * kSlack);
  info.vector_norm = float_up(std::sqrt(x2) * kSlack);
  info.vector_max = float_up(xmax);
  info.exact_only = false;
}

// The norms of R vectors of d values, side by side, from `t`, which holds value i of vector r at
// t[i * R + r] (for one vector: the vector itself). Each sum runs in position order exactly as for
// one vector alone, and the R of them advance together. With `ct` (not null), also the 8-bit codes
// (code i of vector r at ct[i * R + r]) and the bounds VectorInfo describes, when every vector has
// only finite values; `finite` tells which do.
template <std::size_t R>
[[gnu::always_inline]] inline void measure_lanes(const float* t, std::size_t d, std::uint8_t* ct,
                                                 VectorInfo* const* infos, bool* finite) {
  float squares[R] = {};
  double xmax[R] = {}, x2[R] = {};
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t r = 0; r < R; ++r) {
      const float v = t[i * R + r];
      squares[r] += v * v;
      xmax[r] = std::max(xmax[r], std::fabs(static_cast<double>(v)));
      x2[r] += static_cast<double>(v) * v;
    }
  }
  bool all_finite = true;
  for (std::size_t r = 0; r < R; ++r) {
    finite[r] = set_norms(*infos[r], squares[r], x2[r]);
    all_finite = all_finite && finite[r];
  }
  if (ct == nullptr || d == 0 || !all_finite) return;
  float scale[R];
  double inverse[R], e2[R] = {}, c2[R] = {};
  for (std::size_t r = 0; r < R; ++r) {
    scale[r] = static_cast<float>(xmax[r] / 127.0);
    // Any code will do: the bounds are measured from the codes chosen.
    inverse[r] = scale[r] > 0.0f ? 1.0 / static_cast<double>(scale[r]) : 0.0;
  }
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t r = 0; r < R; ++r) {
      const float x = t[i * R + r];
      const double c = std::clamp(round_even(x * inverse[r]), -127.0, 127.0);
      ct[i * R + r] = static_cast<std::uint8_t>(c + 128.0);
      const double err = static_cast<double>(x) - static_cast<double>(scale[r]) * c;
      e2[r] += err * err;
      c2[r] += c * c;
    }
  }
  for (std::size_t r = 0; r < R; ++r) set_bounds(*infos[r], scale[r], c2[r], e2[r], x2[r], xmax[r]);
}

// One vector (codes may be null: norms only).
void measure_one(const float* row, std::size_t d, std::uint8_t* codes, VectorInfo* info) {
  bool finite = false;
  measure_lanes<1>(row, d, codes, &info, &finite);
}

constexpr std::size_t kLanes = 8;

// kLanes vectors, interleaved as measure_lanes takes them. measure_block_avx2 below does the same
// operations in the same order in AVX registers; the instruction set is chosen at run time.
void measure_block(const float* t, std::size_t d, std::uint8_t* ct, VectorInfo* const* infos,
                   bool* finite) {
  measure_lanes<kLanes>(t, d, ct, infos, finite);
}
// Value i of row r to t[i * kLanes + r], for the first d values of kLanes rows.
void interleave(const float* const* rows, std::size_t d, float* t) {
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t r = 0; r < kLanes; ++r) t[i * kLanes + r] = rows[r][i];
  }
}
#if defined(__x86_64__)
[[gnu::target("avx2")]] void interleave_avx2(const float* const* rows, std::size_t d, float* t) {
  std::size_t i = 0;
  for (; i + 8 <= d; i += 8) {  // eight 8 x 8 transposes
    __m256 r[8], u[8], v[8];
    for (std::size_t k = 0; k < 8; ++k) r[k] = _mm256_loadu_ps(rows[k] + i);
    for (std::size_t k = 0; k < 8; k += 2) {
      u[k] = _mm256_unpacklo_ps(r[k], r[k + 1]);
      u[k + 1] = _mm256_unpackhi_ps(r[k], r[k + 1]);
    }
    for (std::size_t k = 0; k < 8; k += 4) {
      v[k] = _mm256_shuffle_ps(u[k], u[k + 2], 0x44);
      v[k + 1] = _mm256_shuffle_ps(u[k], u[k + 2], 0xee);
      v[k + 2] = _mm256_shuffle_ps(u[k + 1], u[k + 3], 0x44);
      v[k + 3] = _mm256_shuffle_ps(u[k + 1], u[k + 3], 0xee);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      _mm256_storeu_ps(t + (i + k) * kLanes, _mm256_permute2f128_ps(v[k], v[k + 4], 0x20));
      _mm256_storeu_ps(t + (i + k + 4) * kLanes, _mm256_permute2f128_ps(v[k], v[k + 4], 0x31));
    }
  }
  for (; i < d; ++i) {
    for (std::size_t r = 0; r < kLanes; ++r) t[i * kLanes + r] = rows[r][i];
  }
}

// The same with the eight lanes in AVX registers (floats 8 to a register, doubles 4): each lane
// does the operations measure_lanes does, in its order. The lanes' max differs from std::max only
// for a NaN, which leaves that vector without codes either way.
[[gnu::target("avx2")]] void measure_block_avx2(const float* t, std::size_t d, std::uint8_t* ct,
                                                VectorInfo* const* infos, bool* finite) {
  const __m256d sign = _mm256_set1_pd(-0.0);
  __m256 squares = _mm256_setzero_ps();
  __m256d x2_lo = _mm256_setzero_pd(), x2_hi = _mm256_setzero_pd();
  __m256d max_lo = _mm256_setzero_pd(), max_hi = _mm256_setzero_pd();
  for (std::size_t i = 0; i < d; ++i) {
    const __m256 v = _mm256_loadu_ps(t + i * kLanes);
    squares = _mm256_add_ps(squares, _mm256_mul_ps(v, v));
    const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
    const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
    max_lo = _mm256_max_pd(_mm256_andnot_pd(sign, lo), max_lo);
    max_hi = _mm256_max_pd(_mm256_andnot_pd(sign, hi), max_hi);
    x2_lo = _mm256_add_pd(x2_lo, _mm256_mul_pd(lo, lo));
    x2_hi = _mm256_add_pd(x2_hi, _mm256_mul_pd(hi, hi));
  }
  alignas(32) float sq[kLanes];
  alignas(32) double x2[kLanes], xmax[kLanes];
  _mm256_store_ps(sq, squares);
  _mm256_store_pd(x2, x2_lo);
  _mm256_store_pd(x2 + 4, x2_hi);
  _mm256_store_pd(xmax, max_lo);
  _mm256_store_pd(xmax + 4, max_hi);
  bool all_finite = true;
  for (std::size_t r = 0; r < kLanes; ++r) {
    finite[r] = set_norms(*infos[r], sq[r], x2[r]);
    all_finite = all_finite && finite[r];
  }
  if (d == 0 || !all_finite) return;
  alignas(32) float scale[kLanes];
  alignas(32) double scale_d[kLanes], inverse[kLanes];
  for (std::size_t r = 0; r < kLanes; ++r) {
    scale[r] = static_cast<float>(xmax[r] / 127.0);
    scale_d[r] = static_cast<double>(scale[r]);
    inverse[r] = scale[r] > 0.0f ? 1.0 / scale_d[r] : 0.0;
  }
  const __m256d inv_lo = _mm256_load_pd(inverse), inv_hi = _mm256_load_pd(inverse + 4);
  const __m256d scale_lo = _mm256_load_pd(scale_d), scale_hi = _mm256_load_pd(scale_d + 4);
  const __m256d shift = _mm256_set1_pd(6755399441055744.0), bias = _mm256_set1_pd(128.0);
  const __m256d low = _mm256_set1_pd(-127.0), high = _mm256_set1_pd(127.0);
  __m256d e2_lo = _mm256_setzero_pd(), e2_hi = _mm256_setzero_pd();
  __m256d c2_lo = _mm256_setzero_pd(), c2_hi = _mm256_setzero_pd();
  for (std::size_t i = 0; i < d; ++i) {
    const __m256 v = _mm256_loadu_ps(t + i * kLanes);
    const __m256d x_lo = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
    const __m256d x_hi = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
    // round_even, then clamped: for finite values min and max give std::clamp's value.
    const __m256d c_lo = _mm256_min_pd(
        _mm256_max_pd(_mm256_sub_pd(_mm256_add_pd(_mm256_mul_pd(x_lo, inv_lo), shift), shift), low),
        high);
    const __m256d c_hi = _mm256_min_pd(
        _mm256_max_pd(_mm256_sub_pd(_mm256_add_pd(_mm256_mul_pd(x_hi, inv_hi), shift), shift), low),
        high);
    const __m128i q_lo = _mm256_cvttpd_epi32(_mm256_add_pd(c_lo, bias));  // whole, 1 .. 255
    const __m128i q_hi = _mm256_cvttpd_epi32(_mm256_add_pd(c_hi, bias));
    const __m128i words = _mm_packus_epi32(q_lo, q_hi);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(ct + i * kLanes), _mm_packus_epi16(words, words));
    const __m256d err_lo = _mm256_sub_pd(x_lo, _mm256_mul_pd(scale_lo, c_lo));
    const __m256d err_hi = _mm256_sub_pd(x_hi, _mm256_mul_pd(scale_hi, c_hi));
    e2_lo = _mm256_add_pd(e2_lo, _mm256_mul_pd(err_lo, err_lo));
    e2_hi = _mm256_add_pd(e2_hi, _mm256_mul_pd(err_hi, err_hi));
    c2_lo = _mm256_add_pd(c2_lo, _mm256_mul_pd(c_lo, c_lo));
    c2_hi = _mm256_add_pd(c2_hi, _mm256_mul_pd(c_hi, c_hi));
  }
  alignas(32) double e2[kLanes], c2[kLanes];
  _mm256_store_pd(e2, e2_lo);
  _mm256_store_pd(e2 + 4, e2_hi);
  _mm256_store_pd(c2, c2_lo);
  _mm256_store_pd(c2 + 4, c2_hi);
  for (std::size_t r = 0; r < kLanes; ++r) set_bounds(*infos[r], scale[r], c2[r], e2[r], x2[r], xmax[r]);
}
#endif

}  // namespace

ScanMapping::~ScanMapping() {
  if (mapped) {
    munmap(base, bytes);
  } else {
    delete[] base;
  }
}

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// `bytes` of zeroed memory, aligned to `align` (a power of two, at least the page size) when
// mapped; from the heap where mapping fails.
std::shared_ptr<ScanMapping> map_memory(std::size_t bytes, std::size_t align, bool huge) {
  auto m = std::make_shared<ScanMapping>();
  void* p = mmap(nullptr, bytes + align, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    m->base = new std::uint8_t[bytes]();
    m->bytes = bytes;
    return m;
  }
  // Trim the mapping to an aligned start and the size asked for.
  auto* raw = static_cast<std::uint8_t*>(p);
  const auto addr = reinterpret_cast<std::uintptr_t>(raw);
  const std::size_t head = ((addr + align - 1) & ~(align - 1)) - addr;
  if (head != 0) munmap(raw, head);
  if (align - head != 0) munmap(raw + head + bytes, align - head);
  m->base = raw + head;
  m->bytes = bytes;
  m->mapped = true;
  if (huge) madvise(m->base, bytes, MADV_HUGEPAGE);  // advice: refused or ignored, no harm
  return m;
}

// Asks for the pages of [p, p + bytes) to be present and writable at once rather than one fault
// at a time. Advice too: a kernel without MADV_POPULATE_WRITE (23) refuses it, and the pages then
// come at first touch.
void populate(std::uint8_t* p, std::size_t bytes) {
  const std::size_t page = 4096;
  const auto start = reinterpret_cast<std::uintptr_t>(p) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes + page - 1) & ~(page - 1);
  madvise(reinterpret_cast<void*>(start), end - start, 23);
}

}  // namespace

ScanTable::Block ScanTable::take_block(std::size_t bytes) {
  const std::size_t page = 4096;
  if (bytes < kSlabFrom) {
    auto m = map_memory(std::max((bytes + page - 1) & ~(page - 1), page), page, false);
    if (m->mapped && bulk_) populate(m->base, m->bytes);
    return Block{m, m->base};
  }
  if (!slab_ || slab_->bytes - slab_used_ < bytes) {
    // Blocks past kSlabSpread take a slab each, so that what is mapped and not yet used stays
    // below a huge page per block.
    const std::size_t want = bytes <= kSlabSpread ? kSlabBlocks * bytes : bytes;
    slab_ = map_memory((want + kHugePage - 1) & ~(kHugePage - 1), kHugePage, bulk_);
    slab_used_ = 0;
  }
  Block block{slab_, slab_->base + slab_used_};
  slab_used_ += bytes;
  if (slab_->mapped && bulk_) populate(block.data, bytes);
  return block;
}

std::span<const float> ScanTable::vector(std::size_t slot) const {
  const auto odd = odd_vectors_.find(slot);
  if (odd != odd_vectors_.end()) return odd->second;
  return {chunks_[slot / kChunk].vectors + (slot % kChunk) * dims_, dims_};
}

std::optional<std::uint32_t> ScanTable::find_agent(std::string_view name) const {
  const auto it = agent_numbers_.find(std::string(name));
  if (it == agent_numbers_.end()) return std::nullopt;
  return it->second;
}

float ScanTable::usage(std::size_t slot, std::uint32_t count) {
  ScanEntry& e = chunks_[slot / kChunk].entries[slot % kChunk];
  if (e.usage_count != count) {
    e.usage_count = count;
    e.usage = std::log(static_cast<float>(count) + 1.0f);
  }
  return e.usage;  // a fresh entry holds count 0 and ln(1) = 0
}

void ScanTable::put(std::size_t slot, const CatalogEntry& row, const Memory& m) {
  place(slot, row,
        memory::ScanFields{m.id, m.memory_type, m.scope, m.agent_id, m.created_at, m.importance,
                           m.ttl_secs},
        m.vector);
  const std::size_t one[] = {slot};
  measure(one);
}

void ScanTable::place(std::size_t slot, const CatalogEntry& row, const memory::ScanFields& fields,
                      std::span<const float> vector) {
  drop(slot);
  if (slot / kChunk >= chunks_.size()) chunks_.resize(slot / kChunk + 1);
  Chunk& chunk = chunks_[slot / kChunk];
  if (chunk.used++ == 0) {
    chunk.entries = std::make_unique<ScanEntry[]>(kChunk);
    chunk.infos = std::make_unique<VectorInfo[]>(kChunk);
  }
  ScanEntry& e = chunk.entries[slot % kChunk];
  e = ScanEntry{};
  e.start_page = row.start_page;
  e.page_count = row.page_count;
  e.len = row.len;
  e.offset = row.offset;
  e.created_at = fields.created_at;
  e.ttl_secs = fields.ttl_secs.value_or(0);
  e.has_ttl = fields.ttl_secs.has_value();
  e.importance = fields.importance;
  e.memory_type = fields.memory_type;
  e.scope = fields.scope;
  chunk.infos[slot % kChunk] = VectorInfo{};
  if (vector.size() != dims_) {
    odd_vectors_[slot].assign(vector.begin(), vector.end());
  } else {
    // Vectors and codes only once a record holds the header's dimensionality, so that a header
    // claiming millions of dimensions allocates nothing for records that do not have them.
    if (!chunk.block) {
      chunk.block = take_block(kChunk * dims_ * (sizeof(float) + 1));
      chunk.vectors = reinterpret_cast<float*>(chunk.block.data);
      chunk.codes = chunk.block.data + kChunk * dims_ * sizeof(float);
    }
    std::copy(vector.begin(), vector.end(), chunk.vectors + (slot % kChunk) * dims_);
  }
  if (fields.id != row.id) foreign_ids_[slot] = fields.id;
  e.agent = hold_agent(fields.agent_id);
  e.present = true;
}

void ScanTable::measure(std::span<const std::size_t> slots) {
#if defined(__x86_64__)
  static const bool avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  const auto interleave_rows = avx2 ? interleave_avx2 : interleave;
  const auto measure_rows = avx2 ? measure_block_avx2 : measure_block;
#else
  const auto interleave_rows = interleave;
  const auto measure_rows = measure_block;
#endif
  const float* rows[kLanes];
  std::uint8_t* codes[kLanes];
  VectorInfo* infos[kLanes];
  std::size_t lanes = 0;
  const auto block = [&] {
    lane_values_.resize(kLanes * dims_);
    lane_codes_.resize(kLanes * dims_);
    interleave_rows(rows, dims_, lane_values_.data());
    bool finite[kLanes];
    measure_rows(lane_values_.data(), dims_, lane_codes_.data(), infos, finite);
    if (std::all_of(finite, finite + kLanes, [](bool f) { return f; })) {
      for (std::size_t i = 0; i < dims_; ++i) {
        for (std::size_t r = 0; r < kLanes; ++r) codes[r][i] = lane_codes_[i * kLanes + r];
      }
    } else {
      for (std::size_t r = 0; r < kLanes; ++r) {
        if (finite[r]) measure_one(rows[r], dims_, codes[r], infos[r]);
      }
    }
  };
  for (std::size_t slot : slots) {
    Chunk& chunk = chunks_[slot / kChunk];
    VectorInfo* info = &chunk.infos[slot % kChunk];
    const auto odd = odd_vectors_.empty() ? odd_vectors_.end() : odd_vectors_.find(slot);
    if (odd != odd_vectors_.end()) {
      measure_one(odd->second.data(), odd->second.size(), nullptr, info);
      continue;
    }
    rows[lanes] = chunk.vectors + (slot % kChunk) * dims_;
    codes[lanes] = chunk.codes + (slot % kChunk) * dims_;
    infos[lanes] = info;
    if (++lanes == kLanes) {
      block();
      lanes = 0;
    }
  }
  for (std::size_t r = 0; r < lanes; ++r) measure_one(rows[r], dims_, codes[r], infos[r]);
}

void ScanTable::drop(std::size_t slot) {
  if (slot / kChunk >= chunks_.size()) return;
  Chunk& chunk = chunks_[slot / kChunk];
  if (chunk.used == 0 || !chunk.entries[slot % kChunk].present) return;
  odd_vectors_.erase(slot);
  foreign_ids_.erase(slot);
  release_agent(chunk.entries[slot % kChunk].agent);
  chunk.entries[slot % kChunk] = ScanEntry{};
  chunk.infos[slot % kChunk] = VectorInfo{};
  if (--chunk.used == 0) chunk = Chunk{};
}

void ScanTable::relocate(std::size_t slot, const CatalogEntry& row) {
  if (slot / kChunk >= chunks_.size() || chunks_[slot / kChunk].used == 0) return;
  ScanEntry& e = chunks_[slot / kChunk].entries[slot % kChunk];
  if (!e.present) return;
  e.start_page = row.start_page;
  e.page_count = row.page_count;
  e.len = row.len;
  e.offset = row.offset;
}

std::uint32_t ScanTable::hold_agent(std::string_view agent) {
  // Records of one agent tend to come together.
  if (last_agent_ < agents_.size() && agents_[last_agent_].refs != 0 &&
      agents_[last_agent_].name == agent) {
    ++agents_[last_agent_].refs;
    return last_agent_;
  }
  const std::string name(agent);
  const auto it = agent_numbers_.find(name);
  if (it != agent_numbers_.end()) {
    ++agents_[it->second].refs;
    last_agent_ = it->second;
    return it->second;
  }
  std::uint32_t number;
  if (!free_agents_.empty()) {
    number = free_agents_.back();
    free_agents_.pop_back();
    agents_[number] = Agent{name, 1};
  } else {
    number = static_cast<std::uint32_t>(agents_.size());
    agents_.push_back(Agent{name, 1});
  }
  agent_numbers_.emplace(name, number);
  last_agent_ = number;
  return number;
}

void ScanTable::release_agent(std::uint32_t agent) {
  if (--agents_[agent].refs != 0) return;
  agent_numbers_.erase(agents_[agent].name);
  agents_[agent].name.clear();
  agents_[agent].name.shrink_to_fit();
  free_agents_.push_back(agent);
}

void RecordCache::trim(const cache::PageCache& pages) {
  // A decoded record needs at least one cached page to be served, so at most the cache's size can
  // be; past twice that, those that cannot be served now are dropped. When most can, the next look
  // waits until their number doubles, so that a long read stays linear.
  const std::size_t limit = 2 * pages.capacity() + 64;
  if (decoded_.size() <= std::max(limit, trim_at_)) return;
  std::erase_if(decoded_, [&](const auto& item) { return !servable(pages, item.second); });
  trim_at_ = decoded_.size() > limit ? 2 * decoded_.size() : 0;
}

bool RecordCache::servable(const cache::PageCache& pages, const Decoded& d) const {
  for (std::uint64_t i = 0; i < d.page_count; ++i) {
    if (!pages.contains(d.start_page + i)) return false;
  }
  return d.page_count != 0;
}

void RecordCache::measure_placed() {
  table_.measure(placed_);
  placed_.clear();
}

Result<void> RecordCache::read_resident(pager::Pager& pager, std::size_t slot,
                                        const CatalogEntry& row, pager::ReadWindow& window) {
  const ByteView bytes = TRY(read_record_for_scan(pager, row, window, record_bytes_));
  // The fast reader only for records that can hold the header's dimensionality (five bytes a
  // value), so that a header claiming billions of dimensions allocates nothing here.
  const std::size_t dims = table_.dimensions();
  memory::ScanFields fields;
  bool fast = false;
  if (bytes.size() / 5 >= dims) {
    vector_.resize(dims);
    fast = memory::read_scan_fields(bytes, vector_, fields);
  }
  if (fast) {
    table_.place(slot, row, fields, vector_);
    placed_.push_back(slot);
    if (placed_.size() == kMeasureBatch) measure_placed();
    return {};
  }
  // Any other form, or a record to refuse: the full decoder reads or reports it.
  const Memory m = TRY(memory::decode_memory(bytes));
  table_.put(slot, row, m);
  return {};
}

Result<Memory> RecordCache::memory(pager::Pager& pager, std::size_t slot, const CatalogEntry& row) {
  const auto it = decoded_.find(slot);
  if (it != decoded_.end() && it->second.start_page == row.start_page &&
      it->second.page_count == row.page_count && it->second.len == row.len &&
      it->second.offset == row.offset && row.page_count != 0) {
    // Served only when every page is cached, touching them in order as reading them would. A miss
    // part-way leaves the earlier pages touched; the read below touches them again in the same
    // order, so the cache ends exactly as after that read alone.
    std::uint64_t i = 0;
    while (i < row.page_count && pager.cache().lookup(row.start_page + i) != nullptr) ++i;
    if (i == row.page_count) return with_row_access(it->second.memory, row);
  }
  const Bytes bytes = TRY(read_record(pager, row));
  Memory m = TRY(memory::decode_memory(bytes));
  if (!table_.holds(slot, row)) table_.put(slot, row, m);
  Memory out = with_row_access(m, row);
  decoded_[slot] = Decoded{row.start_page, row.page_count, row.len, row.offset, std::move(m)};
  trim(pager.cache());
  return out;
}

void RecordCache::staged(std::size_t slot, const CatalogEntry& row, const Memory& memory) {
  table_.put(slot, row, memory);
  decoded_.erase(slot);
}

void RecordCache::forget(std::size_t slot) {
  table_.drop(slot);
  decoded_.erase(slot);
}

void RecordCache::catalog_replaced(const std::vector<CatalogEntry>& catalog) {
  for (std::size_t slot = 0; slot < table_.size(); ++slot) {
    if (slot >= catalog.size() || !table_.holds(slot, catalog[slot])) table_.drop(slot);
  }
  decoded_.clear();
}

void RecordCache::rows_replaced(const std::vector<CatalogEntry>& catalog,
                                std::span<const std::pair<std::size_t, CatalogEntry>> rows,
                                std::size_t held) {
  for (const auto& [slot, row] : rows) {
    if (!table_.holds(slot, row)) table_.drop(slot);
    decoded_.erase(slot);
  }
  for (std::size_t slot = catalog.size(); slot < std::min(held, table_.size()); ++slot) table_.drop(slot);
  std::erase_if(decoded_, [&](const auto& item) { return item.first >= catalog.size(); });
}

Memory with_row_access(const Memory& decoded, const CatalogEntry& entry) {
  Memory memory = decoded;
  memory.accessed_at = entry.accessed_at;
  memory.access_count = entry.access_count;
  return memory;
}

}  // namespace quarn::store
