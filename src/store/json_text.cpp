#include "store/json_text.h"

#include <algorithm>

namespace quarn::store::json {
namespace {

constexpr char kHex[] = "0123456789abcdef";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_escape(std::string& out, unsigned char c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default:
      out += "\\u00";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
  }
}

void append_utf8(std::string& out, std::uint32_t code) {
  const auto put = [&](std::uint32_t byte) { out.push_back(static_cast<char>(byte)); };
  if (code < 0x80) {
    put(code);
  } else if (code < 0x800) {
    put(0xc0 | (code >> 6));
    put(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    put(0xe0 | (code >> 12));
    put(0x80 | ((code >> 6) & 0x3f));
    put(0x80 | (code & 0x3f));
  } else {
    put(0xf0 | (code >> 18));
    put(0x80 | ((code >> 12) & 0x3f));
    put(0x80 | ((code >> 6) & 0x3f));
    put(0x80 | (code & 0x3f));
  }
}

}  // namespace

std::size_t utf8_sequence(const unsigned char* p, std::size_t left) {
  const unsigned char c = p[0];
  const auto cont = [&](std::size_t i) { return left > i && (p[i] & 0xc0) == 0x80; };
  if (c < 0x80) return 1;
  if (c < 0xc2) return 0;
  if (c < 0xe0) return cont(1) ? 2 : 0;
  if (c < 0xf0) {
    if (!cont(1) || !cont(2)) return 0;
    if ((c == 0xe0 && p[1] < 0xa0) || (c == 0xed && p[1] >= 0xa0)) return 0;
    return 3;
  }
  if (c < 0xf5) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if ((c == 0xf0 && p[1] < 0x90) || (c == 0xf4 && p[1] >= 0x90)) return 0;
    return 4;
  }
  return 0;
}

bool write_string(std::string& out, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  out.push_back('"');
  std::size_t run = 0;
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c >= 0x80) {
      const std::size_t len = utf8_sequence(p + i, n - i);
      if (len == 0) return false;
      i += len;
    } else if (c < 0x20 || c == '"' || c == '\\') {
      out.append(text.data() + run, i - run);
      append_escape(out, c);
      run = ++i;
    } else {
      ++i;
    }
  }
  out.append(text.data() + run, n - run);
  out.push_back('"');
  return true;
}

bool beyond_largest(std::string_view number) {
  std::int64_t digits_before_point = 0;
  std::int64_t first_nonzero = -1;
  std::int64_t index = 0;
  bool after_point = false;
  std::size_t i = number[0] == '-' ? 1 : 0;
  for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
    if (number[i] == '.') {
      after_point = true;
      continue;
    }
    if (first_nonzero < 0 && number[i] != '0') first_nonzero = index;
    if (!after_point) ++digits_before_point;
    ++index;
  }
  std::int64_t exponent = 0;
  if (i < number.size()) {
    ++i;
    const bool negative = number[i] == '-';
    if (number[i] == '+' || number[i] == '-') ++i;
    // Saturates: far beyond the range of any float either way.
    for (; i < number.size(); ++i) {
      exponent = std::min<std::int64_t>(exponent * 10 + (number[i] - '0'), std::int64_t{1} << 20);
    }
    if (negative) exponent = -exponent;
  }
  if (first_nonzero < 0) return false;
  return digits_before_point - 1 - first_nonzero + exponent >= 0;
}

QuarnError Cursor::syntax(std::string_view what) const {
  return QuarnError::invalid_argument("invalid JSON at byte " + std::to_string(p_ - begin_ + 1) +
                                      ": " + std::string(what));
}

QuarnError Cursor::field(std::string_view name, std::string_view what) {
  std::string text = "\"";
  text.append(name).append("\" ").append(what);
  return QuarnError::invalid_argument(std::move(text));
}

QuarnError Cursor::wrong_type(std::string_view name, std::string_view kind) {
  return field(name, "must be " + std::string(kind) + ", not " + std::string(found()));
}

Result<void> Cursor::expect(char c) {
  if (peek() != c) return fail(syntax(std::string("expected '") + c + "'"));
  ++p_;
  return {};
}

bool Cursor::empty(char closer) {
  if (peek() != closer) return false;
  ++p_;
  return true;
}

Result<bool> Cursor::more(char closer) {
  const char c = peek();
  if (c != ',' && c != closer) return fail(syntax(std::string("expected ',' or '") + closer + "'"));
  ++p_;
  return c == ',';
}

Result<void> Cursor::finish() {
  peek();
  if (p_ != end_) return fail(syntax("unexpected text after the value"));
  return {};
}

Result<std::string> Cursor::key() {
  if (peek() != '"') return fail(syntax("expected a member name"));
  std::string name = TRY(string());
  TRY(expect(':'));
  return name;
}

Result<std::string> Cursor::string() {
  if (peek() != '"') return fail(syntax("expected a string"));
  ++p_;
  std::string out;
  const char* run = p_;
  for (;;) {
    if (p_ == end_) return fail(syntax("unterminated string"));
    const auto c = static_cast<unsigned char>(*p_);
    if (c == '"') {
      out.append(run, p_);
      ++p_;
      return out;
    }
    if (c == '\\') {
      out.append(run, p_);
      TRY(escape(out));
      run = p_;
    } else if (c < 0x20) {
      return fail(syntax("control character in a string"));
    } else if (c >= 0x80) {
      const std::size_t len = utf8_sequence(reinterpret_cast<const unsigned char*>(p_),
                                            static_cast<std::size_t>(end_ - p_));
      if (len == 0) return fail(syntax("invalid UTF-8"));
      p_ += len;
    } else {
      ++p_;
    }
  }
}

Result<Number> Cursor::number() {
  peek();
  const char* p = p_;
  const auto digits = [&] {
    const char* start = p;
    while (p < end_ && is_digit(*p)) ++p;
    return p != start;
  };
  Number n;
  if (p < end_ && *p == '-') ++p;
  if (p < end_ && *p == '0') {
    ++p;
  } else if (!digits()) {
    return fail(syntax("expected a value"));
  }
  if (p < end_ && *p == '.') {
    ++p;
    n.integral = false;
    if (!digits()) {
      p_ = p;
      return fail(syntax("expected a digit"));
    }
  }
  if (p < end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    n.integral = false;
    if (p < end_ && (*p == '+' || *p == '-')) ++p;
    if (!digits()) {
      p_ = p;
      return fail(syntax("expected a digit"));
    }
  }
  n.text = std::string_view(p_, static_cast<std::size_t>(p - p_));
  p_ = p;
  return n;
}

Result<void> Cursor::literal(std::string_view word) {
  peek();
  if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word)
    return fail(syntax("expected a value"));
  p_ += word.size();
  return {};
}

bool Cursor::null() {
  if (peek() != 'n' || end_ - p_ < 4 || std::string_view(p_, 4) != "null") return false;
  p_ += 4;
  return true;
}

std::string_view Cursor::found() {
  switch (peek()) {
    case '"': return "a string";
    case '{': return "an object";
    case '[': return "an array";
    case 't':
    case 'f': return "a boolean";
    case 'n': return "null";
    case '\0': return p_ == end_ ? "nothing" : "an invalid value";
    default: return at_number() ? "a number" : "an invalid value";
  }
}

Result<std::uint32_t> Cursor::hex4() {
  if (end_ - p_ < 4) return fail(syntax("incomplete \\u escape"));
  std::uint32_t code = 0;
  for (int i = 0; i < 4; ++i) {
    const int v = hex_value(p_[i]);
    if (v < 0) return fail(syntax("invalid \\u escape"));
    code = code * 16 + static_cast<std::uint32_t>(v);
  }
  p_ += 4;
  return code;
}

// At '\': appends the character it stands for, a \u escape (or surrogate pair) as UTF-8.
Result<void> Cursor::escape(std::string& out) {
  ++p_;
  if (p_ == end_) return fail(syntax("unterminated string"));
  const char c = *p_++;
  switch (c) {
    case '"': out.push_back('"'); return {};
    case '\\': out.push_back('\\'); return {};
    case '/': out.push_back('/'); return {};
    case 'b': out.push_back('\b'); return {};
    case 'f': out.push_back('\f'); return {};
    case 'n': out.push_back('\n'); return {};
    case 'r': out.push_back('\r'); return {};
    case 't': out.push_back('\t'); return {};
    case 'u': break;
    default: --p_; return fail(syntax("invalid escape"));
  }
  std::uint32_t code = TRY(hex4());
  if (code >= 0xdc00 && code <= 0xdfff) return fail(syntax("lone surrogate in a \\u escape"));
  if (code >= 0xd800 && code <= 0xdbff) {
    if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return fail(syntax("lone surrogate in a \\u escape"));
    p_ += 2;
    const std::uint32_t low = TRY(hex4());
    if (low < 0xdc00 || low > 0xdfff) return fail(syntax("lone surrogate in a \\u escape"));
    code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
  }
  append_utf8(out, code);
  return {};
}

}  // namespace quarn::store::json
