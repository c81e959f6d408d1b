// Metadata values: null, bool, unsigned, negative signed, double, text, array, object. Objects keep
// their keys in ascending byte order (std::string compares its chars as unsigned).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace quarn::memory {

struct Json;
using JsonArray = std::vector<Json>;
using JsonObject = std::map<std::string, Json, std::less<>>;

struct Json {
  // Index order matters to the encoder: null, bool, unsigned, signed (negative), double, text,
  // array, object.
  std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, JsonArray,
               JsonObject>
      value;

  Json() = default;
  template <class T>
  Json(T v) : value(std::move(v)) {}
  bool operator==(const Json&) const = default;
};

}  // namespace quarn::memory
