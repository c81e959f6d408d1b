// Loading the stored approximate index from its run.
#pragma once

#include <cstdint>
#include <memory>

#include "error/error.h"
#include "index/index.h"
#include "pager/pager.h"

namespace quarn::store {

// The index in the run (start, pages, len), checked against the database's dimensions; pages 0
// means there is none (nullptr), read from nowhere. Failures: the pager's (Io, PageAuth), then
// those of index::decode_index (Serialization, InvalidArgument for other dimensions).
[[nodiscard]] Result<std::unique_ptr<index::IvfPqIndex>> load_index(pager::Pager& pager,
                                                                    std::uint64_t start,
                                                                    std::uint64_t pages,
                                                                    std::uint64_t len,
                                                                    std::uint64_t dimensions);

}  // namespace quarn::store
