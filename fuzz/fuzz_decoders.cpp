// The decoders of the stored structures with their validation. The first byte picks one:
//   0 memory record   1 catalog   2 version-4 catalog   3 snapshot manifest   4 index
// and the rest is its bytes (for the index, a u16 dimensionality first). Whatever decodes must
// encode to bytes that decode to the same value.
#include <bit>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "index/index.h"
#include "memory/memory.h"
#include "store/catalog.h"
#include "store/manifest.h"
#include "store/migration.h"

namespace {

using namespace quarn;

// The scan reader takes a record only when the full decoder does, with the same fields.
void scan_fields(ByteView bytes, const Result<memory::Memory>& memory) {
  for (const std::size_t dims : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{384}}) {
    std::vector<float> vector(dims);
    memory::ScanFields f;
    if (!memory::read_scan_fields(bytes, vector, f)) continue;
    if (!memory || memory->id != f.id || memory->memory_type != f.memory_type ||
        memory->scope != f.scope || memory->agent_id != f.agent_id ||
        memory->created_at != f.created_at || memory->ttl_secs != f.ttl_secs ||
        std::bit_cast<std::uint32_t>(memory->importance) != std::bit_cast<std::uint32_t>(f.importance) ||
        memory->vector.size() != dims ||
        (dims != 0 && std::memcmp(memory->vector.data(), vector.data(), dims * sizeof(float)) != 0)) {
      std::abort();
    }
  }
}

void record(ByteView bytes) {
  const auto memory = memory::decode_memory(bytes);
  scan_fields(bytes, memory);
  if (!memory) return;
  // Compared as bytes: a NaN importance or vector element is not equal to itself.
  const auto encoded = memory::encode_memory(*memory);
  if (!encoded) return;  // only a structure beyond 2^32 elements, which no input holds
  const auto again = memory::decode_memory(*encoded);
  if (!again || memory::encode_memory(*again).value() != *encoded) std::abort();
}

void catalog(ByteView bytes) {
  const auto rows = store::decode_catalog(bytes);
  if (!rows) return;
  const store::IdIndex ids = store::build_id_index(*rows);
  if (ids.size() > rows->size()) std::abort();
  const auto again = store::decode_catalog(store::encode_catalog(*rows));
  if (!again || *again != *rows) std::abort();
}

void catalog_v4(ByteView bytes) { (void)store::decode_catalog_v4(bytes); }

// Read as version 7 (nine-element rows) and as version 8 (tree rows too); what version 7 reads,
// version 8 reads alike.
void manifest(ByteView bytes) {
  const auto rows = store::decode_manifest(bytes);
  const auto tree_rows = store::decode_manifest(bytes, true);
  if (rows && (!tree_rows || *tree_rows != *rows)) std::abort();
  if (!tree_rows) return;
  const auto again = store::decode_manifest(store::encode_manifest(*tree_rows), true);
  if (!again || *again != *tree_rows) std::abort();
  (void)store::next_manifest(*tree_rows, 3, store::Snapshot{});
}

void ivf_index(ByteView bytes) {
  if (bytes.size() < 2) return;
  const std::uint64_t dims = get_le<std::uint16_t>(bytes.data());
  const auto index = index::decode_index(bytes.subspan(2), dims);
  if (!index) return;
  if (!index::validate_index(**index)) std::abort();
  // A decoded index is safe to search: every query reads only what the index holds.
  const std::vector<float> query(dims, 0.5f);
  (void)index::probe(**index, query, 1 + bytes.size() % 7, 1 + bytes.size() % 13);
  const auto encoded = index::encode_index(**index);
  if (!encoded) return;
  const auto again = index::decode_index(*encoded, dims);
  if (!again || index::encode_index(**again).value() != *encoded) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const ByteView bytes(data + 1, size - 1);
  switch (data[0] % 5) {
    case 0: record(bytes); break;
    case 1: catalog(bytes); break;
    case 2: catalog_v4(bytes); break;
    case 3: manifest(bytes); break;
    default: ivf_index(bytes); break;
  }
  return 0;
}
