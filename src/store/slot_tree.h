// A copy-on-write tree of page-sized nodes over dense slot numbers 0 .. count - 1, each slot one
// fixed-size row: the shape the format-8 catalog (and the chunked posting lists) are built on.
//
// Pages are never rewritten: a change writes new copies of the leaves it touches and of their
// path to the root, children always before their parents, and every node of the old tree that
// nothing changed is shared by the new one. So a tree is described by its root alone, any older
// root still reads the tree as it was, and a child's page number is always below its parent's.
//
// The shape is fixed by the row size and the count: leaves hold leaf_capacity() rows, branches
// kFanout children; the node of height h at position p covers slots [p * span(h), (p + 1) *
// span(h)) with span(1) = leaf_capacity() and span(h + 1) = span(h) * kFanout, and every node
// but the last of its level is full. The height is the least that covers the count (an empty
// tree has height 0 and no pages).
//
// Node (the 8164-byte plaintext of one page; integers little-endian, the rest zero):
//   0  u8   kind: 1 leaf, 2 branch
//   1  u8   height: 1 for a leaf, a branch one more than its children
//   2  u16  row size in bytes (leaf), 8 (branch)
//   4  u32  entries: rows (leaf) or children (branch)
//   8  u64  first slot the node covers
//  16  ...  leaf: `entries` rows of the row size; branch: `entries` child page numbers, u64 each
//
// Reading checks every node against the place the shape gives it (kind, height, row size, first
// slot, number of entries) and that each child lies below its parent and at or above the first
// data page; so a damaged or forged tree is refused (Serialization) after at most one read per
// node of a well-formed tree of the claimed count, and never loops.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "error/error.h"
#include "format/bytes.h"

namespace quarn::store {

// The first page a node may lie on: every page but the header's.
inline constexpr std::uint64_t kFirstNodePage = 1;

struct SlotTreeRoot {
  std::uint64_t page = 0;    // 0 when height is 0
  std::uint32_t height = 0;  // 0: the empty tree
  std::uint64_t count = 0;   // slots
  bool operator==(const SlotTreeRoot&) const = default;
};

class SlotTree {
 public:
  static constexpr std::size_t kNodeHeader = 16;
  static constexpr std::size_t kFanout = (kPageCapacity - kNodeHeader) / 8;  // 1018
  static constexpr std::uint32_t kMaxHeight = 8;

  // Rows of `row_size` bytes, 1 .. 8148.
  explicit SlotTree(std::size_t row_size) : row_size_(row_size) {}

  std::size_t row_size() const { return row_size_; }
  std::size_t leaf_capacity() const { return (kPageCapacity - kNodeHeader) / row_size_; }
  // The height that holds `count` slots; 0 for none. Counts beyond kMaxHeight levels: none.
  [[nodiscard]] std::optional<std::uint32_t> height_for(std::uint64_t count) const;

  // The pages at most an update writes into a tree grown to `count` slots for the `changed` slots
  // (ascending): per level, the distinct nodes over them, plus one; every node with `rebuild`.
  std::uint64_t nodes_bound(std::uint64_t count, std::span<const std::size_t> changed,
                            bool rebuild) const;
  // Reads a node's plaintext; errors come back unchanged.
  using ReadNode = std::function<Result<Bytes>(std::uint64_t page)>;
  // Takes a new node's plaintext and returns the page it will be written to, in increasing order
  // (children come before parents); a failure ends the build or update with that error.
  using WriteNode = std::function<Result<std::uint64_t>(Bytes node)>;

  // Every row of the tree `root` in slot order, each checked node by node (see above). `lowest`:
  // the first page a node may lie on.
  [[nodiscard]] Result<void> read(const SlotTreeRoot& root, std::uint64_t lowest,
                                  const ReadNode& read_node,
                                  const std::function<void(ByteView row)>& row) const;

  // The rows of `root` that may differ from those of `base`, another tree in the same file, with
  // their slots, in slot order. A node at the place of one of base's, on the same page and
  // covering as many slots, holds the same rows (pages never change) and is not read unless
  // must_read(first, cover) says its slots must be; every node read is checked as read() checks
  // it, and base's branches over the places are read too (base is trusted: a tree this handle
  // read or wrote).
  [[nodiscard]] Result<void> read_changed(
      const SlotTreeRoot& root, const SlotTreeRoot& base, std::uint64_t lowest,
      const ReadNode& read_node,
      const std::function<bool(std::uint64_t first, std::uint64_t cover)>& must_read,
      const std::function<void(std::uint64_t slot, ByteView row)>& row) const;

  // A new tree of `rows` (count = rows.size() / row_size).
  [[nodiscard]] Result<SlotTreeRoot> build(ByteView rows, const WriteNode& write_node) const;

  // The tree `root` with `changed` rows (slot, row bytes; slots ascending, each at most once)
  // written over it and grown to `count` slots (at least root.count; every slot from root.count
  // on must be among the changes). Writes only the nodes on the paths to changed slots, reading
  // the old ones it copies. InvalidArgument when the changes do not fit those rules.
  [[nodiscard]] Result<SlotTreeRoot> update(
      const SlotTreeRoot& root, std::uint64_t lowest, std::uint64_t count,
      std::span<const std::pair<std::uint64_t, ByteView>> changed, const ReadNode& read_node,
      const WriteNode& write_node) const;

 private:
  std::uint64_t span(std::uint32_t height) const;
  // Serialization unless the root's height is the one its count gives.
  [[nodiscard]] Result<void> check_root(const SlotTreeRoot& root) const;

  std::size_t row_size_;
};

}  // namespace quarn::store
