#include "lib/errors.h"

#include <string>

namespace quarn::lib {

PyObject* raise_error(const QuarnError& error) {
  const std::string message = error.message();
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
  return nullptr;
}

PyObject* none_or_raise(const Result<void>& result) {
  if (!result) return raise_error(result.error());
  Py_RETURN_NONE;
}

void prefix_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    return;
  }
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  Ref text(value ? PyObject_Str(value) : nullptr);
  if (!text) return;  // the failure of str() is what is raised now
  PyErr_Format(type, "argument '%s': %U", name, text.get());
}

void raise_argument_type(const char* name, const char* what, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name, what,
               Py_TYPE(got)->tp_name);
}

}  // namespace quarn::lib
