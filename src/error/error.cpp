#include "error/error.h"

#include <cstring>

namespace quarn {

QuarnError QuarnError::io(std::string description) {
  QuarnError e(ErrorKind::Io);
  e.text_ = std::move(description);
  return e;
}

QuarnError QuarnError::io_errno(int errno_value) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = strerror_r(errno_value, buf, sizeof buf);
  return io_errno(errno_value, text);
}

QuarnError QuarnError::io_errno(int errno_value, std::string description) {
  QuarnError e = io(std::move(description) + " (os error " + std::to_string(errno_value) + ")");
  e.os_errno_ = errno_value;
  return e;
}

QuarnError QuarnError::unsupported_version(std::uint16_t version) {
  QuarnError e(ErrorKind::UnsupportedVersion);
  e.a_ = version;
  return e;
}

QuarnError QuarnError::page_auth(std::uint64_t page) {
  QuarnError e(ErrorKind::PageAuth);
  e.a_ = page;
  return e;
}

#define QUARN_TEXT_ERROR(fn, kind_name)            \
  QuarnError QuarnError::fn(std::string text) {    \
    QuarnError e(ErrorKind::kind_name);            \
    e.text_ = std::move(text);                     \
    return e;                                      \
  }
QUARN_TEXT_ERROR(crypto, Crypto)
QUARN_TEXT_ERROR(key_derivation, KeyDerivation)
QUARN_TEXT_ERROR(serialization, Serialization)
QUARN_TEXT_ERROR(not_found, NotFound)
QUARN_TEXT_ERROR(invalid_argument, InvalidArgument)
#undef QUARN_TEXT_ERROR

QuarnError QuarnError::dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
  QuarnError e(ErrorKind::DimensionMismatch);
  e.a_ = expected;
  e.b_ = got;
  return e;
}

std::string QuarnError::message() const {
  switch (kind_) {
    case ErrorKind::Io:
      return "io error: " + text_;
    case ErrorKind::BadMagic:
      return "bad magic bytes \u2014 file is not a .quarn database";
    case ErrorKind::UnsupportedVersion:
      return "unsupported .quarn format version " + std::to_string(a_);
    case ErrorKind::HeaderChecksum:
      return "header checksum mismatch \u2014 page 0 is torn or corrupt";
    case ErrorKind::WrongPassphrase:
      return "wrong passphrase, or the key material has been tampered with";
    case ErrorKind::PageAuth:
      return "page " + std::to_string(a_) + " failed authentication \u2014 the file is corrupt or tampered";
    case ErrorKind::HeaderSeal:
      return "header seal authentication failed \u2014 mutable fields tampered with";
    case ErrorKind::Crypto:
      return "cryptographic operation failed: " + text_;
    case ErrorKind::KeyDerivation:
      return "key derivation failed: " + text_;
    case ErrorKind::Serialization:
      return "serialization error: " + text_;
    case ErrorKind::NotFound:
      return "memory '" + text_ + "' not found";
    case ErrorKind::DimensionMismatch:
      return "vector dimension mismatch: database expects " + std::to_string(a_) + ", got " +
             std::to_string(b_);
    case ErrorKind::InvalidArgument:
      return "invalid argument: " + text_;
  }
  return {};
}

}  // namespace quarn
