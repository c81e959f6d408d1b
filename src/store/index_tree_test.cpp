// The index stored as trees, read back from pages written through a pager: the round trip, and
// root records and directories that lie.
#include "store/index_tree.h"

#include <gtest/gtest.h>

#include "store/pager_fixture.h"
#include "store/runs.h"
#include "store/store_fixture.h"

namespace quarn::store::testing {
namespace {

class IndexTreeTest : public PagerFixture {
 protected:
  void SetUp() override {
    PagerFixture::SetUp();
    std::vector<Ulid> ids;
    std::vector<float> vectors;
    for (std::uint64_t n = 1; n <= 60; ++n) {
      const Memory m = memory_n(n);
      ids.push_back(m.id);
      vectors.insert(vectors.end(), m.vector.begin(), m.vector.end());
    }
    index_ = std::move(*index::train(ids, vectors, kDims));
  }
  // Writes `bytes` as a run at the end of what is written so far.
  Result<RunLocation> seal(ByteView bytes) {
    const RunLocation at{next_, run_pages(bytes.size()), bytes.size()};
    for (std::uint64_t i = 0; i < at.pages; ++i) {
      const std::size_t from = i * kPageCapacity;
      TRY(pager_->write_page(next_ + i,
                             bytes.subspan(from, std::min(kPageCapacity, bytes.size() - from))));
    }
    next_ += at.pages;
    return at;
  }
  IndexCommit write_all() {
    const IndexPlan plan = *plan_index_write(*index_, PostingTrees{});
    return *write_index(*pager_, [&](ByteView b) { return seal(b); }, *index_, PostingTrees{}, plan,
                        next_);
  }
  Result<std::unique_ptr<index::IvfPqIndex>> load(const RunLocation& run) {
    return load_any_index(*pager_, run, kDims, next_, nullptr, nullptr);
  }
  // Points root record `r` at a new directory of `roots` whose second row names the first tree.
  void point_second_at_first(Bytes& r, const std::vector<SlotTreeRoot>& roots) {
    Bytes rows;
    for (std::size_t p = 0; p < roots.size(); ++p) {
      const SlotTreeRoot root = roots[p == 1 ? 0 : p];
      Bytes row(kDirectoryRowSize, 0);
      put_le<std::uint64_t>(row.data(), root.page);
      put_le<std::uint32_t>(row.data() + 8, root.height);
      put_le<std::uint64_t>(row.data() + 16, root.count);
      rows.insert(rows.end(), row.begin(), row.end());
    }
    const SlotTreeRoot dir = *SlotTree(kDirectoryRowSize).build(
        rows, [&](Bytes node) -> Result<std::uint64_t> { return TRY(seal(node)).start; });
    put_le<std::uint64_t>(r.data() + 72, dir.page);
    put_le<std::uint32_t>(r.data() + 80, dir.height);
  }
  Bytes record(const IndexCommit& commit) {
    return *read_run_bytes(*pager_, commit.run.start, commit.run.pages, commit.run.len);
  }

  std::unique_ptr<index::IvfPqIndex> index_;
  std::uint64_t next_ = 1;
};

TEST_F(IndexTreeTest, ReadsBackWhatWasWritten) {
  const IndexCommit commit = write_all();
  ASSERT_TRUE(commit.trees);
  EXPECT_TRUE(is_index_root(record(commit)));
  PostingTrees trees;
  auto back = load_any_index(*pager_, commit.run, kDims, next_, &trees, nullptr);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ((*back)->partitions, index_->partitions);
  EXPECT_EQ((*back)->centroids, index_->centroids);
  EXPECT_EQ((*back)->pq, index_->pq);
  EXPECT_EQ(std::pair((*back)->n_probe, (*back)->n_rerank), std::pair(index_->n_probe, index_->n_rerank));
  EXPECT_TRUE(trees.valid);
  EXPECT_EQ(trees.roots.size(), index_->partitions.size());
}

// Each forgery is a new root record (and, for the shared tree, a new directory) over the same
// model and posting trees.
TEST_F(IndexTreeTest, LyingRootRecordsAndDirectoriesAreRefused) {
  const IndexCommit commit = write_all();
  const Bytes good = record(commit);
  ASSERT_GE(commit.roots.size(), 2u);
  const struct {
    const char* what;
    std::function<void(Bytes&)> change;
    const char* message;
  } cases[] = {
      {"reserved byte", [](Bytes& r) { r[3] = 1; }, "reserved bytes"},
      {"model past the end", [&](Bytes& r) { put_le<std::uint64_t>(r.data() + 48, next_ + 3); },
       "the model run lies outside the file"},
      {"model on the header page", [](Bytes& r) { put_le<std::uint64_t>(r.data() + 48, 0); },
       "the model run lies outside the file"},
      {"other partition count", [](Bytes& r) { put_le<std::uint64_t>(r.data() + 16, 99); },
       "does not describe its model"},
      {"directory too tall", [](Bytes& r) { put_le<std::uint32_t>(r.data() + 80, 9); },
       "a directory too tall"},
      {"directory of another count", [](Bytes& r) { put_le<std::uint64_t>(r.data() + 88, 1); },
       "one row per partition"},
      {"directory past the end", [&](Bytes& r) { put_le<std::uint64_t>(r.data() + 72, next_ + 9); },
       "past the end of the file"},
      {"two partitions on one tree",
       [&](Bytes& r) {
         // A directory whose second row names the first partition's tree.
         std::vector<SlotTreeRoot> roots;
         for (const auto& [part, root] : commit.roots) roots.push_back(root);
         point_second_at_first(r, roots);
       },
       "share a node"},
  };
  for (const auto& c : cases) {
    Bytes forged = good;
    c.change(forged);
    const RunLocation run = *seal(forged);
    const auto loaded = load(run);
    ASSERT_FALSE(loaded) << c.what;
    EXPECT_EQ(loaded.error().kind(), ErrorKind::Serialization) << c.what;
    EXPECT_NE(loaded.error().message().find(c.message), std::string::npos)
        << c.what << ": " << loaded.error().message();
  }
  Bytes other_dims = good;
  put_le<std::uint64_t>(other_dims.data() + 8, kDims + 1);
  EXPECT_EQ(load(*seal(other_dims)).error().kind(), ErrorKind::InvalidArgument);
}

// A restore's read of another index over the same model: only the posting trees whose roots
// differ from the index in memory are read, and applying them gives what a whole load gives.
// A directory that puts a kept partition's ids into a changed one is refused, base untouched.
TEST_F(IndexTreeTest, ADeltaReadsTheChangedPostingsAndMatchesAWholeLoad) {
  const IndexCommit first = write_all();
  PostingTrees written;
  written.adopt(first, *index_);
  std::vector<index::PostingChange> journal;
  index_->journal = &journal;
  index_->remove(memory_n(3).id);
  index_->add(memory_n(61).id, memory_n(61).vector);
  index_->journal = nullptr;
  written.take(journal, index_->subspaces());
  const IndexPlan plan = *plan_index_write(*index_, written);
  const IndexCommit second = *write_index(*pager_, [&](ByteView b) { return seal(b); }, *index_,
                                          written, plan, next_);

  PostingTrees base_trees;
  auto base = load_any_index(*pager_, first.run, kDims, next_, &base_trees, nullptr);
  ASSERT_TRUE(base) << base.error().message();
  const auto base_before = (*base)->partitions;
  std::vector<std::uint64_t> nodes;
  auto delta = read_index_delta(*pager_, second.run, kDims, next_, **base, base_trees, &nodes);
  ASSERT_TRUE(delta) << delta.error().message();
  ASSERT_TRUE(delta->has_value());
  EXPECT_GE((*delta)->changed.size(), 1u);
  EXPECT_LE((*delta)->changed.size(), 2u);  // the partitions of ids 3 and 61
  EXPECT_EQ((*base)->partitions, base_before);  // nothing changed before apply

  PostingTrees whole_trees;
  auto whole = load_any_index(*pager_, second.run, kDims, next_, &whole_trees, nullptr);
  ASSERT_TRUE(whole);
  apply_index_delta(std::move(**delta), **base, base_trees);
  EXPECT_EQ((*base)->partitions, (*whole)->partitions);
  EXPECT_EQ((*base)->partition_of.size(), (*whole)->partition_of.size());
  for (const auto& posting : (*whole)->partitions)
    for (const Ulid& id : posting.ids)
      EXPECT_EQ((*base)->partition_of.at(id), (*whole)->partition_of.at(id));
  EXPECT_EQ(base_trees.roots, whole_trees.roots);
  EXPECT_EQ(base_trees.slots, whole_trees.slots);
  EXPECT_EQ(base_trees.rows, whole_trees.rows);
  EXPECT_EQ(base_trees.directory, whole_trees.directory);

  // A model of its own: no delta.
  index_->journal = nullptr;
  const IndexCommit rebuilt = write_all();
  EXPECT_FALSE(read_index_delta(*pager_, rebuilt.run, kDims, next_, **base, base_trees, nullptr)
                   ->has_value());

  // The second partition's directory row naming the first partition's tree: its ids would be in
  // two postings, the first kept from base.
  PostingTrees first_trees;
  auto again = load_any_index(*pager_, first.run, kDims, next_, &first_trees, nullptr);
  ASSERT_TRUE(again);
  Bytes forged = record(first);
  point_second_at_first(forged, first_trees.roots);
  const auto before = (*again)->partitions;
  const auto refused = read_index_delta(*pager_, *seal(forged), kDims, next_, **again, first_trees,
                                        nullptr);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::Serialization);
  EXPECT_EQ((*again)->partitions, before);
}

}  // namespace
}  // namespace quarn::store::testing
