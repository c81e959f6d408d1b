// A whole file: open (recovery, header, key, catalog, manifest, index, upgrade of older versions),
// then every read, a write and a flush, and a second open of what the flush left. The header's
// Argon2 costs are set to the seed files' cheap ones and its CRC made to match, so that mutated
// header fields reach the checks behind the CRC; the passphrase is the seeds' one.
#include <cstdlib>

#include "fuzz/fuzz_util.h"
#include "store/store.h"

namespace {

using namespace quarn;

// Dimensionalities above this are opened but not queried: a query is that many floats.
constexpr std::uint64_t kMaxQueryDims = 4096;

void exercise(store::Store& db) {
  (void)db.verify();
  (void)db.stats();
  (void)db.about();
  (void)db.snapshots();
  const std::uint64_t dims = store::StoreAccess::header(db).dimensions;
  if (dims == 0 || dims > kMaxQueryDims) return;
  const std::vector<float> query(dims, 0.25f);
  (void)db.search(query, 3);
  store::RecallRequest request;
  request.query = query;
  request.top_k = 3;
  (void)db.recall(request);
  if (const auto all = db.memories(); all && !all->empty()) (void)db.get(all->front().id);
  if (const auto rows = db.snapshots(); !rows.empty()) (void)db.restore_to(rows.front().txn_id);
  memory::Memory m;
  m.id = memory::Ulid{0x0190000000000000ULL, 77};
  m.content = "fuzz";
  m.vector = query;
  m.created_at = m.accessed_at = 1700000000;
  if (db.remember(m)) (void)db.flush();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto disk = fuzz::disk_of(data, size, 256 * kPageSize);
  if (disk->bytes.size() >= kPageSize) {
    for (int i = 0; i < 3; ++i) put_le<std::uint32_t>(disk->bytes.data() + fuzz::kKdfAt + 4 * i, i == 0 ? 8 : 1);
    fuzz::fix_header_crc(disk->bytes);
  }
  {
    auto db = store::StoreAccess::open(std::make_unique<pager::testing::MemFile>(disk), true,
                                       fuzz::passphrase(), std::nullopt, fuzz::cheap());
    if (!db) return 0;
    exercise(**db);
  }
  // A file that opened opens again after the flush, failed or not: at the flush's commit or at the
  // commit it opened at.
  auto again = store::StoreAccess::open(std::make_unique<pager::testing::MemFile>(disk), true,
                                        fuzz::passphrase(), std::nullopt, fuzz::cheap());
  if (!again) std::abort();
  (void)(*again)->verify();
  return 0;
}
