// The stored form of a memory record (layout in memory.h) and of its metadata values.
#include <bit>
#include <limits>

#include "memory/memory.h"
#include "memory/msgpack_io.h"

namespace quarn::memory {
namespace {

using msgpack::object;

constexpr std::size_t kFieldCount = 13;
// Positions in the array form, and the keys of the map form.
enum Field : std::size_t {
  kId, kMemoryType, kVector, kContent, kMetadata, kAgentId, kSessionId, kScope, kCreatedAt,
  kAccessedAt, kAccessCount, kImportance, kTtlSecs,
};
constexpr std::uint64_t kOptionalInMap = (1ULL << kSessionId) | (1ULL << kTtlSecs);

// ---- encoding ----

class Encoder {
 public:
  explicit Encoder(Bytes& out) : sink_{&out}, packer_(sink_) {}

  Result<void> record(const Memory& m) {
    packer_.pack_array(kFieldCount);
    const std::string id = m.id.to_string();
    TRY(text(id));
    TRY(text(stored_name(m.memory_type)));
    TRY(length(m.vector.size(), "vector"));
    packer_.pack_array(static_cast<std::uint32_t>(m.vector.size()));
    float_array_body(m.vector);
    TRY(text(m.content));
    TRY(object_value(m.metadata, 2));  // the record array is level 1
    TRY(text(m.agent_id));
    if (m.session_id) {
      TRY(text(*m.session_id));
    } else {
      packer_.pack_nil();
    }
    TRY(text(stored_name(m.scope)));
    packer_.pack_int64(m.created_at);  // non-negative values take the unsigned forms
    packer_.pack_int64(m.accessed_at);
    packer_.pack_uint32(m.access_count);
    mp::pack_f32(packer_, m.importance);
    if (m.ttl_secs) {
      packer_.pack_int64(*m.ttl_secs);
    } else {
      packer_.pack_nil();
    }
    return {};
  }

 private:
  // The elements of a float32 array, written in one piece: 0xca and 4 big-endian bytes each.
  void float_array_body(const std::vector<float>& values) {
    Bytes& out = *sink_.out;
    const std::size_t at = out.size();
    out.resize(at + 5 * values.size());
    std::uint8_t* p = out.data() + at;
    for (float x : values) {
      const auto bits = std::bit_cast<std::uint32_t>(x);
      p[0] = 0xca;
      p[1] = static_cast<std::uint8_t>(bits >> 24);
      p[2] = static_cast<std::uint8_t>(bits >> 16);
      p[3] = static_cast<std::uint8_t>(bits >> 8);
      p[4] = static_cast<std::uint8_t>(bits);
      p += 5;
    }
  }

  static Result<void> length(std::size_t n, std::string_view what) {
    if (n > std::numeric_limits<std::uint32_t>::max()) {
      return fail(QuarnError::serialization(std::string(what) + " of " + std::to_string(n) +
                                            " items is too long to encode"));
    }
    return {};
  }

  Result<void> text(std::string_view s) {
    TRY(length(s.size(), "text"));
    packer_.pack_str(static_cast<std::uint32_t>(s.size()));
    packer_.pack_str_body(s.data(), static_cast<std::uint32_t>(s.size()));
    return {};
  }

  static Result<void> nesting(std::size_t level) {
    if (level > kMaxNesting) {
      return fail(QuarnError::serialization("metadata nested deeper than " +
                                            std::to_string(kMaxNesting) + " levels"));
    }
    return {};
  }

  // `level` is the nesting level the container itself occupies.
  Result<void> object_value(const JsonObject& obj, std::size_t level) {
    TRY(nesting(level));
    TRY(length(obj.size(), "metadata object"));
    packer_.pack_map(static_cast<std::uint32_t>(obj.size()));
    for (const auto& [key, value] : obj) {  // std::map: ascending key order
      TRY(text(key));
      TRY(json_value(value, level + 1));
    }
    return {};
  }

  Result<void> json_value(const Json& value, std::size_t level) {
    const auto& v = value.value;
    switch (v.index()) {
      case 0: packer_.pack_nil(); return {};
      case 1: std::get<bool>(v) ? packer_.pack_true() : packer_.pack_false(); return {};
      case 2: packer_.pack_uint64(std::get<std::uint64_t>(v)); return {};
      case 3: packer_.pack_int64(std::get<std::int64_t>(v)); return {};
      case 4: mp::pack_f64(packer_, std::get<double>(v)); return {};
      case 5: return text(std::get<std::string>(v));
      case 6: {
        const JsonArray& array = std::get<JsonArray>(v);
        TRY(nesting(level));
        TRY(length(array.size(), "metadata array"));
        packer_.pack_array(static_cast<std::uint32_t>(array.size()));
        for (const Json& item : array) TRY(json_value(item, level + 1));
        return {};
      }
      default: return object_value(std::get<JsonObject>(v), level);
    }
  }

  mp::ByteSink sink_;
  mp::Packer packer_;
};

// ---- decoding ----

Result<JsonObject> read_object(const object& o);

Result<Json> read_json(const object& o) {
  switch (o.type) {
    case msgpack::type::NIL: return Json();
    case msgpack::type::BOOLEAN: return Json(o.via.boolean);
    case msgpack::type::POSITIVE_INTEGER: return Json(o.via.u64);
    case msgpack::type::NEGATIVE_INTEGER: return Json(o.via.i64);
    case msgpack::type::FLOAT32:
    case msgpack::type::FLOAT64: return Json(o.via.f64);
    case msgpack::type::STR: return Json(std::string(TRY(mp::as_text(o, "metadata"))));
    case msgpack::type::ARRAY: {
      JsonArray array;
      array.reserve(o.via.array.size);  // bounded: every element was present in the input
      for (const object& item : std::span(o.via.array.ptr, o.via.array.size)) {
        array.push_back(TRY(read_json(item)));
      }
      return Json(std::move(array));
    }
    case msgpack::type::MAP: return Json(TRY(read_object(o)));
    default:
      return fail(QuarnError::serialization(
          "invalid type for `metadata`: expected a JSON value, found binary or extension data"));
  }
}

// Keys arrive in ascending order when this system wrote them, so each is placed at the end without
// a search; any other order still works, and a repeated key keeps the later value.
Result<JsonObject> read_object(const object& o) {
  if (o.type != msgpack::type::MAP) {
    return fail(QuarnError::serialization("invalid type for `metadata`: expected map"));
  }
  JsonObject obj;
  for (const msgpack::object_kv& kv : std::span(o.via.map.ptr, o.via.map.size)) {
    const std::string_view key = TRY(mp::as_text(kv.key, "metadata key"));
    Json value = TRY(read_json(kv.val));
    if (obj.empty() || obj.rbegin()->first < key) {
      obj.emplace_hint(obj.end(), key, std::move(value));
    } else {
      obj.insert_or_assign(std::string(key), std::move(value));
    }
  }
  return obj;
}

Result<std::vector<float>> read_vector(const object& o) {
  const auto items = TRY(mp::as_array(o, "vector"));
  std::vector<float> vector;
  vector.reserve(items.size());  // bounded by the input: every element is at least one byte
  for (const object& item : items) {
    if (item.type == msgpack::type::FLOAT32) {  // the stored form; widened on reading, so exact
      vector.push_back(static_cast<float>(item.via.f64));
    } else {
      vector.push_back(TRY(mp::as_f32(item, "vector")));
    }
  }
  return vector;
}

Result<std::optional<std::string>> read_optional_text(const object& o, std::string_view field) {
  if (o.type == msgpack::type::NIL) return std::nullopt;
  return std::string(TRY(mp::as_text(o, field)));
}

Result<std::optional<std::int64_t>> read_optional_i64(const object& o, std::string_view field) {
  if (o.type == msgpack::type::NIL) return std::nullopt;
  return TRY(mp::as_i64(o, field));
}

Result<void> read_field(Memory& m, std::size_t index, const object& o) {
  switch (index) {
    case kId: {
      const std::string_view text = TRY(mp::as_text(o, "id"));
      const auto id = Ulid::parse(text);
      if (!id) {
        return fail(QuarnError::serialization("invalid value for `id`: `" + std::string(text) +
                                              "` is not a ULID"));
      }
      m.id = *id;
      return {};
    }
    case kMemoryType: {
      const std::string_view name = TRY(mp::as_text(o, "memory_type"));
      const auto type = parse_stored_type(name);
      if (!type) {
        return fail(QuarnError::serialization(
            "unknown variant `" + std::string(name) +
            "`, expected one of `Episodic`, `Semantic`, `Procedural`, `Working`"));
      }
      m.memory_type = *type;
      return {};
    }
    case kVector: m.vector = TRY(read_vector(o)); return {};
    case kContent: m.content = TRY(mp::as_text(o, "content")); return {};
    case kMetadata: m.metadata = TRY(read_object(o)); return {};
    case kAgentId: m.agent_id = TRY(mp::as_text(o, "agent_id")); return {};
    case kSessionId: m.session_id = TRY(read_optional_text(o, "session_id")); return {};
    case kScope: {
      const std::string_view name = TRY(mp::as_text(o, "scope"));
      const auto scope = parse_stored_scope(name);
      if (!scope) {
        return fail(QuarnError::serialization("unknown variant `" + std::string(name) +
                                              "`, expected `Private` or `Shared`"));
      }
      m.scope = *scope;
      return {};
    }
    case kCreatedAt: m.created_at = TRY(mp::as_i64(o, "created_at")); return {};
    case kAccessedAt: m.accessed_at = TRY(mp::as_i64(o, "accessed_at")); return {};
    case kAccessCount: m.access_count = TRY(mp::as_u32(o, "access_count")); return {};
    case kImportance: m.importance = TRY(mp::as_f32(o, "importance")); return {};
    default: m.ttl_secs = TRY(read_optional_i64(o, "ttl_secs")); return {};
  }
}

}  // namespace

Result<Bytes> encode_memory(const Memory& memory) {
  Bytes out;
  out.reserve(96 + 5 * memory.vector.size() + memory.content.size() + memory.agent_id.size());
  Encoder encoder(out);
  TRY(encoder.record(memory));
  return out;
}

Result<Memory> decode_memory(ByteView bytes) {
  const msgpack::object_handle handle = TRY(mp::unpack(bytes));
  Memory memory;
  TRY(mp::read_struct(handle.get(), "struct Memory",
                      {"id", "memory_type", "vector", "content", "metadata", "agent_id",
                       "session_id", "scope", "created_at", "accessed_at", "access_count",
                       "importance", "ttl_secs"},
                      kOptionalInMap,
                      [&memory](std::size_t index, const object& value) {
                        return read_field(memory, index, value);
                      }));
  return memory;
}

}  // namespace quarn::memory
