// Decoded records kept beside the page cache, so that scans (recall, search, statistics) do not
// decode every record again on every call.
//
// A record is served from here only when its row names the same run (start page, page count,
// length) it was decoded from and every page of that run is in the page cache at that moment;
// those pages are then touched in order, exactly as reading them would. Pages are never rewritten
// under another content (runs are only ever allocated at the end of the file), so such a read
// would have produced the very bytes that were decoded: results, errors and the page cache's state
// are the same as without this cache. Any other read goes through the pager and decodes afresh.
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
  std::uint64_t start_page = 0;
  std::uint32_t page_count = 0;
  std::uint32_t len = 0;
  // As decoded: accessed_at and access_count are the record's own, not the row's.
  Memory memory;
  // Sum of squares of memory.vector in position order, and its square root (both 32-bit).
  float norm_squares = 0.0f;
  float norm = 0.0f;
};

class RecordCache {
 public:
  // Starts the reads of one operation: frees what the previous operation replaced and drops
  // entries that can no longer be served, keeping memory in step with the page cache. Pointers
  // returned by load() stay valid until the next begin().
  void begin(const cache::PageCache& pages);

  // The decoded record of catalog slot `slot`, whose row is `entry`. Read and decode failures come
  // back unchanged and leave nothing behind.
  [[nodiscard]] Result<const CachedRecord*> load(pager::Pager& pager, std::size_t slot,
                                                 const CatalogEntry& entry);

 private:
  bool servable(pager::Pager& pager, const CachedRecord& record) const;

  std::vector<std::unique_ptr<CachedRecord>> slots_;
  std::vector<std::unique_ptr<CachedRecord>> retired_;
  std::size_t filled_ = 0;
};

// The row's view of a decoded record: a copy with the row's access statistics.
Memory with_row_access(const Memory& decoded, const CatalogEntry& entry);

}  // namespace quarn::store
