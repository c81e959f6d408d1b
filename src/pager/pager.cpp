#include "pager/pager.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "pager/page_batch.h"

namespace quarn::pager {

Result<Pager> Pager::create(std::unique_ptr<File> file, crypto::Key dek,
                            std::uint64_t nonce_counter, std::uint16_t version) {
  crypto::PageCipher cipher = TRY(crypto::PageCipher::create(dek));
  return Pager(std::move(file), std::move(dek), std::move(cipher), nonce_counter, version);
}

Result<Pager> Pager::successor(std::unique_ptr<File> file) const {
  crypto::Key key;
  std::copy_n(key_.data(), crypto::Key::size(), key.data());
  return create(std::move(file), std::move(key), nonce_counter_, version_);
}

Pager::Pager(std::unique_ptr<File> file, crypto::Key key, crypto::PageCipher cipher,
             std::uint64_t nonce_counter, std::uint16_t version)
    : file_(std::move(file)),
      key_(std::move(key)),
      cipher_(std::move(cipher)),
      nonce_counter_(nonce_counter),
      version_(version),
      cache_(cache::kDefaultCapacity) {}

Result<Bytes> Pager::read_page_uncached(std::uint64_t page) {
  std::uint64_t offset = 0;
  if (!page_offset(page, offset)) return fail(QuarnError::io_errno(EOVERFLOW));
  std::array<std::uint8_t, kPageSize> image;
  TRY(file_->read_at(offset, image));
  Bytes plaintext(kPageCapacity);
  TRY(cipher_.decrypt_page(
      page, version_, image,
      std::span<std::uint8_t, kPageCapacity>(plaintext.data(), kPageCapacity)));
  return plaintext;
}

Result<Bytes> Pager::read_page_uncached(std::uint64_t page, ReadWindow& window) {
  Bytes plaintext(kPageCapacity);
  TRY(read_page_uncached(page, window,
                         std::span<std::uint8_t, kPageCapacity>(plaintext.data(), kPageCapacity)));
  return plaintext;
}

Result<void> Pager::read_page_uncached(std::uint64_t page, ReadWindow& window,
                                       std::span<std::uint8_t, kPageCapacity> out) {
  const auto alone = [&]() -> Result<void> {
    const Bytes plaintext = TRY(read_page_uncached(page));
    std::copy(plaintext.begin(), plaintext.end(), out.begin());
    return {};
  };
  if (page < window.first_ || page - window.first_ >= window.count_) {
    const bool continues = window.count_ != 0 && page == window.first_ + window.count_;
    window.ahead_ = continues ? std::min(2 * window.ahead_, ReadWindow::kPages) : 1;
    window.count_ = 0;
    if (!window.file_pages_) {
      const auto size = file_->size();
      window.file_pages_ = size ? *size / kPageSize : 0;
    }
    std::uint64_t offset = 0;
    if (page >= *window.file_pages_ || !page_offset(page, offset)) return alone();
    const std::uint64_t count = std::min(window.ahead_, *window.file_pages_ - page);
    window.images_.resize(static_cast<std::size_t>(count * kPageSize));
    if (!file_->read_at(offset, window.images_)) return alone();
    window.first_ = page;
    window.count_ = count;
  }
  const std::span<const std::uint8_t, kPageSize> image(
      window.images_.data() + (page - window.first_) * kPageSize, kPageSize);
  return cipher_.decrypt_page(page, version_, image, out);
}
Result<Bytes> Pager::read_page(std::uint64_t page) {
  if (const Bytes* cached = cache_.lookup(page)) return *cached;
  Bytes plaintext = TRY(read_page_uncached(page));
  // The caller's copy is taken before insert, which may trim.
  Bytes copy = plaintext;
  cache_.insert(page, std::move(plaintext), false);
  return copy;
}

Result<void> Pager::with_page(std::uint64_t page, const std::function<void(ByteView)>& sink) {
  if (const Bytes* cached = cache_.lookup(page)) {
    sink(*cached);
    return {};
  }
  Bytes plaintext = TRY(read_page_uncached(page));
  sink(plaintext);
  cache_.insert(page, std::move(plaintext), false);
  return {};
}

Result<format::Header> Pager::read_header() {
  format::PageImage image{};
  TRY(file_->read_at(0, image));
  return format::from_page(image);
}

Result<void> Pager::write_page(std::uint64_t page, ByteView bytes) {
  if (bytes.size() > kPageCapacity) {
    return fail(QuarnError::invalid_argument("payload " + std::to_string(bytes.size()) +
                                             " exceeds page capacity " +
                                             std::to_string(kPageCapacity)));
  }
  Bytes padded(kPageCapacity, 0);
  std::copy(bytes.begin(), bytes.end(), padded.begin());
  cache_.insert(page, std::move(padded), true);
  return {};
}

// Rule 1: the counter is consumed before encrypting and never given back, so a failed or
// discarded encryption can never lead to a nonce being used twice.
Result<void> Pager::encrypt_next(std::uint64_t page,
                                 std::span<const std::uint8_t, kPageCapacity> plaintext,
                                 std::span<std::uint8_t, kPageSize> image) {
  if (nonce_counter_ == UINT64_MAX)
    return fail(QuarnError::invalid_argument("page-write counter exhausted"));
  ++nonce_counter_;
  return cipher_.encrypt_page(page, nonce_counter_, version_, plaintext, image);
}

template <class Place, class Done>
Result<void> Pager::encrypt_run(std::uint64_t first, ByteView bytes, Place&& place, Done&& done) {
  const std::uint64_t pages = run_pages(bytes.size());
  if (pages > std::numeric_limits<std::uint64_t>::max() - first)
    return fail(QuarnError::invalid_argument("run pages would exceed the largest page number"));
  std::array<std::uint8_t, kPageCapacity> plaintext;
  for (std::uint64_t i = 0; i < pages; ++i) {
    const std::size_t from = i * kPageCapacity;
    const std::size_t to = std::min(bytes.size(), from + kPageCapacity);
    std::copy(bytes.begin() + from, bytes.begin() + to, plaintext.begin());
    std::fill(plaintext.begin() + (to - from), plaintext.end(), 0);
    const std::span<std::uint8_t, kPageSize> image = TRY(place(first + i));
    TRY(encrypt_next(first + i, plaintext, image));
    done(first + i, ByteView(plaintext));
  }
  return {};
}

Result<void> Pager::write_back() {
  const std::vector<std::uint64_t> pages = cache_.dirty_pages();
  if (pages.empty()) return {};
  PageBatch batch(*file_);
  for (const std::uint64_t page : pages) {
    const Bytes* plaintext = cache_.peek(page);
    assert(plaintext && plaintext->size() == kPageCapacity && "dirty page must be cached");
    const std::span<std::uint8_t, kPageSize> image = TRY(batch.next(page));
    TRY(encrypt_next(page, std::span<const std::uint8_t, kPageCapacity>(*plaintext), image));
  }
  TRY(batch.flush());
  TRY(file_->sync());
  cache_.mark_all_clean();
  return {};
}

Result<void> Pager::seal_run(std::uint64_t first, ByteView bytes,
                             std::vector<wal::PageImage>& images) {
  const auto place = [&](std::uint64_t page) -> Result<std::span<std::uint8_t, kPageSize>> {
    images.push_back({page, Bytes(kPageSize)});
    return std::span<std::uint8_t, kPageSize>(images.back().image.data(), kPageSize);
  };
  const auto cache_clean = [&](std::uint64_t page, ByteView plaintext) {
    cache_.insert(page, Bytes(plaintext.begin(), plaintext.end()), false);
  };
  return encrypt_run(first, bytes, place, cache_clean);
}

Result<void> Pager::write_run(std::uint64_t first, ByteView bytes) {
  PageBatch batch(*file_);
  TRY(encrypt_run(
      first, bytes, [&](std::uint64_t page) { return batch.next(page); },
      [](std::uint64_t, ByteView) {}));
  return batch.flush();
}

// The one place page 0 is sealed: every writer of page 0 calls to_page and apply_seal on the same
// image, so each carries a new seal nonce.
Result<format::PageImage> Pager::sealed(format::Header& header) const {
  format::PageImage image = format::to_page(header);
  TRY(format::apply_seal(header, image, key_));
  return image;
}

Result<format::PageImage> Pager::seal_header(format::Header& header) {
  header.nonce_counter = nonce_counter_;
  return sealed(header);
}

Result<void> Pager::put_header(format::Header& header) {
  const format::PageImage image = TRY(sealed(header));
  TRY(file_->write_at(0, image));
  return file_->sync();
}

Result<void> Pager::write_header(format::Header& header) {
  header.nonce_counter = nonce_counter_;
  return put_header(header);
}

Result<void> Pager::check_reservation(std::uint64_t run_pages) const {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t staged = cache_.size() - cache_.clean_count();
  if (staged > kMax - nonce_counter_ || run_pages > kMax - nonce_counter_ - staged)
    return fail(
        QuarnError::invalid_argument("the page-write counter would exceed its largest value"));
  return {};
}

// Rule 2: the write-back encrypts each staged page once and seal_run each run page once, so the
// counter after this flush's encryptions is at most the value written here.
Result<void> Pager::write_reservation(format::Header& header, std::uint64_t run_pages) {
  TRY(check_reservation(run_pages));
  header.nonce_counter = nonce_counter_ + (cache_.size() - cache_.clean_count()) + run_pages;
  return put_header(header);
}

Result<void> Pager::allocate(std::uint64_t first, std::uint64_t pages) {
  std::uint64_t offset = 0;
  if (pages > std::numeric_limits<std::uint64_t>::max() - first ||
      !page_offset(first + pages, offset) || !page_offset(first, offset))
    return fail(QuarnError::io_errno(EFBIG));
  return file_->allocate(offset, pages * kPageSize);
}

Result<void> Pager::commit(std::uint64_t wal_start, std::uint64_t wal_pages, std::uint64_t txn_id,
                           const std::vector<wal::PageImage>& images) {
  return wal::commit(*file_, wal_start, wal_pages, txn_id, images);
}

Result<void> Pager::checkpoint(const std::vector<wal::PageImage>& images) {
  return wal::checkpoint(*file_, images);
}

}  // namespace quarn::pager
