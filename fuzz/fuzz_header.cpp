// The header page: decoding any 8192 bytes (as given, and with the CRC made to match so that the
// fields behind it are reached), the seal check, and the round trip of every header that decodes.
#include <cstdlib>

#include "crypto/crypto.h"
#include "fuzz/fuzz_util.h"

namespace {

using namespace quarn;

const crypto::Key& fixed_key() {
  static const crypto::Key key = *crypto::random_dek();
  return key;
}

void check(const Bytes& bytes) {
  const auto header = format::from_page(std::span<const std::uint8_t, kPageSize>(bytes.data(), kPageSize));
  if (!header) return;
  (void)format::validate_seal(*header, fixed_key());
  // What decodes encodes back to the same fields (the seal bytes are not part of the image).
  format::Header expected = *header;
  format::PageImage image = format::to_page(expected);
  if (expected.version >= 7) {
    if (!format::apply_seal(expected, image, fixed_key())) std::abort();
    if (!format::validate_seal(expected, fixed_key())) std::abort();
  }
  const auto again = format::from_page(image);
  if (!again || *again != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes bytes(kPageSize, 0);
  std::memcpy(bytes.data(), data, std::min(size, kPageSize));
  check(bytes);
  fuzz::fix_header_crc(bytes);
  check(bytes);
  return 0;
}
