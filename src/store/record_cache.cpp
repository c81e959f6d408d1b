#include "store/record_cache.h"

#include <sys/mman.h>

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

// The codes of a vector of finite values and the bounds VectorInfo describes.
void encode_codes(std::span<const float> x, std::uint8_t* codes, VectorInfo& info) {
  double xmax = 0.0, x2 = 0.0;
  for (float v : x) {
    xmax = std::max(xmax, std::fabs(static_cast<double>(v)));
    x2 += static_cast<double>(v) * v;
  }
  const float scale = static_cast<float>(xmax / 127.0);
  // Any code will do: the bounds are measured from the codes chosen.
  const double inverse = scale > 0.0f ? 1.0 / static_cast<double>(scale) : 0.0;
  double e2 = 0.0, c2 = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double c = std::clamp(round_even(x[i] * inverse), -127.0, 127.0);
    codes[i] = static_cast<std::uint8_t>(c + 128.0);
    const double err = static_cast<double>(x[i]) - static_cast<double>(scale) * c;
    e2 += err * err;
    c2 += c * c;
  }
  info.scale = scale;
  info.scaled_code_norm = float_up(static_cast<double>(scale) * std::sqrt(c2) * kSlack);
  info.err_norm = float_up(std::sqrt(e2) * kSlack);
  info.vector_norm = float_up(std::sqrt(x2) * kSlack);
  info.vector_max = float_up(xmax);
  info.exact_only = false;
}

}  // namespace

void ScanBlockFree::operator()(std::uint8_t* p) const {
  if (mapped) {
    munmap(p, bytes);
  } else {
    delete[] p;
  }
}

ScanTable::Block ScanTable::take_block(std::size_t bytes) {
  if (bytes == 0) return Block(new std::uint8_t[1], ScanBlockFree{});
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                 -1, 0);
  if (p == MAP_FAILED) return Block(new std::uint8_t[bytes], ScanBlockFree{bytes, false});
  return Block(static_cast<std::uint8_t*>(p), ScanBlockFree{bytes, true});
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
  e.created_at = m.created_at;
  e.ttl_secs = m.ttl_secs.value_or(0);
  e.has_ttl = m.ttl_secs.has_value();
  e.importance = m.importance;
  e.memory_type = m.memory_type;
  e.scope = m.scope;
  float squares = 0.0f;
  bool finite = true;
  for (float x : m.vector) {
    squares += x * x;
    finite = finite && std::isfinite(x);
  }
  VectorInfo& info = chunk.infos[slot % kChunk];
  info = VectorInfo{};
  info.norm_squares = squares;
  info.norm = std::sqrt(squares);
  if (m.vector.size() != dims_) {
    odd_vectors_[slot] = m.vector;
  } else {
    // Vectors and codes only once a record holds the header's dimensionality, so that a header
    // claiming millions of dimensions allocates nothing for records that do not have them.
    if (!chunk.block) {
      chunk.block = take_block(kChunk * dims_ * (sizeof(float) + 1));
      chunk.vectors = reinterpret_cast<float*>(chunk.block.get());
      chunk.codes = chunk.block.get() + kChunk * dims_ * sizeof(float);
    }
    std::copy(m.vector.begin(), m.vector.end(), chunk.vectors + (slot % kChunk) * dims_);
    if (finite && dims_ != 0) encode_codes(m.vector, chunk.codes + (slot % kChunk) * dims_, info);
  }
  if (m.id != row.id) foreign_ids_[slot] = m.id;
  e.agent = hold_agent(m.agent_id);
  e.present = true;
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
}

std::uint32_t ScanTable::hold_agent(const std::string& name) {
  const auto it = agent_numbers_.find(name);
  if (it != agent_numbers_.end()) {
    ++agents_[it->second].refs;
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

Result<void> RecordCache::read_resident(pager::Pager& pager, std::size_t slot,
                                        const CatalogEntry& row, pager::ReadWindow& window) {
  const Bytes bytes = TRY(read_record_for_scan(pager, row, window));
  const Memory m = TRY(memory::decode_memory(bytes));
  table_.put(slot, row, m);
  return {};
}

Result<Memory> RecordCache::memory(pager::Pager& pager, std::size_t slot, const CatalogEntry& row) {
  const auto it = decoded_.find(slot);
  if (it != decoded_.end() && it->second.start_page == row.start_page &&
      it->second.page_count == row.page_count && it->second.len == row.len && row.page_count != 0) {
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
  decoded_[slot] = Decoded{row.start_page, row.page_count, row.len, std::move(m)};
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

Memory with_row_access(const Memory& decoded, const CatalogEntry& entry) {
  Memory memory = decoded;
  memory.accessed_at = entry.accessed_at;
  memory.access_count = entry.access_count;
  return memory;
}

}  // namespace quarn::store
