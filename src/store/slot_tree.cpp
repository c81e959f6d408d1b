#include "store/slot_tree.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

namespace quarn::store {
namespace {

constexpr std::uint8_t kLeaf = 1;
constexpr std::uint8_t kBranch = 2;
constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

QuarnError damaged(std::uint64_t page, const std::string& what) {
  return QuarnError::serialization("slot tree node at page " + std::to_string(page) + ": " + what);
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > kNoLimit / a) return kNoLimit;
  return a * b;
}

}  // namespace

std::uint64_t SlotTree::span(std::uint32_t height) const {
  std::uint64_t s = leaf_capacity();
  for (std::uint32_t h = 1; h < height; ++h) s = saturating_mul(s, kFanout);
  return s;
}

std::optional<std::uint32_t> SlotTree::height_for(std::uint64_t count) const {
  if (count == 0) return 0;
  for (std::uint32_t h = 1; h <= kMaxHeight; ++h) {
    if (span(h) >= count) return h;
  }
  return std::nullopt;
}

namespace {

// What a node at (height, first) of a tree of `count` slots must hold, checked against its bytes;
// its entries (rows or child pages) are returned as a view into `node`.
struct NodeShape {
  std::uint32_t height;
  std::uint64_t first;
  std::uint64_t entries;  // rows or children it must have
  std::size_t width;      // bytes per entry
};

Result<ByteView> check_node(ByteView node, std::uint64_t page, const NodeShape& shape,
                            std::size_t row_size) {
  if (node.size() < SlotTree::kNodeHeader) return fail(damaged(page, "shorter than its header"));
  const std::uint8_t kind = shape.height == 1 ? kLeaf : kBranch;
  if (node[0] != kind) return fail(damaged(page, "not the kind of node its place needs"));
  if (node[1] != shape.height) return fail(damaged(page, "wrong height"));
  const std::size_t width = get_le<std::uint16_t>(node.data() + 2);
  if (width != (kind == kLeaf ? row_size : 8)) return fail(damaged(page, "wrong entry size"));
  if (get_le<std::uint32_t>(node.data() + 4) != shape.entries) {
    return fail(damaged(page, "wrong number of entries"));
  }
  if (get_le<std::uint64_t>(node.data() + 8) != shape.first) {
    return fail(damaged(page, "covers other slots than its place"));
  }
  const std::size_t bytes = static_cast<std::size_t>(shape.entries) * shape.width;
  if (bytes > node.size() - SlotTree::kNodeHeader) return fail(damaged(page, "entries overrun it"));
  return node.subspan(SlotTree::kNodeHeader, bytes);
}

Bytes make_node(std::uint8_t kind, std::uint32_t height, std::size_t width, std::uint64_t entries,
                std::uint64_t first) {
  Bytes node(kPageCapacity, 0);
  node[0] = kind;
  node[1] = static_cast<std::uint8_t>(height);
  put_le<std::uint16_t>(node.data() + 2, static_cast<std::uint16_t>(width));
  put_le<std::uint32_t>(node.data() + 4, static_cast<std::uint32_t>(entries));
  put_le<std::uint64_t>(node.data() + 8, first);
  return node;
}

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

std::uint64_t SlotTree::nodes_bound(std::uint64_t count, std::span<const std::size_t> changed,
                                    bool rebuild) const {
  const std::optional<std::uint32_t> height = height_for(count);
  if (!height || *height == 0) return 0;
  std::uint64_t total = 0;
  for (std::uint32_t level = 1; level <= *height; ++level) {
    const std::uint64_t width = span(level);
    if (rebuild) {
      total += count / width + (count % width != 0 ? 1 : 0);
      continue;
    }
    std::uint64_t distinct = 0;
    std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t slot : changed) {
      if (slot / width != last) ++distinct;
      last = slot / width;
    }
    total += distinct + 1;
  }
  return total;
}

Result<void> SlotTree::check_root(const SlotTreeRoot& root) const {
  const auto height = height_for(root.count);
  if (!height || *height != root.height) {
    return fail(QuarnError::serialization("slot tree of " + std::to_string(root.count) +
                                          " slots cannot have height " +
                                          std::to_string(root.height)));
  }
  return {};
}

Result<void> SlotTree::read(const SlotTreeRoot& root, std::uint64_t lowest,
                            const ReadNode& read_node,
                            const std::function<void(ByteView row)>& row) const {
  TRY(check_root(root));
  if (root.height == 0) return {};
  // Depth-first, children in order; at most kMaxHeight levels.
  const std::function<Result<void>(std::uint64_t, std::uint32_t, std::uint64_t, std::uint64_t)>
      visit = [&](std::uint64_t page, std::uint32_t h, std::uint64_t first,
                  std::uint64_t limit) -> Result<void> {
    if (page < lowest || page >= limit) {
      return fail(damaged(page, "lies outside the pages written before its parent"));
    }
    const Bytes node = TRY(read_node(page));
    const std::uint64_t cover = std::min(span(h), root.count - first);
    const bool leaf = h == 1;
    const NodeShape shape{h, first, leaf ? cover : ceil_div(cover, span(h - 1)),
                          leaf ? row_size_ : 8};
    const ByteView entries = TRY(check_node(node, page, shape, row_size_));
    if (leaf) {
      for (std::uint64_t i = 0; i < shape.entries; ++i) row(entries.subspan(i * row_size_, row_size_));
      return {};
    }
    for (std::uint64_t i = 0; i < shape.entries; ++i) {
      TRY(visit(get_le<std::uint64_t>(entries.data() + 8 * i), h - 1, first + i * span(h - 1), page));
    }
    return {};
  };
  return visit(root.page, root.height, 0, kNoLimit);
}

Result<void> SlotTree::read_changed(
    const SlotTreeRoot& root, const SlotTreeRoot& base, std::uint64_t lowest,
    const ReadNode& read_node,
    const std::function<bool(std::uint64_t first, std::uint64_t cover)>& must_read,
    const std::function<void(std::uint64_t slot, ByteView row)>& row) const {
  TRY(check_root(root));
  if (root.height == 0) return {};
  // The children of base's branch at (h, first).
  const auto base_children = [&](std::uint64_t page, std::uint32_t h,
                                 std::uint64_t first) -> Result<std::vector<std::uint64_t>> {
    const Bytes node = TRY(read_node(page));
    const std::uint64_t cover = std::min(span(h), base.count - first);
    const ByteView entries =
        TRY(check_node(node, page, {h, first, ceil_div(cover, span(h - 1)), 8}, row_size_));
    std::vector<std::uint64_t> pages(entries.size() / 8);
    for (std::size_t i = 0; i < pages.size(); ++i) pages[i] = get_le<std::uint64_t>(entries.data() + 8 * i);
    return pages;
  };
  const std::function<Result<void>(std::uint64_t, std::uint32_t, std::uint64_t, std::uint64_t,
                                   std::optional<std::uint64_t>)>
      visit = [&](std::uint64_t page, std::uint32_t h, std::uint64_t first, std::uint64_t limit,
                  std::optional<std::uint64_t> old) -> Result<void> {
    if (page < lowest || page >= limit) {
      return fail(damaged(page, "lies outside the pages written before its parent"));
    }
    const std::uint64_t cover = std::min(span(h), root.count - first);
    const std::uint64_t old_cover = old ? std::min(span(h), base.count - first) : 0;
    const bool same = old && *old == page && cover == old_cover;
    if (same && !must_read(first, cover)) return {};
    const Bytes node = TRY(read_node(page));
    const bool leaf = h == 1;
    const NodeShape shape{h, first, leaf ? cover : ceil_div(cover, span(h - 1)),
                          leaf ? row_size_ : 8};
    const ByteView entries = TRY(check_node(node, page, shape, row_size_));
    if (leaf) {
      for (std::uint64_t i = 0; i < shape.entries; ++i)
        row(first + i, entries.subspan(i * row_size_, row_size_));
      return {};
    }
    std::vector<std::uint64_t> olds;
    if (same) {
      olds.resize(static_cast<std::size_t>(shape.entries));
      for (std::size_t i = 0; i < olds.size(); ++i) olds[i] = get_le<std::uint64_t>(entries.data() + 8 * i);
    } else if (old) {
      olds = TRY(base_children(*old, h, first));
    }
    for (std::uint64_t i = 0; i < shape.entries; ++i) {
      const std::uint64_t child_first = first + i * span(h - 1);
      std::optional<std::uint64_t> child_old;
      if (i < olds.size()) {
        child_old = olds[static_cast<std::size_t>(i)];
      } else if (!old && h - 1 == base.height && child_first == 0) {
        child_old = base.page;  // base is the shorter tree: its root is this child's place
      }
      TRY(visit(get_le<std::uint64_t>(entries.data() + 8 * i), h - 1, child_first, page, child_old));
    }
    return {};
  };
  // Base the taller tree: its node at the root's place lies down its first children.
  std::optional<std::uint64_t> old;
  if (base.height != 0 && base.height >= root.height) {
    std::uint64_t page = base.page;
    for (std::uint32_t h = base.height; h > root.height; --h) page = TRY(base_children(page, h, 0)).front();
    old = page;
  }
  return visit(root.page, root.height, 0, kNoLimit, old);
}

Result<SlotTreeRoot> SlotTree::build(ByteView rows, const WriteNode& write_node) const {
  if (rows.size() % row_size_ != 0) {
    return fail(QuarnError::invalid_argument("slot tree rows are not whole rows"));
  }
  const std::uint64_t count = rows.size() / row_size_;
  std::vector<std::pair<std::uint64_t, ByteView>> changed;
  changed.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t s = 0; s < count; ++s) changed.emplace_back(s, rows.subspan(s * row_size_, row_size_));
  return update(SlotTreeRoot{}, 0, count, changed, ReadNode{}, write_node);
}

Result<SlotTreeRoot> SlotTree::update(const SlotTreeRoot& root, std::uint64_t lowest,
                                      std::uint64_t count,
                                      std::span<const std::pair<std::uint64_t, ByteView>> changed,
                                      const ReadNode& read_node,
                                      const WriteNode& write_node) const {
  if (count < root.count) return fail(QuarnError::invalid_argument("a slot tree never shrinks"));
  const auto old_height = height_for(root.count);
  if (!old_height || *old_height != root.height) {
    return fail(QuarnError::serialization("slot tree of " + std::to_string(root.count) +
                                          " slots cannot have height " +
                                          std::to_string(root.height)));
  }
  const auto height = height_for(count);
  if (!height) return fail(QuarnError::invalid_argument("too many slots for a slot tree"));
  // Slots ascending, whole rows, and every new slot given.
  std::uint64_t next_new = root.count;
  for (std::size_t i = 0; i < changed.size(); ++i) {
    const auto& [slot, bytes] = changed[i];
    if (bytes.size() != row_size_ || slot >= count || (i != 0 && slot <= changed[i - 1].first)) {
      return fail(QuarnError::invalid_argument("slot tree changes out of order or not rows"));
    }
    if (slot >= root.count) {
      if (slot != next_new) return fail(QuarnError::invalid_argument("a new slot is missing"));
      ++next_new;
    }
  }
  if (next_new != count) return fail(QuarnError::invalid_argument("a new slot is missing"));
  if (count == 0) return SlotTreeRoot{};

  // The node at (h, first), given the old node at that place if there is one, and the changes
  // changed[lo, hi) that fall in its slots.
  const std::function<Result<std::uint64_t>(std::uint32_t, std::uint64_t, std::optional<std::uint64_t>,
                                            std::uint64_t, std::size_t, std::size_t)>
      node = [&](std::uint32_t h, std::uint64_t first, std::optional<std::uint64_t> old,
                 std::uint64_t limit, std::size_t lo, std::size_t hi) -> Result<std::uint64_t> {
    const std::uint64_t cover = std::min(span(h), count - first);
    const std::uint64_t old_cover = old ? std::min(span(h), root.count - first) : 0;
    if (old && lo == hi && cover == old_cover) return *old;  // shared with the old tree
    const bool leaf = h == 1;
    ByteView old_entries;
    Bytes old_node;
    if (old) {
      if (*old < lowest || *old >= limit) {
        return fail(damaged(*old, "lies outside the pages written before its parent"));
      }
      old_node = TRY(read_node(*old));
      const NodeShape shape{h, first, leaf ? old_cover : ceil_div(old_cover, span(h - 1)),
                            leaf ? row_size_ : 8};
      old_entries = TRY(check_node(old_node, *old, shape, row_size_));
    }
    if (leaf) {
      Bytes out = make_node(kLeaf, 1, row_size_, cover, first);
      std::copy(old_entries.begin(), old_entries.end(), out.begin() + kNodeHeader);
      for (std::size_t i = lo; i < hi; ++i) {
        const auto& [slot, bytes] = changed[i];
        std::copy(bytes.begin(), bytes.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(kNodeHeader + (slot - first) * row_size_));
      }
      return TRY(write_node(std::move(out)));
    }
    const std::uint64_t child_span = span(h - 1);
    const std::uint64_t children = ceil_div(cover, child_span);
    const std::uint64_t old_children = old_entries.size() / 8;
    std::vector<std::uint64_t> pages(static_cast<std::size_t>(children));
    std::size_t at = lo;
    for (std::uint64_t i = 0; i < children; ++i) {
      const std::uint64_t child_first = first + i * child_span;
      std::size_t end = at;
      while (end < hi && changed[end].first < child_first + child_span) ++end;
      std::optional<std::uint64_t> child_old;
      if (i < old_children) {
        child_old = get_le<std::uint64_t>(old_entries.data() + 8 * i);
      } else if (!old && h - 1 == root.height && child_first == 0) {
        child_old = root.page;  // the tree grew taller: the old root is the first child's place
      }
      pages[static_cast<std::size_t>(i)] =
          TRY(node(h - 1, child_first, child_old, old ? *old : kNoLimit, at, end));
      at = end;
    }
    Bytes out = make_node(kBranch, h, 8, children, first);
    for (std::uint64_t i = 0; i < children; ++i) {
      put_le<std::uint64_t>(out.data() + kNodeHeader + 8 * i, pages[static_cast<std::size_t>(i)]);
    }
    return TRY(write_node(std::move(out)));
  };
  const std::optional<std::uint64_t> old_root =
      root.height != 0 && root.height == *height ? std::optional(root.page) : std::nullopt;
  const std::uint64_t page = TRY(node(*height, 0, old_root, kNoLimit, 0, changed.size()));
  return SlotTreeRoot{page, *height, count};
}

}  // namespace quarn::store
