#include "store/keys.h"

namespace quarn::store {

Result<Wrapping> new_wrapping(ByteView passphrase, std::uint32_t m_cost, std::uint32_t t_cost,
                              std::uint32_t p_cost) {
  Wrapping w;
  w.salt = TRY(crypto::random_salt());
  w.kek = TRY(crypto::derive_kek(passphrase, w.salt, m_cost, t_cost, p_cost));
  w.dek_nonce = TRY(crypto::random_nonce());
  return w;
}

Result<NewKeys> make_keys(ByteView passphrase, std::uint32_t m_cost, std::uint32_t t_cost,
                          std::uint32_t p_cost) {
  NewKeys keys;
  keys.dek = TRY(crypto::random_dek());
  const Wrapping w = TRY(new_wrapping(passphrase, m_cost, t_cost, p_cost));
  keys.salt = w.salt;
  keys.dek_nonce = w.dek_nonce;
  keys.wrapped = TRY(crypto::wrap_dek(w.kek, keys.dek, keys.dek_nonce));
  return keys;
}

Result<crypto::Key> unlock_dek(const format::Header& header, ByteView passphrase) {
  const crypto::Key kek = TRY(crypto::derive_kek(passphrase, header.salt, header.kdf_m_cost,
                                                 header.kdf_t_cost, header.kdf_p_cost));
  return crypto::unwrap_dek(kek, header.dek_nonce, header.wrapped_dek);
}

}  // namespace quarn::store
