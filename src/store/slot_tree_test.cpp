#include "store/slot_tree.h"

#include <functional>
#include <limits>
#include <map>

#include <gtest/gtest.h>

namespace quarn::store {
namespace {

// Rows of 2000 bytes: four to a leaf, so small counts already take every shape (a branch holds
// 1018 children: height 2 up to 4072 slots, height 3 from 4073).
constexpr std::size_t kRow = 2000;
constexpr std::uint64_t kLowest = 5;  // pages below are not the tree's

Bytes row(std::uint64_t slot, std::uint8_t version = 0) {
  Bytes r(kRow);
  for (std::size_t i = 0; i < kRow; ++i) r[i] = static_cast<std::uint8_t>(slot * 31 + i + version);
  return r;
}

// Pages written in order from kLowest; reads counted.
struct Pages {
  std::map<std::uint64_t, Bytes> nodes;
  std::uint64_t next = kLowest;
  std::size_t reads = 0;
  std::size_t writes = 0;
  SlotTree::ReadNode reader() {
    return [this](std::uint64_t page) -> Result<Bytes> {
      ++reads;
      const auto it = nodes.find(page);
      if (it == nodes.end()) return fail(QuarnError::io("failed to fill whole buffer"));
      return it->second;
    };
  }
  SlotTree::WriteNode writer() {
    return [this](Bytes node) -> Result<std::uint64_t> {
      ++writes;
      nodes[next] = std::move(node);
      return next++;
    };
  }
};

Result<std::vector<Bytes>> read_all(const SlotTree& tree, const SlotTreeRoot& root, Pages& pages) {
  std::vector<Bytes> rows;
  TRY(tree.read(root, kLowest, pages.reader(),
                [&](ByteView r) { rows.emplace_back(r.begin(), r.end()); }));
  return rows;
}

Bytes joined(std::uint64_t count) {
  Bytes out;
  for (std::uint64_t s = 0; s < count; ++s) {
    const Bytes r = row(s);
    out.insert(out.end(), r.begin(), r.end());
  }
  return out;
}

TEST(SlotTreeTest, BuildsEveryShapeAndReadsItBack) {
  const SlotTree tree(kRow);
  ASSERT_EQ(tree.leaf_capacity(), 4u);
  for (const auto& [count, height] :
       std::vector<std::pair<std::uint64_t, std::uint32_t>>{{0, 0}, {1, 1}, {4, 1}, {5, 2},
                                                            {4072, 2}, {4073, 3}}) {
    Pages pages;
    const SlotTreeRoot root = tree.build(joined(count), pages.writer()).value();
    EXPECT_EQ(root.height, height) << count;
    EXPECT_EQ(root.count, count);
    const auto rows = read_all(tree, root, pages);
    ASSERT_TRUE(rows.has_value()) << count << ": " << rows.error().message();
    ASSERT_EQ(rows->size(), count);
    for (std::uint64_t s = 0; s < count; ++s) ASSERT_EQ((*rows)[s], row(s)) << s;
  }
}

TEST(SlotTreeTest, AnUpdateWritesOnlyThePathsAndLeavesTheOldTreeReadable) {
  const SlotTree tree(kRow);
  Pages pages;
  const SlotTreeRoot old = tree.build(joined(5000), pages.writer()).value();  // height 3
  ASSERT_EQ(old.height, 3u);

  // One changed slot: its leaf, its branch and the root, each read once.
  const Bytes changed = row(2500, 7);
  const std::pair<std::uint64_t, ByteView> one[] = {{2500, changed}};
  pages.writes = pages.reads = 0;
  const SlotTreeRoot next =
      tree.update(old, kLowest, 5000, one, pages.reader(), pages.writer()).value();
  EXPECT_EQ(pages.writes, 3u);
  EXPECT_EQ(pages.reads, 3u);
  EXPECT_GT(next.page, old.page);
  auto rows = read_all(tree, next, pages).value();
  EXPECT_EQ(rows[2500], changed);
  EXPECT_EQ(rows[2499], row(2499));
  EXPECT_EQ(read_all(tree, old, pages).value()[2500], row(2500));  // the old root reads as before

  // Growing past a level: the old root becomes the first child, shared as it is.
  Pages small;
  const SlotTreeRoot full = tree.build(joined(4072), small.writer()).value();
  const Bytes extra = row(4072);
  const std::pair<std::uint64_t, ByteView> appended[] = {{4072, extra}};
  small.writes = 0;
  const SlotTreeRoot taller =
      tree.update(full, kLowest, 4073, appended, small.reader(), small.writer()).value();
  EXPECT_EQ(taller.height, 3u);
  EXPECT_EQ(small.writes, 3u);  // the new leaf, its branch, the new root
  rows = read_all(tree, taller, small).value();
  ASSERT_EQ(rows.size(), 4073u);
  EXPECT_EQ(rows[4072], extra);
  EXPECT_EQ(rows[17], row(17));
}

TEST(SlotTreeTest, UpdatesThatBreakTheRulesAreRefused) {
  const SlotTree tree(kRow);
  Pages pages;
  const SlotTreeRoot root = tree.build(joined(10), pages.writer()).value();
  const Bytes r = row(0), short_row(10);
  using Change = std::pair<std::uint64_t, ByteView>;
  const std::vector<std::pair<const char*, std::pair<std::uint64_t, std::vector<Change>>>> cases = {
      {"shrinking", {9, {}}},
      {"a new slot missing", {12, {{10, r}}}},
      {"slots out of order", {10, {{3, r}, {2, r}}}},
      {"a slot twice", {10, {{3, r}, {3, r}}}},
      {"a short row", {10, {{3, short_row}}}},
  };
  for (const auto& [label, c] : cases) {
    const auto out = tree.update(root, kLowest, c.first, c.second, pages.reader(), pages.writer());
    ASSERT_FALSE(out.has_value()) << label;
    EXPECT_EQ(out.error().kind(), ErrorKind::InvalidArgument) << label;
  }
}

// A damaged or forged tree is refused, whatever part of it lies, after a bounded number of reads.
TEST(SlotTreeTest, ForgedTreesAreRefusedWithoutLoopingOrOverreading) {
  const SlotTree tree(kRow);
  Pages clean;
  const SlotTreeRoot root = tree.build(joined(5000), clean.writer()).value();  // 1250 leaves
  const std::uint64_t root_page = root.page;
  const std::uint64_t branch = get_le<std::uint64_t>(clean.nodes[root_page].data() + 16);
  const std::uint64_t leaf = get_le<std::uint64_t>(clean.nodes[branch].data() + 16);
  const auto set64 = [](Bytes& node, std::size_t at, std::uint64_t v) { put_le(node.data() + at, v); };
  using Forge = std::function<void(Pages&, SlotTreeRoot&)>;
  const std::vector<std::pair<const char*, Forge>> cases = {
      {"a child pointing at its parent (a cycle)",
       [&](Pages& p, SlotTreeRoot&) { set64(p.nodes[branch], 16, branch); }},
      {"a child pointing above its parent",
       [&](Pages& p, SlotTreeRoot&) { set64(p.nodes[branch], 16, root_page); }},
      {"a child below the tree's first page",
       [&](Pages& p, SlotTreeRoot&) { set64(p.nodes[branch], 16, kLowest - 1); }},
      {"a leaf listed twice", [&](Pages& p, SlotTreeRoot&) { set64(p.nodes[branch], 24, leaf); }},
      {"a wrong first slot", [&](Pages& p, SlotTreeRoot&) { set64(p.nodes[leaf], 8, 4); }},
      {"a count that lies",
       [&](Pages& p, SlotTreeRoot&) { put_le<std::uint32_t>(p.nodes[leaf].data() + 4, 3); }},
      {"an entry count past the page",
       [&](Pages& p, SlotTreeRoot&) { put_le<std::uint32_t>(p.nodes[branch].data() + 4, 0xffffffffu); }},
      {"a leaf where a branch belongs", [&](Pages& p, SlotTreeRoot&) { p.nodes[branch][0] = 1; }},
      {"a wrong height", [&](Pages& p, SlotTreeRoot&) { p.nodes[branch][1] = 3; }},
      {"a wrong row size",
       [&](Pages& p, SlotTreeRoot&) { put_le<std::uint16_t>(p.nodes[leaf].data() + 2, 1999); }},
      {"a short node", [&](Pages& p, SlotTreeRoot&) { p.nodes[leaf].resize(10); }},
      {"a root height that does not fit the count", [](Pages&, SlotTreeRoot& r) { r.height = 2; }},
      {"a count claiming more slots than exist", [](Pages&, SlotTreeRoot& r) { r.count = 6000; }},
      {"a count beyond every height",
       [](Pages&, SlotTreeRoot& r) { r.count = std::numeric_limits<std::uint64_t>::max(); }},
  };
  for (const auto& [label, forge] : cases) {
    Pages pages = clean;
    SlotTreeRoot forged = root;
    forge(pages, forged);
    pages.reads = 0;
    const auto rows = read_all(tree, forged, pages);
    ASSERT_FALSE(rows.has_value()) << label;
    EXPECT_TRUE(rows.error().kind() == ErrorKind::Serialization ||
                rows.error().kind() == ErrorKind::Io)
        << label;
    EXPECT_LE(pages.reads, clean.nodes.size()) << label;
    // An update over the same damage refuses it too, or never reads it.
    const Bytes r = row(0);
    const std::pair<std::uint64_t, ByteView> all_leaves[] = {{0, r}, {4999, r}};
    const auto updated =
        tree.update(forged, kLowest, forged.count, all_leaves, pages.reader(), pages.writer());
    if (updated) {
      EXPECT_FALSE(read_all(tree, *updated, pages).has_value()) << label;
    }
  }
}

}  // namespace
}  // namespace quarn::store
