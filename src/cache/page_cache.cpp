#include "cache/page_cache.h"

#include <algorithm>
#include <cassert>

namespace quarn::cache {

PageCache::PageCache(std::uint64_t capacity) : capacity_(std::max<std::uint64_t>(capacity, 1)) {}

const Bytes* PageCache::lookup(std::uint64_t page) {
  auto it = map_.find(page);
  if (it == map_.end()) return nullptr;
  touch(it->second);
  return &nodes_[it->second].data;
}

const Bytes* PageCache::peek(std::uint64_t page) const {
  auto it = map_.find(page);
  return it == map_.end() ? nullptr : &nodes_[it->second].data;
}

bool PageCache::is_dirty(std::uint64_t page) const {
  auto it = map_.find(page);
  return it != map_.end() && nodes_[it->second].dirty;
}

// A cached page keeps its slot: its data and flag are replaced and it moves to the front, without
// trimming (the caller may still hold a pointer into another cached page). A new page takes the most
// recently vacated slot, or a new one, goes to the front, and the cache is trimmed.
void PageCache::insert(std::uint64_t page, Bytes data, bool dirty) {
  if (auto it = map_.find(page); it != map_.end()) {
    Node& node = nodes_[it->second];
    node.data = std::move(data);
    if (node.dirty && !dirty) ++clean_count_;
    if (!node.dirty && dirty) --clean_count_;
    node.dirty = dirty;
    touch(it->second);
    return;
  }
  Slot slot;
  if (!free_slots_.empty()) {
    slot = free_slots_.back();
    free_slots_.pop_back();
  } else {
    assert(nodes_.size() < UINT32_MAX);
    slot = static_cast<Slot>(nodes_.size());
    nodes_.emplace_back();
  }
  Node& node = nodes_[slot];
  node.data = std::move(data);
  node.page = page;
  node.dirty = dirty;
  link_front(slot);
  map_.emplace(page, slot);
  if (!dirty) ++clean_count_;
  trim();
}

void PageCache::touch(Slot slot) {
  if (head_ == slot) return;
  unlink(slot);
  link_front(slot);
}

void PageCache::unlink(Slot slot) {
  Node& node = nodes_[slot];
  if (node.prev) nodes_[*node.prev].next = node.next;
  else head_ = node.next;
  if (node.next) nodes_[*node.next].prev = node.prev;
  else tail_ = node.prev;
  node.prev.reset();
  node.next.reset();
}

void PageCache::link_front(Slot slot) {
  Node& node = nodes_[slot];
  node.prev.reset();
  node.next = head_;
  if (head_) nodes_[*head_].prev = slot;
  else tail_ = slot;
  head_ = slot;
}

// Evicts least recently used clean pages until the budget holds. The walk runs from the tail
// towards the head and never takes the head itself, so the page just inserted or touched stays; when
// only dirty pages (and the head) remain, the cache stays over budget until they are marked clean.
void PageCache::trim() {
  std::optional<Slot> cursor = tail_;
  while (map_.size() > capacity_ && clean_count_ > 0 && cursor && cursor != head_) {
    const Slot slot = *cursor;
    Node& node = nodes_[slot];
    cursor = node.prev;
    if (node.dirty) continue;
    unlink(slot);
    map_.erase(node.page);
    --clean_count_;
    node = Node{};  // releases the plaintext
    free_slots_.push_back(slot);
  }
}

std::vector<std::uint64_t> PageCache::dirty_pages() const {
  std::vector<std::uint64_t> pages;
  for (auto slot = head_; slot; slot = nodes_[*slot].next) {
    if (nodes_[*slot].dirty) pages.push_back(nodes_[*slot].page);
  }
  std::sort(pages.begin(), pages.end());
  return pages;
}

void PageCache::mark_all_clean() {
  for (auto slot = head_; slot; slot = nodes_[*slot].next) nodes_[*slot].dirty = false;
  clean_count_ = map_.size();
  trim();
}

void PageCache::set_capacity(std::uint64_t pages) {
  capacity_ = std::max<std::uint64_t>(pages, 1);
  trim();
}

}  // namespace quarn::cache
