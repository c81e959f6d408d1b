// The stored form of the index and its validation at load.
//
// MessagePack, every structure a positional array of its fields in this order (readers also
// accept a map keyed by the field names at every level):
//
//   IvfPqIndex  fixarray 7 (0x97)
//     0 dims          uint, shortest form
//     1 n_partitions  uint
//     2 n_probe       uint
//     3 n_rerank      uint
//     4 centroids     array of n_partitions * dims float 32 (0xCA + 4 bytes big-endian)
//     5 pq            PqCodebook
//     6 partitions    array of n_partitions Posting
//   PqCodebook  fixarray 3
//     0 sub_offsets   array of M + 1 uint
//     1 centroids     array of M arrays of float 32 (ks[m] * width values each)
//     2 ks            array of M uint
//   Posting     fixarray 2
//     0 ids           array of bin 8 (0xC4 0x10 + the 16-byte big-endian ULID)
//     1 codes         array of uint, one per code byte: 0x00-0x7F itself, else 0xCC and the byte
//
// Array headers take their shortest form (fixarray, array 16, array 32).
#include <bit>
#include <limits>
#include <string>
#include <unordered_set>

#include "index/codec_reader.h"
#include "index/index.h"
#include "memory/msgpack_io.h"

namespace quarn::index {
namespace {

constexpr std::uint64_t kMaxArray = std::numeric_limits<std::uint32_t>::max();

QuarnError invalid(const std::string& what) {
  return QuarnError::serialization("invalid ANN index: " + what);
}

[[nodiscard]] Result<void> pack_array(mp::Packer& packer, std::size_t n) {
  if (n > kMaxArray) return fail(QuarnError::serialization("ANN index array is too long to encode"));
  packer.pack_array(static_cast<std::uint32_t>(n));
  return {};
}

// The packer writes straight through to `out`, so fixed forms are appended directly.
[[nodiscard]] Result<void> pack_floats(mp::Packer& packer, Bytes& out,
                                       const std::vector<float>& values) {
  TRY(pack_array(packer, values.size()));
  for (float v : values) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    const std::uint8_t bytes[5] = {0xCA, static_cast<std::uint8_t>(bits >> 24),
                                   static_cast<std::uint8_t>(bits >> 16),
                                   static_cast<std::uint8_t>(bits >> 8),
                                   static_cast<std::uint8_t>(bits)};
    out.insert(out.end(), bytes, bytes + 5);
  }
  return {};
}

[[nodiscard]] Result<void> pack_uints(mp::Packer& packer, const std::vector<std::uint64_t>& values) {
  TRY(pack_array(packer, values.size()));
  for (std::uint64_t v : values) packer.pack_uint64(v);
  return {};
}

[[nodiscard]] Result<void> pack_posting(mp::Packer& packer, Bytes& out, const Posting& posting) {
  packer.pack_array(2);
  TRY(pack_array(packer, posting.ids.size()));
  for (const Ulid& id : posting.ids) {
    const auto bytes = id.to_bytes();
    out.push_back(0xC4);
    out.push_back(0x10);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  TRY(pack_array(packer, posting.codes.size()));
  for (std::uint8_t code : posting.codes) {
    if (code >= 0x80) out.push_back(0xCC);
    out.push_back(code);
  }
  return {};
}

[[nodiscard]] Result<void> validate_codebook(const PqCodebook& pq, std::uint64_t dims) {
  const auto& off = pq.sub_offsets;
  if (off.size() < 2) return fail(invalid("sub_offsets must hold at least 2 boundaries"));
  if (off.front() != 0) return fail(invalid("sub_offsets must start at 0"));
  if (off.back() != dims) return fail(invalid("sub_offsets must end at dims"));
  for (std::size_t m = 1; m < off.size(); ++m) {
    if (off[m] < off[m - 1]) return fail(invalid("sub_offsets must be non-decreasing"));
  }
  const std::size_t m_count = off.size() - 1;
  if (pq.centroids.size() != m_count) {
    return fail(invalid("the codebook must hold one codeword list per subspace"));
  }
  if (pq.ks.size() != m_count) return fail(invalid("ks must hold one count per subspace"));
  for (std::size_t m = 0; m < m_count; ++m) {
    if (pq.ks[m] < 1 || pq.ks[m] > 256) {
      return fail(invalid("ks[" + std::to_string(m) + "] must be between 1 and 256"));
    }
    const std::uint64_t width = off[m + 1] - off[m];
    const unsigned __int128 expected = static_cast<unsigned __int128>(pq.ks[m]) * width;
    if (expected != pq.centroids[m].size()) {
      return fail(invalid("codebook " + std::to_string(m) + " must hold ks * width values"));
    }
  }
  return {};
}

// Invariants 1-3 of IvfPqIndex: counts, codebook shape and codes.
[[nodiscard]] Result<void> validate_shape(const IvfPqIndex& index) {
  if (index.n_partitions < 1) return fail(invalid("n_partitions must be at least 1"));
  const unsigned __int128 values =
      static_cast<unsigned __int128>(index.n_partitions) * index.dims;
  if (values != index.centroids.size()) {
    return fail(invalid("centroids must hold n_partitions * dims values"));
  }
  if (index.partitions.size() != index.n_partitions) {
    return fail(invalid("there must be one posting per partition"));
  }
  TRY(validate_codebook(index.pq, index.dims));
  const std::size_t m_count = index.pq.sub_offsets.size() - 1;
  for (std::size_t p = 0; p < index.partitions.size(); ++p) {
    const Posting& posting = index.partitions[p];
    const unsigned __int128 codes = static_cast<unsigned __int128>(posting.ids.size()) * m_count;
    if (codes != posting.codes.size()) {
      return fail(invalid("posting " + std::to_string(p) + " must hold M codes per id"));
    }
    const std::uint8_t* code = posting.codes.data();
    for (std::size_t i = 0; i < posting.ids.size(); ++i) {
      for (std::size_t m = 0; m < m_count; ++m, ++code) {
        if (*code >= index.pq.ks[m]) {
          return fail(invalid("posting " + std::to_string(p) + " holds a code beyond its codebook"));
        }
      }
    }
  }
  return {};
}

QuarnError duplicate_id() { return invalid("an id occurs more than once"); }

}  // namespace

Result<Bytes> encode_index(const IvfPqIndex& index) {
  Bytes out;
  std::size_t estimate = 64 + 5 * index.centroids.size();
  for (const auto& book : index.pq.centroids) estimate += 5 * book.size();
  for (const Posting& p : index.partitions) estimate += 8 + 18 * p.ids.size() + 2 * p.codes.size();
  out.reserve(estimate);

  mp::ByteSink sink{&out};
  mp::Packer packer(sink);
  packer.pack_array(7);
  packer.pack_uint64(index.dims);
  packer.pack_uint64(index.n_partitions);
  packer.pack_uint64(index.n_probe);
  packer.pack_uint64(index.n_rerank);
  TRY(pack_floats(packer, out, index.centroids));
  packer.pack_array(3);
  TRY(pack_uints(packer, index.pq.sub_offsets));
  TRY(pack_array(packer, index.pq.centroids.size()));
  for (const auto& book : index.pq.centroids) TRY(pack_floats(packer, out, book));
  TRY(pack_uints(packer, index.pq.ks));
  TRY(pack_array(packer, index.partitions.size()));
  for (const Posting& posting : index.partitions) TRY(pack_posting(packer, out, posting));
  return out;
}

Result<void> validate_index_shape(const IvfPqIndex& index) { return validate_shape(index); }

Result<void> validate_index(const IvfPqIndex& index) {
  TRY(validate_shape(index));
  std::unordered_set<Ulid, memory::UlidHash> seen;
  for (const Posting& posting : index.partitions) {
    for (const Ulid& id : posting.ids) {
      if (!seen.insert(id).second) return fail(duplicate_id());
    }
  }
  return {};
}

Result<std::unique_ptr<IvfPqIndex>> decode_index(ByteView bytes, std::uint64_t dimensions) {
  auto index = std::make_unique<IvfPqIndex>();
  TRY(read_index(bytes, *index));
  if (index->dims != dimensions) {
    return fail(QuarnError::invalid_argument("ANN index dimensionality does not match the database"));
  }
  TRY(validate_shape(*index));
  index->partition_of.reserve(index->vector_count());
  for (std::uint64_t p = 0; p < index->partitions.size(); ++p) {
    for (const Ulid& id : index->partitions[p].ids) {
      if (!index->partition_of.try_emplace(id, p).second) return fail(duplicate_id());
    }
  }
  return index;
}

}  // namespace quarn::index
