#include <algorithm>
#include <bit>
#include <limits>

#include "index/index.h"
#include "index/kernels.h"

namespace quarn::index {
namespace {

constexpr std::size_t kTableStride = 256;  // ks[m] <= 256: table m starts at m * 256

// A key whose unsigned order is the IEEE 754 total order of the float, and back.
inline std::uint32_t total_order_key(float f) {
  const auto bits = std::bit_cast<std::uint32_t>(f);
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}
inline float from_key(std::uint32_t key) {
  return std::bit_cast<float>((key & 0x80000000u) ? (key & 0x7FFFFFFFu) : ~key);
}

// Ranking entry: the distance key, then the position in the unranked sequence, so that ordering
// by (key, seq) is the stable sort by distance.
struct Ranked {
  std::uint32_t key;
  std::uint64_t seq;
  const Ulid* id;
  bool operator<(const Ranked& o) const { return key != o.key ? key < o.key : seq < o.seq; }
};

// The `keep` first entries of a stream in (key, seq) order, seq increasing as entries arrive:
// a max-heap of the best so far once it is full.
class Best {
 public:
  // `total`: the number of entries that will be offered.
  Best(std::size_t keep, std::size_t total) : keep_(keep), all_(keep >= total) {
    if (all_) heap_.reserve(total);
  }
  // An entry known to fall outside.
  void skip() { ++seen_; }
  void offer(std::uint32_t key, const Ulid* id) {
    const std::uint64_t seq = seen_++;
    if (all_) {
      heap_.push_back({key, seq, id});
    } else if (heap_.size() < keep_) {
      heap_.push_back({key, seq, id});
      std::push_heap(heap_.begin(), heap_.end());
    } else if (key < heap_.front().key) {  // a later entry wins only with a smaller key
      std::pop_heap(heap_.begin(), heap_.end());
      heap_.back() = {key, seq, id};
      std::push_heap(heap_.begin(), heap_.end());
    }
  }
  // A distance that cannot enter any more: once full, that of the last kept entry (a later
  // entry needs a smaller distance); +infinity before.
  float limit() const {
    if (all_ || heap_.size() < keep_) return std::numeric_limits<float>::infinity();
    return from_key(heap_.front().key);
  }

  std::vector<Ranked> sorted() && {
    if (all_) {
      std::sort(heap_.begin(), heap_.end());
    } else {
      std::sort_heap(heap_.begin(), heap_.end());
    }
    return std::move(heap_);
  }

 private:
  std::size_t keep_;
  bool all_;  // every entry is kept: collect, then sort once
  std::uint64_t seen_ = 0;
  std::vector<Ranked> heap_;
};

// The partitions to visit, nearest first, ties in partition order.
std::vector<std::uint64_t> nearest_partitions(const IvfPqIndex& index, const float* query,
                                              std::uint64_t visit) {
  const std::uint64_t parts = index.n_partitions;
  std::vector<float> coarse(parts);
  kernels::row_distances(index.centroids.data(), parts, index.dims, query, coarse.data());
  std::vector<Ranked> order(parts);
  for (std::uint64_t p = 0; p < parts; ++p) order[p] = {total_order_key(coarse[p]), p, nullptr};
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(visit), order.end());
  std::vector<std::uint64_t> out(visit);
  for (std::uint64_t i = 0; i < visit; ++i) out[i] = order[i].seq;
  return out;
}

// Distance tables: entry m * kTableStride + c is the distance of the query's piece m to
// codeword c of subspace m (zeros for a subspace of width 0).
std::vector<float> distance_tables(const PqCodebook& pq, std::size_t m_count, const float* query) {
  std::vector<float> tables(m_count * kTableStride, 0.0f);
  for (std::size_t m = 0; m < m_count; ++m) {
    const std::uint64_t off = pq.sub_offsets[m];
    const std::uint64_t w = pq.sub_offsets[m + 1] - off;
    if (w == 0) continue;
    kernels::row_distances(pq.centroids[m].data(), pq.ks[m], w, query + off,
                           tables.data() + m * kTableStride);
  }
  return tables;
}

// Offers every entry of a posting with its score: the sum over m = 0 .. M-1, in order from 0, of
// table m at the entry's code m. Eight entries go side by side, keeping independent sums in
// flight; plain loads and scalar adds, as the lookups do not vectorise well (gathers are slower
// than loads on common processors). Table entries are squared distances, never negative, so a
// partial sum only grows: once all eight partial sums reach best.limit(), none of the eight can
// be kept and the rest of their sums is skipped (a NaN never compares, so it is summed out).
[[gnu::optimize("no-tree-slp-vectorize", "no-tree-loop-vectorize")]]
void score_posting(const Posting& posting, std::size_t m_count, const float* tables, Best& best) {
  constexpr std::size_t kWay = 8;
  constexpr std::size_t kCheckEvery = 8;  // subspaces between looks at the limit
  const std::size_t n = posting.ids.size();
  std::size_t i = 0;
  for (; i + kWay <= n; i += kWay) {
    const std::uint8_t* c = posting.codes.data() + i * m_count;
    float acc[kWay] = {};
    bool out = false;
    for (std::size_t m = 0; m < m_count && !out; ++m, ++c) {
      const float* table = tables + m * kTableStride;
      for (std::size_t k = 0; k < kWay; ++k) acc[k] = acc[k] + table[c[k * m_count]];
      if ((m + 1) % kCheckEvery == 0) {
        const float limit = best.limit();
        out = true;
        for (std::size_t k = 0; k < kWay; ++k) out = out && acc[k] >= limit;
      }
    }
    for (std::size_t k = 0; k < kWay; ++k) {
      if (out) {
        best.skip();
      } else {
        best.offer(total_order_key(acc[k]), &posting.ids[i + k]);
      }
    }
  }
  for (; i < n; ++i) {
    const std::uint8_t* c = posting.codes.data() + i * m_count;
    float acc = 0.0f;
    for (std::size_t m = 0; m < m_count; ++m) acc = acc + tables[m * kTableStride + c[m]];
    best.offer(total_order_key(acc), &posting.ids[i]);
  }
}

}  // namespace

std::vector<Ulid> probe(const IvfPqIndex& index, std::span<const float> query,
                        std::uint64_t n_probe, std::uint64_t n_rerank) {
  if (query.size() < index.dims || index.n_partitions == 0) return {};
  const std::uint64_t visit = std::clamp<std::uint64_t>(n_probe, 1, index.n_partitions);
  const std::vector<std::uint64_t> parts = nearest_partitions(index, query.data(), visit);
  const std::size_t m_count = index.subspaces();
  const std::vector<float> tables = distance_tables(index.pq, m_count, query.data());

  std::size_t total = 0;
  for (std::uint64_t p : parts) total += index.partitions[p].ids.size();
  // Never sized by the caller's n_rerank: at most every candidate is kept.
  Best best(static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(1, n_rerank), total)),
            total);
  for (std::uint64_t p : parts) score_posting(index.partitions[p], m_count, tables.data(), best);
  const std::vector<Ranked> ranked = std::move(best).sorted();
  std::vector<Ulid> result;
  result.reserve(ranked.size());
  for (const Ranked& r : ranked) result.push_back(*r.id);
  return result;
}

ProbeCursor::ProbeCursor(const IvfPqIndex& index, std::span<const float> query,
                         std::uint64_t n_probe, std::uint64_t n_rerank)
    : index_(index), query_(query) {
  if (query.size() < index.dims || index.n_partitions == 0) return;  // next() gives nothing
  group_ = std::clamp<std::uint64_t>(n_probe, 1, index.n_partitions);
  batch_ = static_cast<std::size_t>(std::max<std::uint64_t>(1, n_rerank));
}

std::vector<Ulid> ProbeCursor::next() {
  if (group_ == 0) return {};
  if (first_) {
    first_ = false;
    return probe(index_, query_, group_, batch_);
  }
  if (order_.empty()) {
    // The first batch came from probe(): every candidate of the first group, in the same order,
    // with that batch skipped.
    order_ = nearest_partitions(index_, query_.data(), index_.n_partitions);
    tables_ = distance_tables(index_.pq, index_.subspaces(), query_.data());
    visit_group();
    taken_ = std::min(batch_, pending_.size());
  }
  while (taken_ == pending_.size()) {
    if (visited_ == order_.size()) return {};
    visit_group();
  }
  const std::size_t count = std::min(batch_, pending_.size() - taken_);
  std::vector<Ulid> ids;
  ids.reserve(count);
  for (std::size_t i = taken_; i < taken_ + count; ++i) ids.push_back(*pending_[i]);
  taken_ += count;
  return ids;
}

void ProbeCursor::visit_group() {
  const std::size_t end = std::min<std::size_t>(order_.size(), visited_ + group_);
  std::size_t total = 0;
  for (std::size_t i = visited_; i < end; ++i) total += index_.partitions[order_[i]].ids.size();
  Best best(total, total);  // keeps everything: collects, then sorts once
  for (std::size_t i = visited_; i < end; ++i) {
    score_posting(index_.partitions[order_[i]], index_.subspaces(), tables_.data(), best);
  }
  pending_.clear();
  for (const Ranked& r : std::move(best).sorted()) pending_.push_back(r.id);
  taken_ = 0;
  visited_ = end;
}

}  // namespace quarn::index
