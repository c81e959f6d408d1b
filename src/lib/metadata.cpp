// Metadata values in both directions: Python containers are read through snapshots holding
// strong references, and nesting is bounded by what the record reader accepts.
#include "lib/convert.h"

#include <cmath>
#include <string_view>
#include <variant>

#include "lib/errors.h"

namespace quarn::lib {

using memory::Json;
using memory::JsonArray;
using memory::JsonObject;

namespace {

// The record array is nesting level 1 and its metadata map level 2, so a container that is a
// metadata value sits at level 3. The reader refuses anything deeper than memory::kMaxNesting, so
// the writer must never produce it.
constexpr std::size_t kMetadataValueLevel = 3;

constexpr const char* kMetadataTypes =
    "metadata values must be null, bool, int, float, str, list, or dict";

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

// Sets dict[key] = value, taking over the reference to value; false when value is nullptr.
bool put(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItem(dict, key, value);
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

PyObject* object_to_py(const JsonObject& object) { return JsonToPy{}(object); }

}  // namespace quarn::lib
