// The pager: the store's only way to the database file once it is open (recovery at open reads and
// replays the log on the file before any key exists, and then hands the file over). It owns the
// file, the data key (as a prepared page cipher and for sealing page 0), the page-write counter,
// the format version in force and the page cache of decrypted pages.
//
// Every encrypted page image and every page 0 written to the file is made here, and each takes
// its counter value here (encrypt_next), so the rule that no nonce is used twice can be checked
// in this module alone:
//   1. The counter only grows; a value is taken before encrypting and never given back, even
//      when the encryption or the write fails.
//   2. Every page 0 the pager writes or seals carries a nonce_counter at least as large as every
//      value taken before it; a reservation header also covers every value the flush it starts
//      may take (the staged pages and the run pages it names), so no crash can make a later open
//      start the counter below a value already used.
//   3. Page numbers are chosen by the caller, which takes them only at the end of the file and
//      never twice (the store's commit unit).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cache/page_cache.h"
#include "crypto/crypto.h"
#include "error/error.h"
#include "format/bytes.h"
#include "format/header.h"
#include "pager/file.h"
#include "wal/wal.h"

namespace quarn::pager {

// Page images read ahead for one pass over many records (a scan's first reads): up to kPages
// consecutive images come from one read of the file, and each is decrypted only when asked for. A
// window serves one pass in which nothing writes the file, and is dropped with it. The read-ahead
// grows only while the pass reads on where the window ended (one page, then two, four, ... up to
// kPages), so scattered reads (the candidates of an indexed recall) read one page each.
class ReadWindow {
 public:
  static constexpr std::uint64_t kPages = 32;

 private:
  friend class Pager;
  std::uint64_t first_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t ahead_ = 1;  // the next refill's page count, when it continues the window
  std::optional<std::uint64_t> file_pages_;
  std::vector<std::uint8_t> images_;
};

class Pager {
 public:
  // Takes the file and the DEK; capacity 8192 pages. `nonce_counter` is the last counter value
  // used in the file (a new file: 0, or any start the caller chooses for a file it writes anew).
  [[nodiscard]] static Result<Pager> create(std::unique_ptr<File> file, crypto::Key dek,
                                            std::uint64_t nonce_counter, std::uint16_t version);
  // A pager over another file under the same DEK and version, its counter continuing from this
  // one's: a file rewritten from this one (a vacuum) then never uses a (page, counter) pair this
  // file has used. The cache starts empty.
  [[nodiscard]] Result<Pager> successor(std::unique_ptr<File> file) const;
  Pager(Pager&&) noexcept = default;
  Pager& operator=(Pager&&) noexcept = default;

  // --- Reads ---

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
  // The same, with the image taken from `window`, which is refilled (up to ReadWindow::kPages
  // pages from `page` on, as far as the file reaches) when it does not hold the page. A page past
  // the file's end, or a refill that fails, is read alone, so results and errors are exactly
  // those of the one-page read.
  [[nodiscard]] Result<Bytes> read_page_uncached(std::uint64_t page, ReadWindow& window);
  // The same, decrypted into `out`, which holds nothing of use after a failure.
  [[nodiscard]] Result<void> read_page_uncached(std::uint64_t page, ReadWindow& window,
                                                std::span<std::uint8_t, kPageCapacity> out);
  // Page 0 as the file holds it now, decoded (format::from_page errors).
  [[nodiscard]] Result<format::Header> read_header();

  // --- Staging ---

  // At most 8164 bytes, zero-padded, cached dirty; no file access. Longer: InvalidArgument
  // "payload {} exceeds page capacity 8164".
  [[nodiscard]] Result<void> write_page(std::uint64_t page, ByteView bytes);

  // --- Encrypted writes: the only places that take counter values ---

  // The write-back of the staged pages: every dirty page, in ascending order, encrypted and
  // written home (consecutive pages in one write), then the file synced; only then are all cached
  // pages clean and the cache trimmed. A failure leaves them dirty, so a retry encrypts them again
  // with fresh counters.
  [[nodiscard]] Result<void> write_back();
  // The run of `bytes` at pages first .. first + run_pages(len) - 1 (run layout: 8164 bytes a
  // page, the last zero-filled), each page encrypted into an image appended to `images`, for a
  // commit to carry; its plaintext is cached clean. Nothing is written.
  [[nodiscard]] Result<void> seal_run(std::uint64_t first, ByteView bytes,
                                      std::vector<wal::PageImage>& images);
  // The same run encrypted and written home directly (consecutive pages in one write), neither
  // cached nor synced: for writing a file page by page without staging it.
  [[nodiscard]] Result<void> write_run(std::uint64_t first, ByteView bytes);

  // --- Page 0 (sealed under the DEK from version 7; the pager sets nonce_counter, rule 2) ---

  // The image of `header` with nonce_counter = the counter now, sealed; nothing is written.
  [[nodiscard]] Result<format::PageImage> seal_header(format::Header& header);
  // `header` with nonce_counter = the counter now, sealed, written at offset 0 and synced.
  [[nodiscard]] Result<void> write_header(format::Header& header);
  // The reservation: `header` with nonce_counter = the counter plus the staged pages plus
  // `run_pages`, sealed, written at offset 0 and synced. Refused as check_reservation refuses.
  [[nodiscard]] Result<void> write_reservation(format::Header& header, std::uint64_t run_pages);
  // InvalidArgument "the page-write counter would exceed its largest value" when a reservation
  // for `run_pages` more pages would pass the counter's largest value.
  [[nodiscard]] Result<void> check_reservation(std::uint64_t run_pages) const;

  // --- The file ---

  // Gives pages first .. first + pages - 1 storage in the file (File::allocate), so writing them
  // later cannot fail for want of room.
  [[nodiscard]] Result<void> allocate(std::uint64_t first, std::uint64_t pages);
  // The file's exclusive lock, held until the returned guard is dropped.
  [[nodiscard]] Result<FileLock> lock() { return FileLock::take(*file_); }
  // The log (wal.h) in this file: commit, then checkpoint of the same images.
  [[nodiscard]] Result<void> commit(std::uint64_t wal_start, std::uint64_t wal_pages,
                                    std::uint64_t txn_id,
                                    const std::vector<wal::PageImage>& images);
  [[nodiscard]] Result<void> checkpoint(const std::vector<wal::PageImage>& images);
  // The handle lock on the file (File::hold).
  [[nodiscard]] Result<void> hold(File::HoldMode mode, bool wait) { return file_->hold(mode, wait); }
  // Whether the file is still the one at `path` (File::is_at).
  [[nodiscard]] Result<bool> is_at(const std::string& path) { return file_->is_at(path); }
  // The file's length in bytes.
  [[nodiscard]] Result<std::uint64_t> file_size() { return file_->size(); }
  // Makes everything written to the file durable.
  [[nodiscard]] Result<void> sync() { return file_->sync(); }
  // Copies the file to `dest` (File::copy_to).
  [[nodiscard]] Result<void> copy_to(const std::string& dest) { return file_->copy_to(dest); }

  // The DEK wrapped under `kek` with `nonce` (crypto::wrap_dek), for a header that changes the
  // passphrase.
  [[nodiscard]] Result<crypto::WrappedDek> wrap_key(const crypto::Key& kek,
                                                    const crypto::Nonce& nonce) const {
    return crypto::wrap_dek(kek, key_, nonce);
  }

  // --- Cache and version ---

  cache::PageCache& cache() { return cache_; }
  const cache::PageCache& cache() const { return cache_; }
  std::uint16_t version() const { return version_; }
  // Raised by an upgrade, after the old pages were read under the old rules.
  void set_version(std::uint16_t version) { version_ = version; }

 private:
  friend struct PagerAccess;  // tests only (pager/testing/pager_access.h)

  Pager(std::unique_ptr<File> file, crypto::Key key, crypto::PageCipher cipher,
        std::uint64_t nonce_counter, std::uint16_t version);
  // Takes the next counter value and encrypts `plaintext` for `page` into an 8192-byte image. A
  // counter at its maximum is InvalidArgument "page-write counter exhausted" (wrapping would
  // reuse nonces).
  [[nodiscard]] Result<void> encrypt_next(std::uint64_t page,
                                          std::span<const std::uint8_t, kPageCapacity> plaintext,
                                          std::span<std::uint8_t, kPageSize> image);
  // Encrypts the pages of a run in order, each into the slot `place(page)` returns; then calls
  // `done(page, plaintext)`.
  template <class Place, class Done>
  [[nodiscard]] Result<void> encrypt_run(std::uint64_t first, ByteView bytes, Place&& place,
                                         Done&& done);
  // The image of `header` (whose nonce_counter is set), sealed.
  [[nodiscard]] Result<format::PageImage> sealed(format::Header& header) const;
  // Seals `header`, writes it at offset 0 and syncs.
  [[nodiscard]] Result<void> put_header(format::Header& header);

  std::unique_ptr<File> file_;
  crypto::Key key_;
  crypto::PageCipher cipher_;
  std::uint64_t nonce_counter_;
  std::uint16_t version_;
  cache::PageCache cache_;
};

}  // namespace quarn::pager
