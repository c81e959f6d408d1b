// JSON text: UTF-8 checks, string escaping, and a cursor that reads the tokens of one JSON value.
// Shared by the portable export (jsonl.h) and the command line's JSON output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error/error.h"

namespace quarn::store::json {

// Length of the well-formed UTF-8 sequence at p (`left` >= 1 bytes available), 0 when there is
// none: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8_sequence(const unsigned char* p, std::size_t left);

// Appends `text` as a JSON string: '"', '\' and control characters escaped, the rest as it is.
// False, with `out` partly written, when the text is not valid UTF-8.
[[nodiscard]] bool write_string(std::string& out, std::string_view text);

// A JSON number as written: its text and whether it has neither fraction nor exponent.
struct Number {
  std::string_view text;
  bool integral = true;
};

// Whether a decimal number too large or too small for a float type lies beyond its largest value
// (rather than below its smallest): the sign of its decimal exponent decides.
bool beyond_largest(std::string_view number);

// Reads the tokens of one JSON text held in memory. Every error is InvalidArgument: syntax errors
// say "invalid JSON at byte N: ..." (N counted from 1), field errors name the field.
class Cursor {
 public:
  explicit Cursor(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  QuarnError syntax(std::string_view what) const;
  // "\"name\" what"
  static QuarnError field(std::string_view name, std::string_view what);
  // "\"name\" must be KIND, not <what comes next>"
  QuarnError wrong_type(std::string_view name, std::string_view kind);

  // The next character that is not blank, or '\0' at the end.
  char peek() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    return p_ < end_ ? *p_ : '\0';
  }
  bool at_number() {
    const char c = peek();
    return c == '-' || (c >= '0' && c <= '9');
  }
  // Whether the text ahead (after blanks) starts with `word`; nothing is consumed.
  bool looking_at(std::string_view word) {
    peek();
    return std::string_view(p_, static_cast<std::size_t>(end_ - p_)).starts_with(word);
  }
  [[nodiscard]] Result<void> expect(char c);
  // After an opening bracket: consumes the closer of an empty container.
  bool empty(char closer);
  // After a member or an element: true after ',', false after the closer.
  [[nodiscard]] Result<bool> more(char closer);
  // Only blanks may follow.
  [[nodiscard]] Result<void> finish();

  // An object member's name and the ':' after it.
  [[nodiscard]] Result<std::string> key();
  [[nodiscard]] Result<std::string> string();
  [[nodiscard]] Result<Number> number();
  [[nodiscard]] Result<void> literal(std::string_view word);
  // Consumes null and says true; anything else is left for the caller.
  bool null();
  // What the next value is ("a string", "an array", ...), for error messages.
  std::string_view found();

 private:
  [[nodiscard]] Result<std::uint32_t> hex4();
  [[nodiscard]] Result<void> escape(std::string& out);

  const char* begin_;
  const char* p_;
  const char* end_;
};

}  // namespace quarn::store::json
