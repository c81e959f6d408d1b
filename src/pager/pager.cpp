#include "pager/pager.h"

#include <algorithm>
#include <array>
#include <string>

namespace quarn::pager {

Result<Pager> Pager::create(std::unique_ptr<File> file, crypto::Key dek,
                            std::uint64_t nonce_counter, std::uint16_t version) {
  crypto::PageCipher cipher = TRY(crypto::PageCipher::create(dek));
  return Pager(std::move(file), std::move(dek), std::move(cipher), nonce_counter, version);
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
  TRY(cipher_.decrypt_page(page, version_, image,
                           std::span<std::uint8_t, kPageCapacity>(plaintext.data(), kPageCapacity)));
  return plaintext;
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

Result<void> Pager::write_raw(std::span<const std::uint8_t, kPageSize> image) {
  return file_->write_at(0, image);
}

// The counter is consumed before encrypting and never given back, so a failed or discarded
// encryption can never lead to a nonce being used twice.
Result<void> Pager::encrypt_next(std::uint64_t page,
                                 std::span<const std::uint8_t, kPageCapacity> plaintext,
                                 std::span<std::uint8_t, kPageSize> image) {
  if (nonce_counter_ == UINT64_MAX)
    return fail(QuarnError::invalid_argument("page-write counter exhausted"));
  ++nonce_counter_;
  return cipher_.encrypt_page(page, nonce_counter_, version_, plaintext, image);
}

}  // namespace quarn::pager
