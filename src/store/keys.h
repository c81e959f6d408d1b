// Key material of a file's header: a new data key wrapped under a passphrase, and the data key
// unwrapped from a header. Used by open (a new file), a vacuum under a new passphrase and a
// passphrase change.
#pragma once

#include <cstdint>

#include "crypto/crypto.h"
#include "error/error.h"
#include "format/bytes.h"
#include "format/header.h"
#include "store/store.h"

namespace quarn::store {

// A data key and its wrapping under a passphrase-derived key with a fresh salt and nonce.
struct NewKeys {
  crypto::Key dek;
  crypto::Salt salt{};
  crypto::Nonce dek_nonce{};
  crypto::WrappedDek wrapped{};
};

// A fresh random data key wrapped under `passphrase` with the given Argon2 costs. Derived before
// any file is touched, so a failure (or a crash during the slow derivation) changes nothing.
[[nodiscard]] Result<NewKeys> make_keys(ByteView passphrase, std::uint32_t m_cost,
                                        std::uint32_t t_cost, std::uint32_t p_cost);

// The key that wraps a data key under `passphrase`: a fresh salt, the given costs.
struct Wrapping {
  crypto::Key kek;
  crypto::Salt salt{};
  crypto::Nonce dek_nonce{};
};
[[nodiscard]] Result<Wrapping> new_wrapping(ByteView passphrase, std::uint32_t m_cost,
                                            std::uint32_t t_cost, std::uint32_t p_cost);

// The header's data key under `passphrase` (KeyDerivation, WrongPassphrase).
[[nodiscard]] Result<crypto::Key> unlock_dek(const format::Header& header, ByteView passphrase);

// Key material a commit writes into page 0.
struct Store::KeyMaterial {
  crypto::Salt salt{};
  crypto::Nonce dek_nonce{};
  crypto::WrappedDek wrapped{};
};

// Puts the key material in the header: salt, wrapping nonce and wrapped key.
inline void set_key_material(format::Header& header, const crypto::Salt& salt,
                             const crypto::Nonce& dek_nonce, const crypto::WrappedDek& wrapped) {
  header.salt = salt;
  header.dek_nonce = dek_nonce;
  header.wrapped_dek = wrapped;
}

}  // namespace quarn::store
