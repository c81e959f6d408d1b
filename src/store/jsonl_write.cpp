// Writing the portable export format (jsonl.h).
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>

#include "store/float_text.h"
#include "store/json_text.h"
#include "store/jsonl.h"

namespace quarn::store::jsonl {
namespace {

using json::write_string;
using memory::Json;
using memory::JsonArray;
using memory::JsonObject;
using memory::Memory;

constexpr char kHex[] = "0123456789abcdef";

template <class T>
void write_integer(std::string& out, T value) {
  char buf[24];
  const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  out.append(buf, end);
}

void write_f32(std::string& out, float value) {
  if (std::isfinite(value)) {
    char buf[16];
    out.append(buf, write_shortest(buf, value));
  } else if (std::isinf(value)) {
    out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  } else if (const auto bits = std::bit_cast<std::uint32_t>(value); bits == kQuietNan) {
    out += "\"NaN\"";
  } else {
    out += "\"NaN:";
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHex[(bits >> shift) & 15]);
    out.push_back('"');
  }
}

// Always with a fraction or an exponent, so that it reads back as a float, never an integer.
void write_f64(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buf[32];
  char* end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  out.append(buf, end);
  if (std::find_if(buf, end, [](char c) { return c == '.' || c == 'e'; }) == end) out += ".0";
}

// The writer's side of the bounds, and the first problem met.
struct MetadataWriter {
  std::string& out;
  std::size_t values = 0;
  const char* problem = nullptr;

  bool value(const Json& json, std::size_t level) {
    if (++values > kMaxMetadataValues) return refuse("its metadata holds too many values");
    return std::visit([&](const auto& v) { return write(v, level); }, json.value);
  }
  bool object(const JsonObject& object, std::size_t level) {
    if (level > memory::kMaxNesting) return refuse("its metadata is nested too deeply");
    out.push_back('{');
    bool first = true;
    for (const auto& [key, item] : object) {
      if (!first) out.push_back(',');
      first = false;
      if (!write_string(out, key)) return refuse("a metadata key is not valid UTF-8");
      out.push_back(':');
      if (!value(item, level + 1)) return false;
    }
    out.push_back('}');
    return true;
  }

 private:
  bool refuse(const char* what) {
    problem = what;
    return false;
  }
  bool write(std::monostate, std::size_t) {
    out += "null";
    return true;
  }
  bool write(bool b, std::size_t) {
    out += b ? "true" : "false";
    return true;
  }
  bool write(std::uint64_t u, std::size_t) {
    write_integer(out, u);
    return true;
  }
  bool write(std::int64_t i, std::size_t) {
    write_integer(out, i);
    return true;
  }
  bool write(double d, std::size_t) {
    write_f64(out, d);
    return true;
  }
  bool write(const std::string& s, std::size_t) {
    return write_string(out, s) || refuse("a metadata text is not valid UTF-8");
  }
  bool write(const JsonArray& array, std::size_t level) {
    if (level > memory::kMaxNesting) return refuse("its metadata is nested too deeply");
    out.push_back('[');
    for (std::size_t i = 0; i < array.size(); ++i) {
      if (i > 0) out.push_back(',');
      if (!value(array[i], level + 1)) return false;
    }
    out.push_back(']');
    return true;
  }
  bool write(const JsonObject& o, std::size_t level) { return object(o, level); }
};

// Writes the memory object; nullptr, or what stopped it.
const char* write_memory(std::string& out, const Memory& m) {
  out += "{\"id\":\"";
  out += m.id.to_string();
  out += "\",\"content\":";
  if (!write_string(out, m.content)) return "its content is not valid UTF-8";
  out += ",\"memory_type\":\"";
  out += memory::python_name(m.memory_type);
  out += "\",\"vector\":[";
  for (std::size_t i = 0; i < m.vector.size(); ++i) {
    if (i > 0) out.push_back(',');
    write_f32(out, m.vector[i]);
  }
  out += "],\"agent_id\":";
  if (!write_string(out, m.agent_id)) return "its agent_id is not valid UTF-8";
  out += ",\"session_id\":";
  if (!m.session_id) {
    out += "null";
  } else if (!write_string(out, *m.session_id)) {
    return "its session_id is not valid UTF-8";
  }
  out += ",\"scope\":\"";
  out += memory::python_name(m.scope);
  out += "\",\"created_at\":";
  write_integer(out, m.created_at);
  out += ",\"accessed_at\":";
  write_integer(out, m.accessed_at);
  out += ",\"access_count\":";
  write_integer(out, m.access_count);
  out += ",\"importance\":";
  write_f32(out, m.importance);
  out += ",\"ttl_secs\":";
  if (m.ttl_secs) {
    write_integer(out, *m.ttl_secs);
  } else {
    out += "null";
  }
  out += ",\"metadata\":";
  MetadataWriter metadata{out};
  if (!metadata.object(m.metadata, kMetadataLevel)) return metadata.problem;
  out.push_back('}');
  return nullptr;
}

QuarnError unwritable(const Memory& m, const char* problem) {
  return QuarnError::serialization("memory " + m.id.to_string() + " cannot be exported: " + problem);
}

}  // namespace

void append_header(std::string& out, const FileHeader& header) {
  out += "{\"format\":\"";
  out += kFormatName;
  out += "\",\"version\":";
  write_integer(out, kFormatVersion);
  out += ",\"dimensions\":";
  write_integer(out, header.dimensions);
  out += ",\"memories\":";
  write_integer(out, header.memories);
  out += "}\n";
}

Result<void> append_memory_object(std::string& out, const Memory& memory) {
  const std::size_t start = out.size();
  if (const char* problem = write_memory(out, memory)) {
    out.resize(start);
    return fail(unwritable(memory, problem));
  }
  return {};
}

Result<void> append_memory(std::string& out, const Memory& memory, bool deleted) {
  const std::size_t start = out.size();
  TRY(append_memory_object(out, memory));
  if (deleted) {
    out.pop_back();
    out += ",\"deleted\":true}";
  }
  if (out.size() - start > kMaxLineBytes) {
    out.resize(start);
    return fail(unwritable(memory, "its line would be longer than the limit of 16 MiB"));
  }
  out.push_back('\n');
  return {};
}

Result<void> append_metadata(std::string& out, const JsonObject& metadata) {
  const std::size_t start = out.size();
  MetadataWriter writer{out};
  if (!writer.object(metadata, kMetadataLevel)) {
    out.resize(start);
    return fail(QuarnError::serialization(std::string("metadata cannot be written: ") + writer.problem));
  }
  return {};
}

Result<void> append_string(std::string& out, std::string_view text) {
  const std::size_t start = out.size();
  if (!write_string(out, text)) {
    out.resize(start);
    return fail(QuarnError::serialization("text is not valid UTF-8"));
  }
  return {};
}

}  // namespace quarn::store::jsonl
