#include "crypto/crypto.h"

#include <argon2.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstring>
#include <string>

namespace quarn::crypto {
namespace {

static_assert(ARGON2_VERSION_NUMBER == 0x13, "key derivation is defined for Argon2 version 0x13");

// Argon2 parameter bounds. The memory cap is ours: costs come from an unauthenticated header, and
// no file this system writes asks for more than a few tens of MiB.
constexpr std::uint32_t kMinMemoryKiB = 8;
constexpr std::uint32_t kMaxMemoryKiB = 4194304;  // 4 GiB
constexpr std::uint32_t kMaxLanes = 16777216;     // exclusive
// The work of a derivation is memory × passes: at most 2^23 KiB passes (8 GiB of memory traffic,
// about 20 s on one core), 215 times what a new file asks for (19456 KiB × 2). The costs lie
// outside the header's seal, so without a bound a file could make open run for ever.
constexpr std::uint64_t kMaxWorkKiB = std::uint64_t{1} << 23;
constexpr std::uint64_t kMaxPassphrase = 4294967295;

// OpenSSL's update calls take int lengths; longer inputs are fed in slices of this size.
constexpr std::size_t kMaxSlice = std::size_t{1} << 30;

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;
using UpdateFn = int (*)(EVP_CIPHER_CTX*, unsigned char*, int*, const unsigned char*, int);

// Crypto error with the reason of the oldest queued OpenSSL error, else `fallback`. Clears the
// thread's error queue so a stale entry never explains a later failure.
QuarnError openssl_error(const char* fallback) {
  const unsigned long code = ERR_get_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return QuarnError::crypto(reason != nullptr ? reason : fallback);
}

// Feeds `in` to a GCM update; `out` null means `in` is associated data.
bool feed(EVP_CIPHER_CTX* ctx, UpdateFn update, std::uint8_t* out, ByteView in) {
  for (std::size_t done = 0; done < in.size();) {
    const std::size_t n = std::min(in.size() - done, kMaxSlice);
    int written = 0;
    if (update(ctx, out != nullptr ? out + done : nullptr, &written, in.data() + done,
               static_cast<int>(n)) != 1)
      return false;
    done += n;
  }
  return true;
}

// GCM encryption with the key already in `ctx`: only the nonce is set, so the key schedule is
// reused. Writes in.size() bytes to `out` and the tag to `tag`.
bool gcm_seal(EVP_CIPHER_CTX* ctx, const std::uint8_t* nonce, ByteView aad, ByteView in,
              std::uint8_t* out, std::uint8_t* tag) {
  std::uint8_t sink[16];  // GCM emits nothing at the end; OpenSSL still wants somewhere to write
  int written = 0;
  return EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce) == 1 &&
         feed(ctx, EVP_EncryptUpdate, nullptr, aad) && feed(ctx, EVP_EncryptUpdate, out, in) &&
         EVP_EncryptFinal_ex(ctx, sink, &written) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, kTagSize, tag) == 1;
}

// Inverse of gcm_seal; false when the tag does not verify. `out` then holds unauthenticated
// bytes, which the callers wipe.
bool gcm_open(EVP_CIPHER_CTX* ctx, const std::uint8_t* nonce, ByteView aad, ByteView in,
              std::uint8_t* out, const std::uint8_t* tag) {
  Tag expected;
  std::memcpy(expected.data(), tag, kTagSize);  // the control call takes a mutable pointer
  std::uint8_t sink[16];
  int written = 0;
  return EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce) == 1 &&
         feed(ctx, EVP_DecryptUpdate, nullptr, aad) && feed(ctx, EVP_DecryptUpdate, out, in) &&
         EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kTagSize, expected.data()) == 1 &&
         EVP_DecryptFinal_ex(ctx, sink, &written) == 1;
}

// A context keyed for one direction; null when OpenSSL cannot set it up.
CipherCtx keyed_context(const Key& key, bool encrypt) {
  CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  if (!ctx) return ctx;
  const int ok = encrypt
                     ? EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nullptr)
                     : EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nullptr);
  if (ok != 1) ctx.reset();
  return ctx;
}

// One-shot decryption of `in` (tag excluded) into `out`; false on any failure, with `out` wiped.
bool open_once(const Key& key, const Nonce& nonce, ByteView aad, ByteView in, std::uint8_t* out,
               const std::uint8_t* tag) {
  CipherCtx ctx = keyed_context(key, false);
  const bool ok = ctx && gcm_open(ctx.get(), nonce.data(), aad, in, out, tag);
  if (!ok && !in.empty()) OPENSSL_cleanse(out, in.size());
  ERR_clear_error();
  return ok;
}

// The text of the first Argon2 parameter rule that fails, or null.
const char* kdf_parameter_error(std::uint64_t passphrase_size, std::uint32_t m_cost,
                                std::uint32_t t_cost, std::uint32_t p_cost) {
  if (m_cost < kMinMemoryKiB || m_cost < std::uint64_t{8} * p_cost) return "memory cost is too small";
  if (m_cost > kMaxMemoryKiB) return "memory cost is too large";
  if (t_cost == 0) return "time cost is too small";
  if (std::uint64_t{m_cost} * t_cost > kMaxWorkKiB) return "time cost is too large";
  if (p_cost == 0) return "not enough threads";
  if (p_cost >= kMaxLanes) return "too many threads";
  if (passphrase_size > kMaxPassphrase) return "password is too long";
  return nullptr;
}

}  // namespace

Key::~Key() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

Key::Key(Key&& other) noexcept : bytes_(other.bytes_) {
  OPENSSL_cleanse(other.bytes_.data(), other.bytes_.size());
}

Key& Key::operator=(Key&& other) noexcept {
  if (this != &other) {
    bytes_ = other.bytes_;
    OPENSSL_cleanse(other.bytes_.data(), other.bytes_.size());
  }
  return *this;
}

Result<void> random_bytes(std::span<std::uint8_t> out) {
  for (std::size_t done = 0; done < out.size();) {
    const std::size_t n = std::min(out.size() - done, kMaxSlice);
    if (RAND_bytes(out.data() + done, static_cast<int>(n)) != 1)
      return fail(openssl_error("random generator failed"));
    done += n;
  }
  return {};
}

Result<Salt> random_salt() {
  Salt salt;
  TRY(random_bytes(salt));
  return salt;
}

Result<Key> random_dek() {
  Key dek;
  TRY(random_bytes(std::span(dek.data(), Key::size())));
  return dek;
}

Result<Nonce> random_nonce() {
  Nonce nonce;
  TRY(random_bytes(nonce));
  return nonce;
}

Result<Key> derive_kek(ByteView passphrase, const Salt& salt, std::uint32_t m_cost,
                       std::uint32_t t_cost, std::uint32_t p_cost) {
  if (const char* refusal = kdf_parameter_error(passphrase.size(), m_cost, t_cost, p_cost))
    return fail(QuarnError::key_derivation(refusal));
  Key kek;
  // Every lane is computed on the calling thread: the engine starts no threads of its own, and the
  // output depends on the lane count only, not on how many threads compute them.
  Salt salt_copy = salt;
  argon2_context ctx{};
  ctx.out = kek.data();
  ctx.outlen = static_cast<std::uint32_t>(Key::size());
  ctx.pwd = const_cast<std::uint8_t*>(passphrase.data());
  ctx.pwdlen = static_cast<std::uint32_t>(passphrase.size());
  ctx.salt = salt_copy.data();
  ctx.saltlen = static_cast<std::uint32_t>(salt_copy.size());
  ctx.t_cost = t_cost;
  ctx.m_cost = m_cost;
  ctx.lanes = p_cost;
  ctx.threads = 1;
  ctx.version = ARGON2_VERSION_13;
  ctx.flags = ARGON2_DEFAULT_FLAGS;
  const int rc = argon2_ctx(&ctx, Argon2_id);
  if (rc != ARGON2_OK) return fail(QuarnError::key_derivation(argon2_error_message(rc)));
  return kek;
}

Result<Bytes> aead_encrypt(const Key& key, const Nonce& nonce, ByteView plaintext,
                           ByteView associated_data) {
  CipherCtx ctx = keyed_context(key, true);
  if (!ctx) return fail(openssl_error("cipher setup failed"));
  Bytes sealed(plaintext.size() + kTagSize);
  if (!gcm_seal(ctx.get(), nonce.data(), associated_data, plaintext, sealed.data(),
                sealed.data() + plaintext.size()))
    return fail(openssl_error("encryption failed"));
  return sealed;
}

Result<Bytes> aead_decrypt(const Key& key, const Nonce& nonce, ByteView sealed,
                           ByteView associated_data) {
  if (sealed.size() < kTagSize) return fail(QuarnError::crypto("authentication failed"));
  const std::size_t body = sealed.size() - kTagSize;
  Bytes plaintext(body);
  if (!open_once(key, nonce, associated_data, sealed.first(body), plaintext.data(),
                 sealed.data() + body))
    return fail(QuarnError::crypto("authentication failed"));
  return plaintext;
}

Result<WrappedDek> wrap_dek(const Key& kek, const Key& dek, const Nonce& nonce) {
  const Bytes sealed = TRY(aead_encrypt(kek, nonce, ByteView(dek.data(), Key::size()), {}));
  if (sealed.size() != kWrappedDekSize)
    return fail(QuarnError::crypto("unexpected wrapped DEK length"));
  WrappedDek wrapped;
  std::memcpy(wrapped.data(), sealed.data(), wrapped.size());
  return wrapped;
}

Result<Key> unwrap_dek(const Key& kek, const Nonce& nonce, const WrappedDek& wrapped) {
  // Decrypts straight into the key so the DEK never sits in an unwiped buffer. The wrapped form
  // is exactly one key plus one tag, so a plaintext of another length cannot arise.
  Key dek;
  if (!open_once(kek, nonce, {}, ByteView(wrapped.data(), kKeySize), dek.data(),
                 wrapped.data() + kKeySize))
    return fail(QuarnError::wrong_passphrase());
  return dek;
}

Result<Tag> seal_tag(const Key& dek, const Nonce& nonce, ByteView message) {
  const Bytes sealed = TRY(aead_encrypt(dek, nonce, {}, message));
  if (sealed.size() != kTagSize)
    return fail(QuarnError::crypto("header seal: unexpected tag length"));
  Tag tag;
  std::memcpy(tag.data(), sealed.data(), tag.size());
  return tag;
}

Result<void> check_seal_tag(const Key& dek, const Nonce& nonce, ByteView message, const Tag& tag) {
  if (!open_once(dek, nonce, message, {}, nullptr, tag.data())) return fail(QuarnError::header_seal());
  return {};
}

void PageCipher::CtxFree::operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }

PageCipher::~PageCipher() = default;

Result<PageCipher> PageCipher::create(const Key& key) {
  CipherCtx enc = keyed_context(key, true);
  CipherCtx dec = keyed_context(key, false);
  if (!enc || !dec) return fail(openssl_error("cipher setup failed"));
  return PageCipher(std::unique_ptr<EVP_CIPHER_CTX, CtxFree>(enc.release()),
                    std::unique_ptr<EVP_CIPHER_CTX, CtxFree>(dec.release()));
}

namespace {

void page_nonce(std::uint64_t page, std::uint64_t counter, std::uint8_t* nonce) {
  put_le<std::uint32_t>(nonce, static_cast<std::uint32_t>(page));
  put_le<std::uint64_t>(nonce + 4, counter);
}

// The page number as associated data from version 6 on; `buffer` holds its 8 bytes.
ByteView page_aad(std::uint64_t page, std::uint16_t version, std::array<std::uint8_t, 8>& buffer) {
  if (version < 6) return {};
  put_le<std::uint64_t>(buffer.data(), page);
  return buffer;
}

}  // namespace

Result<void> PageCipher::encrypt_page(std::uint64_t page, std::uint64_t counter,
                                      std::uint16_t version,
                                      std::span<const std::uint8_t, kPageCapacity> plaintext,
                                      std::span<std::uint8_t, kPageSize> image) {
  assert(enc_ && "PageCipher used after move");
  std::array<std::uint8_t, 8> aad_bytes;
  page_nonce(page, counter, image.data());
  if (!gcm_seal(enc_.get(), image.data(), page_aad(page, version, aad_bytes), plaintext,
                image.data() + kNonceSize, image.data() + kNonceSize + kPageCapacity))
    return fail(openssl_error("page encryption failed"));
  return {};
}

Result<void> PageCipher::decrypt_page(std::uint64_t page, std::uint16_t version,
                                      std::span<const std::uint8_t, kPageSize> image,
                                      std::span<std::uint8_t, kPageCapacity> plaintext) {
  assert(dec_ && "PageCipher used after move");
  std::array<std::uint8_t, 8> aad_bytes;
  if (!gcm_open(dec_.get(), image.data(), page_aad(page, version, aad_bytes),
                image.subspan(kNonceSize, kPageCapacity), plaintext.data(),
                image.data() + kNonceSize + kPageCapacity)) {
    OPENSSL_cleanse(plaintext.data(), plaintext.size());  // never hand out unauthenticated bytes
    ERR_clear_error();
    return fail(QuarnError::page_auth(page));
  }
  return {};
}

}  // namespace quarn::crypto
