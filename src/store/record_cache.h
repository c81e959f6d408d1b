// What the store keeps of its records beside the page cache: the scan table, which holds the few
// fields every scan filters and scores by, and the vector, of each record read and authenticated
// (or staged) on this handle; and a small cache of whole decoded records for the reads that return
// memories (get, the results of recall and search).
//
// The scan table does not depend on the page cache: once a record has been read (its pages
// decrypted and authenticated, its bytes decoded) or staged by remember, scans use its entry and
// read nothing. An entry belongs to a catalog slot and to the run it came from (start page, page
// count, length); it serves the slot only while the slot's row names that same run. Runs are never
// rewritten under another content (pages are only ever allocated at the end of the file), so a
// matching run means the very bytes the entry was made from. A row that names another run (the id
// stored again, a restored catalog) finds no entry, and the record is read again.
//
// Kept in step by every change: remember puts the staged record's entry (staged), delete drops it
// (forget), a restore keeps only the entries its catalog still names (catalog_replaced), reopening
// starts empty. Access statistics live in the catalog and are read from there. A rewrite that moves
// records to other pages without changing their bytes calls relocated() for each moved slot, or
// the next scan reads them again; one that may put other bytes on pages a run once named (pages
// reused) calls forget() for every slot whose row it changes, as the match by run no longer
// proves the bytes the same.
//
// Cost per record, for d dimensions: 5 * d + 88 bytes (its vector, its 8-bit codes, ScanEntry and
// VectorInfo), allocated for chunks of 256 consecutive slots at once and freed with the last entry
// of the chunk (the vectors and codes of chunks past 256 KiB come four to a slab of whole 2 MiB
// pages, freed with the last of its chunks); agent ids are stored once each. 384 dimensions: 2008
// bytes per memory.
//
// A first read decodes only what the table keeps (memory::read_scan_fields, which takes exactly
// the records decode_memory takes, and leaves any other to it), and the norms and codes of the
// records a pass reads are computed eight at a time (ScanTable::place, then measure).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "cache/page_cache.h"
#include "error/error.h"
#include "memory/memory.h"
#include "pager/pager.h"
#include "store/catalog.h"
#include "store/runs.h"

namespace quarn::store {

// The scan fields of one record.
struct ScanEntry {
  std::uint64_t start_page = 0;  // the run it was made from
  std::uint32_t page_count = 0;
  std::uint32_t len = 0;
  std::int64_t created_at = 0;
  std::int64_t ttl_secs = 0;  // when has_ttl
  float importance = 0.0f;
  std::uint32_t agent = 0;        // number of its agent id in the table
  std::uint32_t usage_count = 0;  // ln(usage_count + 1) = usage, cached for the catalog's count
  float usage = 0.0f;
  MemoryType memory_type = MemoryType::Episodic;
  memory::Scope scope = memory::Scope::Private;
  bool has_ttl = false;
  bool present = false;
  std::uint32_t offset = 0;  // of the run, in its first page

  // The expiry rule, with the subtraction wrapping.
  bool expired(std::int64_t now) const {
    return has_ttl && memory::wrapping_sub(now, created_at) >= ttl_secs;
  }
  bool same_run(const CatalogEntry& row) const {
    return present && start_page == row.start_page && page_count == row.page_count &&
           len == row.len && offset == row.offset;
  }
};

// What scoring needs of a record's vector: its norms as memory::similarity computes them, and
// the bounds of its 8-bit codes c_i = round(x_i / scale) in -127..127 (see scoring.h), all
// rounded upwards: ||x - scale * c||_2 <= err_norm, scale * ||c||_2 <= scaled_code_norm,
// ||x||_2 <= vector_norm, |x_i| <= vector_max.
struct VectorInfo {
  float norm_squares = 0.0f;  // sum of squares in position order, and its root
  float norm = 0.0f;
  float scale = 0.0f;
  float scaled_code_norm = 0.0f;
  float err_norm = 0.0f;
  float vector_norm = 0.0f;
  float vector_max = 0.0f;
  // No codes (not the database's length, or an element that is not finite): always scored
  // exactly.
  bool exact_only = true;
};

// Memory that holds the vectors and codes of scan chunks: one mapping (or, where mapping fails,
// one heap allocation), released with the last chunk that uses it.
struct ScanMapping {
  std::uint8_t* base = nullptr;
  std::size_t bytes = 0;
  bool mapped = false;
  ScanMapping() = default;
  ScanMapping(const ScanMapping&) = delete;
  ScanMapping& operator=(const ScanMapping&) = delete;
  ~ScanMapping();
};

class ScanTable {
 public:
  static constexpr std::size_t kChunk = 256;  // slots per chunk of vectors and codes

  explicit ScanTable(std::uint64_t dimensions = 0) : dims_(static_cast<std::size_t>(dimensions)) {}

  std::size_t dimensions() const { return dims_; }
  // Slots below this may hold entries.
  std::size_t size() const { return chunks_.size() * kChunk; }
  // Whether slot has an entry for the run `row` names.
  bool holds(std::size_t slot, const CatalogEntry& row) const {
    const std::size_t c = slot / kChunk;
    return c < chunks_.size() && chunks_[c].used != 0 &&
           chunks_[c].entries[slot % kChunk].same_run(row);
  }
  // The entry of a slot that holds one.
  const ScanEntry& entry(std::size_t slot) const {
    return chunks_[slot / kChunk].entries[slot % kChunk];
  }
  const VectorInfo& info(std::size_t slot) const {
    return chunks_[slot / kChunk].infos[slot % kChunk];
  }
  // The slot's vector: dimensions() values, or another length for an exact_only entry.
  std::span<const float> vector(std::size_t slot) const;
  // dimensions() codes, each c_i + 128; only for vectors that are not exact_only.
  const std::uint8_t* codes(std::size_t slot) const {
    return chunks_[slot / kChunk].codes + (slot % kChunk) * dims_;
  }
  const std::string& agent_name(std::uint32_t agent) const { return agents_[agent].name; }
  // The id the record holds: its row's, unless the bytes name another (only a damaged or forged
  // file has such rows).
  Ulid record_id(std::size_t slot, const Ulid& row_id) const {
    const auto it = foreign_ids_.find(slot);
    return it == foreign_ids_.end() ? row_id : it->second;
  }
  // The number of an agent id that some entry holds, or none.
  std::optional<std::uint32_t> find_agent(std::string_view name) const;
  // ln(count + 1) in 32 bits, as recall computes it, cached in the entry.
  float usage(std::size_t slot, std::uint32_t count);

  // Makes `memory`, read from (or staged in) the run `row` names, the entry of `slot`.
  void put(std::size_t slot, const CatalogEntry& row, const Memory& memory);
  // The same in two steps, for many records at once: place() stores the fields and the vector,
  // and measure() then computes the norms and codes of the slots placed (eight vectors side by
  // side); a placed entry must not be used before it is measured.
  void place(std::size_t slot, const CatalogEntry& row, const memory::ScanFields& fields,
             std::span<const float> vector);
  void measure(std::span<const std::size_t> slots);
  // Whether records are being placed in bulk (a first scan), which fills chunks whole: their
  // memory is then taken as huge pages and populated at once. Otherwise (a few scattered
  // records) pages come at first touch, so that a chunk holding one record costs a page or two.
  void set_bulk(bool bulk) { bulk_ = bulk; }
  void drop(std::size_t slot);
  // Keeps an entry's data for a record whose bytes moved unchanged to the run `row` names.
  void relocate(std::size_t slot, const CatalogEntry& row);

 private:
  // A chunk's vectors and codes share one block of memory. A first scan fills 5 * d bytes per
  // record, and taking fresh pages one fault at a time cost more than decoding the records, so
  // large blocks are carved from slabs of whole 2 MiB pages (kSlabBlocks blocks or more each,
  // advised as huge pages when made in bulk), each block taken in bulk populated at once where
  // the kernel allows, and a slab released with the last chunk carved from it. Small blocks get
  // a mapping of their own.
  struct Block {
    std::shared_ptr<ScanMapping> memory;
    std::uint8_t* data = nullptr;
    explicit operator bool() const { return data != nullptr; }
  };
  static constexpr std::size_t kSlabBlocks = 4;
  static constexpr std::size_t kSlabFrom = std::size_t{256} << 10;  // smaller blocks: own mapping
  static constexpr std::size_t kSlabSpread = std::size_t{8} << 20;  // larger: one per slab
  Block take_block(std::size_t bytes);
  // Entries of kChunk slots, allocated with the first of them and freed with the last; the block
  // of vectors and codes with the first entry whose vector has the dimensionality.
  struct Chunk {
    std::unique_ptr<ScanEntry[]> entries;
    std::unique_ptr<VectorInfo[]> infos;
    Block block;
    float* vectors = nullptr;
    std::uint8_t* codes = nullptr;
    std::uint32_t used = 0;
  };
  struct Agent {
    std::string name;
    std::uint32_t refs = 0;
  };
  std::uint32_t hold_agent(std::string_view name);
  void release_agent(std::uint32_t agent);

  std::size_t dims_;
  std::vector<Chunk> chunks_;
  std::unordered_map<std::size_t, std::vector<float>> odd_vectors_;
  std::unordered_map<std::size_t, Ulid> foreign_ids_;
  std::vector<Agent> agents_;
  std::vector<std::uint32_t> free_agents_;
  std::unordered_map<std::string, std::uint32_t> agent_numbers_;
  std::uint32_t last_agent_ = 0;  // the agent held last
  bool bulk_ = false;
  std::shared_ptr<ScanMapping> slab_;  // the slab blocks are carved from now
  std::size_t slab_used_ = 0;
  // measure()'s eight vectors interleaved, and their codes.
  std::vector<float> lane_values_;
  std::vector<std::uint8_t> lane_codes_;
};

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
  std::vector<std::size_t> kept;
  std::vector<Ranked> ranked;
  std::vector<std::size_t> exact_slots;
  std::vector<float> sims;
  // Used by the ranking (scoring.h).
  std::vector<float> bounds;
  std::vector<std::uint32_t> bound_keys;
  std::vector<std::pair<std::uint32_t, std::size_t>> heap;
  std::vector<std::uint32_t> threshold;
  std::vector<std::size_t> picked;
  std::vector<std::uint8_t> scored;
  std::vector<std::int32_t> code_dots;
  std::vector<const std::uint8_t*> code_rows;
};

class RecordCache {
 public:
  explicit RecordCache(std::uint64_t dimensions) : table_(dimensions) {}

  // Drops decoded records that can no longer be served once they have grown past twice the page
  // cache's capacity (memory() does it as it goes).
  void trim(const cache::PageCache& pages);

  // One pass of first reads over the catalog, in which nothing writes the file. Its
  // make_resident gives `slot` its scan entry for the run `row` names, reading and decoding the
  // record unless it is already held; a read or decode failure comes back unchanged and leaves
  // nothing behind for that slot. Pages in the page cache are taken from there; the others are
  // read and authenticated from the file without being cached, through the pass's read-ahead.
  // The entries' fields and vectors are there at once; their norms and codes, computed for many
  // records side by side, once finish() has run (the destructor runs it too): call it before the
  // scan ranks anything.
  class Pass {
   public:
    Pass(RecordCache& cache, pager::Pager& pager) : cache_(cache), pager_(pager) {
      cache_.record_bytes_.reset();
    }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    ~Pass() { finish(); }
    [[nodiscard]] Result<void> make_resident(std::size_t slot, const CatalogEntry& row) {
      if (cache_.table_.holds(slot, row)) return {};
      if (++reads_ == ScanTable::kChunk) cache_.table_.set_bulk(true);
      return cache_.read_resident(pager_, slot, row, window_);
    }
    void finish() {
      cache_.measure_placed();
      cache_.table_.set_bulk(false);
    }
    // Records this pass has read (or tried to).
    std::size_t reads() const { return reads_; }

   private:
    RecordCache& cache_;
    pager::Pager& pager_;
    pager::ReadWindow window_;
    std::size_t reads_ = 0;
  };
  // The memory of `slot` with the row's access statistics, read through the page cache. A decoded
  // record is served again only while every page of its run is cached; those pages are then
  // touched in order, exactly as reading them would.
  [[nodiscard]] Result<Memory> memory(pager::Pager& pager, std::size_t slot,
                                      const CatalogEntry& row);

  // The hooks of the write path (see the top of this file).
  void staged(std::size_t slot, const CatalogEntry& row, const Memory& memory);
  void forget(std::size_t slot);
  void catalog_replaced(const std::vector<CatalogEntry>& catalog);
  // The same after only the rows of `rows` (slot, row) changed and the catalog went from `held`
  // rows to its size.
  void rows_replaced(const std::vector<CatalogEntry>& catalog,
                     std::span<const std::pair<std::size_t, CatalogEntry>> rows, std::size_t held);
  void relocated(std::size_t slot, const CatalogEntry& row) { table_.relocate(slot, row); }

  ScanTable& table() { return table_; }
  ScanBuffers& buffers() { return buffers_; }

 private:
  struct Decoded {
    std::uint64_t start_page = 0;
    std::uint32_t page_count = 0;
    std::uint32_t len = 0;
    std::uint32_t offset = 0;
    Memory memory;  // as decoded: accessed_at and access_count are the record's own
  };
  bool servable(const cache::PageCache& pages, const Decoded& d) const;
  // Makes the record's entry, placed to be measured by measure_placed() when it was read in the
  // stored form, put whole otherwise.
  [[nodiscard]] Result<void> read_resident(pager::Pager& pager, std::size_t slot,
                                           const CatalogEntry& row, pager::ReadWindow& window);
  void measure_placed();

  ScanTable table_;
  std::unordered_map<std::size_t, Decoded> decoded_;
  std::size_t trim_at_ = 0;
  ScanBuffers buffers_;
  // Reused by first reads: a record's bytes, its vector, the slots placed and not yet measured.
  ScanBuffer record_bytes_;
  std::vector<float> vector_;
  std::vector<std::size_t> placed_;
  static constexpr std::size_t kMeasureBatch = 64;
};

// The row's view of a decoded record: a copy with the row's access statistics.
Memory with_row_access(const Memory& decoded, const CatalogEntry& entry);

}  // namespace quarn::store
