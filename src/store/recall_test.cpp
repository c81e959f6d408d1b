// Recall and exact search over a whole store: the score formula, the filters, the ranking, access
// tracking, the index path, and the decoded-record cache never changing what a read would show.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "index/index.h"
#include "store/reads.h"
#include "store/record_cache.h"
#include "store/scoring.h"
#include "store/store_fixture.h"

namespace quarn::store::testing {
namespace {

constexpr std::uint32_t kMaxCount = 4294967295u;

// The recall score as written down for the Python defaults, in 32-bit floats.
float expected_score(std::span<const float> query, const Memory& m, std::int64_t now,
                     std::int64_t accessed_at, std::uint32_t access_count) {
  const float sim = memory::similarity(query, m.vector);
  float age = static_cast<float>(memory::wrapping_sub(now, accessed_at));
  if (age < 0.0f) age = 0.0f;
  const float recency = std::exp(age * -0.6931472f / 604800.0f);
  const float usage = std::log(static_cast<float>(access_count) + 1.0f);
  return ((sim * 1.0f + recency * 0.3f) + m.importance * 0.2f) + usage * 0.1f;
}

class RecallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto store = create_on(std::make_unique<MemFile>(disk_));
    ASSERT_TRUE(store) << store.error().message();
    store_ = std::move(*store);
    now_ = memory::now_secs();
  }
  Memory make(std::uint64_t n, std::vector<float> vector, std::int64_t accessed_ago = 0,
              std::uint32_t count = 0) {
    Memory m = memory_n(n);
    m.vector = std::move(vector);
    m.created_at = now_ - 10;
    m.accessed_at = memory::wrapping_sub(now_, accessed_ago);
    m.access_count = count;
    return m;
  }
  Ulid put(const Memory& m) {
    auto id = store_->remember(m);
    EXPECT_TRUE(id) << id.error().message();
    return id ? *id : Ulid{};
  }
  RecallRequest request(std::vector<float> query, bool track = false) {
    RecallRequest r;
    r.query = std::move(query);
    r.track_access = track;
    return r;
  }
  std::vector<std::string> contents(const std::vector<RecallResult>& results) {
    std::vector<std::string> out;
    for (const auto& r : results) out.push_back(r.memory.content);
    return out;
  }
  std::vector<std::string> recall(RecallRequest r) {
    auto results = store_->recall(r);
    EXPECT_TRUE(results) << results.error().message();
    return results ? contents(*results) : std::vector<std::string>{};
  }

  std::shared_ptr<MemDisk> disk_ = new_disk();
  std::unique_ptr<Store> store_;
  std::int64_t now_ = 0;
};

TEST_F(RecallTest, ScoresFollowTheFormulaAndTrackingStampsCatalogAndResults) {
  std::vector<Memory> stored = {
      make(1, {1, 0, 0, 0}),                              // just used
      make(2, {0.3f, 0.9f, -0.2f, 0.1f}, 604800, 3),      // one half-life ago
      make(3, {-1, 2, 0.5f, 7}, 86400, kMaxCount),        // saturated count
      make(4, {0, 0, 0, 0}, -1000, 1),                    // zero vector; used "in the future"
      make(5, {2, 2, 2, 2}, std::numeric_limits<std::int64_t>::min() + 5, 0),  // age wraps
  };
  stored[1].importance = 0.9f;
  stored[3].importance = 1.0f;
  for (const Memory& m : stored) put(m);
  const std::vector<float> query = {0.5f, 0.25f, -1.0f, 0.125f};

  auto results = store_->recall(request(query, true));
  ASSERT_TRUE(results) << results.error().message();
  ASSERT_EQ(results->size(), 5u);
  const std::int64_t now = results->front().memory.accessed_at;  // the recall's own clock
  EXPECT_GE(now, now_);
  float previous = std::numeric_limits<float>::infinity();
  for (const RecallResult& r : *results) {
    const Memory& original = stored[std::stoi(r.memory.content.substr(7)) - 1];
    EXPECT_EQ(r.similarity, memory::similarity(query, original.vector));
    EXPECT_EQ(r.score, expected_score(query, original, now, original.accessed_at,
                                      original.access_count))
        << r.memory.content;
    EXPECT_LE(r.score, previous);
    previous = r.score;
    const std::uint32_t bumped =
        original.access_count == kMaxCount ? kMaxCount : original.access_count + 1;
    EXPECT_EQ(r.memory.access_count, bumped);
    EXPECT_EQ(r.memory.accessed_at, now);
    auto row = store_->get(original.id);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->access_count, bumped);
    EXPECT_EQ(row->accessed_at, now);
  }
  EXPECT_TRUE(StoreAccess::dirty(*store_));
}

TEST_F(RecallTest, RecencyHalvesAfterOneHalfLife) {
  put(make(1, {0, 0, 0, 0}, 604800));
  put(make(2, {0, 0, 0, 0}, 86400));
  auto results = store_->recall(request({0, 0, 0, 0}, true));
  ASSERT_TRUE(results && results->size() == 2);
  // Zero similarity, importance 0.5, count 0: score = 0.3 * recency + 0.1.
  const float day = ((*results)[0].score - 0.5f * 0.2f) / 0.3f;
  const float week = ((*results)[1].score - 0.5f * 0.2f) / 0.3f;
  EXPECT_NEAR(week, 0.5f, 1e-4f);
  EXPECT_NEAR(day, 0.9057f, 1e-3f);
}

TEST_F(RecallTest, UntrackedRecallChangesNothingAndEqualScoresKeepCatalogOrder) {
  for (std::uint64_t n = 1; n <= 4; ++n) put(make(n, {1, 1, 0, 0}));
  ASSERT_TRUE(store_->flush());
  const auto catalog = StoreAccess::catalog(*store_);
  auto first = store_->recall(request({1, 0, 0, 0}));
  auto second = store_->recall(request({1, 0, 0, 0}));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(contents(*first), (std::vector<std::string>{"memory 1", "memory 2", "memory 3", "memory 4"}));
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ((*first)[i].score, (*second)[i].score);
  EXPECT_EQ(StoreAccess::catalog(*store_), catalog);
  EXPECT_FALSE(StoreAccess::dirty(*store_));

  RecallRequest none = request({1, 0, 0, 0}, true);
  none.top_k = 0;
  EXPECT_TRUE(recall(none).empty());
  none.top_k = 2;
  none.memory_types = std::vector<MemoryType>{};
  EXPECT_TRUE(recall(none).empty());
  EXPECT_FALSE(StoreAccess::dirty(*store_));  // nothing returned, nothing stamped

  RecallRequest wrong = request({1, 0, 0});
  auto refused = store_->recall(wrong);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "vector dimension mismatch: database expects 4, got 3");
}

TEST_F(RecallTest, FiltersApplyExpiryTypeAndAgentView) {
  const auto with = [&](std::uint64_t n, MemoryType type, std::string agent, memory::Scope scope,
                        std::optional<std::int64_t> ttl, std::int64_t age = 10) {
    Memory m = make(n, {1, 0, 0, 0});
    m.memory_type = type;
    m.agent_id = std::move(agent);
    m.scope = scope;
    m.ttl_secs = ttl;
    m.created_at = memory::wrapping_sub(now_, age);
    return m;
  };
  using enum MemoryType;
  using memory::Scope;
  put(with(1, Episodic, "a", Scope::Private, std::nullopt));
  put(with(2, Semantic, "a", Scope::Shared, 60, 30));  // 30 s of 60 lived
  put(with(3, Episodic, "b", Scope::Private, std::nullopt));
  put(with(4, Working, "b", Scope::Shared, std::nullopt));
  put(with(5, Episodic, "a", Scope::Private, 0));      // expired at once
  put(with(6, Episodic, "a", Scope::Private, 60, 60));  // expired at 60 s
  put(with(7, Episodic, "a", Scope::Private, 1, -100));  // created in the future: not expired
  put(with(8, Episodic, "a", Scope::Private, 1, std::numeric_limits<std::int64_t>::min()));
  const Ulid gone = put(with(9, Episodic, "a", Scope::Shared, std::nullopt));
  ASSERT_TRUE(store_->remove(gone));

  const auto sorted = [](std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  RecallRequest all = request({1, 0, 0, 0});
  all.top_k = 100;
  // Memory 8's age wraps around: now - created_at is negative in two's complement.
  EXPECT_EQ(sorted(recall(all)), (std::vector<std::string>{"memory 1", "memory 2", "memory 3",
                                                           "memory 4", "memory 7", "memory 8"}));
  RecallRequest as_a = all;
  as_a.agent_id = "a";
  EXPECT_EQ(sorted(recall(as_a)), (std::vector<std::string>{"memory 1", "memory 2", "memory 4",
                                                            "memory 7", "memory 8"}));
  RecallRequest episodic_twice = as_a;
  episodic_twice.memory_types = std::vector<MemoryType>{Episodic, Episodic};
  EXPECT_EQ(sorted(recall(episodic_twice)),
            (std::vector<std::string>{"memory 1", "memory 7", "memory 8"}));
  RecallRequest shared_kinds = all;
  shared_kinds.agent_id = "c";
  shared_kinds.memory_types = std::vector<MemoryType>{Working, Semantic};
  EXPECT_EQ(sorted(recall(shared_kinds)), (std::vector<std::string>{"memory 2", "memory 4"}));

  // Reopened, the first recall reads every record as it judges them: agent "a" has no number
  // in the table until its first record is read.
  ASSERT_TRUE(store_->flush());
  store_.reset();
  store_ = open_on(std::make_unique<MemFile>(disk_)).value();
  EXPECT_EQ(sorted(recall(as_a)), (std::vector<std::string>{"memory 1", "memory 2", "memory 4",
                                                            "memory 7", "memory 8"}));
}

TEST_F(RecallTest, SearchRanksEveryLiveUnexpiredMemoryBySimilarityAlone) {
  put(make(1, {0, 1, 0, 0}));
  put(make(2, {-1, 0, 0, 0}));
  Memory other = make(3, {1, 0.5f, 0, 0});
  other.agent_id = "someone";
  other.memory_type = MemoryType::Working;
  put(other);
  put(make(4, {1, 0, 0, 0}));
  Memory expired = make(5, {1, 0, 0, 0});
  expired.ttl_secs = 0;
  put(expired);
  ASSERT_TRUE(store_->remove(put(make(6, {1, 0, 0, 0}))));
  ASSERT_TRUE(store_->flush());

  const std::vector<float> query = {1, 0, 0, 0};
  auto hits = store_->search(query, 10);
  ASSERT_TRUE(hits);
  std::vector<std::string> order;
  for (const auto& [m, sim] : *hits) {
    order.push_back(m.content);
    EXPECT_EQ(sim, memory::similarity(query, m.vector));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"memory 4", "memory 3", "memory 1", "memory 2"}));
  EXPECT_EQ(hits->back().second, -1.0f);
  EXPECT_EQ(store_->search(query, 0)->size(), 0u);
  EXPECT_EQ(store_->search(std::vector<float>{0, 0, 0, 0}, 2)->front().first.content, "memory 1");
  EXPECT_FALSE(StoreAccess::dirty(*store_));
  EXPECT_EQ(store_->search(std::vector<float>{1}, 1).error().kind(), ErrorKind::DimensionMismatch);
}

TEST_F(RecallTest, IndexPathScoresOnlyProbedLiveCandidates) {
  for (std::uint64_t n = 1; n <= 120; ++n) {
    put(make(n, {static_cast<float>(n % 7), static_cast<float>(n % 5), 1.0f, static_cast<float>(n % 3)}));
  }
  ASSERT_TRUE(store_->build_index());
  const Ulid gone = memory_n(5).id;
  ASSERT_TRUE(store_->remove(gone));
  RecallRequest r = request({5, 0, 1, 2});
  r.top_k = 100;
  auto results = store_->recall(r);
  ASSERT_TRUE(results);
  EXPECT_LE(results->size(), 64u);
  EXPECT_GT(results->size(), 0u);
  for (const auto& hit : *results) EXPECT_NE(hit.memory.id, gone);

  r.n_rerank = 0;
  r.n_probe = 0;
  EXPECT_LE(recall(r).size(), 1u);
  r.n_probe = 1000;
  r.n_rerank = 1000;
  EXPECT_EQ(recall(r).size(), 100u);  // every live memory is a candidate
}

TEST_F(RecallTest, BuildIndexFromTheScanTableEqualsTrainingOnTheDecodedMemories) {
  std::uint32_t seed = 5;
  for (std::uint64_t n = 1; n <= 300; ++n) {
    std::vector<float> v(kDims);
    for (float& x : v) x = static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 20) / 97.0f;
    put(make(n, v));
  }
  ASSERT_TRUE(store_->remove(memory_n(7).id));
  ASSERT_TRUE(store_->flush());
  store_->set_cache_capacity(1);  // the records are read, not served from pages
  ASSERT_TRUE(store_->build_index());
  auto memories = store_->memories();
  ASSERT_TRUE(memories);
  std::vector<Ulid> ids;
  std::vector<float> vectors;
  for (const Memory& m : *memories) {
    ids.push_back(m.id);
    vectors.insert(vectors.end(), m.vector.begin(), m.vector.end());
  }
  auto trained = index::train(ids, vectors, kDims);
  ASSERT_TRUE(trained);
  EXPECT_EQ(*index::encode_index(*StoreAccess::index(*store_)), *index::encode_index(**trained));
}

TEST_F(RecallTest, ScansReadOnlyRecordsNotYetAuthenticatedAndResultsThroughThePages) {
  std::vector<Ulid> ids;
  for (std::uint64_t n = 1; n <= 5; ++n) ids.push_back(put(make(n, {1, 2, 3, static_cast<float>(n)})));
  ASSERT_TRUE(store_->flush());
  ASSERT_TRUE(store_->recall(request({1, 0, 0, 0})));

  // Every page evicted, one damaged on disk: scans keep what they authenticated, but reading the
  // record whole, and checking the file, still fail.
  store_->set_cache_capacity(1);
  const std::uint64_t page = StoreAccess::catalog(*store_)[2].start_page;
  disk_->bytes.at(page * kPageSize + 50) ^= 0x10;
  RecallRequest r = request({0, 0, 0, 1});
  r.top_k = 2;  // the damaged record (n = 3) is not among the two best
  EXPECT_TRUE(store_->recall(r));
  EXPECT_EQ(store_->get(ids[2]).error().kind(), ErrorKind::PageAuth);
  EXPECT_EQ(store_->verify().error().kind(), ErrorKind::PageAuth);
  r.top_k = 5;  // now it is a result, read whole
  EXPECT_EQ(store_->recall(r).error().kind(), ErrorKind::PageAuth);
  EXPECT_TRUE(store_->get(ids[1]));  // the others still read
  EXPECT_FALSE(StoreAccess::dirty(*store_));

  // After reopening nothing is authenticated yet: the first scan reads every record.
  store_.reset();
  auto reopened = open_on(std::make_unique<MemFile>(disk_));
  ASSERT_TRUE(reopened);
  r.top_k = 1;
  EXPECT_EQ((*reopened)->recall(r).error().kind(), ErrorKind::PageAuth);
  EXPECT_EQ((*reopened)->search(std::vector<float>{1, 0, 0, 0}, 1).error().kind(), ErrorKind::PageAuth);
  EXPECT_EQ((*reopened)->stats().error().kind(), ErrorKind::PageAuth);
  EXPECT_EQ((*reopened)->verify().error().kind(), ErrorKind::PageAuth);
}

// The ids of a full recall or search, best first, as the store returns them.
std::vector<Ulid> ids_of(const std::vector<RecallResult>& hits) {
  std::vector<Ulid> out;
  for (const auto& h : hits) out.push_back(h.memory.id);
  return out;
}

TEST_F(RecallTest, EveryKindOfChangeIsSeenByTheNextScan) {
  for (std::uint64_t n = 1; n <= 40; ++n) {
    put(make(n, {static_cast<float>(n % 5), 1.0f, static_cast<float>(n % 3), 0.5f}));
  }
  ASSERT_TRUE(store_->flush());
  const std::vector<float> q{4, 1, 2, 3};  // no stored vector points its way
  RecallRequest r = request(q);
  r.top_k = 3;
  const auto scan = [&]() {
    auto hits = store_->recall(r);
    EXPECT_TRUE(hits) << hits.error().message();
    return hits ? ids_of(*hits) : std::vector<Ulid>{};
  };
  const auto best = [&]() {
    auto hits = store_->search(q, 1);
    EXPECT_TRUE(hits);
    return hits && !hits->empty() ? hits->front().first.id : Ulid{};
  };
  const std::vector<Ulid> before = scan();
  ASSERT_EQ(before.size(), 3u);

  // remember: a new best memory.
  const Ulid fresh = put(make(100, q));
  EXPECT_EQ(best(), fresh);
  // re-remember: the same id with a vector pointing away.
  put(make(100, {-4, -1, -2, -0.5f}));
  EXPECT_NE(best(), fresh);
  EXPECT_EQ(scan(), before);
  // delete.
  ASSERT_TRUE(store_->remove(before[0]));
  EXPECT_EQ(scan()[0], before[1]);
  // access stamps: a memory recalled with tracking climbs by recency and usage.
  Memory old = make(200, q, /*accessed_ago=*/10 * 604800);
  old.memory_type = MemoryType::Procedural;
  put(old);
  EXPECT_NE(scan()[0], old.id);
  RecallRequest tracked = r;
  tracked.track_access = true;
  tracked.memory_types = std::vector<MemoryType>{MemoryType::Procedural};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(store_->recall(tracked));
  EXPECT_EQ(scan()[0], old.id);
  // restore: back to the committed state of the first flush.
  ASSERT_TRUE(store_->restore_to(store_->snapshots().front().txn_id));
  EXPECT_EQ(scan(), before);
  EXPECT_EQ(best(), before[0]);
  // reopen: the flushed state again, read afresh.
  put(make(300, q));
  ASSERT_TRUE(store_->flush());
  const std::vector<Ulid> flushed = scan();
  store_.reset();
  auto reopened = open_on(std::make_unique<MemFile>(disk_));
  ASSERT_TRUE(reopened);
  store_ = std::move(*reopened);
  EXPECT_EQ(scan(), flushed);
}

std::vector<float> noise(std::size_t n, std::uint32_t& seed) {
  std::vector<float> v(n);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = static_cast<float>(static_cast<std::int32_t>(seed >> 8) % 2001 - 1000) / 37.0f;
  }
  return v;
}

TEST(Similarities, ExactAgreesBitForBitAndBoundsNeverFallBelowIt) {
  constexpr std::size_t kWide = 97;
  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  std::uint32_t seed = 12345;
  ScanTable table(kWide);
  std::vector<std::vector<float>> vectors;
  // Noise at scales from underflow to near overflow; zeros, a NaN, an infinity, other lengths,
  // repeated vectors, and vectors with one large element among tiny ones.
  for (float scale : {1e-30f, 1e-19f, 1e-3f, 1.0f, 7.5f, 1e15f, 1e30f}) {
    for (int copies = 0; copies < 3; ++copies) {
      std::vector<float> v = noise(kWide, seed);
      for (float& x : v) x *= scale;
      vectors.push_back(v);
    }
  }
  vectors.push_back(std::vector<float>(kWide, 0.0f));
  vectors.push_back(vectors[9]);
  vectors.back()[5] = kNan;
  vectors.push_back(vectors[9]);
  vectors.back()[6] = -kInf;
  vectors.push_back(noise(50, seed));
  vectors.push_back(noise(130, seed));
  std::vector<float> spike(kWide, 1e-20f);
  spike[3] = 1e6f;
  vectors.push_back(spike);
  std::vector<std::size_t> slots;
  // The same records placed and then measured all at once, as a first scan does (eight vectors
  // side by side): the very same norms, bounds and codes as one at a time.
  ScanTable batched(kWide);
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    Memory m = memory_n(i, kWide);
    m.vector = vectors[i];
    const CatalogEntry row{m.id, 10 + i, 1, 100, false, 0, 0};
    table.put(3 * i, row, m);
    batched.place(3 * i, row,
                  memory::ScanFields{m.id, m.memory_type, m.scope, m.agent_id, m.created_at,
                                     m.importance, m.ttl_secs},
                  m.vector);
    slots.push_back(3 * i);
  }
  batched.measure(slots);
  for (std::size_t slot : slots) {
    const VectorInfo& a = table.info(slot);
    const VectorInfo& b = batched.info(slot);
    for (const auto field : {&VectorInfo::norm_squares, &VectorInfo::norm, &VectorInfo::scale,
                             &VectorInfo::scaled_code_norm, &VectorInfo::err_norm,
                             &VectorInfo::vector_norm, &VectorInfo::vector_max}) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(a.*field), std::bit_cast<std::uint32_t>(b.*field))
          << slot;
    }
    ASSERT_EQ(a.exact_only, b.exact_only) << slot;
    if (!a.exact_only) {
      EXPECT_TRUE(std::equal(table.codes(slot), table.codes(slot) + kWide, batched.codes(slot)))
          << slot;
    }
  }

  std::vector<std::vector<float>> queries{noise(kWide, seed), std::vector<float>(kWide, 0.0f),
                                          spike, vectors[12]};
  for (float scale : {1e-25f, 1e20f}) {
    queries.push_back(noise(kWide, seed));
    for (float& x : queries.back()) x *= scale;
  }
  queries.push_back(queries[0]);
  queries.back()[0] = kNan;
  ScanBuffers buf;
  for (const auto& query : queries) {
    const QueryPlan plan = plan_query(query, kWide);
    std::vector<float> exact(slots.size()), bounds(slots.size());
    exact_similarities(plan, table, slots, exact);
    similarity_bounds(plan, table, slots, buf, bounds);
    for (std::size_t i = 0; i < slots.size(); ++i) {
      const float want = memory::similarity(query, vectors[i]);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(exact[i]), std::bit_cast<std::uint32_t>(want)) << i;
      if (!std::isnan(bounds[i])) {
        EXPECT_FALSE(std::isnan(want)) << i;
        EXPECT_GE(bounds[i], want) << i;
      }
    }
  }
}

// The integer code dots of a bound are exact only while they fit 32 bits: longer queries get no
// bound and every candidate is scored exactly.
TEST(Bounds, QueriesTooLongForExactCodeDotsGetNone) {
  constexpr std::size_t kLongest = std::size_t{1} << 17;
  for (const std::size_t d : {kLongest, kLongest + 1}) {
    const std::vector<float> query(d, 0.5f);
    EXPECT_EQ(plan_query(query, d).bounded, d == kLongest) << d;
  }
}

TEST(Ranking, PrunedTopKIsTheStableSortOfEveryExactScore) {
  std::uint32_t seed = 7;
  const auto next = [&]() {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t n = 1 + next() % 300;
    // Few distinct values, so that ties are common; signed zeros and NaNs among them.
    std::vector<float> scores(n), bounds(n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t pick = next() % 23;
      scores[i] = pick == 0   ? -0.0f
                  : pick == 1 ? std::numeric_limits<float>::quiet_NaN()
                              : static_cast<float>(static_cast<int>(pick) - 12) / 4.0f;
      const std::uint32_t slack = next() % 5;
      bounds[i] = std::isnan(scores[i]) || slack == 4 ? std::numeric_limits<float>::quiet_NaN()
                  : slack == 0                         ? scores[i]
                                                       : scores[i] + static_cast<float>(slack);
    }
    const auto exact = [&](std::span<const std::size_t> positions, std::vector<Ranked>& out) {
      for (std::size_t pos : positions) out.push_back({total_order_key(scores[pos]), pos, scores[pos], 0.0f});
    };
    std::vector<Ranked> all;
    std::vector<std::size_t> everyone(n);
    for (std::size_t i = 0; i < n; ++i) everyone[i] = i;
    exact(everyone, all);
    for (std::uint64_t k : {std::uint64_t{1}, std::uint64_t{5}, std::uint64_t{n}}) {
      std::vector<Ranked> want = all;
      rank(want, k);
      ScanBuffers buf;
      top_scored(n, k, buf, [&](std::span<float> out) { std::copy(bounds.begin(), bounds.end(), out.begin()); },
                 exact);
      ASSERT_EQ(buf.ranked.size(), want.size());
      for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(buf.ranked[i].pos, want[i].pos) << trial;
    }
  }
}

TEST(Similarities, SearchIsTheStableSortOfEveryExactSimilarity) {
  constexpr std::size_t kWide = 97;
  auto store = create_on(std::make_unique<MemFile>(new_disk()), kWide);
  ASSERT_TRUE(store);
  std::uint32_t seed = 99;
  for (std::uint64_t n = 1; n <= 150; ++n) {
    Memory m = memory_n(n, kWide);
    m.vector = noise(kWide, seed);
    if (n == 40) m.vector.assign(kWide, 0.0f);
    if (n % 11 == 0) m.vector = memory_n(1, kWide).vector;  // equal similarities: catalog order
    ASSERT_TRUE((*store)->remember(m));
    if (n % 7 == 0) {
      ASSERT_TRUE((*store)->remove(m.id));
    }
  }
  const auto check = [&](const std::vector<float>& query) {
    auto hits = (*store)->search(query, 1000);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), (*store)->live_count());
    for (const auto& [m, sim] : *hits) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(sim),
                std::bit_cast<std::uint32_t>(memory::similarity(query, m.vector)));
    }
    // The top 10 (ranked with bounds) against a stable sort of every memory.
    auto all = (*store)->memories();
    ASSERT_TRUE(all);
    std::stable_sort(all->begin(), all->end(), [&](const Memory& a, const Memory& b) {
      return total_order_key(memory::similarity(query, a.vector)) >
             total_order_key(memory::similarity(query, b.vector));
    });
    auto top = (*store)->search(query, 10);
    ASSERT_TRUE(top);
    ASSERT_EQ(top->size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ((*top)[i].first.id, (*all)[i].id) << i;
  };
  const std::vector<float> query = noise(kWide, seed);
  check(query);  // decoding
  check(query);  // from the scan table
  check(std::vector<float>(kWide, 0.0f));
  check(memory_n(1, kWide).vector);  // the repeated vector first, in catalog order
  // Stored again with other vectors: their lanes follow.
  for (std::uint64_t n = 1; n <= 150; n += 10) {
    Memory m = memory_n(n, kWide);
    m.vector = noise(kWide, seed);
    ASSERT_TRUE((*store)->remember(m));
  }
  check(query);
  check(query);
  // A one-page cache: nearly every record is read and decoded again, and entries get dropped.
  ASSERT_TRUE((*store)->flush());
  (*store)->set_cache_capacity(1);
  check(query);
  check(query);
}

}  // namespace
}  // namespace quarn::store::testing
