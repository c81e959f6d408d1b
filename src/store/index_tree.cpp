#include "store/index_tree.h"

#include <algorithm>
#include <unordered_set>

#include "store/runs.h"

namespace quarn::store {
namespace {

constexpr std::uint8_t kRemoved = 1;
constexpr std::size_t kRowHead = 17;  // id and flags

std::size_t posting_row_size(std::uint64_t subspaces) {
  return kRowHead + static_cast<std::size_t>(subspaces);
}

Bytes posting_row(const Ulid& id, bool removed, const std::uint8_t* codes, std::uint64_t m) {
  Bytes row(posting_row_size(m), 0);
  const auto bytes = id.to_bytes();
  std::copy(bytes.begin(), bytes.end(), row.begin());
  row[16] = removed ? kRemoved : 0;
  if (!removed) std::copy(codes, codes + m, row.begin() + kRowHead);
  return row;
}

Bytes directory_row(const SlotTreeRoot& root) {
  Bytes row(kDirectoryRowSize, 0);
  put_le<std::uint64_t>(row.data(), root.page);
  put_le<std::uint32_t>(row.data() + 8, root.height);
  put_le<std::uint64_t>(row.data() + 16, root.count);
  return row;
}

Bytes root_record(const index::IvfPqIndex& index, const RunLocation& model,
                  const SlotTreeRoot& directory) {
  Bytes out(kIndexRootSize, 0);
  std::uint8_t* p = out.data();
  p[0] = kIndexRootKind;
  put_le<std::uint64_t>(p + 8, index.dims);
  put_le<std::uint64_t>(p + 16, index.n_partitions);
  put_le<std::uint64_t>(p + 24, index.n_probe);
  put_le<std::uint64_t>(p + 32, index.n_rerank);
  put_le<std::uint64_t>(p + 40, index.subspaces());
  put_le<std::uint64_t>(p + 48, model.start);
  put_le<std::uint64_t>(p + 56, model.pages);
  put_le<std::uint64_t>(p + 64, model.len);
  put_le<std::uint64_t>(p + 72, directory.page);
  put_le<std::uint32_t>(p + 80, directory.height);
  put_le<std::uint64_t>(p + 88, directory.count);
  return out;
}

// The index's encoding with every posting empty: what the model run holds.
Result<Bytes> encode_model(const index::IvfPqIndex& index) {
  index::IvfPqIndex model;
  model.dims = index.dims;
  model.n_partitions = index.n_partitions;
  model.n_probe = index.n_probe;
  model.n_rerank = index.n_rerank;
  model.centroids = index.centroids;
  model.pq = index.pq;
  model.partitions.resize(index.partitions.size());
  return index::encode_index(model);
}

QuarnError damaged(const std::string& what) {
  return QuarnError::serialization("index trees: " + what);
}

Result<Bytes> read_node(pager::Pager& pager, std::uint64_t page, std::uint64_t end,
                        std::vector<std::uint64_t>* node_pages) {
  if (page >= end) return fail(damaged("a node lies past the end of the file"));
  if (node_pages) node_pages->push_back(page);
  return pager.read_page(page);
}

}  // namespace

void PostingTrees::take(std::vector<index::PostingChange>& journal, std::uint64_t subspaces) {
  if (valid) {
    for (const index::PostingChange& c : journal) {
      if (c.partition >= slots.size() || (!c.added && c.position >= slots[c.partition].size()) ||
          (c.added && c.codes.size() != subspaces)) {
        valid = false;  // not a change of the index these trees hold: write it all anew
        break;
      }
      std::vector<std::uint64_t>& at = slots[c.partition];
      if (c.added) {
        const std::uint64_t slot = rows[c.partition]++;
        at.push_back(slot);
        pending[c.partition][slot] = posting_row(c.id, false, c.codes.data(), subspaces);
      } else {
        const std::uint64_t slot = at[c.position];
        at.erase(at.begin() + static_cast<std::ptrdiff_t>(c.position));
        pending[c.partition][slot] = posting_row(c.id, true, nullptr, subspaces);
      }
    }
  }
  journal.clear();
  if (!valid) {
    pending.clear();
    root_changed = false;
  }
}

void PostingTrees::adopt(const IndexCommit& commit, const index::IvfPqIndex& index) {
  if (!commit.trees) {
    *this = PostingTrees{};
    return;
  }
  run = commit.run;
  model = commit.model;
  directory = commit.directory;
  if (commit.whole) {
    roots.assign(index.partitions.size(), SlotTreeRoot{});
    slots.assign(index.partitions.size(), {});
    rows.assign(index.partitions.size(), 0);
    for (std::size_t p = 0; p < index.partitions.size(); ++p) {
      const std::size_t n = index.partitions[p].ids.size();
      slots[p].resize(n);
      for (std::size_t i = 0; i < n; ++i) slots[p][i] = i;
      rows[p] = n;
    }
  }
  for (const auto& [p, root] : commit.roots) roots[p] = root;
  pending.clear();
  root_changed = false;
  valid = true;
}

bool fits_trees(const index::IvfPqIndex& index) {
  return posting_row_size(index.subspaces()) <= kPageCapacity - SlotTree::kNodeHeader;
}

Result<IndexPlan> plan_index_write(const index::IvfPqIndex& index, const PostingTrees& trees) {
  IndexPlan plan;
  if (!fits_trees(index)) {
    plan.whole = TRY(index::encode_index(index));
    plan.pages = run_pages(plan.whole->size());
    return plan;
  }
  const SlotTree postings(posting_row_size(index.subspaces()));
  const SlotTree directory(kDirectoryRowSize);
  if (!trees.valid) {
    plan.model = TRY(encode_model(index));
    plan.pages = run_pages(plan.model->size()) + 1;
    for (const index::Posting& posting : index.partitions)
      plan.pages += postings.nodes_bound(posting.ids.size(), {}, true);
    plan.pages += directory.nodes_bound(index.partitions.size(), {}, true);
    return plan;
  }
  std::vector<std::size_t> changed_partitions;
  for (const auto& [p, rows] : trees.pending) {
    std::vector<std::size_t> slots;
    slots.reserve(rows.size());
    for (const auto& [slot, row] : rows) slots.push_back(static_cast<std::size_t>(slot));
    plan.pages += postings.nodes_bound(trees.rows[p], slots, false);
    changed_partitions.push_back(static_cast<std::size_t>(p));
  }
  plan.pages += directory.nodes_bound(index.partitions.size(), changed_partitions, false) + 1;
  return plan;
}

Result<IndexCommit> write_index(pager::Pager& pager, const RunWriter& seal,
                                const index::IvfPqIndex& index, const PostingTrees& trees,
                                const IndexPlan& plan, std::uint64_t end) {
  IndexCommit commit;
  if (plan.whole) {
    commit.run = TRY(seal(*plan.whole));
    return commit;
  }
  const std::uint64_t m = index.subspaces();
  const SlotTree postings(posting_row_size(m));
  const SlotTree directory(kDirectoryRowSize);
  const SlotTree::WriteNode write_node = [&](Bytes node) -> Result<std::uint64_t> {
    return TRY(seal(node)).start;
  };
  const SlotTree::ReadNode read = [&](std::uint64_t page) {
    return read_node(pager, page, end, nullptr);
  };
  commit.trees = true;
  if (plan.model) {
    commit.whole = true;
    commit.model = TRY(seal(*plan.model));
    Bytes dir_rows;
    for (std::uint64_t p = 0; p < index.partitions.size(); ++p) {
      const index::Posting& posting = index.partitions[p];
      Bytes rows;
      rows.reserve(posting.ids.size() * posting_row_size(m));
      for (std::size_t i = 0; i < posting.ids.size(); ++i) {
        const Bytes row = posting_row(posting.ids[i], false, posting.codes.data() + i * m, m);
        rows.insert(rows.end(), row.begin(), row.end());
      }
      const SlotTreeRoot root = TRY(postings.build(rows, write_node));
      commit.roots.emplace_back(p, root);
      const Bytes entry = directory_row(root);
      dir_rows.insert(dir_rows.end(), entry.begin(), entry.end());
    }
    commit.directory = TRY(directory.build(dir_rows, write_node));
  } else {
    commit.model = trees.model;
    std::vector<Bytes> entries;
    std::vector<std::pair<std::uint64_t, ByteView>> dir_changes;
    entries.reserve(trees.pending.size());
    for (const auto& [p, rows] : trees.pending) {
      std::vector<std::pair<std::uint64_t, ByteView>> changes;
      changes.reserve(rows.size());
      for (const auto& [slot, row] : rows) changes.emplace_back(slot, row);
      const SlotTreeRoot root =
          TRY(postings.update(trees.roots[p], kFirstNodePage, trees.rows[p], changes, read, write_node));
      commit.roots.emplace_back(p, root);
      entries.push_back(directory_row(root));
      dir_changes.emplace_back(p, entries.back());
    }
    commit.directory = dir_changes.empty()
                           ? trees.directory
                           : TRY(directory.update(trees.directory, kFirstNodePage,
                                                  index.partitions.size(), dir_changes, read,
                                                  write_node));
  }
  commit.run = TRY(seal(root_record(index, commit.model, commit.directory)));
  return commit;
}

bool is_index_root(ByteView run_bytes) {
  return !run_bytes.empty() && run_bytes[0] == kIndexRootKind;
}

namespace {

// A root record's fields, its reserved bytes and model run checked (not yet against the model).
struct RootRecord {
  RunLocation model;
  std::uint64_t n_partitions = 0;
  std::uint64_t subspaces = 0;
  std::uint64_t n_probe = 0;
  std::uint64_t n_rerank = 0;
  SlotTreeRoot directory;
};

Result<RootRecord> parse_root(ByteView bytes, std::uint64_t dimensions, std::uint64_t end) {
  if (bytes.size() != kIndexRootSize) return fail(damaged("a root record of another length"));
  const std::uint8_t* p = bytes.data();
  const bool zeros = std::all_of(p + 1, p + 8, [](std::uint8_t b) { return b == 0; }) &&
                     get_le<std::uint32_t>(p + 84) == 0;
  if (!zeros) return fail(damaged("reserved bytes of the root record are set"));
  if (get_le<std::uint64_t>(p + 8) != dimensions) {
    return fail(QuarnError::invalid_argument("ANN index dimensionality does not match the database"));
  }
  RootRecord root;
  root.model = {get_le<std::uint64_t>(p + 48), get_le<std::uint64_t>(p + 56),
                get_le<std::uint64_t>(p + 64)};
  if (root.model.pages == 0 || root.model.start < kFirstNodePage || root.model.start >= end ||
      root.model.pages > end - root.model.start) {
    return fail(damaged("the model run lies outside the file"));
  }
  root.n_partitions = get_le<std::uint64_t>(p + 16);
  root.subspaces = get_le<std::uint64_t>(p + 40);
  root.n_probe = get_le<std::uint64_t>(p + 24);
  root.n_rerank = get_le<std::uint64_t>(p + 32);
  const std::uint32_t height = get_le<std::uint32_t>(p + 80);
  if (height > SlotTree::kMaxHeight) return fail(damaged("a directory too tall"));
  root.directory = {get_le<std::uint64_t>(p + 72), height, get_le<std::uint64_t>(p + 88)};
  return root;
}

Result<std::vector<SlotTreeRoot>> read_directory(pager::Pager& pager, const SlotTreeRoot& directory,
                                                 std::uint64_t end,
                                                 std::vector<std::uint64_t>* node_pages) {
  std::vector<SlotTreeRoot> roots;
  roots.reserve(static_cast<std::size_t>(directory.count));
  Result<void> rows_ok;
  TRY(SlotTree(kDirectoryRowSize)
          .read(directory, kFirstNodePage,
                [&](std::uint64_t page) { return read_node(pager, page, end, node_pages); },
                [&](ByteView row) {
                  const std::uint32_t h = get_le<std::uint32_t>(row.data() + 8);
                  if (get_le<std::uint32_t>(row.data() + 12) != 0 || h > SlotTree::kMaxHeight) {
                    if (rows_ok) rows_ok = fail(damaged("a directory row is malformed"));
                    return;
                  }
                  roots.push_back({get_le<std::uint64_t>(row.data()), h,
                                   get_le<std::uint64_t>(row.data() + 16)});
                }));
  TRY(std::move(rows_ok));
  return roots;
}

// The live rows of one posting tree into `posting`, their slots into `slots`; the slots taken.
// Every node is read once across all calls sharing `seen`: trees that share nodes (which no
// writer makes) would have a small file hold a large index.
Result<std::uint64_t> read_posting(pager::Pager& pager, const SlotTreeRoot& root, std::uint64_t m,
                                   std::uint64_t end, std::unordered_set<std::uint64_t>& seen,
                                   std::vector<std::uint64_t>* node_pages, index::Posting& posting,
                                   std::vector<std::uint64_t>& slots) {
  Result<void> rows_ok;
  std::uint64_t slot = 0;
  TRY(SlotTree(posting_row_size(m))
          .read(
              root, kFirstNodePage,
              [&](std::uint64_t page) -> Result<Bytes> {
                if (!seen.insert(page).second) return fail(damaged("two posting trees share a node"));
                return read_node(pager, page, end, node_pages);
              },
              [&](ByteView row) {
                const std::uint8_t flags = row[16];
                const bool removed = (flags & kRemoved) != 0;
                if ((flags & ~kRemoved) != 0 ||
                    (removed && std::any_of(row.begin() + kRowHead, row.end(),
                                            [](std::uint8_t b) { return b != 0; }))) {
                  if (rows_ok) rows_ok = fail(damaged("a posting row is malformed"));
                } else if (!removed) {
                  posting.ids.push_back(Ulid::from_bytes(row.data()));
                  posting.codes.insert(posting.codes.end(), row.begin() + kRowHead, row.end());
                  slots.push_back(slot);
                }
                ++slot;
              }));
  TRY(std::move(rows_ok));
  return slot;
}

// Every code of `posting` within the codebook of `index`.
bool codes_fit(const index::IvfPqIndex& index, const index::Posting& posting) {
  const std::size_t m_count = index.subspaces();
  if (posting.codes.size() != posting.ids.size() * m_count) return false;
  for (std::size_t i = 0; i < posting.codes.size(); ++i)
    if (posting.codes[i] >= index.pq.ks[i % m_count]) return false;
  return true;
}

}  // namespace

Result<std::unique_ptr<index::IvfPqIndex>> load_any_index(pager::Pager& pager,
                                                          const RunLocation& run,
                                                          std::uint64_t dimensions,
                                                          std::uint64_t end, PostingTrees* trees,
                                                          std::vector<std::uint64_t>* node_pages) {
  if (trees) *trees = PostingTrees{};
  if (run.pages == 0) return std::unique_ptr<index::IvfPqIndex>{};
  const Bytes bytes = TRY(read_run_bytes(pager, run.start, run.pages, run.len));
  if (!is_index_root(bytes)) return index::decode_index(bytes, dimensions);

  const RootRecord root = TRY(parse_root(bytes, dimensions, end));
  const RunLocation& model = root.model;
  std::unique_ptr<index::IvfPqIndex> index =
      TRY(index::decode_index(TRY(read_run_bytes(pager, model.start, model.pages, model.len)),
                              dimensions));
  if (index->vector_count() != 0) return fail(damaged("the model holds postings"));
  const std::uint64_t m = root.subspaces;
  if (root.n_partitions != index->n_partitions || m != index->subspaces())
    return fail(damaged("the root record does not describe its model"));
  if (!fits_trees(*index)) return fail(damaged("postings too wide for trees"));
  index->n_probe = root.n_probe;
  index->n_rerank = root.n_rerank;
  if (node_pages)
    for (std::uint64_t page = model.start; page < model.start + model.pages; ++page)
      node_pages->push_back(page);
  if (root.directory.count != index->n_partitions)
    return fail(damaged("the directory does not hold one row per partition"));

  std::vector<SlotTreeRoot> roots = TRY(read_directory(pager, root.directory, end, node_pages));
  PostingTrees read;
  read.slots.resize(roots.size());
  read.rows.resize(roots.size());
  std::unordered_set<std::uint64_t> seen;
  for (std::size_t part = 0; part < roots.size(); ++part) {
    read.rows[part] = TRY(read_posting(pager, roots[part], m, end, seen, node_pages,
                                       index->partitions[part], read.slots[part]));
  }
  // Invariants 1-3, then 4 while partition_of is built, as decode_index does.
  TRY(index::validate_index_shape(*index));
  index->partition_of.reserve(index->vector_count());
  for (std::uint64_t part = 0; part < index->partitions.size(); ++part) {
    for (const Ulid& id : index->partitions[part].ids) {
      if (!index->partition_of.try_emplace(id, part).second)
        return fail(QuarnError::serialization("invalid ANN index: an id occurs more than once"));
    }
  }

  if (trees) {
    read.valid = true;
    read.run = run;
    read.model = model;
    read.directory = root.directory;
    read.roots = std::move(roots);
    *trees = std::move(read);
  }
  return index;
}

Result<std::optional<IndexDelta>> read_index_delta(pager::Pager& pager, const RunLocation& run,
                                                   std::uint64_t dimensions, std::uint64_t end,
                                                   const index::IvfPqIndex& base,
                                                   const PostingTrees& base_trees,
                                                   std::vector<std::uint64_t>* node_pages) {
  if (run.pages == 0 || !base_trees.valid || !base_trees.pending.empty()) return std::nullopt;
  const Bytes bytes = TRY(read_run_bytes(pager, run.start, run.pages, run.len));
  if (!is_index_root(bytes)) return std::nullopt;
  const RootRecord root = TRY(parse_root(bytes, dimensions, end));
  // The same model run is the same model (pages never change): base's centroids and codebooks.
  if (root.model != base_trees.model || root.n_partitions != base.n_partitions ||
      root.directory.count != base.n_partitions || root.subspaces != base.subspaces() ||
      base_trees.roots.size() != base.n_partitions) {
    return std::nullopt;
  }
  IndexDelta delta;
  delta.run = run;
  delta.n_probe = root.n_probe;
  delta.n_rerank = root.n_rerank;
  delta.directory = root.directory;
  delta.roots = TRY(read_directory(pager, root.directory, end, node_pages));
  std::unordered_set<std::uint64_t> seen;
  memory::UlidMap<std::uint64_t> added;  // ids of the postings read, to their partition
  for (std::uint64_t part = 0; part < delta.roots.size(); ++part) {
    if (delta.roots[part] == base_trees.roots[part]) continue;
    IndexDelta::Changed changed{part, {}, {}, 0};
    changed.rows = TRY(read_posting(pager, delta.roots[part], root.subspaces, end, seen, node_pages,
                                    changed.posting, changed.slots));
    if (!codes_fit(base, changed.posting)) {
      return fail(QuarnError::serialization("invalid ANN index: posting " + std::to_string(part) +
                                            " holds a code beyond its codebook"));
    }
    for (const Ulid& id : changed.posting.ids)
      if (!added.try_emplace(id, part).second)
        return fail(QuarnError::serialization("invalid ANN index: an id occurs more than once"));
    delta.changed.push_back(std::move(changed));
  }
  // An id of a posting read may be in base only in a posting being replaced.
  std::vector<bool> replaced(static_cast<std::size_t>(base.n_partitions), false);
  for (const IndexDelta::Changed& c : delta.changed) replaced[static_cast<std::size_t>(c.part)] = true;
  for (const IndexDelta::Changed& c : delta.changed) {
    for (const Ulid& id : c.posting.ids) {
      const auto in_base = base.partition_of.find(id);
      if (in_base != base.partition_of.end() && !replaced[static_cast<std::size_t>(in_base->second)])
        return fail(QuarnError::serialization("invalid ANN index: an id occurs more than once"));
    }
  }
  return delta;
}

void apply_index_delta(IndexDelta&& delta, index::IvfPqIndex& index, PostingTrees& trees) {
  for (IndexDelta::Changed& c : delta.changed) {
    const std::size_t part = static_cast<std::size_t>(c.part);
    for (const Ulid& id : index.partitions[part].ids) index.partition_of.erase(index.partition_of.find(id));
    index.partitions[part] = std::move(c.posting);
    trees.slots[part] = std::move(c.slots);
    trees.rows[part] = c.rows;
  }
  for (const IndexDelta::Changed& c : delta.changed)
    for (const Ulid& id : index.partitions[static_cast<std::size_t>(c.part)].ids)
      index.partition_of[id] = c.part;
  index.n_probe = delta.n_probe;
  index.n_rerank = delta.n_rerank;
  trees.run = delta.run;
  trees.directory = delta.directory;
  trees.roots = std::move(delta.roots);
  trees.root_changed = false;
}

}  // namespace quarn::store
