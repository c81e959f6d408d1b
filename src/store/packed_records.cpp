#include "store/packed_records.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

namespace quarn::store {

std::uint64_t packed_pages(std::uint32_t offset, std::uint32_t len) {
  if (len == 0) return 0;
  const std::uint64_t end = std::uint64_t{offset} + len;
  return (end + kPageCapacity - 1) / kPageCapacity;
}

Result<void> check_place(const PackedPlace& place) {
  if (place.len == 0) {
    if (place.page_count == 0 && place.offset == 0 && place.start_page == 0) return {};
    return fail(QuarnError::serialization("an empty record with a place"));
  }
  if (place.offset >= kPageCapacity) {
    return fail(QuarnError::serialization("record offset " + std::to_string(place.offset) +
                                          " lies past its page"));
  }
  if (place.page_count != packed_pages(place.offset, place.len)) {
    return fail(QuarnError::serialization("record of " + std::to_string(place.len) + " bytes at " +
                                          std::to_string(place.offset) + " cannot span " +
                                          std::to_string(place.page_count) + " pages"));
  }
  std::uint64_t offset = 0;
  if (place.start_page == 0 ||
      place.start_page > std::numeric_limits<std::uint64_t>::max() - place.page_count ||
      !page_offset(place.start_page + place.page_count - 1, offset)) {
    return fail(QuarnError::serialization("record pages beyond the file's page numbers"));
  }
  return {};
}

Result<PackedPlace> RecordPacker::add(ByteView record, const Allocate& allocate,
                                      const Stage& stage) {
  if (record.empty()) return PackedPlace{};
  if (record.size() > std::numeric_limits<std::uint32_t>::max()) {
    return fail(QuarnError::invalid_argument("record too long to place"));
  }
  const auto len = static_cast<std::uint32_t>(record.size());
  // On the open page when it has room and the pages after it can be had next; else from a page
  // of its own.
  const bool on_open = open_.has_value() && open_->bytes.size() < kPageCapacity;
  const std::uint32_t offset = on_open ? static_cast<std::uint32_t>(open_->bytes.size()) : 0;
  const std::uint64_t pages = packed_pages(offset, len);
  const std::uint64_t fresh = on_open ? pages - 1 : pages;
  std::uint64_t start_page = on_open ? open_->page : 0;
  if (fresh != 0) {
    const std::uint64_t first_new = TRY(allocate(fresh));
    if (on_open && first_new != open_->page + 1) {
      // Pages were taken in between: the record cannot continue the open page, and starts on
      // pages of its own. Those just taken stay unused (pages are never handed out twice).
      Open kept = std::move(*open_);
      open_.reset();
      auto placed = add(record, allocate, stage);
      if (!placed) open_ = std::move(kept);
      return placed;
    }
    if (!on_open) start_page = first_new;
  }

  // The plaintexts of the touched pages, then staged in order.
  std::vector<Bytes> images(static_cast<std::size_t>(pages));
  if (on_open) images[0] = open_->bytes;
  std::size_t at = 0;
  for (Bytes& image : images) {
    const std::size_t take = std::min(record.size() - at, kPageCapacity - image.size());
    image.insert(image.end(), record.begin() + static_cast<std::ptrdiff_t>(at),
                 record.begin() + static_cast<std::ptrdiff_t>(at + take));
    at += take;
  }
  for (std::uint64_t i = 0; i < pages; ++i) {
    TRY(stage(start_page + i, images[static_cast<std::size_t>(i)]));
  }
  open_ = Open{start_page + pages - 1, std::move(images.back())};
  return PackedPlace{start_page, offset, static_cast<std::uint32_t>(pages), len};
}

Result<Bytes> read_packed(const PackedPlace& place,
                          const std::function<Result<Bytes>(std::uint64_t)>& read) {
  TRY(check_place(place));
  Bytes out;
  out.reserve(std::min<std::size_t>(place.len, std::size_t{64} << 20));  // grows with pages read
  for (std::uint64_t i = 0; i < place.page_count; ++i) {
    const Bytes page = TRY(read(place.start_page + i));
    const std::size_t from = i == 0 ? place.offset : 0;
    if (page.size() < from) return fail(QuarnError::serialization("record page too short"));
    const std::size_t take = std::min<std::size_t>(page.size() - from, place.len - out.size());
    out.insert(out.end(), page.begin() + static_cast<std::ptrdiff_t>(from),
               page.begin() + static_cast<std::ptrdiff_t>(from + take));
  }
  if (out.size() != place.len) return fail(QuarnError::serialization("record pages too short"));
  return out;
}

}  // namespace quarn::store
