#include "lib/args.h"

#include <string>
#include <vector>

namespace quarn::lib {
namespace {

// 'a'  /  'a' and 'b'  /  'a', 'b', and 'c': how Python lists missing names.
std::string name_list(std::span<const char* const> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

bool raise_missing(const char* function, std::span<const Param> params, PyObject** out,
                   bool keyword_only) {
  const char* names[64];
  std::size_t count = 0;
  for (std::size_t i = 0; i < params.size() && count < 64; ++i) {
    if (params[i].keyword_only == keyword_only && params[i].required && out[i] == nullptr) {
      names[count++] = params[i].name;
    }
  }
  if (count == 0) return true;
  const std::string list = name_list({names, count});
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s argument%s: %s", function, count,
               keyword_only ? "keyword-only" : "positional", count == 1 ? "" : "s", list.c_str());
  return false;
}

bool raise_too_many(const char* function, std::span<const Param> params, Py_ssize_t given,
                    PyObject** out) {
  Py_ssize_t positional = 0, with_default = 0, keyword_only_given = 0;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (params[i].keyword_only) {
      if (out[i] != nullptr) ++keyword_only_given;
      continue;
    }
    ++positional;
    if (!params[i].required) ++with_default;
  }
  std::string takes = with_default > 0 ? "from " + std::to_string(positional - with_default) +
                                             " to " + std::to_string(positional)
                                       : std::to_string(positional);
  const bool plural = with_default > 0 || positional != 1;
  std::string also;
  if (keyword_only_given > 0) {
    also = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
           std::to_string(keyword_only_given) + " keyword-only argument" +
           (keyword_only_given != 1 ? "s" : "") + ")";
  }
  PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd%s %s given",
               function, takes.c_str(), plural ? "s" : "", given, also.c_str(),
               given == 1 && keyword_only_given == 0 ? "was" : "were");
  return false;
}

}  // namespace

bool bind_arguments(const char* function, std::span<const Param> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  std::size_t positional = 0;
  while (positional < params.size() && !params[positional].keyword_only) ++positional;
  for (std::size_t i = 0; i < params.size(); ++i) {
    out[i] = i < positional && static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
  }
  // The same order of checks as the interpreter: keywords, then the positional count, then
  // whatever is missing.
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t slot = params.size();
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
        slot = i;
        break;
      }
    }
    if (slot == params.size()) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   params[slot].name);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  if (nargs > static_cast<Py_ssize_t>(positional)) {
    return raise_too_many(function, params, nargs, out);
  }
  return raise_missing(function, params, out, false) && raise_missing(function, params, out, true);
}

bool bind_none(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
  return bind_arguments(function, {}, nullptr, nargs, kwnames, nullptr);
}

}  // namespace quarn::lib

namespace quarn::lib {

bool bind_tuple(const char* function, std::span<const Param> params, PyObject* args,
                PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
  // The call owns `args` and `kwargs` for its whole duration, so borrowed items stay alive.
  std::vector<PyObject*> flat(static_cast<std::size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) flat[i] = PyTuple_GET_ITEM(args, i);
  Ref kwnames;
  if (nkw > 0) {
    kwnames = Ref(PyTuple_New(nkw));
    if (!kwnames) return false;
    Py_ssize_t position = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      PyTuple_SET_ITEM(kwnames.get(), k, new_ref(key));
      flat[static_cast<std::size_t>(nargs + k)] = value;
      ++k;
    }
  }
  return bind_arguments(function, params, flat.data(), nargs, kwnames.get(), out);
}

}  // namespace quarn::lib
