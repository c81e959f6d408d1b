// A map from ids to small values held in one flat table (open addressing, linear probing, a
// power-of-two size at most half full): a million ids are one allocation, built without a node
// per id and dropped at once. Removal shifts the entries after it back, so no tombstones build up.
// A free entry holds the nil id; the nil id itself, when mapped, is held beside the table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "memory/ulid.h"

namespace quarn::memory {

template <class Value>
class UlidMap {
 public:
  struct Entry {
    Ulid first;  // nil: free
    Value second{};
  };
  using const_iterator = const Entry*;
  using iterator = Entry*;

  iterator find(const Ulid& id) {
    if (id.is_nil()) return has_nil_ ? &nil_ : end();
    if (table_.empty()) return end();
    Entry& e = table_[probe(id)];
    return used(e) ? &e : end();
  }
  const_iterator find(const Ulid& id) const { return const_cast<UlidMap*>(this)->find(id); }
  iterator end() { return nullptr; }
  const_iterator end() const { return nullptr; }
  bool contains(const Ulid& id) const { return find(id) != end(); }
  // The value of an id that is present.
  const Value& at(const Ulid& id) const { return find(id)->second; }

  // The value of `id`, added (value-initialised) when absent.
  Value& operator[](const Ulid& id) { return try_emplace(id, Value{}).first->second; }
  // Adds id -> value unless id is present; the entry, and whether it was added.
  std::pair<iterator, bool> try_emplace(const Ulid& id, Value value) {
    if (id.is_nil()) {
      if (has_nil_) return {&nil_, false};
      nil_.second = std::move(value);
      has_nil_ = true;
      ++size_;
      return {&nil_, true};
    }
    if (2 * (size_ + 1) > table_.size()) grow(std::max<std::size_t>(16, 2 * table_.size()));
    Entry& e = table_[probe(id)];
    if (used(e)) return {&e, false};
    e = Entry{id, std::move(value)};
    ++size_;
    return {&e, true};
  }
  // Removes the entry `it` points at (from find()).
  void erase(iterator it) {
    --size_;
    if (it == &nil_) {
      has_nil_ = false;
      return;
    }
    const std::size_t mask = table_.size() - 1;
    std::size_t hole = static_cast<std::size_t>(it - table_.data());
    table_[hole] = Entry{};
    // Entries after the hole that would no longer be found move back into it.
    for (std::size_t at = (hole + 1) & mask; used(table_[at]); at = (at + 1) & mask) {
      const std::size_t home = home_of(table_[at].first);
      if (((at - home) & mask) >= ((at - hole) & mask)) {
        table_[hole] = std::move(table_[at]);
        table_[at] = Entry{};
        hole = at;
      }
    }
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    table_.clear();
    has_nil_ = false;
    size_ = 0;
  }
  // Room for `n` ids without growing.
  void reserve(std::size_t n) {
    std::size_t capacity = 16;
    while (capacity < 2 * n) capacity *= 2;
    if (capacity > table_.size()) grow(capacity);
  }

 private:
  static bool used(const Entry& e) { return !e.first.is_nil(); }
  std::size_t home_of(const Ulid& id) const { return UlidHash{}(id) & (table_.size() - 1); }
  // Where `id` is, or the free entry where it would go.
  std::size_t probe(const Ulid& id) const {
    const std::size_t mask = table_.size() - 1;
    std::size_t at = home_of(id);
    while (used(table_[at]) && table_[at].first != id) at = (at + 1) & mask;
    return at;
  }
  void grow(std::size_t capacity) {
    std::vector<Entry> old = std::exchange(table_, std::vector<Entry>(capacity));
    for (Entry& e : old) {
      if (used(e)) table_[probe(e.first)] = std::move(e);
    }
  }

  std::vector<Entry> table_;
  Entry nil_;
  bool has_nil_ = false;
  std::size_t size_ = 0;  // the nil id included
};

}  // namespace quarn::memory
