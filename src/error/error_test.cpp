#include "error/error.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace quarn {
namespace {

TEST(ErrorTest, EveryKindRendersItsExactMessage) {
  const struct {
    QuarnError error;
    ErrorKind kind;
    const char* message;
  } cases[] = {
      {QuarnError::io("failed to fill whole buffer"), ErrorKind::Io, "io error: failed to fill whole buffer"},
      {QuarnError::bad_magic(), ErrorKind::BadMagic, "bad magic bytes \u2014 file is not a .quarn database"},
      {QuarnError::unsupported_version(3), ErrorKind::UnsupportedVersion, "unsupported .quarn format version 3"},
      {QuarnError::header_checksum(), ErrorKind::HeaderChecksum,
       "header checksum mismatch \u2014 page 0 is torn or corrupt"},
      {QuarnError::wrong_passphrase(), ErrorKind::WrongPassphrase,
       "wrong passphrase, or the key material has been tampered with"},
      {QuarnError::page_auth(12), ErrorKind::PageAuth,
       "page 12 failed authentication \u2014 the file is corrupt or tampered"},
      {QuarnError::header_seal(), ErrorKind::HeaderSeal,
       "header seal authentication failed \u2014 mutable fields tampered with"},
      {QuarnError::crypto("unexpected wrapped DEK length"), ErrorKind::Crypto,
       "cryptographic operation failed: unexpected wrapped DEK length"},
      {QuarnError::key_derivation("memory cost is too small"), ErrorKind::KeyDerivation,
       "key derivation failed: memory cost is too small"},
      {QuarnError::serialization("insufficient bytes"), ErrorKind::Serialization,
       "serialization error: insufficient bytes"},
      {QuarnError::not_found("snapshot for transaction 7"), ErrorKind::NotFound,
       "memory 'snapshot for transaction 7' not found"},
      {QuarnError::dimension_mismatch(384, 3), ErrorKind::DimensionMismatch,
       "vector dimension mismatch: database expects 384, got 3"},
      {QuarnError::invalid_argument("dimensions must be > 0"), ErrorKind::InvalidArgument,
       "invalid argument: dimensions must be > 0"},
  };
  int tag = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(static_cast<int>(c.kind), tag++);
    EXPECT_EQ(c.error.message(), c.message);
  }
}

TEST(ErrorTest, OsErrorCarriesDescriptionAndNumber) {
  QuarnError e = QuarnError::io_errno(ENOENT);
  EXPECT_EQ(e.message(), "io error: No such file or directory (os error 2)");
  EXPECT_EQ(e.os_errno(), ENOENT);
  QuarnError own = QuarnError::io_errno(EBUSY, "changed by another handle");
  EXPECT_EQ(own.message(), "io error: changed by another handle (os error 16)");
  EXPECT_EQ(own.os_errno(), EBUSY);
}

// A detail tags an error for a caller to branch on; kind, payload and message stay.
TEST(ErrorTest, DetailLeavesKindAndMessageAlone) {
  EXPECT_EQ(QuarnError::io("x").detail(), ErrorDetail::None);
  QuarnError e = QuarnError::io_errno(ENOENT).with_detail(ErrorDetail::ExportCopy);
  EXPECT_EQ(e.detail(), ErrorDetail::ExportCopy);
  EXPECT_EQ(e.kind(), ErrorKind::Io);
  EXPECT_EQ(e.os_errno(), ENOENT);
  EXPECT_EQ(e.message(), "io error: No such file or directory (os error 2)");
}

Result<int> half(int x) {
  if (x % 2) return fail(QuarnError::invalid_argument("odd"));
  return x / 2;
}
Result<void> check_even(int x) {
  TRY(half(x));
  return {};
}
Result<int> quarter(int x) {
  int h = TRY(half(x));
  TRY(check_even(h));
  return h / 2;
}

TEST(ErrorTest, TryPropagatesTheFirstError) {
  EXPECT_EQ(quarter(8).value(), 2);
  EXPECT_EQ(quarter(6).error().text(), "odd");
  EXPECT_EQ(quarter(3).error().kind(), ErrorKind::InvalidArgument);
}

}  // namespace
}  // namespace quarn
