// Records packed into consecutive bytes across their pages (format 8): the records staged between
// two flushes follow one another in the plaintext of consecutive pages, several small records to a
// page, instead of one page (or more) each. A record's place is the page it starts on, its offset
// in that page's 8164 bytes, the pages it spans and its length; its bytes are the concatenated
// plaintexts of those pages from that offset on.
//
// Pages are never rewritten once committed: the page the last record ended on stays open for the
// next one only until the flush writes it, and a record continues onto the next pages only when
// they are the very next page numbers handed out (nothing else took pages in between).
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <functional>
#include <optional>

#include "error/error.h"
#include "format/bytes.h"

namespace quarn::store {

struct PackedPlace {
  std::uint64_t start_page = 0;
  std::uint32_t offset = 0;
  std::uint32_t page_count = 0;  // 0 only for an empty record, which lies nowhere
  std::uint32_t len = 0;
  auto operator<=>(const PackedPlace&) const = default;
};

// Old place -> new, for records copied elsewhere.
using PlaceMap = std::map<PackedPlace, PackedPlace>;

// The place a catalog row names.
template <class Row>
PackedPlace place_of(const Row& row) {
  return {row.start_page, row.offset, row.page_count, row.len};
}

// The pages a record of `len` bytes at `offset` spans.
std::uint64_t packed_pages(std::uint32_t offset, std::uint32_t len);

// Serialization unless the place is one a packer makes: offset inside a page, the page count
// exactly what offset and length span, and the pages within page numbers (a row read from a file
// is hostile input).
[[nodiscard]] Result<void> check_place(const PackedPlace& place);

class RecordPacker {
 public:
  // `pages` consecutive fresh pages at the end of the file; their first page number.
  using Allocate = std::function<Result<std::uint64_t>(std::uint64_t pages)>;
  // A page's new plaintext (at most 8164 bytes; the rest of the page zero).
  using Stage = std::function<Result<void>(std::uint64_t page, ByteView payload)>;

  // Places `record` after the records packed since the last close(), staging every page it
  // touches (the open page again, with its new bytes). A failure of allocate or stage leaves
  // the packer as it was.
  [[nodiscard]] Result<PackedPlace> add(ByteView record, const Allocate& allocate,
                                        const Stage& stage);
  // No record goes on the open page any more (its page is about to be written).
  void close() { open_.reset(); }
  // The page the next record may start on, when one is open.
  std::optional<std::uint64_t> open_page() const {
    return open_ ? std::optional(open_->page) : std::nullopt;
  }

 private:
  struct Open {
    std::uint64_t page;
    Bytes bytes;  // its plaintext so far
  };
  std::optional<Open> open_;
};

// The record at `place`, its pages' plaintexts obtained by read(page); every page of the place is
// read, so a damaged one fails the read.
[[nodiscard]] Result<Bytes> read_packed(const PackedPlace& place,
                                        const std::function<Result<Bytes>(std::uint64_t)>& read);

}  // namespace quarn::store
