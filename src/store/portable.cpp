// Portable export and import: the store's memories to and from the JSON Lines of jsonl.h.
//
// An export reads each record through the pager (with its row's access statistics) and writes its
// line to a new file in pieces of about 1 MiB. An import reads the file in pieces, checks every
// line and keeps each memory in its stored (MessagePack) form, which is never much larger than its
// line; only when the whole file has passed does it stage them, through remember, in file order.
#include <unistd.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "memory/memory.h"
#include "pager/file.h"
#include "pager/pager.h"
#include "store/catalog.h"
#include "store/commit.h"
#include "store/jsonl.h"
#include "store/runs.h"
#include "store/store.h"

namespace quarn::store {
namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

using ImportFailure = std::unexpected<Store::ImportError>;

ImportFailure refused(std::uint64_t line, std::string what) {
  return std::unexpected(Store::ImportError{QuarnError::invalid_argument(std::move(what)), line});
}

ImportFailure failed(QuarnError error) { return std::unexpected(Store::ImportError{std::move(error), 0}); }

// The lines of a file read in pieces, each without its "\n" (the last may lack one). A line may
// not pass jsonl::kMaxLineBytes, so a file without line breaks never fills memory.
class LineReader {
 public:
  LineReader(pager::File& file, std::uint64_t size) : file_(file), size_(size) {}

  // The next line, valid until the next call; nullopt after the last.
  std::expected<std::optional<std::string_view>, Store::ImportError> next() {
    std::size_t scanned = begin_;
    for (;;) {
      const void* found = std::memchr(buffer_.data() + scanned, '\n', buffer_.size() - scanned);
      if (found != nullptr) {
        const auto end = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.data());
        return take(end, end + 1);
      }
      if (buffer_.size() - begin_ > jsonl::kMaxLineBytes) return too_long();
      if (offset_ == size_) {
        if (begin_ == buffer_.size()) return std::nullopt;
        return take(buffer_.size(), buffer_.size());
      }
      buffer_.erase(0, begin_);
      begin_ = 0;
      scanned = buffer_.size();
      const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size_ - offset_));
      buffer_.resize(scanned + piece);
      auto read = file_.read_at(offset_, std::span(reinterpret_cast<std::uint8_t*>(buffer_.data()) + scanned, piece));
      if (!read) return failed(std::move(read).error());
      offset_ += piece;
    }
  }

  // The number of the line last returned (1 for the first).
  std::uint64_t number() const { return number_; }

 private:
  std::expected<std::optional<std::string_view>, Store::ImportError> take(std::size_t end,
                                                                          std::size_t next) {
    const std::string_view line(buffer_.data() + begin_, end - begin_);
    if (line.size() > jsonl::kMaxLineBytes) return too_long();
    begin_ = next;
    ++number_;
    return line;
  }
  ImportFailure too_long() const {
    return refused(number_ + 1, "the line is longer than the limit of 16 MiB");
  }

  pager::File& file_;
  std::uint64_t size_;
  std::uint64_t offset_ = 0;
  std::string buffer_;
  std::size_t begin_ = 0;
  std::uint64_t number_ = 0;
};

// Writes the header and the chosen memories, then syncs.
Result<void> write_export(pager::File& file, pager::Pager& pager,
                          const std::vector<CatalogEntry>& catalog, std::uint64_t dimensions,
                          std::uint64_t count, bool include_deleted) {
  std::string out;
  out.reserve(kChunk + 64 * 1024);
  std::uint64_t offset = 0;
  const auto write_out = [&]() -> Result<void> {
    TRY(file.write_at(offset, ByteView(reinterpret_cast<const std::uint8_t*>(out.data()), out.size())));
    offset += out.size();
    out.clear();
    return {};
  };
  jsonl::append_header(out, {dimensions, count});
  for (const CatalogEntry& entry : catalog) {
    if (entry.deleted && !include_deleted) continue;
    Memory memory = TRY(memory::decode_memory(TRY(read_record(pager, entry))));
    memory.accessed_at = entry.accessed_at;
    memory.access_count = entry.access_count;
    TRY(jsonl::append_memory(out, memory, entry.deleted));
    if (out.size() >= kChunk) TRY(write_out());
  }
  TRY(write_out());
  return file.sync();
}

}  // namespace

Result<std::uint64_t> Store::export_jsonl(const std::string& dest, bool include_deleted) {
  std::uint64_t count = 0;
  for (const CatalogEntry& entry : catalog_) count += !entry.deleted || include_deleted;
  std::unique_ptr<pager::PosixFile> file = TRY(pager::PosixFile::create_new(dest));
  if (auto written = write_export(*file, *pager_, catalog_, dimensions_, count, include_deleted); !written) {
    file.reset();
    ::unlink(dest.c_str());
    return fail(std::move(written).error());
  }
  return count;
}

std::expected<std::uint64_t, Store::ImportError> Store::import_jsonl(const std::string& src) {
  auto opened = pager::PosixFile::open_read_only(src);
  if (!opened) return failed(std::move(opened).error());
  pager::File& file = **opened;
  auto size = file.size();
  if (!size) return failed(std::move(size).error());
  LineReader lines(file, *size);

  auto first = lines.next();
  if (!first) return std::unexpected(std::move(first).error());
  if (!*first) return refused(1, "the file is empty: it has no header line");
  auto header = jsonl::parse_header(**first);
  if (!header) return refused(1, header.error().text());
  if (header->dimensions != dimensions_) {
    return refused(1, "the file holds vectors of " + std::to_string(header->dimensions) +
                          " dimensions, the database " + std::to_string(dimensions_));
  }

  // Every memory in its stored form, checked as remember would check it.
  struct Checked {
    Bytes record;
    bool deleted;
  };
  std::vector<Checked> checked;
  std::uint64_t pages = 0;
  for (;;) {
    auto line = lines.next();
    if (!line) return std::unexpected(std::move(line).error());
    if (!*line) break;
    const std::uint64_t number = lines.number();
    if (checked.size() == header->memories) {
      return refused(number, "the header announces " + std::to_string(header->memories) +
                                 " memories, the file holds more");
    }
    auto entry = jsonl::parse_memory(**line, dimensions_);
    if (!entry) return refused(number, entry.error().text());
    auto record = memory::encode_memory(entry->memory);
    if (!record) return refused(number, record.error().message());
    if (record->size() > tuning_.record_limit) {
      return refused(number, "its record of " + std::to_string(record->size()) +
                                 " bytes exceeds the limit of " + std::to_string(tuning_.record_limit));
    }
    pages += run_pages(record->size());
    checked.push_back({std::move(*record), entry->deleted});
  }
  if (checked.size() != header->memories) {
    return refused(1, "the header announces " + std::to_string(header->memories) +
                          " memories, the file holds " + std::to_string(checked.size()));
  }
  std::uint64_t offset = 0;
  const std::uint64_t page_count = commit_->header().page_count;
  if (page_count > UINT64_MAX - pages || !page_offset(page_count + pages, offset)) {
    return failed(QuarnError::invalid_argument("the page count would exceed its largest value"));
  }

  for (Checked& item : checked) {
    auto memory = memory::decode_memory(item.record);
    if (!memory) return failed(std::move(memory).error());
    Bytes().swap(item.record);
    const std::int64_t accessed_at = memory->accessed_at;
    const std::uint32_t access_count = memory->access_count;
    auto id = remember(std::move(*memory));
    if (!id) return failed(std::move(id).error());
    CatalogEntry& row = catalog_[id_index_.at(*id)];
    row.accessed_at = accessed_at;
    row.access_count = access_count;
    if (item.deleted) {
      if (auto removed = remove(*id); !removed) return failed(std::move(removed).error());
    }
  }
  return checked.size();
}

}  // namespace quarn::store
