// The methods of Quarn that rewrite the file or its key: vacuum and change_passphrase.
#include <climits>
#include <memory>
#include <optional>
#include <string>

#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/quarn_type.h"

namespace quarn::lib {
namespace {

bool given(PyObject* value) { return value != nullptr && value != Py_None; }

// An int of at least 1 (else ValueError); an int too large for 64 bits keeps every snapshot, as
// no file holds more rows. Not an int: TypeError, as every integer argument.
bool keep_arg(PyObject* value, std::uint64_t& out) {
  Ref index(PyNumber_Index(value));
  if (!index) {
    prefix_argument_error("keep_snapshots");
    return false;
  }
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (number == -1 && PyErr_Occurred()) return false;
  if (overflow > 0) {
    out = UINT64_MAX;
    return true;
  }
  if (overflow < 0 || number < 1) {
    PyErr_SetString(PyExc_ValueError, "keep_snapshots must be at least 1");
    return false;
  }
  out = static_cast<std::uint64_t>(number);
  return true;
}

PyObject* vacuum_dict(const store::VacuumResult& r) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, std::uint64_t> items[] = {
      {"file_bytes_before", r.file_bytes_before},
      {"file_bytes_after", r.file_bytes_after},
      {"snapshots", r.snapshots},
      {"memories", r.memories}};
  for (const auto& [key, number] : items) {
    Ref value(PyLong_FromUnsignedLongLong(number));
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) != 0) return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* quarn_vacuum(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"dest", false},
        {"keep_snapshots", false, true},
        {"passphrase", false, true},
        {"format_version", false, true}};
    PyObject* in[4];
    if (!bind("Quarn.vacuum", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = Borrow::exclusive(as_quarn(self).borrow);
    if (!borrow) return nullptr;
    store::VacuumOptions options;
    if (given(in[0]) && !path_arg(in[0], "dest", options.dest.emplace())) return nullptr;
    if (given(in[1]) && !keep_arg(in[1], options.keep_snapshots.emplace())) return nullptr;
    if (given(in[3])) {
      if (!u64_arg(in[3], "format_version", options.format_version.emplace())) return nullptr;
      if (*options.format_version != 7 && *options.format_version != 8) {
        PyErr_SetString(PyExc_ValueError, "format version must be 7 or 8");
        return nullptr;
      }
    }
    std::unique_ptr<Secret> passphrase;
    if (given(in[2])) {
      passphrase = passphrase_arg(in[2], "passphrase");
      if (!passphrase) return nullptr;
      options.passphrase = passphrase->view();
    }
    auto done = as_quarn(self).store->vacuum(options);
    passphrase.reset();
    if (!done) return raise_error(done.error());
    return vacuum_dict(*done);
  });
}

PyObject* quarn_change_passphrase(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"new_passphrase"}};
    PyObject* in[1];
    if (!bind("Quarn.change_passphrase", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = Borrow::exclusive(as_quarn(self).borrow);
    if (!borrow) return nullptr;
    std::unique_ptr<Secret> passphrase = passphrase_arg(in[0], "new_passphrase");
    if (!passphrase) return nullptr;
    return none_or_raise(as_quarn(self).store->change_passphrase(passphrase->view()));
  });
}

}  // namespace quarn::lib
