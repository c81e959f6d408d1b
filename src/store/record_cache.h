// Decoded records kept beside the page cache, so that scans (recall, search, statistics) do not
// decode every record again on every call.
//
// A record is served from here only when its row names the same run (start page, page count,
// length) it was decoded from and every page of that run is in the page cache at that moment;
// those pages are then touched in order, exactly as reading them would. Pages are never rewritten
// under another content (runs are only ever allocated at the end of the file), so such a read
// would have produced the very bytes that were decoded: results, errors and the page cache's state
// are the same as without this cache. Any other read goes through the pager and decodes afresh.
//
// Beside each decoded record the cache keeps, per catalog slot, the few fields scans filter and
// score by (ScanInfo, in one array) and, once it has been served from here, a copy of its vector
// laid out with those of the 15 slots around it (a block), so that a scan walks memory in order
// instead of chasing records.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "error/error.h"
#include "memory/memory.h"
#include "pager/pager.h"
#include "store/store.h"

namespace quarn::store {

struct CachedRecord {
  // As decoded: accessed_at and access_count are the record's own, not the row's.
  Memory memory;
  // Sum of squares of memory.vector in position order, and its square root (both 32-bit).
  float norm_squares = 0.0f;
  float norm = 0.0f;
};

// What scans need of a decoded record, kept in one array indexed by slot.
struct ScanInfo {
  std::uint64_t start_page = 0;  // the run it was decoded from
  std::uint32_t page_count = 0;
  std::uint32_t len = 0;
  std::int64_t created_at = 0;
  std::int64_t ttl_secs = 0;  // when has_ttl
  float importance = 0.0f;
  float norm_squares = 0.0f;
  float norm = 0.0f;
  std::uint32_t agent_hash = 0;  // agent_hash(memory.agent_id)
  MemoryType memory_type = MemoryType::Episodic;
  memory::Scope scope = memory::Scope::Private;
  bool has_ttl = false;
  bool present = false;

  // The expiry rule, with the subtraction wrapping.
  bool expired(std::int64_t now) const {
    return has_ttl && memory::wrapping_sub(now, created_at) >= ttl_secs;
  }
};

// A hash of an agent id: different hashes mean different ids.
std::uint32_t agent_hash(std::string_view agent_id);

// One scored candidate of a ranking (see scoring.h).
struct Ranked {
  std::uint32_t key;  // total_order_key of the ranking value
  std::size_t pos;    // position in candidate order: breaks ties
  float score;
  float similarity;
};

// Buffers a scan reuses from one call to the next, so that long candidate lists are not allocated
// (and faulted in) afresh on every query. Their contents mean nothing between calls.
struct ScanBuffers {
  std::vector<std::size_t> slots;
  std::vector<const CachedRecord*> records;
  std::vector<std::size_t> kept_slots;
  std::vector<const CachedRecord*> kept;
  std::vector<float> sims;
  std::vector<Ranked> ranked;
  // Used by similarities().
  std::vector<std::uint32_t> block_index;
  std::vector<const float*> blocks;
  std::vector<std::size_t> in_blocks;
  std::vector<std::size_t> others;
  std::vector<float> dots;
};

class RecordCache {
 public:
  // Slots are grouped in blocks of kLanes; block b covers slots b * kLanes .. b * kLanes + 15.
  static constexpr std::size_t kLanes = 16;

  // Starts the reads of one operation over a database of `dimensions`: frees what the previous
  // operation replaced and drops entries that can no longer be served, keeping memory in step with
  // the page cache. Pointers returned by load() stay valid until the next begin().
  void begin(const cache::PageCache& pages, std::uint64_t dimensions);

  // The decoded record of catalog slot `slot`, whose row is `entry`. Read and decode failures come
  // back unchanged and leave nothing behind.
  [[nodiscard]] Result<const CachedRecord*> load(pager::Pager& pager, std::size_t slot,
                                                 const CatalogEntry& entry);

  // The scan fields of the record last loaded for `slot` (valid after a successful load()).
  const ScanInfo& info(std::size_t slot) const { return info_[slot]; }

  // The vectors of a block of slots, lane-major (position i of slot b * kLanes + l at
  // [i * kLanes + l]), when `record` is the current decoded record of `slot` and its vector has the
  // database's dimensions; else nullptr. Lanes of other slots may hold anything.
  const float* block_of(std::size_t slot, const CachedRecord* record) const;
  std::size_t block_count() const { return blocks_.size(); }

  ScanBuffers& buffers() { return buffers_; }

 private:
  // Copies of decoded vectors laid out for scoring many slots side by side.
  struct Block {
    std::vector<float> lanes;  // dimensions * kLanes
    std::uint32_t valid = 0;   // bit l: lane l holds the vector of the current record of its slot
  };

  // Makes the entry of `slot` `record` (or none), keeping its scan fields in step and marking its
  // lane stale.
  void set_slot(std::size_t slot, std::unique_ptr<CachedRecord> record, const CatalogEntry* entry);
  // Copies the slot's vector into its lane, when it has the database's dimensions. Lanes are filled
  // only for records served from the cache, so blocks exist only where scans will reuse them.
  void fill_lane(std::size_t slot);
  bool servable(const cache::PageCache& pages, std::size_t slot) const;

  std::vector<std::unique_ptr<CachedRecord>> slots_;
  std::vector<ScanInfo> info_;
  std::vector<std::unique_ptr<CachedRecord>> retired_;
  std::vector<std::unique_ptr<Block>> blocks_;
  std::size_t filled_ = 0;
  std::uint64_t dimensions_ = 0;
  ScanBuffers buffers_;
};

// The row's view of a decoded record: a copy with the row's access statistics.
Memory with_row_access(const Memory& decoded, const CatalogEntry& entry);

}  // namespace quarn::store
