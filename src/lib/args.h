// The one argument binder. Each method describes its parameters in a table; the binder matches the
// positional and keyword arguments of a vectorcall against it and reports mistakes with the
// wording Python uses for its own functions, naming the function as "Quarn.get()".
#pragma once

#include <span>

#include "lib/py.h"

namespace quarn::lib {

struct Param {
  const char* name;
  bool required = true;       // false: has a default, which the method applies itself
  bool keyword_only = false;  // declared after `*`
};

// Fills out[i] with a borrowed reference to the value bound to params[i], or nullptr when the
// argument was left out. Returns false with TypeError set when the call does not match:
//   "F() missing 1 required positional argument: 'id'"
//   "F() takes 1 positional argument but 2 were given"
//   "F() got an unexpected keyword argument 'x'"
//   "F() got multiple values for argument 'id'"
// `function` is the name without parentheses, e.g. "Quarn.get".
[[nodiscard]] bool bind_arguments(const char* function, std::span<const Param> params,
                                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                  PyObject** out);

// For tables declared as C arrays: bind(name, kParams, args, nargs, kwnames, out).
template <std::size_t N>
[[nodiscard]] bool bind(const char* function, const Param (&params)[N], PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, PyObject* (&out)[N]) {
  return bind_arguments(function, params, args, nargs, kwnames, out);
}

// A method without parameters: only checks that nothing was passed.
[[nodiscard]] bool bind_none(const char* function, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quarn::lib

namespace quarn::lib {

// The same for a classic (args tuple, kwargs dict) call, as a type's tp_new receives it.
[[nodiscard]] bool bind_tuple(const char* function, std::span<const Param> params, PyObject* args,
                              PyObject* kwargs, PyObject** out);

}  // namespace quarn::lib
