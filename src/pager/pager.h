// The pager: the store's only way to pages other than page 0. It owns the file, the data key (as a
// prepared page cipher), the page-write counter, the format version in force and the page cache.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "cache/page_cache.h"
#include "crypto/crypto.h"
#include "error/error.h"
#include "format/bytes.h"
#include "format/header.h"
#include "pager/file.h"

namespace quarn::pager {

class Pager {
 public:
  // Takes the file and the DEK; capacity 8192 pages.
  [[nodiscard]] static Result<Pager> create(std::unique_ptr<File> file, crypto::Key dek,
                                            std::uint64_t nonce_counter, std::uint16_t version);
  Pager(Pager&&) noexcept = default;
  Pager& operator=(Pager&&) noexcept = default;

  // The 8164-byte plaintext of a page: from the cache, else read, decrypted (PageAuth on failure)
  // and cached clean. Reads past the end are Io "failed to fill whole buffer", a page whose
  // offset does not fit a file offset is Io EOVERFLOW; nothing is cached on failure.
  [[nodiscard]] Result<Bytes> read_page(std::uint64_t page);
  // Calls `sink` with the page's plaintext without copying it (same rules as read_page). The view
  // lives only for the call: the sink must not call back into the pager.
  [[nodiscard]] Result<void> with_page(std::uint64_t page,
                                       const std::function<void(ByteView)>& sink);
  // Reads and authenticates a page from the file, bypassing and leaving the cache as it is (so a
  // check of the file is not answered from cached plaintext).
  [[nodiscard]] Result<Bytes> read_page_uncached(std::uint64_t page);
  // At most 8164 bytes, zero-padded, cached dirty. Longer: InvalidArgument
  // "payload {} exceeds page capacity 8164".
  [[nodiscard]] Result<void> write_page(std::uint64_t page, ByteView bytes);
  // Writes the 8192-byte page-0 image at offset 0. Does not sync.
  [[nodiscard]] Result<void> write_raw(std::span<const std::uint8_t, kPageSize> image);

  // Advances the counter and encrypts `plaintext` for `page` into an 8192-byte image. The step is
  // never given back, even when encryption fails. A counter at its maximum is InvalidArgument
  // "page-write counter exhausted" (wrapping would reuse nonces).
  [[nodiscard]] Result<void> encrypt_next(std::uint64_t page,
                                          std::span<const std::uint8_t, kPageCapacity> plaintext,
                                          std::span<std::uint8_t, kPageSize> image);

  cache::PageCache& cache() { return cache_; }
  const cache::PageCache& cache() const { return cache_; }
  File& file() { return *file_; }
  std::uint64_t nonce_counter() const { return nonce_counter_; }
  void set_nonce_counter(std::uint64_t counter) { nonce_counter_ = counter; }
  std::uint16_t version() const { return version_; }
  void set_version(std::uint16_t version) { version_ = version; }
  // The DEK, for sealing page 0.
  const crypto::Key& key() const { return key_; }

 private:
  Pager(std::unique_ptr<File> file, crypto::Key key, crypto::PageCipher cipher,
        std::uint64_t nonce_counter, std::uint16_t version);
  std::unique_ptr<File> file_;
  crypto::Key key_;
  crypto::PageCipher cipher_;
  std::uint64_t nonce_counter_;
  std::uint16_t version_;
  cache::PageCache cache_;
};

}  // namespace quarn::pager
