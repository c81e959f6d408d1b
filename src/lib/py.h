// The binding's view of the interpreter: the one include of Python.h, an owning reference and the
// method-table helpers every Python type of the module uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>

namespace quarn::lib {

// Every method takes (self, args, nargs, kwnames): METH_FASTCALL | METH_KEYWORDS.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// One owned (strong) reference, released when it goes out of scope.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* object) : object_(object) {}
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

inline PyMethodDef fast_method(const char* name, FastMethod function, const char* doc,
                               int extra_flags = 0) {
  // The interpreter calls through the flags; PyCFunction is only the storage type.
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

// The UTF-8 text of a str, cached inside the str by the interpreter. False with the exception set
// when it cannot be encoded (lone surrogates).
inline bool utf8_of(PyObject* text, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return false;
  out = {data, static_cast<std::size_t>(size)};
  return true;
}

inline PyObject* new_ref(PyObject* object) {
  Py_INCREF(object);
  return object;
}

}  // namespace quarn::lib
