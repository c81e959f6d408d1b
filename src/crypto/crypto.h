// Key material and AES-256-GCM for pages, key wrapping and the header seal.
//
// Page image (8192 bytes):
//    0 nonce (12): page number low 32 bits (u32 LE), then the write counter (u64 LE)
//   12 ciphertext (8164)
// 8176 tag (16)
// Associated data: the page number as u64 LE from format version 6 on, none for versions 4 and 5.
// The counter never repeats within a file, so no two images share a nonce under one key.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "error/error.h"
#include "format/bytes.h"

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace quarn::crypto {

inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kSaltSize = 16;
inline constexpr std::size_t kWrappedDekSize = kKeySize + kTagSize;

using Salt = std::array<std::uint8_t, kSaltSize>;
using Nonce = std::array<std::uint8_t, kNonceSize>;
using Tag = std::array<std::uint8_t, kTagSize>;
using WrappedDek = std::array<std::uint8_t, kWrappedDekSize>;

// Owns 32 bytes of key material and wipes them (OPENSSL_cleanse) when released. Move-only: a
// moved-from key is wiped. Never copy the bytes out into anything that does not wipe itself.
class Key {
 public:
  Key() = default;
  ~Key();
  Key(Key&& other) noexcept;
  Key& operator=(Key&& other) noexcept;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  static constexpr std::size_t size() { return kKeySize; }

 private:
  std::array<std::uint8_t, kKeySize> bytes_{};
};

// Random values from OpenSSL's OS-seeded generator (reseeded in a forked child; no state of ours).
[[nodiscard]] Result<Salt> random_salt();
[[nodiscard]] Result<Key> random_dek();
[[nodiscard]] Result<Nonce> random_nonce();
// Fills out with strong random bytes (ULID randomness uses this).
[[nodiscard]] Result<void> random_bytes(std::span<std::uint8_t> out);

// Argon2id v0x13, 32-byte output. Parameters are checked before any work, first failing row wins:
// "memory cost is too small", "memory cost is too large" (above 4 GiB), "time cost is too small",
// "not enough threads", "too many threads", "password is too long".
[[nodiscard]] Result<Key> derive_kek(ByteView passphrase, const Salt& salt, std::uint32_t m_cost,
                                     std::uint32_t t_cost, std::uint32_t p_cost);

// AES-256-GCM: ciphertext followed by the 16-byte tag. Failure: Crypto with the cipher's text.
[[nodiscard]] Result<Bytes> aead_encrypt(const Key& key, const Nonce& nonce, ByteView plaintext,
                                         ByteView associated_data);
// Inverse of aead_encrypt. Authentication failure: Crypto("authentication failed").
[[nodiscard]] Result<Bytes> aead_decrypt(const Key& key, const Nonce& nonce, ByteView sealed,
                                         ByteView associated_data);

// DEK wrapping under the KEK, no associated data. Other than 48 bytes out: Crypto
// "unexpected wrapped DEK length".
[[nodiscard]] Result<WrappedDek> wrap_dek(const Key& kek, const Key& dek, const Nonce& nonce);
// Any failure, including a plaintext that is not 32 bytes: WrongPassphrase.
[[nodiscard]] Result<Key> unwrap_dek(const Key& kek, const Nonce& nonce, const WrappedDek& wrapped);

// The header seal: the GCM tag over an empty plaintext with `message` as associated data.
[[nodiscard]] Result<Tag> seal_tag(const Key& dek, const Nonce& nonce, ByteView message);
// HeaderSeal on any failure.
[[nodiscard]] Result<void> check_seal_tag(const Key& dek, const Nonce& nonce, ByteView message,
                                          const Tag& tag);

// A prepared AES-256-GCM key schedule for page images, reused across pages. Holds its own copy of
// the key only inside the OpenSSL context, which wipes it when freed.
class PageCipher {
 public:
  [[nodiscard]] static Result<PageCipher> create(const Key& key);
  PageCipher(PageCipher&&) noexcept = default;
  PageCipher& operator=(PageCipher&&) noexcept = default;
  ~PageCipher();

  // Encrypts one 8164-byte plaintext for `page` with write counter `counter` into an 8192-byte image.
  [[nodiscard]] Result<void> encrypt_page(std::uint64_t page, std::uint64_t counter,
                                          std::uint16_t version,
                                          std::span<const std::uint8_t, kPageCapacity> plaintext,
                                          std::span<std::uint8_t, kPageSize> image);
  // Decrypts and authenticates an 8192-byte image of `page`. Failure: PageAuth(page), with
  // `plaintext` zeroed so unauthenticated bytes never leave.
  [[nodiscard]] Result<void> decrypt_page(std::uint64_t page, std::uint16_t version,
                                          std::span<const std::uint8_t, kPageSize> image,
                                          std::span<std::uint8_t, kPageCapacity> plaintext);

 private:
  struct CtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const;
  };
  explicit PageCipher(std::unique_ptr<EVP_CIPHER_CTX, CtxFree> enc,
                      std::unique_ptr<EVP_CIPHER_CTX, CtxFree> dec)
      : enc_(std::move(enc)), dec_(std::move(dec)) {}
  std::unique_ptr<EVP_CIPHER_CTX, CtxFree> enc_;
  std::unique_ptr<EVP_CIPHER_CTX, CtxFree> dec_;
};

}  // namespace quarn::crypto
