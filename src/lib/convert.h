// Conversions between Python values and the store's values: arguments (convert.cpp), metadata
// (metadata.cpp) and results (results.cpp). Every converter that takes an argument
// name reports a wrong Python type as TypeError (or a number out of range as OverflowError) with
// the message prefixed by "argument 'NAME': "; the ValueErrors of parse_type and parse_id and
// the errors of metadata keys and values carry no prefix. All return false (or nullptr) with the
// Python exception set.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/module.h"
#include "lib/py.h"
#include "memory/memory.h"
#include "store/store.h"

namespace quarn::lib {

// Arguments.
[[nodiscard]] bool text_arg(PyObject* value, const char* name, std::string& out);
// A path: a str as text_arg takes it. An embedded NUL, at which the file system would silently cut
// the path and act on another file, is refused with ValueError("embedded null byte") before
// anything touches the file system. Every argument that names a file goes through it.
[[nodiscard]] bool path_arg(PyObject* value, const char* name, std::string& out);
// A sequence of numbers (list and tuple read directly; buffers of float32/float64; other sequences
// by iteration), each converted to double then narrowed to float. A str is refused with
// "Can't extract `str` to `Vec`".
[[nodiscard]] bool vector_arg(PyObject* value, const char* name, std::vector<float>& out);
[[nodiscard]] bool i64_arg(PyObject* value, const char* name, std::int64_t& out);
[[nodiscard]] bool u64_arg(PyObject* value, const char* name, std::uint64_t& out);
[[nodiscard]] bool f32_arg(PyObject* value, const char* name, float& out);
// bool only; ints are refused.
[[nodiscard]] bool flag_arg(PyObject* value, const char* name, bool& out);

// A passphrase's UTF-8 bytes, wiped when released.
class Secret {
 public:
  explicit Secret(std::size_t size) : bytes_(new std::uint8_t[size > 0 ? size : 1]), size_(size) {}
  ~Secret();
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  std::uint8_t* data() { return bytes_.get(); }
  ByteView view() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_;
};
// A str argument's bytes, copied out of a temporary bytes object that is wiped before it is
// released; not a str: TypeError naming `name`.
[[nodiscard]] std::unique_ptr<Secret> passphrase_arg(PyObject* value, const char* name);
// A str naming a memory type, any ASCII case; else ValueError "unknown memory_type '…'".
[[nodiscard]] bool type_arg(PyObject* value, const char* name, memory::MemoryType& out);
// A str holding a ULID; else ValueError "invalid memory id '…'".
[[nodiscard]] bool id_arg(PyObject* value, const char* name, memory::Ulid& out);
// A list (or other non-str sequence) of memory type names.
[[nodiscard]] bool types_arg(PyObject* value, const char* name,
                             std::vector<memory::MemoryType>& out);
// A dict whose keys are str and whose values are metadata values; entries walked in the dict's
// order and inserted into `out`. Values nest at most to the depth the record reader accepts.
[[nodiscard]] bool metadata_arg(PyObject* value, const char* name, memory::JsonObject& out);

// Metadata values.
[[nodiscard]] bool py_to_json(PyObject* value, memory::Json& out);
PyObject* json_to_py(const memory::Json& value);
PyObject* object_to_py(const memory::JsonObject& object);

// Results.
PyObject* memory_to_dict(const State& state, const memory::Memory& memory);
PyObject* recall_results_to_list(const State& state, const std::vector<store::RecallResult>& hits);
PyObject* search_results_to_list(const State& state,
                                 const std::vector<std::pair<memory::Memory, float>>& hits);
PyObject* snapshot_to_dict(const store::SnapshotInfo& snapshot);
PyObject* stats_to_dict(const store::Stats& stats);
PyObject* id_to_str(const memory::Ulid& id);
PyObject* str_from(std::string_view text);
// A new list of the 32-bit values, each widened exactly to a Python float.
PyObject* list_of_floats(const std::vector<float>& values);

}  // namespace quarn::lib
