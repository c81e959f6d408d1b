// The cache of decrypted pages: a least-recently-used list kept in a slot arena. Dirty pages are
// never evicted, so staged changes survive any cache pressure until a flush marks them clean.
//
// Invariants:
//  1. size() == map_.size(); every cached page has exactly one node on the list head..tail.
//  2. clean_count_ == number of cached nodes whose dirty flag is false.
//  3. Every dirty page is cached.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "format/bytes.h"

namespace quarn::cache {

inline constexpr std::uint64_t kDefaultCapacity = 8192;

class PageCache {
 public:
  using Slot = std::uint32_t;

  explicit PageCache(std::uint64_t capacity = kDefaultCapacity);

  // The cached plaintext of a page, moved to the front; nullptr when not cached. Pointers from
  // lookup() and peek() are valid until the next insert, trim, mark_all_clean or set_capacity.
  const Bytes* lookup(std::uint64_t page);
  // Inserts or replaces a page's plaintext (kPageCapacity bytes) with a dirty flag and moves it to
  // the front. Only a new page trims.
  void insert(std::uint64_t page, Bytes data, bool dirty);
  bool contains(std::uint64_t page) const { return map_.contains(page); }
  bool is_dirty(std::uint64_t page) const;
  // The cached plaintext without touching the LRU order; nullptr when not cached.
  const Bytes* peek(std::uint64_t page) const;

  // Page numbers of all dirty nodes, ascending.
  std::vector<std::uint64_t> dirty_pages() const;
  // Marks every cached page clean, then trims (after the write path has synced the dirty pages).
  void mark_all_clean();
  // capacity = pages, or 1 when pages is 0; then trim.
  void set_capacity(std::uint64_t pages);
  // (cached pages, capacity).
  std::pair<std::uint64_t, std::uint64_t> stats() const { return {map_.size(), capacity_}; }
  std::uint64_t size() const { return map_.size(); }
  std::uint64_t capacity() const { return capacity_; }
  std::uint64_t clean_count() const { return clean_count_; }
  // Evicts least recently used clean pages, never the head, while over capacity.
  void trim();
  // The arena slot holding a page (slots are reused last-in first-out after eviction).
  std::optional<Slot> slot_of(std::uint64_t page) const {
    auto it = map_.find(page);
    return it == map_.end() ? std::nullopt : std::optional<Slot>(it->second);
  }

 private:
  struct Node {
    std::optional<Slot> prev;
    std::optional<Slot> next;
    Bytes data;
    std::uint64_t page = 0;
    bool dirty = false;
  };
  void touch(Slot slot);
  void unlink(Slot slot);
  void link_front(Slot slot);

  std::optional<Slot> head_;
  std::optional<Slot> tail_;
  std::vector<Node> nodes_;
  std::vector<Slot> free_slots_;
  std::unordered_map<std::uint64_t, Slot> map_;
  std::uint64_t capacity_;
  std::uint64_t clean_count_ = 0;
};

}  // namespace quarn::cache
