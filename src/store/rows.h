// Decoding of the stored row lists (catalog, legacy catalog, snapshot manifest): one MessagePack
// array whose elements are rows, each a positional array or a map keyed by field name.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "error/error.h"
#include "format/bytes.h"
#include "memory/msgpack_io.h"

namespace quarn::store {

// Unpacks `bytes` (allocations bounded by their size, nesting at most 1024) as an array of rows
// and calls `read_row(const msgpack::object&) -> Result<Row>` on each, in order. The first failure
// is returned as is; every failure is Serialization with the decoder's text.
template <class Row, class ReadRow>
[[nodiscard]] Result<std::vector<Row>> decode_rows(ByteView bytes, std::string_view what,
                                                   ReadRow&& read_row) {
  const msgpack::object_handle handle = TRY(mp::unpack(bytes));
  const std::span<const msgpack::object> items = TRY(mp::as_array(handle.get(), what));
  std::vector<Row> rows;
  rows.reserve(items.size());  // the unpacker has already materialised every element
  for (const msgpack::object& item : items) rows.push_back(TRY(read_row(item)));
  return rows;
}

}  // namespace quarn::store
