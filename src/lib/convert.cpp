#include "lib/convert.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "lib/errors.h"

namespace quarn::lib {

using memory::Json;
using memory::JsonArray;
using memory::JsonObject;
using memory::MemoryType;

namespace {

// The record array is nesting level 1 and its metadata map level 2, so a container that is a
// metadata value sits at level 3. The reader refuses anything deeper than memory::kMaxNesting, so
// the writer must never produce it.
constexpr std::size_t kMetadataValueLevel = 3;

constexpr const char* kMetadataTypes =
    "metadata values must be null, bool, int, float, str, list, or dict";

bool utf8_of(PyObject* text, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return false;
  out = {data, static_cast<std::size_t>(size)};
  return true;
}

// ---- vectors -------------------------------------------------------------------------------------

bool push_item(PyObject* item, const char* name, std::vector<float>& out) {
  double value;
  if (PyFloat_CheckExact(item)) {
    value = PyFloat_AS_DOUBLE(item);
  } else {
    value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
      prefix_argument_error(name);
      return false;
    }
  }
  out.push_back(static_cast<float>(value));
  return true;
}

// Items of a list or tuple. Exact floats are read in place; from the first other item on, the
// rest is converted from a copy holding strong references, because its __float__ may run code
// that changes the list.
bool vector_from_list_or_tuple(PyObject* value, const char* name, std::vector<float>& out) {
  const bool is_list = PyList_Check(value);
  const Py_ssize_t size = is_list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value);
  PyObject** items = is_list ? reinterpret_cast<PyListObject*>(value)->ob_item
                             : reinterpret_cast<PyTupleObject*>(value)->ob_item;
  out.reserve(static_cast<std::size_t>(size));
  Py_ssize_t i = 0;
  for (; i < size && PyFloat_CheckExact(items[i]); ++i) {
    out.push_back(static_cast<float>(PyFloat_AS_DOUBLE(items[i])));
  }
  if (i == size) return true;
  Ref rest(is_list ? PyList_GetSlice(value, i, size) : new_ref(value));
  if (!rest) return false;
  const Py_ssize_t rest_size = PySequence_Fast_GET_SIZE(rest.get());
  for (Py_ssize_t j = is_list ? 0 : i; j < rest_size; ++j) {
    if (!push_item(PySequence_Fast_GET_ITEM(rest.get(), j), name, out)) return false;
  }
  return true;
}

bool native_float_format(const char* format, char& code) {
  if (format == nullptr) return false;
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if ((format[0] != 'f' && format[0] != 'd') || format[1] != '\0') return false;
  code = format[0];
  return true;
}

// One-dimensional float32 or float64 buffers, read without touching Python items; the values are
// the same as through the items (float32 exact, float64 narrowed). Anything else is not handled.
bool vector_from_buffer(PyObject* value, std::vector<float>& out, bool& handled) {
  handled = false;
  if (!PyObject_CheckBuffer(value)) return true;
  Py_buffer view;
  if (PyObject_GetBuffer(value, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
    PyErr_Clear();
    return true;
  }
  char code = 0;
  const bool usable = view.ndim == 1 && native_float_format(view.format, code) &&
                      view.itemsize == (code == 'f' ? 4 : 8);
  if (usable) {
    const auto* bytes = static_cast<const unsigned char*>(view.buf);
    const Py_ssize_t count = view.len / view.itemsize;
    out.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (code == 'f') {
        float element;
        std::memcpy(&element, bytes + i * 4, 4);
        out.push_back(element);
      } else {
        double element;
        std::memcpy(&element, bytes + i * 8, 8);
        out.push_back(static_cast<float>(element));
      }
    }
    handled = true;
  }
  PyBuffer_Release(&view);
  return true;
}

// Any other sequence, by iteration: its __len__ is never trusted for a reservation.
bool vector_from_iteration(PyObject* value, const char* name, std::vector<float>& out) {
  Ref iterator(PyObject_GetIter(value));
  if (!iterator) {
    prefix_argument_error(name);
    return false;
  }
  while (Ref item{PyIter_Next(iterator.get())}) {
    if (!push_item(item.get(), name, out)) return false;
  }
  return !PyErr_Occurred();
}

// ---- metadata ------------------------------------------------------------------------------------

bool value_to_json(PyObject* value, std::size_t level, Json& out);

bool raise_too_deep() {
  PyErr_SetString(PyExc_ValueError, "metadata nested too deeply");
  return false;
}

// Walks a snapshot of the dict's items (strong references), never the live dict: a value's
// __index__ or __float__ may change the dict while it is being read.
bool object_from_dict(PyObject* dict, std::size_t level, JsonObject& out) {
  Ref items(PyDict_Items(dict));
  if (!items) return false;
  const Py_ssize_t size = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "metadata keys must be str, not %s", Py_TYPE(key)->tp_name);
      return false;
    }
    std::string_view key_text;
    if (!utf8_of(key, key_text)) return false;
    Json element;
    if (!value_to_json(PyTuple_GET_ITEM(pair, 1), level + 1, element)) return false;
    out.insert_or_assign(std::string(key_text), std::move(element));
  }
  return true;
}

bool array_from_list(PyObject* list, std::size_t level, JsonArray& out) {
  Ref items(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
  if (!items) return false;
  const Py_ssize_t size = PyList_GET_SIZE(items.get());
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    Json element;
    if (!value_to_json(PyList_GET_ITEM(items.get(), i), level + 1, element)) return false;
    out.push_back(std::move(element));
  }
  return true;
}

Json number_from_int(long long value) {
  if (value < 0) return Json(static_cast<std::int64_t>(value));
  return Json(static_cast<std::uint64_t>(value));
}

Json number_from_double(double value) {
  if (!std::isfinite(value)) return Json();
  return Json(value);
}

// Signed 64-bit through __index__; false (nothing set) when it does not apply.
bool try_int(PyObject* value, Json& out) {
  if (!PyLong_Check(value) && !PyIndex_Check(value)) return false;
  Ref index(PyNumber_Index(value));
  if (!index) {
    PyErr_Clear();
    return false;
  }
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow != 0 || (number == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  out = number_from_int(number);
  return true;
}

bool try_float(PyObject* value, Json& out) {
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = number_from_double(number);
  return true;
}

bool try_text(PyObject* value, Json& out) {
  std::string_view text;
  if (!PyUnicode_Check(value) || !utf8_of(value, text)) {
    PyErr_Clear();
    return false;
  }
  out = Json(std::string(text));
  return true;
}

// `level` is the nesting level `value` occupies should it be a container.
bool value_to_json(PyObject* value, std::size_t level, Json& out) {
  if (value == Py_None) {
    out = Json();
    return true;
  }
  if (PyBool_Check(value)) {
    out = Json(value == Py_True);
    return true;
  }
  // Exact built-in types first: for them the attempts below decide at once.
  if (PyUnicode_CheckExact(value)) {
    if (try_text(value, out)) return true;
  } else if (PyFloat_CheckExact(value)) {
    out = number_from_double(PyFloat_AS_DOUBLE(value));
    return true;
  } else if (!PyList_CheckExact(value) && !PyDict_CheckExact(value)) {
    if (try_int(value, out) || try_float(value, out) || try_text(value, out)) return true;
  }
  if (PyList_Check(value)) {
    if (level > memory::kMaxNesting) return raise_too_deep();
    JsonArray array;
    if (!array_from_list(value, level, array)) return false;
    out = Json(std::move(array));
    return true;
  }
  if (PyDict_Check(value)) {
    if (level > memory::kMaxNesting) return raise_too_deep();
    JsonObject object;
    if (!object_from_dict(value, level, object)) return false;
    out = Json(std::move(object));
    return true;
  }
  PyErr_SetString(PyExc_TypeError, kMetadataTypes);
  return false;
}

// ---- results -------------------------------------------------------------------------------------

PyObject* list_of_floats(const std::vector<float>& values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* number = PyFloat_FromDouble(values[i]);
    if (number == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
  }
  return list.release();
}

template <class T>
PyObject* optional_int(const std::optional<T>& value) {
  if (!value) return new_ref(Py_None);
  return PyLong_FromLongLong(*value);
}

PyObject* optional_str(const std::optional<std::string>& value) {
  if (!value) return new_ref(Py_None);
  return str_from(*value);
}

// Sets dict[key] = value, taking over the reference to value; false when value is nullptr.
bool put(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

// Builds the Python value of a metadata value: objects become dicts with keys in ascending order.
struct JsonToPy {
  PyObject* operator()(std::monostate) const { return new_ref(Py_None); }
  PyObject* operator()(bool b) const { return PyBool_FromLong(b); }
  PyObject* operator()(std::uint64_t u) const { return PyLong_FromUnsignedLongLong(u); }
  PyObject* operator()(std::int64_t i) const { return PyLong_FromLongLong(i); }
  PyObject* operator()(double d) const { return PyFloat_FromDouble(d); }
  PyObject* operator()(const std::string& s) const { return str_from(s); }
  PyObject* operator()(const JsonArray& array) const {
    Ref list(PyList_New(static_cast<Py_ssize_t>(array.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < array.size(); ++i) {
      PyObject* item = json_to_py(array[i]);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  }
  PyObject* operator()(const JsonObject& object) const {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, item] : object) {
      Ref key_text(str_from(key));
      if (!key_text || !put(dict.get(), key_text.get(), json_to_py(item))) return nullptr;
    }
    return dict.release();
  }
};

}  // namespace

// ---- arguments -----------------------------------------------------------------------------------

bool text_arg(PyObject* value, const char* name, std::string& out) {
  if (!PyUnicode_Check(value)) {
    raise_argument_type(name, "str", value);
    return false;
  }
  std::string_view text;
  if (!utf8_of(value, text)) return false;
  out.assign(text);
  return true;
}

bool vector_arg(PyObject* value, const char* name, std::vector<float>& out) {
  out.clear();
  if (PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    return false;
  }
  if (PyList_Check(value) || PyTuple_Check(value)) {
    return vector_from_list_or_tuple(value, name, out);
  }
  bool handled = false;
  if (!vector_from_buffer(value, out, handled)) return false;
  if (handled) return true;
  if (!PySequence_Check(value)) {
    raise_argument_type(name, "a sequence of float", value);
    return false;
  }
  return vector_from_iteration(value, name, out);
}

bool i64_arg(PyObject* value, const char* name, std::int64_t& out) {
  Ref index(PyNumber_Index(value));
  long long number = index ? PyLong_AsLongLong(index.get()) : -1;
  if (number == -1 && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  out = number;
  return true;
}

bool u64_arg(PyObject* value, const char* name, std::uint64_t& out) {
  Ref index(PyNumber_Index(value));
  unsigned long long number =
      index ? PyLong_AsUnsignedLongLong(index.get()) : static_cast<unsigned long long>(-1);
  if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  out = number;
  return true;
}

bool f32_arg(PyObject* value, const char* name, float& out) {
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  out = static_cast<float>(number);
  return true;
}

bool flag_arg(PyObject* value, const char* name, bool& out) {
  if (!PyBool_Check(value)) {
    raise_argument_type(name, "bool", value);
    return false;
  }
  out = value == Py_True;
  return true;
}

bool type_arg(PyObject* value, const char* name, MemoryType& out) {
  if (!PyUnicode_Check(value)) {
    raise_argument_type(name, "str", value);
    return false;
  }
  // A str that cannot be UTF-8 (lone surrogates) names no type either.
  std::string_view text;
  const bool encoded = utf8_of(value, text);
  if (!encoded) PyErr_Clear();
  const auto type = encoded ? memory::parse_python_type(text) : std::nullopt;
  if (!type) {
    PyErr_Format(PyExc_ValueError, "unknown memory_type '%U'", value);
    return false;
  }
  out = *type;
  return true;
}

bool id_arg(PyObject* value, const char* name, memory::Ulid& out) {
  if (!PyUnicode_Check(value)) {
    raise_argument_type(name, "str", value);
    return false;
  }
  std::string_view text;
  const bool encoded = utf8_of(value, text);
  if (!encoded) PyErr_Clear();
  const auto id = encoded ? memory::Ulid::parse(text) : std::nullopt;
  if (!id) {
    PyErr_Format(PyExc_ValueError, "invalid memory id '%U'", value);
    return false;
  }
  out = *id;
  return true;
}

bool types_arg(PyObject* value, const char* name, std::vector<MemoryType>& out) {
  if (PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    return false;
  }
  // Items are read as str only, which runs no Python code, so the sequence cannot change meanwhile.
  Ref items(PySequence_Fast(value, ""));
  if (!items) {
    PyErr_Clear();
    raise_argument_type(name, "a list of str", value);
    return false;
  }
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < size; ++i) {
    MemoryType type;
    if (!type_arg(PySequence_Fast_GET_ITEM(items.get(), i), name, type)) return false;
    out.push_back(type);
  }
  return true;
}

bool metadata_arg(PyObject* value, const char* name, JsonObject& out) {
  if (!PyDict_Check(value)) {
    raise_argument_type(name, "dict", value);
    return false;
  }
  return object_from_dict(value, kMetadataValueLevel - 1, out);
}

bool py_to_json(PyObject* value, Json& out) {
  return value_to_json(value, kMetadataValueLevel, out);
}

PyObject* json_to_py(const Json& value) { return std::visit(JsonToPy{}, value.value); }

// ---- results -------------------------------------------------------------------------------------

PyObject* str_from(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* id_to_str(const memory::Ulid& id) {
  const std::string text = id.to_string();
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* memory_to_dict(const State& state, const memory::Memory& memory) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const auto* keys = state.keys;
  const bool ok =
      put(d, keys[kKeyId], id_to_str(memory.id)) &&
      put(d, keys[kKeyContent], str_from(memory.content)) &&
      put(d, keys[kKeyMemoryType],
          new_ref(state.type_names[static_cast<int>(memory.memory_type) & 3])) &&
      put(d, keys[kKeyVector], list_of_floats(memory.vector)) &&
      put(d, keys[kKeyAgentId], str_from(memory.agent_id)) &&
      put(d, keys[kKeySessionId], optional_str(memory.session_id)) &&
      put(d, keys[kKeyScope], new_ref(state.scope_names[memory.scope == memory::Scope::Shared])) &&
      put(d, keys[kKeyCreatedAt], PyLong_FromLongLong(memory.created_at)) &&
      put(d, keys[kKeyAccessedAt], PyLong_FromLongLong(memory.accessed_at)) &&
      put(d, keys[kKeyAccessCount], PyLong_FromUnsignedLong(memory.access_count)) &&
      put(d, keys[kKeyImportance], PyFloat_FromDouble(memory.importance)) &&
      put(d, keys[kKeyTtlSecs], optional_int(memory.ttl_secs)) &&
      put(d, keys[kKeyMetadata], JsonToPy{}(memory.metadata));
  return ok ? dict.release() : nullptr;
}

PyObject* recall_results_to_list(const State& state, const std::vector<store::RecallResult>& hits) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    Ref dict(memory_to_dict(state, hits[i].memory));
    if (!dict || !put(dict.get(), state.keys[kKeyScore], PyFloat_FromDouble(hits[i].score)) ||
        !put(dict.get(), state.keys[kKeySimilarity], PyFloat_FromDouble(hits[i].similarity))) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return list.release();
}

PyObject* search_results_to_list(const State& state,
                                 const std::vector<std::pair<memory::Memory, float>>& hits) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    Ref dict(memory_to_dict(state, hits[i].first));
    if (!dict) return nullptr;
    Ref similarity(PyFloat_FromDouble(hits[i].second));
    if (!similarity) return nullptr;
    PyObject* pair = PyTuple_Pack(2, dict.get(), similarity.get());
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyObject* snapshot_to_dict(const store::SnapshotInfo& snapshot) {
  Ref dict(PyDict_New());
  if (!dict || !put(dict.get(), "txn_id", PyLong_FromUnsignedLongLong(snapshot.txn_id)) ||
      !put(dict.get(), "created_at", PyLong_FromLongLong(snapshot.created_at)) ||
      !put(dict.get(), "memory_count", PyLong_FromUnsignedLongLong(snapshot.memory_count))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* stats_to_dict(const store::Stats& stats) {
  Ref agents(PyList_New(static_cast<Py_ssize_t>(stats.agents.size())));
  if (!agents) return nullptr;
  for (std::size_t i = 0; i < stats.agents.size(); ++i) {
    PyObject* agent = str_from(stats.agents[i]);
    if (agent == nullptr) return nullptr;
    PyList_SET_ITEM(agents.get(), static_cast<Py_ssize_t>(i), agent);
  }
  Ref index;
  if (stats.index) {
    index = Ref(PyDict_New());
    if (!index || !put(index.get(), "vectors", PyLong_FromUnsignedLongLong(stats.index->vectors)) ||
        !put(index.get(), "partitions", PyLong_FromUnsignedLongLong(stats.index->partitions)) ||
        !put(index.get(), "subspaces", PyLong_FromUnsignedLongLong(stats.index->subspaces))) {
      return nullptr;
    }
  } else {
    index = Ref(new_ref(Py_None));
  }
  Ref dict(PyDict_New());
  PyObject* d = dict.get();
  const bool ok = d != nullptr && put(d, "memories", PyLong_FromUnsignedLongLong(stats.memories)) &&
                  put(d, "deleted", PyLong_FromUnsignedLongLong(stats.deleted)) &&
                  put(d, "dimensions", PyLong_FromUnsignedLongLong(stats.dimensions)) &&
                  put(d, "file_bytes", PyLong_FromUnsignedLongLong(stats.file_bytes)) &&
                  put(d, "agents", agents.release()) &&
                  put(d, "encrypted", PyBool_FromLong(stats.encrypted)) &&
                  put(d, "created_at", PyLong_FromLongLong(stats.created_at)) &&
                  put(d, "wal_pages", PyLong_FromUnsignedLongLong(stats.wal_pages)) &&
                  put(d, "snapshots", PyLong_FromUnsignedLongLong(stats.snapshots)) &&
                  put(d, "index", index.release());
  return ok ? dict.release() : nullptr;
}

}  // namespace quarn::lib
