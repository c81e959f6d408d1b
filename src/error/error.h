// The one error type of the engine. Every fallible operation returns Result<T>; the error carries a
// kind and its payload, and is rendered to text exactly once, by message().
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace quarn {

// The order is fixed: it is the order of the kinds' tags, 0 to 12.
enum class ErrorKind : std::uint8_t {
  Io,
  BadMagic,
  UnsupportedVersion,
  HeaderChecksum,
  WrongPassphrase,
  PageAuth,
  HeaderSeal,
  Crypto,
  KeyDerivation,
  Serialization,
  NotFound,
  DimensionMismatch,
  InvalidArgument,
};

// A finer tag on an error that a caller may branch on. It never changes the kind, the payload or
// the message, so the thirteen kinds stay as they are; callers match it instead of the text.
enum class ErrorDetail : std::uint8_t {
  None,
  // InvalidArgument: a new file was to be created without a dimensionality.
  DimensionsRequired,
  // Io: the copy of an export failed (not the flush before it).
  ExportCopy,
};

class [[nodiscard]] QuarnError {
 public:
  // Io with a ready description, e.g. "failed to fill whole buffer".
  static QuarnError io(std::string description);
  // Io from an errno value: "<strerror text> (os error N)".
  static QuarnError io_errno(int errno_value);
  // Io for a condition of our own that reports as an errno: "<description> (os error N)".
  static QuarnError io_errno(int errno_value, std::string description);
  static QuarnError bad_magic() { return QuarnError(ErrorKind::BadMagic); }
  static QuarnError unsupported_version(std::uint16_t version);
  static QuarnError header_checksum() { return QuarnError(ErrorKind::HeaderChecksum); }
  static QuarnError wrong_passphrase() { return QuarnError(ErrorKind::WrongPassphrase); }
  static QuarnError page_auth(std::uint64_t page);
  static QuarnError header_seal() { return QuarnError(ErrorKind::HeaderSeal); }
  static QuarnError crypto(std::string text);
  static QuarnError key_derivation(std::string text);
  static QuarnError serialization(std::string text);
  static QuarnError not_found(std::string text);
  static QuarnError dimension_mismatch(std::uint64_t expected, std::uint64_t got);
  static QuarnError invalid_argument(std::string text);

  ErrorKind kind() const { return kind_; }
  // The carried text (Io description, Crypto/KeyDerivation/Serialization/NotFound/InvalidArgument text).
  const std::string& text() const { return text_; }
  // The errno of an Io error made by io_errno, else 0.
  int os_errno() const { return os_errno_; }
  // The carried numbers: version or page (a); expected (a) and got (b) of DimensionMismatch.
  std::uint64_t a() const { return a_; }
  std::uint64_t b() const { return b_; }
  ErrorDetail detail() const { return detail_; }
  // The same error with a detail tag.
  QuarnError with_detail(ErrorDetail detail) && {
    detail_ = detail;
    return std::move(*this);
  }

  // The rendered message, e.g. "page 12 failed authentication — the file is corrupt or tampered".
  std::string message() const;

 private:
  explicit QuarnError(ErrorKind kind) : kind_(kind) {}
  ErrorKind kind_;
  std::string text_;
  int os_errno_ = 0;
  ErrorDetail detail_ = ErrorDetail::None;
  std::uint64_t a_ = 0;
  std::uint64_t b_ = 0;
};

template <class T>
using Result = std::expected<T, QuarnError>;

inline std::unexpected<QuarnError> fail(QuarnError e) { return std::unexpected(std::move(e)); }

}  // namespace quarn

// TRY(expr): evaluates a Result; on error returns it from the enclosing function, else yields the
// value (or nothing, for Result<void>). libstdc++ 12 has no and_then, so this carries propagation.
#define TRY(...)                                                    \
  ({                                                                \
    auto&& quarn_try_result_ = (__VA_ARGS__);                       \
    if (!quarn_try_result_.has_value())                             \
      return ::std::unexpected(std::move(quarn_try_result_).error()); \
    *std::move(quarn_try_result_);                                  \
  })
