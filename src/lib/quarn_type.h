// The Python `Quarn` object: one open database.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "lib/borrow.h"
#include "lib/module.h"
#include "lib/py.h"
#include "store/store.h"

namespace quarn::lib {

struct QuarnObject {
  PyObject_HEAD
  std::unique_ptr<store::Store> store;  // dropped (file closed, key wiped) with the object
  PyObject* path;                       // str, exactly as passed to open
  BorrowFlag borrow;
};

inline QuarnObject& as_quarn(PyObject* object) { return *reinterpret_cast<QuarnObject*>(object); }

// The data methods (quarn_methods.cpp), in the order of the method table.
PyObject* quarn_remember(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_recall(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_search(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_get(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_delete(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_verify(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_about(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_insert_default_manifest(PyObject*, PyObject* const*, Py_ssize_t,
                                        PyObject*) noexcept;
PyObject* quarn_build_index(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_drop_index(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_has_index(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_snapshots(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_restore_to(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_restore_to_time(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_set_cache_capacity(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_cache_stats(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_set_max_snapshots(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_stats(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_export_encrypted(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
// The portable export and import (portable.cpp).
PyObject* quarn_export_jsonl(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_import_jsonl(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_set_index_params(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_set_iterative_scan(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_set_format_version(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_vacuum(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* quarn_change_passphrase(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

// Recall shared by Quarn.recall and Session.recall. recall_request converts `query`, `top_k` and
// `memory_types` (nullptr: left out) into `request`, leaving its other fields as they are;
// run_recall runs it on the store and returns the list of result dicts. The caller holds the
// database exclusively.
[[nodiscard]] bool recall_request(PyObject* query, PyObject* top_k, PyObject* memory_types,
                                  store::RecallRequest& request);
PyObject* run_recall(const State& state, store::Store& store, const store::RecallRequest& request);

}  // namespace quarn::lib
