// Reading the portable export format (jsonl.h): every field checked, every bound kept.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <system_error>

#include "store/json_text.h"
#include "store/jsonl.h"

namespace quarn::store::jsonl {
namespace {

using json::Cursor;
using json::Number;
using memory::Json;
using memory::JsonArray;
using memory::JsonObject;
using memory::Memory;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A text from the file as an error shows it: at most 40 bytes, cut where a character starts.
std::string excerpt(std::string_view text) {
  if (text.size() <= 40) return std::string(text);
  std::size_t cut = 40;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

template <class T>
Result<T> read_integer(Cursor& r, std::string_view name) {
  if (!r.at_number()) return fail(r.wrong_type(name, "an integer"));
  const Number n = TRY(r.number());
  if (!n.integral) return fail(Cursor::field(name, "must be an integer, not " + excerpt(n.text)));
  T value{};
  const auto [end, ec] = std::from_chars(n.text.data(), n.text.data() + n.text.size(), value);
  if (ec != std::errc{} || end != n.text.data() + n.text.size()) {
    return fail(Cursor::field(name, "is out of range (" + std::to_string(std::numeric_limits<T>::min()) +
                                        " to " + std::to_string(std::numeric_limits<T>::max()) + ")"));
  }
  return value;
}

// The strings that stand for the floats JSON numbers cannot hold.
std::optional<float> non_finite(std::string_view text) {
  if (text == "Infinity") return std::numeric_limits<float>::infinity();
  if (text == "-Infinity") return -std::numeric_limits<float>::infinity();
  if (text == "NaN") return std::bit_cast<float>(kQuietNan);
  if (text.size() != 12 || !text.starts_with("NaN:")) return std::nullopt;
  std::uint32_t bits = 0;
  for (char c : text.substr(4)) {
    const int v = hex_value(c);
    if (v < 0) return std::nullopt;
    bits = bits * 16 + static_cast<std::uint32_t>(v);
  }
  const float value = std::bit_cast<float>(bits);
  if (!std::isnan(value)) return std::nullopt;
  return value;
}

constexpr std::size_t kNoIndex = std::numeric_limits<std::size_t>::max();

// "name", or "name[index]" for an element.
std::string label(std::string_view name, std::size_t index) {
  std::string text(name);
  if (index != kNoIndex) text.append("[").append(std::to_string(index)).append("]");
  return text;
}

Result<float> read_f32(Cursor& r, std::string_view name, std::size_t index = kNoIndex) {
  if (r.at_number()) {
    auto number = r.number();
    if (number) {
      const std::string_view text = number->text;
      float value = 0.0f;
      const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (ec == std::errc::result_out_of_range) {
        if (json::beyond_largest(text)) {
          return fail(Cursor::field(label(name, index), "is beyond the range of a 32-bit float"));
        }
        return text[0] == '-' ? -0.0f : 0.0f;
      }
      if (ec != std::errc{} || end != text.data() + text.size()) return fail(r.syntax("bad number"));
      return value;
    }
    if (!r.looking_at("-Infinity")) return fail(std::move(number).error());
  }
  if (r.peek() == '"') {
    const std::string text = TRY(r.string());
    if (const auto value = non_finite(text)) return *value;
    return fail(Cursor::field(label(name, index),
                              "must be a number, \"NaN\", \"Infinity\" or \"-Infinity\", not \"" +
                                  excerpt(text) + "\""));
  }
  if (r.looking_at("NaN") || r.looking_at("Infinity") || r.looking_at("-Infinity")) {
    return fail(Cursor::field(label(name, index),
                              "is not JSON: write NaN and the infinities as the strings \"NaN\", "
                              "\"Infinity\" and \"-Infinity\""));
  }
  return fail(r.wrong_type(label(name, index), "a number"));
}

// A metadata number: as the Python value json.loads would give goes through remember.
Result<Json> metadata_number(Cursor& r) {
  const Number n = TRY(r.number());
  const char* first = n.text.data();
  const char* last = first + n.text.size();
  if (n.integral) {
    if (n.text[0] == '-') {
      std::int64_t value = 0;
      const auto [end, ec] = std::from_chars(first, last, value);
      if (ec == std::errc{} && end == last) return value < 0 ? Json(value) : Json(std::uint64_t{0});
    } else {
      std::uint64_t value = 0;
      const auto [end, ec] = std::from_chars(first, last, value);
      if (ec == std::errc{} && end == last) return Json(value);
    }
  }
  double value = 0.0;
  const auto [end, ec] = std::from_chars(first, last, value);
  if (ec == std::errc::result_out_of_range) {
    if (json::beyond_largest(n.text)) return Json();
    return Json(n.text[0] == '-' ? -0.0 : 0.0);
  }
  if (ec != std::errc{} || end != last) return fail(r.syntax("bad number"));
  return Json(value);
}

struct MetadataReader {
  Cursor& r;
  std::size_t values = 0;

  Result<Json> value(std::size_t level) {
    if (++values > kMaxMetadataValues) {
      return fail(Cursor::field("metadata", "holds more than " + std::to_string(kMaxMetadataValues) + " values"));
    }
    switch (r.peek()) {
      case '{': return Json(TRY(object(level)));
      case '[': {
        if (level > memory::kMaxNesting) return fail(too_deep());
        TRY(r.expect('['));
        JsonArray array;
        if (!r.empty(']')) {
          do {
            array.push_back(TRY(value(level + 1)));
          } while (TRY(r.more(']')));
        }
        return Json(std::move(array));
      }
      case '"': return Json(TRY(r.string()));
      case 't': TRY(r.literal("true")); return Json(true);
      case 'f': TRY(r.literal("false")); return Json(false);
      case 'n': TRY(r.literal("null")); return Json();
      default: return metadata_number(r);
    }
  }

  Result<JsonObject> object(std::size_t level) {
    if (level > memory::kMaxNesting) return fail(too_deep());
    TRY(r.expect('{'));
    JsonObject object;
    if (!r.empty('}')) {
      do {
        std::string key = TRY(r.key());
        Json item = TRY(value(level + 1));
        object.insert_or_assign(std::move(key), std::move(item));
      } while (TRY(r.more('}')));
    }
    return object;
  }

  static QuarnError too_deep() { return QuarnError::invalid_argument("metadata nested too deeply"); }
};

Result<std::string> read_text(Cursor& r, std::string_view name) {
  if (r.peek() != '"') return fail(r.wrong_type(name, "a string"));
  return r.string();
}

Result<std::vector<float>> read_vector(Cursor& r, std::uint64_t dimensions) {
  if (r.peek() != '[') return fail(r.wrong_type("vector", "an array"));
  TRY(r.expect('['));
  const auto wrong_length = [&](std::string count) {
    return QuarnError::invalid_argument("\"vector\" has " + count + " elements, the database has " +
                                        std::to_string(dimensions) + " dimensions");
  };
  std::vector<float> vector;
  vector.reserve(static_cast<std::size_t>(dimensions));
  if (!r.empty(']')) {
    do {
      if (vector.size() == dimensions) return fail(wrong_length("more than " + std::to_string(dimensions)));
      vector.push_back(TRY(read_f32(r, "vector", vector.size())));
    } while (TRY(r.more(']')));
  }
  if (vector.size() != dimensions) return fail(wrong_length(std::to_string(vector.size())));
  return vector;
}

std::optional<memory::Scope> parse_scope(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (memory::Scope scope : {memory::Scope::Private, memory::Scope::Shared}) {
    if (lower == memory::python_name(scope)) return scope;
  }
  return std::nullopt;
}

// The members of a memory line, in the memory dict's order, then "deleted".
constexpr std::string_view kFields[] = {
    "id",          "content",      "memory_type", "vector",   "agent_id",
    "session_id",  "scope",        "created_at",  "accessed_at", "access_count",
    "importance",  "ttl_secs",     "metadata",    "deleted",
};
constexpr std::size_t kRequiredFields = 13;

Result<void> read_field(Cursor& r, std::size_t field, std::uint64_t dimensions, Entry& entry) {
  Memory& m = entry.memory;
  const std::string_view name = kFields[field];
  switch (field) {
    case 0: {
      const std::string text = TRY(read_text(r, name));
      const auto id = memory::Ulid::parse(text);
      if (!id) return fail(Cursor::field(name, "is not a ULID: '" + excerpt(text) + "'"));
      if (id->is_nil()) return fail(Cursor::field(name, "is the nil ULID"));
      m.id = *id;
      return {};
    }
    case 1: m.content = TRY(read_text(r, name)); return {};
    case 2: {
      const std::string text = TRY(read_text(r, name));
      const auto type = memory::parse_python_type(text);
      if (!type) return fail(QuarnError::invalid_argument("unknown memory_type '" + excerpt(text) + "'"));
      m.memory_type = *type;
      return {};
    }
    case 3: m.vector = TRY(read_vector(r, dimensions)); return {};
    case 4: m.agent_id = TRY(read_text(r, name)); return {};
    case 5:
      if (!r.null()) m.session_id = TRY(read_text(r, name));
      return {};
    case 6: {
      const std::string text = TRY(read_text(r, name));
      const auto scope = parse_scope(text);
      if (!scope) return fail(QuarnError::invalid_argument("unknown scope '" + excerpt(text) + "'"));
      m.scope = *scope;
      return {};
    }
    case 7: m.created_at = TRY(read_integer<std::int64_t>(r, name)); return {};
    case 8: m.accessed_at = TRY(read_integer<std::int64_t>(r, name)); return {};
    case 9: m.access_count = TRY(read_integer<std::uint32_t>(r, name)); return {};
    case 10: m.importance = TRY(read_f32(r, name)); return {};
    case 11:
      if (!r.null()) m.ttl_secs = TRY(read_integer<std::int64_t>(r, name));
      return {};
    case 12: {
      if (r.peek() != '{') return fail(r.wrong_type(name, "an object"));
      MetadataReader metadata{r};
      m.metadata = TRY(metadata.object(kMetadataLevel));
      return {};
    }
    default: {
      const char c = r.peek();
      if (c != 't' && c != 'f') return fail(r.wrong_type(name, "true or false"));
      entry.deleted = c == 't';
      return r.literal(entry.deleted ? "true" : "false");
    }
  }
}

}  // namespace

Result<FileHeader> parse_header(std::string_view line) {
  Cursor r(line);
  if (r.peek() != '{') return fail(QuarnError::invalid_argument("not a quarn export: the first line is not a JSON object"));
  TRY(r.expect('{'));
  std::optional<std::string> format;
  std::optional<std::uint64_t> version, dimensions, memories;
  if (!r.empty('}')) {
    do {
      const std::string name = TRY(r.key());
      std::optional<std::uint64_t>* number = name == "version"      ? &version
                                             : name == "dimensions" ? &dimensions
                                             : name == "memories"   ? &memories
                                                                    : nullptr;
      if (name == "format") {
        if (format) return fail(Cursor::field(name, "is given twice"));
        format = TRY(read_text(r, name));
      } else if (number != nullptr) {
        if (*number) return fail(Cursor::field(name, "is given twice"));
        *number = TRY(read_integer<std::uint64_t>(r, name));
      } else {
        return fail(QuarnError::invalid_argument("unknown member \"" + excerpt(name) + "\" in the header"));
      }
    } while (TRY(r.more('}')));
  }
  TRY(r.finish());
  if (format != kFormatName) {
    return fail(QuarnError::invalid_argument("not a quarn export: the header's \"format\" is not \"" +
                                             std::string(kFormatName) + "\""));
  }
  if (!version) return fail(QuarnError::invalid_argument("the header has no \"version\""));
  if (*version != kFormatVersion) {
    return fail(QuarnError::invalid_argument("unsupported export version " + std::to_string(*version)));
  }
  if (!dimensions) return fail(QuarnError::invalid_argument("the header has no \"dimensions\""));
  if (!memories) return fail(QuarnError::invalid_argument("the header has no \"memories\""));
  return FileHeader{*dimensions, *memories};
}

Result<Entry> parse_memory(std::string_view line, std::uint64_t dimensions) {
  Cursor r(line);
  if (r.peek() != '{') return fail(QuarnError::invalid_argument("a memory line must be a JSON object, not " + std::string(r.found())));
  TRY(r.expect('{'));
  Entry entry;
  std::uint32_t seen = 0;
  if (!r.empty('}')) {
    do {
      const std::string name = TRY(r.key());
      const auto at = std::find(std::begin(kFields), std::end(kFields), name);
      if (at == std::end(kFields)) return fail(QuarnError::invalid_argument("unknown member \"" + excerpt(name) + "\""));
      const auto field = static_cast<std::size_t>(at - std::begin(kFields));
      if (seen & (1u << field)) return fail(Cursor::field(name, "is given twice"));
      seen |= 1u << field;
      TRY(read_field(r, field, dimensions, entry));
    } while (TRY(r.more('}')));
  }
  TRY(r.finish());
  for (std::size_t field = 0; field < kRequiredFields; ++field) {
    if (!(seen & (1u << field))) return fail(Cursor::field(kFields[field], "is missing"));
  }
  return entry;
}

}  // namespace quarn::store::jsonl

