// The portable export and import methods of Quarn: export_jsonl and import_jsonl.
#include <string>

#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/quarn_type.h"

namespace quarn::lib {
namespace {

// A refused line is the caller's input error: ValueError("line N: why"). Anything else is the
// engine's RuntimeError.
PyObject* raise_import_error(const store::Store::ImportError& failure) {
  if (failure.line == 0) return raise_error(failure.error);
  const std::string message = "line " + std::to_string(failure.line) + ": " + failure.error.text();
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

}  // namespace

PyObject* quarn_export_jsonl(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"dest"}, {"include_deleted", false, true}};
    PyObject* in[2];
    if (!bind("Quarn.export_jsonl", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = Borrow::exclusive(as_quarn(self).borrow);
    if (!borrow) return nullptr;
    std::string dest;
    bool include_deleted = false;
    if (!path_arg(in[0], "dest", dest)) return nullptr;
    if (in[1] != nullptr && !flag_arg(in[1], "include_deleted", include_deleted)) return nullptr;
    auto written = as_quarn(self).store->export_jsonl(dest, include_deleted);
    if (!written) return raise_error(written.error());
    return PyLong_FromUnsignedLongLong(*written);
  });
}

PyObject* quarn_import_jsonl(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"src"}};
    PyObject* in[1];
    if (!bind("Quarn.import_jsonl", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = Borrow::exclusive(as_quarn(self).borrow);
    if (!borrow) return nullptr;
    std::string src;
    if (!path_arg(in[0], "src", src)) return nullptr;
    auto imported = as_quarn(self).store->import_jsonl(src);
    if (!imported) return raise_import_error(imported.error());
    return PyLong_FromUnsignedLongLong(*imported);
  });
}

}  // namespace quarn::lib
