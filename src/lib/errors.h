// How failures leave the binding: every QuarnError becomes RuntimeError(message), and no C++
// exception ever crosses into the interpreter.
#pragma once

#include <new>

#include "error/error.h"
#include "lib/py.h"

namespace quarn::lib {

// Raises RuntimeError whose single argument is the error's message; returns nullptr.
PyObject* raise_error(const QuarnError& error);

// None on success, else raise_error.
PyObject* none_or_raise(const Result<void>& result);

// Rewrites a pending TypeError or OverflowError as the same class with the message prefixed by
// "argument 'NAME': ". Any other pending exception (ValueError, RuntimeError from a callback) is
// left as it is.
void prefix_argument_error(const char* name);

// Raises TypeError "argument 'NAME': expected WHAT, got TYPE".
void raise_argument_type(const char* name, const char* what, PyObject* got);

// Runs a method body; std::bad_alloc becomes MemoryError and any other exception RuntimeError, so
// that nothing thrown escapes into the interpreter. `failed` is the body's error return value.
template <class R, class F>
R guarded(R failed, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
  }
  return failed;
}

template <class F>
PyObject* guarded(F&& body) noexcept {
  return guarded<PyObject*>(nullptr, std::forward<F>(body));
}

}  // namespace quarn::lib
