// What the commands print: text for people, and JSON (the memory objects of the portable export).
#include <cmath>
#include <ctime>
#include <string>

#include "cli/cli.h"
#include "store/float_text.h"
#include "store/json_text.h"
#include "store/jsonl.h"

namespace quarn::cli {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex_escape(std::string& out, unsigned char c) {
  out += "\\x";
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 15]);
}

// "label       value\n", values aligned.
void row(std::string& out, std::string_view label, std::string_view value) {
  std::string left(label);
  left.resize(14, ' ');
  out.append(left).append(value).append("\n");
}

std::string optional_text(const std::optional<std::string>& text) { return text ? printable(*text) : "-"; }

std::string metadata_text(const memory::JsonObject& metadata) {
  std::string text;
  if (!store::jsonl::append_metadata(text, metadata)) return "(not valid UTF-8)";
  return printable(text);
}

std::string vector_text(const std::vector<float>& vector) {
  std::string text = "[";
  const std::size_t shown = std::min<std::size_t>(vector.size(), 4);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) text += ", ";
    text += float_text(vector[i]);
  }
  if (shown < vector.size()) text += ", ...";
  return text + "] (" + std::to_string(vector.size()) + " values)";
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = p[i];
    const std::size_t len = store::json::utf8_sequence(p + i, text.size() - i);
    if (len == 0) {
      append_hex_escape(out, c);
      ++i;
    } else if (len == 1 && (c < 0x20 || c == 0x7f)) {
      if (c == '\n') {
        out += "\\n";
      } else if (c == '\t') {
        out += "\\t";
      } else {
        append_hex_escape(out, c);
      }
      ++i;
    } else if (len == 2 && c == 0xc2 && p[i + 1] < 0xa0) {  // C1 controls, U+0080..U+009F
      out += "\\u00";
      out.push_back(kHex[p[i + 1] >> 4]);
      out.push_back(kHex[p[i + 1] & 15]);
      i += 2;
    } else {
      out.append(text.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string utc_time(std::int64_t unix_secs) {
  const time_t t = static_cast<time_t>(unix_secs);
  struct tm parts {};
  char buf[64];
  if (gmtime_r(&t, &parts) == nullptr || parts.tm_year < -1900 || parts.tm_year > 9999 - 1900 ||
      std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    return std::to_string(unix_secs);
  }
  return buf;
}

std::string float_text(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  char buf[16];
  return std::string(buf, store::write_shortest(buf, value));
}

std::string memory_for_people(const memory::Memory& m) {
  std::string out;
  row(out, "id", m.id.to_string());
  row(out, "content", printable(m.content));
  row(out, "memory_type", memory::python_name(m.memory_type));
  row(out, "vector", vector_text(m.vector));
  row(out, "agent_id", printable(m.agent_id));
  row(out, "session_id", optional_text(m.session_id));
  row(out, "scope", memory::python_name(m.scope));
  row(out, "created_at", std::to_string(m.created_at) + " (" + utc_time(m.created_at) + ")");
  row(out, "accessed_at", std::to_string(m.accessed_at) + " (" + utc_time(m.accessed_at) + ")");
  row(out, "access_count", std::to_string(m.access_count));
  row(out, "importance", float_text(m.importance));
  row(out, "ttl_secs", m.ttl_secs ? std::to_string(*m.ttl_secs) : "-");
  row(out, "metadata", metadata_text(m.metadata));
  return out;
}

std::string stats_for_people(const store::Stats& s) {
  std::string out;
  std::string agents;
  for (const std::string& agent : s.agents) agents += (agents.empty() ? "" : ", ") + printable(agent);
  row(out, "memories", std::to_string(s.memories));
  row(out, "deleted", std::to_string(s.deleted));
  row(out, "dimensions", std::to_string(s.dimensions));
  row(out, "file_bytes", std::to_string(s.file_bytes));
  row(out, "agents", agents.empty() ? "-" : agents);
  row(out, "encrypted", s.encrypted ? "true" : "false");
  row(out, "created_at", std::to_string(s.created_at) + " (" + utc_time(s.created_at) + ")");
  row(out, "wal_pages", std::to_string(s.wal_pages));
  row(out, "snapshots", std::to_string(s.snapshots));
  row(out, "index", s.index ? std::to_string(s.index->vectors) + " vectors, " +
                                  std::to_string(s.index->partitions) + " partitions, " +
                                  std::to_string(s.index->subspaces) + " subspaces"
                            : "none");
  return out;
}

std::string snapshots_for_people(const std::vector<store::SnapshotInfo>& snapshots) {
  if (snapshots.empty()) return "no snapshots yet: nothing has been flushed\n";
  std::string out = "     txn_id  created_at (UTC)      memories\n";
  for (const store::SnapshotInfo& s : snapshots) {
    std::string txn = std::to_string(s.txn_id);
    std::string time = utc_time(s.created_at);
    out.append(txn.size() < 11 ? 11 - txn.size() : 0, ' ').append(txn).append("  ");
    time.resize(std::max<std::size_t>(time.size(), 20), ' ');
    out.append(time).append("  ").append(std::to_string(s.memory_count)).append("\n");
  }
  return out;
}

Result<std::string> memories_json(const std::vector<memory::Memory>& memories) {
  std::string out = "[";
  for (std::size_t i = 0; i < memories.size(); ++i) {
    if (i > 0) out += ",";
    TRY(store::jsonl::append_memory_object(out, memories[i]));
  }
  return out + "]\n";
}

Result<std::string> memory_json(const memory::Memory& memory) {
  std::string out;
  TRY(store::jsonl::append_memory_object(out, memory));
  return out + "\n";
}

Result<std::string> stats_json(const store::Stats& s) {
  std::string out = "{\"memories\":" + std::to_string(s.memories) +
                    ",\"deleted\":" + std::to_string(s.deleted) +
                    ",\"dimensions\":" + std::to_string(s.dimensions) +
                    ",\"file_bytes\":" + std::to_string(s.file_bytes) + ",\"agents\":[";
  for (std::size_t i = 0; i < s.agents.size(); ++i) {
    if (i > 0) out += ",";
    TRY(store::jsonl::append_string(out, s.agents[i]));
  }
  out += "],\"encrypted\":" + std::string(s.encrypted ? "true" : "false") +
         ",\"created_at\":" + std::to_string(s.created_at) +
         ",\"wal_pages\":" + std::to_string(s.wal_pages) +
         ",\"snapshots\":" + std::to_string(s.snapshots) + ",\"index\":";
  if (s.index) {
    out += "{\"vectors\":" + std::to_string(s.index->vectors) +
           ",\"partitions\":" + std::to_string(s.index->partitions) +
           ",\"subspaces\":" + std::to_string(s.index->subspaces) + "}";
  } else {
    out += "null";
  }
  return out + "}\n";
}

std::string snapshot_json(const store::SnapshotInfo& s) {
  return "{\"txn_id\":" + std::to_string(s.txn_id) + ",\"created_at\":" + std::to_string(s.created_at) +
         ",\"memory_count\":" + std::to_string(s.memory_count) + "}";
}

std::string snapshots_json(const std::vector<store::SnapshotInfo>& snapshots) {
  std::string out = "[";
  for (std::size_t i = 0; i < snapshots.size(); ++i) {
    if (i > 0) out += ",";
    out += snapshot_json(snapshots[i]);
  }
  return out + "]\n";
}

}  // namespace quarn::cli
