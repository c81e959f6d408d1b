// Argument conversions: text, vectors, numbers, flags, memory types and ids.
#include "lib/convert.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "lib/errors.h"

namespace quarn::lib {

using memory::MemoryType;

namespace {

// Vectors.

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

}  // namespace

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

bool path_arg(PyObject* value, const char* name, std::string& out) {
  if (!text_arg(value, name, out)) return false;
  if (out.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
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

Secret::~Secret() { OPENSSL_cleanse(bytes_.get(), size_); }

// PyUnicode_AsUTF8 is not used: it would keep a UTF-8 copy inside the caller's str.
std::unique_ptr<Secret> passphrase_arg(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    raise_argument_type(name, "str", value);
    return nullptr;
  }
  Ref utf8(PyUnicode_AsUTF8String(value));
  if (!utf8) return nullptr;
  char* data = PyBytes_AS_STRING(utf8.get());
  const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.get()));
  auto secret = std::make_unique<Secret>(size);
  std::copy(data, data + size, secret->data());
  // Short results may be the interpreter's shared singletons, which must not be touched.
  if (Py_REFCNT(utf8.get()) == 1) OPENSSL_cleanse(data, size);
  return secret;
}

}  // namespace quarn::lib
