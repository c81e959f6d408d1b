// The approximate index in format 8: its model (centroids and codebooks) written once per build,
// each partition's postings a copy-on-write slot tree of rows, and a directory tree of those
// trees' roots; a small root record, stored as the index run the header and the snapshot rows
// name, holds the rest. A flush that adds or removes a few ids writes the leaves they touch,
// their paths, the directory's changed leaf and path, and a new root record.
//
// Root record (the index run's bytes, 96; little-endian, the rest zero and refused when not):
//    0  u8   kind 3 (a whole encoded index, which format 8 also reads, starts 0x97 or 0x87)
//    8  u64  dims            16 u64 n_partitions     24 u64 n_probe      32 u64 n_rerank
//   40  u64  subspaces M
//   48  u64  model run start 56 u64 model run pages  64 u64 model run length
//   72  u64  directory root page   80 u32 directory height   84 u32 zero   88 u64 directory rows
// The model run is the index's whole encoding (index/index.h) with every posting empty.
// Directory row (24 bytes), one per partition: root page u64, height u32, zero u32, rows u64.
// Posting row (17 + M bytes): id (16, the ULID big-endian), flags u8 (bit 0: removed), then the
// M codes (zero in a removed row). Removing an id marks its row, so the rows of a posting keep
// their slots; the live rows in slot order are the posting in memory, in the same order.
//
// Reading checks every tree as slot_tree.h does, that the directory has one row per partition,
// that every row size and flag is as above, and the whole index as decode_index does.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <span>
#include <vector>

#include "error/error.h"
#include "format/bytes.h"
#include "index/index.h"
#include "pager/pager.h"
#include "store/commit.h"
#include "store/slot_tree.h"

namespace quarn::store {

inline constexpr std::uint8_t kIndexRootKind = 3;
inline constexpr std::size_t kIndexRootSize = 96;
inline constexpr std::size_t kDirectoryRowSize = 24;

// What a write of the index committed, for PostingTrees::adopt once the transaction is.
struct IndexCommit {
  RunLocation run;    // the index run: a root record, or a whole encoded index
  bool trees = false;  // the run is a root record
  bool whole = false;  // everything was written anew (the posting slots start again)
  RunLocation model;
  SlotTreeRoot directory;
  std::vector<std::pair<std::uint64_t, SlotTreeRoot>> roots;  // partitions written
};

// Where each in-memory posting lives in its tree, and what the next flush writes. `valid` false:
// the next flush writes the whole index anew (after a build, a drop, or an index read from a
// whole run).
struct PostingTrees {
  bool valid = false;
  RunLocation run;                  // the committed root record
  RunLocation model;                // the committed model run
  SlotTreeRoot directory;           // committed
  std::vector<SlotTreeRoot> roots;  // committed, one per partition
  std::vector<std::vector<std::uint64_t>> slots;  // per partition: the slot of each position
  std::vector<std::uint64_t> rows;                // per partition: slots taken, removed included
  std::map<std::uint64_t, std::map<std::uint64_t, Bytes>> pending;  // partition -> slot -> row
  bool root_changed = false;  // n_probe or n_rerank changed: a new root record

  // Takes the journal's changes into `pending` (and clears it); only drops them when not valid.
  void take(std::vector<index::PostingChange>& journal, std::uint64_t subspaces);
  // The committed state after `commit`, of `index` as it was written.
  void adopt(const IndexCommit& commit, const index::IvfPqIndex& index);
};

// What a flush will write of the index, prepared before anything is written.
struct IndexPlan {
  std::optional<Bytes> whole;  // the index as one run (it does not fit trees)
  std::optional<Bytes> model;  // the model run, when everything is written anew
  std::uint64_t pages = 0;     // at most the pages the write takes
};

// Whether format 8 can store this index as trees (a posting row must fit a leaf); otherwise it
// is written as one whole run, as format 7 writes it.
bool fits_trees(const index::IvfPqIndex& index);

[[nodiscard]] Result<IndexPlan> plan_index_write(const index::IvfPqIndex& index,
                                                 const PostingTrees& trees);

// Writes what the plan says (everything anew when trees is not valid) through `seal`, which
// places a run at the end of the file and returns it; old nodes are read through `pager` below
// `end`, the committed page count. `trees` is not changed.
using RunWriter = std::function<Result<RunLocation>(ByteView bytes)>;
[[nodiscard]] Result<IndexCommit> write_index(pager::Pager& pager, const RunWriter& seal,
                                              const index::IvfPqIndex& index,
                                              const PostingTrees& trees, const IndexPlan& plan,
                                              std::uint64_t end);

// Whether the run's bytes are a root record (else a whole encoded index).
bool is_index_root(ByteView run_bytes);

// The index of the run in either form; pages 0: none. `trees`, when given, describes the trees
// read (valid) or is left not valid for a whole run; `node_pages`, when given, receives every
// page the index's structures take. Failures: the pager's, Serialization for a damaged
// structure, decode_index's.
[[nodiscard]] Result<std::unique_ptr<index::IvfPqIndex>> load_any_index(
    pager::Pager& pager, const RunLocation& run, std::uint64_t dimensions, std::uint64_t end,
    PostingTrees* trees, std::vector<std::uint64_t>* node_pages);

// The postings of the index `run` that differ from `base`, the index in memory with its committed
// trees `base_trees` (valid, nothing pending): when the run is a root record over base's model
// run, the directory is read and only the posting trees whose roots differ from base's, each
// checked as load_any_index checks them (an id in two postings is refused, counting base's
// postings that are kept). nullopt when the run shares no model with base, so that it must be
// loaded whole. Nothing of base is changed.
struct IndexDelta {
  struct Changed {
    std::uint64_t part;
    index::Posting posting;
    std::vector<std::uint64_t> slots;
    std::uint64_t rows;
  };
  RunLocation run;
  std::uint64_t n_probe = 0;
  std::uint64_t n_rerank = 0;
  SlotTreeRoot directory;
  std::vector<SlotTreeRoot> roots;
  std::vector<Changed> changed;
};
[[nodiscard]] Result<std::optional<IndexDelta>> read_index_delta(
    pager::Pager& pager, const RunLocation& run, std::uint64_t dimensions, std::uint64_t end,
    const index::IvfPqIndex& base, const PostingTrees& base_trees,
    std::vector<std::uint64_t>* node_pages);
// Makes `index` and `trees` (the base the delta was read against) the index the delta's run
// holds, with its committed trees; cannot fail.
void apply_index_delta(IndexDelta&& delta, index::IvfPqIndex& index, PostingTrees& trees);

}  // namespace quarn::store
