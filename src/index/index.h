// The optional approximate nearest-neighbour index: an inverted file (vectors split into
// partitions around coarse centroids; a query visits only the nearest partitions) combined with
// product quantisation (each vector also kept as one byte per subspace, from which a distance is
// estimated without reading the memory).
//
// All vector arithmetic is 32-bit floating point. A *distance* is the squared Euclidean distance
// summed from zero in position order, never fused; the SIMD kernels compute many distances side by
// side, one per lane, so every distance is bit-identical to that definition.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "error/error.h"
#include "format/bytes.h"
#include "memory/ulid.h"
#include "memory/ulid_map.h"

namespace quarn::index {

using memory::Ulid;

// The product quantiser. M, the number of subspaces, is sub_offsets.size() - 1.
struct PqCodebook {
  // M + 1 boundaries: first 0, last dims, non-decreasing; subspace m covers positions
  // sub_offsets[m] .. sub_offsets[m+1] - 1 (its width w may be 0).
  std::vector<std::uint64_t> sub_offsets;
  // Per subspace, ks[m] codewords of width w, row-major.
  std::vector<std::vector<float>> centroids;
  // Per subspace, the number of codewords (1..256).
  std::vector<std::uint64_t> ks;

  bool operator==(const PqCodebook&) const = default;
};

// One partition: its ids in insertion order and their codes, M bytes per id in the same order.
struct Posting {
  std::vector<Ulid> ids;
  std::vector<std::uint8_t> codes;

  bool operator==(const Posting&) const = default;
};

// A change to one posting, as an owner that stores postings piece by piece follows them: an id
// appended with its codes, or the id at `position` taken out (the later ones shift down).
struct PostingChange {
  std::uint64_t partition = 0;
  std::size_t position = 0;
  bool added = false;
  Ulid id;
  std::vector<std::uint8_t> codes;  // added: the id's M code bytes
};

// The index. Invariants (checked by decode_index, made by train, kept by add and remove):
//   1. n_partitions >= 1, centroids holds n_partitions * dims values and partitions holds
//      n_partitions postings;
//   2. the codebook is consistent: see PqCodebook, with ks[m] * w values in centroids[m];
//   3. every posting holds M code bytes per id and every code of subspace m is below ks[m];
//   4. each id is in at most one posting, and partition_of maps exactly those ids to it.
// add, remove and probe rely on them and read nothing out of bounds when they hold.
class IvfPqIndex {
 public:
  std::uint64_t dims = 0;
  std::uint64_t n_partitions = 0;
  std::uint64_t n_probe = 0;   // partitions visited per query
  std::uint64_t n_rerank = 0;  // candidates kept for exact scoring
  std::vector<float> centroids;  // n_partitions rows of dims values
  PqCodebook pq;
  std::vector<Posting> partitions;
  // Held in memory only: which posting holds each id.
  memory::UlidMap<std::uint64_t> partition_of;
  // Held in memory only: when set, every change place() and remove() make is appended here.
  std::vector<PostingChange>* journal = nullptr;

  // Inserts the vector under id, or moves it when the id is already indexed: it goes to the
  // partition of the nearest centroid (ties: lowest number) with, per subspace, the number of the
  // nearest codeword (ties: lowest). A distance that is NaN never wins. The vector must hold at
  // least dims values (the store checks the length); a shorter one is ignored.
  void add(const Ulid& id, std::span<const float> vector);
  // Takes id out of the index, shifting the later ids and codes of its posting down; an id that
  // is not indexed is ignored.
  void remove(const Ulid& id);

  // The total number of ids in all postings.
  std::uint64_t vector_count() const;
  // M, the number of subspaces.
  std::uint64_t subspaces() const { return pq.sub_offsets.empty() ? 0 : pq.sub_offsets.size() - 1; }

  // What add does once the nearest partition and codewords are known: takes id out, then appends
  // it to `partition` with its subspaces() code bytes. Used by train, which encodes in batches.
  void place(const Ulid& id, std::uint64_t partition, const std::uint8_t* codes);
};

// The stored form (MessagePack, structures as positional arrays, integers shortest, floats as
// float 32 0xCA + 4 bytes big-endian, array headers shortest):
//   IvfPqIndex  [dims, n_partitions, n_probe, n_rerank, [centroids...], pq, [posting...]]  (0x97 ...)
//   PqCodebook  [[sub_offsets...], [[codeword floats...] per subspace], [ks...]]
//   Posting     [[id...], [code...]]   id: bin 8 of 16 bytes (0xC4 0x10, big-endian ULID);
//                                      code: one uint per byte (0x00-0x7F, or 0xCC and the byte)
// partition_of is not stored. Fails (Serialization) only for a structure MessagePack cannot
// describe: an array of more than 4294967295 elements.
[[nodiscard]] Result<Bytes> encode_index(const IvfPqIndex& index);

// Reads the stored form, also accepting at every level a map keyed by the field names ("dims",
// "n_partitions", "n_probe", "n_rerank", "centroids", "pq", "partitions"; "sub_offsets",
// "centroids", "ks"; "ids", "codes"), with unknown keys skipped. Then, in this order:
//   - undecodable bytes, wrong shapes, missing or repeated fields: Serialization (decoder's text);
//   - dims != dimensions: InvalidArgument "ANN index dimensionality does not match the database";
//   - a broken invariant (1-4 above): Serialization naming the failed check.
// Rebuilds partition_of.
[[nodiscard]] Result<std::unique_ptr<IvfPqIndex>> decode_index(ByteView bytes,
                                                               std::uint64_t dimensions);

// Checks invariants 1-3 alone; Serialization naming the first failure.
[[nodiscard]] Result<void> validate_index_shape(const IvfPqIndex& index);

// Checks invariants 1-3 and that no id occurs twice (what decode_index checks); Serialization
// naming the first failure.
[[nodiscard]] Result<void> validate_index(const IvfPqIndex& index);

// The approximate search: the ids of at most max(1, n_rerank) candidates, nearest first.
// Visits the n_probe (clamped to 1..n_partitions) partitions whose centroids are nearest the
// query, ordered by distance under the IEEE 754 total order (ties: partition order), estimates
// each of their vectors' distance as the sum over subspaces, in order, of the distance between the
// query's piece and the vector's codeword, and sorts these candidates stably under the total
// order. The query must hold at least dims values; a shorter one gives an empty list.
std::vector<Ulid> probe(const IvfPqIndex& index, std::span<const float> query,
                        std::uint64_t n_probe, std::uint64_t n_rerank);

// The candidates of a query in the order an iterative scan takes them: the first batch is exactly
// what probe() returns; each later batch goes on with the next max(1, n_rerank) candidates of the
// visited partitions in ascending approximate distance (ties: the order of step 5 of probe), and
// once those run out visits the next n_probe (clamped as in probe) partitions in ascending coarse
// distance, ordering their candidates the same way. Empty once every partition is used up. The
// index must not change while a cursor is in use.
class ProbeCursor {
 public:
  ProbeCursor(const IvfPqIndex& index, std::span<const float> query, std::uint64_t n_probe,
              std::uint64_t n_rerank);
  std::vector<Ulid> next();

 private:
  void visit_group();

  const IvfPqIndex& index_;
  std::span<const float> query_;
  std::uint64_t group_ = 0;  // partitions visited per group
  std::size_t batch_ = 0;
  bool first_ = true;
  std::vector<std::uint64_t> order_;  // partitions by coarse distance; filled when needed
  std::size_t visited_ = 0;           // partitions of order_ already scored
  std::vector<float> tables_;
  std::vector<const Ulid*> pending_;  // the current group's candidates, in order
  std::size_t taken_ = 0;
};

// Trains a fresh index over n = ids.size() vectors (vectors: n rows of d values, in catalog
// order) and adds every vector to it: a training sample of min(n, 50000) vectors drawn by a
// partial Fisher-Yates shuffle, k-means for ceil(sqrt(n)) coarse centroids, then k-means with
// min(n, 256) codewords for each subspace, all from one ChaCha12 generator with a fixed seed
// (chacha.h), so the same input always gives the same index; n_probe 8, n_rerank 64.
// Failure: InvalidArgument "cannot build an index over an empty database" when n is 0;
// InvalidArgument "cannot build an index over zero-dimensional vectors" when d is 0 (such an
// index would have no subspace); InvalidArgument when vectors does not hold n * d values.
[[nodiscard]] Result<std::unique_ptr<IvfPqIndex>> train(std::span<const Ulid> ids,
                                                        std::span<const float> vectors,
                                                        std::uint64_t d);

// The same over n rows of d values each, rows[i] holding the vector of ids[i]: identical results.
[[nodiscard]] Result<std::unique_ptr<IvfPqIndex>> train_rows(std::span<const Ulid> ids,
                                                             std::span<const float* const> rows,
                                                             std::uint64_t d);

// Sizes used by train: ceil(sqrt(n)) partitions (at least 1, at most n), and the subspace
// boundaries j * d / M for M = max(1, d / 8) subspaces, never more than d (d = 0: just [0]).
std::uint64_t partition_count(std::uint64_t n);
std::vector<std::uint64_t> subspace_offsets(std::uint64_t d);

// Parameters of a built index.
inline constexpr std::uint64_t kBuiltProbe = 8;
inline constexpr std::uint64_t kBuiltRerank = 64;

}  // namespace quarn::index
