#include "memory/ulid_map.h"

#include <map>
#include <random>

#include <gtest/gtest.h>

namespace quarn::memory {
namespace {

// Random adds, overwrites and removals against std::map, over ids that collide in the table
// (few distinct low bits) and the nil id: after every step each id is found exactly when the
// reference holds it, with its value, so removals never lose an entry that probed past them.
TEST(UlidMapTest, MatchesAnOrderedMapThroughAddsOverwritesAndRemovals) {
  std::mt19937_64 rng(5);
  UlidMap<std::uint64_t> map;
  std::map<Ulid, std::uint64_t> reference;
  const auto id_of = [](std::uint64_t n) { return n == 0 ? Ulid{} : Ulid{n % 7, n}; };
  for (int step = 0; step < 20000; ++step) {
    const Ulid id = id_of(rng() % 300);
    switch (rng() % 4) {
      case 0: {
        const auto [it, added] = map.try_emplace(id, step);
        EXPECT_EQ(added, reference.emplace(id, step).second);
        EXPECT_EQ(it->second, reference.at(id));
        break;
      }
      case 1:
        map[id] = step;
        reference[id] = step;
        break;
      default:
        if (const auto it = map.find(id); it != map.end()) {
          ASSERT_TRUE(reference.contains(id));
          map.erase(it);
          reference.erase(id);
        } else {
          ASSERT_FALSE(reference.contains(id));
        }
    }
    ASSERT_EQ(map.size(), reference.size());
    if (step % 500 == 0) {
      for (std::uint64_t n = 0; n < 300; ++n) {
        const auto found = map.find(id_of(n));
        const auto expected = reference.find(id_of(n));
        ASSERT_EQ(found != map.end(), expected != reference.end()) << n;
        if (found != map.end()) {
          EXPECT_EQ(found->second, expected->second);
        }
      }
    }
  }
  map.reserve(100000);  // growing keeps every entry
  for (const auto& [id, value] : reference) EXPECT_EQ(map.at(id), value);
  map.clear();
  EXPECT_TRUE(map.empty());
  EXPECT_FALSE(map.contains(Ulid{}));
}

}  // namespace
}  // namespace quarn::memory
