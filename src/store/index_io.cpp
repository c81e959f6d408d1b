#include "store/index_io.h"

#include "store/runs.h"

namespace quarn::store {

Result<std::unique_ptr<index::IvfPqIndex>> load_index(pager::Pager& pager, std::uint64_t start,
                                                      std::uint64_t pages, std::uint64_t len,
                                                      std::uint64_t dimensions) {
  if (pages == 0) return std::unique_ptr<index::IvfPqIndex>{};
  const Bytes bytes = TRY(read_run_bytes(pager, start, pages, len));
  return index::decode_index(bytes, dimensions);
}

}  // namespace quarn::store
