// Reading the stored form of the index (see codec.cpp for the layout): a cursor over the
// MessagePack bytes that fills the structures directly, without building a tree of values, so
// that loading a large index costs little more than a pass over its bytes. Every length is
// checked against the bytes that remain before anything is reserved.
#pragma once

#include "error/error.h"
#include "format/bytes.h"
#include "index/index.h"

namespace quarn::index {

// Fills the stored fields of `index` (not partition_of) from `bytes`; bytes after the value are
// ignored. Failure: Serialization with the reader's text. No consistency check is made here.
[[nodiscard]] Result<void> read_index(ByteView bytes, IvfPqIndex& index);

}  // namespace quarn::index
