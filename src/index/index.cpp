#include "index/index.h"

#include <algorithm>

#include "index/kernels.h"

namespace quarn::index {

void IvfPqIndex::add(const Ulid& id, std::span<const float> vector) {
  if (vector.size() < dims || partitions.size() < n_partitions || n_partitions == 0) return;
  const std::uint64_t m_count = subspaces();
  // Partition: nearest coarse centroid.
  std::vector<float> dist(std::max<std::size_t>(n_partitions, 256));
  kernels::row_distances(centroids.data(), n_partitions, dims, vector.data(), dist.data());
  const std::uint64_t partition = kernels::argmin(dist.data(), n_partitions);
  // Codes: nearest codeword of each subspace (a width-0 subspace gives code 0).
  std::vector<std::uint8_t> codes(m_count);
  for (std::uint64_t m = 0; m < m_count; ++m) {
    const std::uint64_t off = pq.sub_offsets[m];
    const std::uint64_t w = pq.sub_offsets[m + 1] - off;
    kernels::row_distances(pq.centroids[m].data(), pq.ks[m], w, vector.data() + off, dist.data());
    codes[m] = static_cast<std::uint8_t>(kernels::argmin(dist.data(), pq.ks[m]));
  }
  place(id, partition, codes.data());
}

void IvfPqIndex::place(const Ulid& id, std::uint64_t partition, const std::uint8_t* codes) {
  remove(id);
  Posting& posting = partitions[partition];
  posting.ids.push_back(id);
  posting.codes.insert(posting.codes.end(), codes, codes + subspaces());
  partition_of[id] = partition;
  if (journal) {
    journal->push_back({partition, posting.ids.size() - 1, true, id,
                        std::vector<std::uint8_t>(codes, codes + subspaces())});
  }
}

void IvfPqIndex::remove(const Ulid& id) {
  const auto found = partition_of.find(id);
  if (found == partition_of.end()) return;
  const std::uint64_t partition = found->second;
  partition_of.erase(found);
  if (partition >= partitions.size()) return;
  Posting& posting = partitions[partition];
  const auto at = std::find(posting.ids.begin(), posting.ids.end(), id);
  if (at == posting.ids.end()) return;
  const std::size_t i = static_cast<std::size_t>(at - posting.ids.begin());
  const std::size_t m_count = subspaces();
  posting.ids.erase(at);
  if (journal) journal->push_back({partition, i, false, id, {}});
  const std::size_t from = std::min(i * m_count, posting.codes.size());
  const std::size_t to = std::min(from + m_count, posting.codes.size());
  posting.codes.erase(posting.codes.begin() + from, posting.codes.begin() + to);
}

std::uint64_t IvfPqIndex::vector_count() const {
  std::uint64_t count = 0;
  for (const Posting& p : partitions) count += p.ids.size();
  return count;
}

}  // namespace quarn::index
