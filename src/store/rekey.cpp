// A passphrase change: the data key wrapped again and committed as a transaction (commit.h,
// CommitUnit::flush_rekeyed); the pages and their key stay as they are.
#include "store/commit.h"
#include "store/keys.h"
#include "store/store.h"

namespace quarn::store {

Result<void> Store::change_passphrase(ByteView new_passphrase) {
  const format::Header& header = commit_->header();
  const Wrapping w = TRY(new_wrapping(new_passphrase, header.kdf_m_cost, header.kdf_t_cost,
                                      header.kdf_p_cost));
  KeyMaterial keys{w.salt, w.dek_nonce, TRY(pager_->wrap_key(w.kek, w.dek_nonce))};
  return commit_state(&keys);
}

}  // namespace quarn::store
