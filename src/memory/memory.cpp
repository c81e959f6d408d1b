#include "memory/memory.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace quarn::memory {
namespace {

constexpr std::array<std::string_view, 4> kStoredTypeNames = {"Episodic", "Semantic", "Procedural",
                                                              "Working"};
constexpr std::array<std::string_view, 4> kPythonTypeNames = {"episodic", "semantic", "procedural",
                                                              "working"};
constexpr std::array<std::string_view, 2> kStoredScopeNames = {"Private", "Shared"};
constexpr std::array<std::string_view, 2> kPythonScopeNames = {"private", "shared"};

bool equals_ascii_lower(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

std::string_view stored_name(MemoryType type) { return kStoredTypeNames[static_cast<std::size_t>(type)]; }
std::string_view python_name(MemoryType type) { return kPythonTypeNames[static_cast<std::size_t>(type)]; }
std::string_view stored_name(Scope scope) { return kStoredScopeNames[static_cast<std::size_t>(scope)]; }
std::string_view python_name(Scope scope) { return kPythonScopeNames[static_cast<std::size_t>(scope)]; }

std::optional<MemoryType> parse_stored_type(std::string_view name) {
  for (MemoryType type : kMemoryTypes) {
    if (stored_name(type) == name) return type;
  }
  return std::nullopt;
}

std::optional<Scope> parse_stored_scope(std::string_view name) {
  for (Scope scope : {Scope::Private, Scope::Shared}) {
    if (stored_name(scope) == name) return scope;
  }
  return std::nullopt;
}

std::optional<MemoryType> parse_python_type(std::string_view name) {
  for (MemoryType type : kMemoryTypes) {
    if (equals_ascii_lower(name, python_name(type))) return type;
  }
  return std::nullopt;
}

std::int64_t now_secs() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  if (since.count() < 0) return 0;
  return std::chrono::duration_cast<std::chrono::seconds>(since).count();
}

Result<Memory> Memory::create(std::string content, MemoryType type, std::vector<float> vector) {
  Memory memory;
  memory.id = TRY(Ulid::generate());
  memory.memory_type = type;
  memory.vector = std::move(vector);
  memory.content = std::move(content);
  memory.created_at = now_secs();
  memory.accessed_at = memory.created_at;
  return memory;
}

bool Memory::is_expired(std::int64_t now) const {
  return ttl_secs.has_value() && wrapping_sub(now, created_at) >= *ttl_secs;
}

float similarity(std::span<const float> a, std::span<const float> b) {
  const std::size_t m = std::min(a.size(), b.size());
  float dot = 0.0f;
  for (std::size_t i = 0; i < m; ++i) dot += a[i] * b[i];
  float na = 0.0f;
  for (float x : a) na += x * x;
  float nb = 0.0f;
  for (float x : b) nb += x * x;
  if (na == 0.0f || nb == 0.0f) return 0.0f;
  const float norms = std::sqrt(na) * std::sqrt(nb);
  return dot / norms;
}

}  // namespace quarn::memory
