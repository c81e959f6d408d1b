// The Quarn class: its lifecycle (flush, close, with, repr, len, path), `session`, the method
// table with the docstrings Python shows, and the module-level `open` that makes Quarn objects.
#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/quarn_type.h"
#include "lib/session.h"
#include "pager/file.h"

namespace quarn::lib {
namespace {

constexpr const char* kDimensionsRequired = "dimensions is required when creating a new database";

PyObject* new_quarn(const State& state, std::unique_ptr<store::Store> store, PyObject* path) {
  PyObject* self = state.quarn_type->tp_alloc(state.quarn_type, 0);
  if (self == nullptr) return nullptr;
  QuarnObject& db = as_quarn(self);
  new (&db.store) std::unique_ptr<store::Store>(std::move(store));
  db.path = new_ref(path);
  db.borrow = 0;
  return self;
}

PyObject* open_database(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"path"}, {"passphrase"}, {"dimensions", false}};
    PyObject* in[3];
    if (!bind("open", kParams, args, nargs, kwnames, in)) return nullptr;
    std::string path;
    if (!path_arg(in[0], "path", path)) return nullptr;
    std::unique_ptr<Secret> passphrase = passphrase_arg(in[1], "passphrase");
    if (!passphrase) return nullptr;
    std::optional<std::uint64_t> dimensions;
    if (in[2] != nullptr && in[2] != Py_None && !u64_arg(in[2], "dimensions", dimensions.emplace())) {
      return nullptr;
    }
    if (!dimensions) {
      auto exists = pager::path_exists(path);
      if (!exists) return raise_error(exists.error());
      if (!*exists) {
        PyErr_SetString(PyExc_ValueError, kDimensionsRequired);
        return nullptr;
      }
    }
    auto store = store::Store::open(path, passphrase->view(), dimensions);
    passphrase.reset();
    if (!store) {
      // The path may have vanished between the check above and the store's own.
      if (store.error().detail() == ErrorDetail::DimensionsRequired) {
        PyErr_SetString(PyExc_ValueError, kDimensionsRequired);
        return nullptr;
      }
      return raise_error(store.error());
    }
    Ref path_text(PyUnicode_FromObject(in[0]));
    if (!path_text) return nullptr;
    return new_quarn(*static_cast<State*>(PyModule_GetState(module)), std::move(*store),
                     path_text.get());
  });
}

PyObject* flush(const char* name, PyObject* self, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!bind_none(name, nargs, kwnames)) return nullptr;
    Borrow borrow = Borrow::exclusive(as_quarn(self).borrow);
    if (!borrow) return nullptr;
    return none_or_raise(as_quarn(self).store->flush());
  });
}

PyObject* quarn_flush(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return flush("Quarn.flush", self, nargs, kwnames);
}

PyObject* quarn_close(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return flush("Quarn.close", self, nargs, kwnames);
}

PyObject* quarn_enter(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    if (!bind_none("Quarn.__enter__", nargs, kwnames)) return nullptr;
    return new_ref(self);
  });
}

// Flushes whether or not the block raised. A flush failure raised while the block's exception is
// being handled gets that exception as its __context__ from the interpreter.
PyObject* quarn_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"_exc_type"}, {"_exc_value"}, {"_traceback"}};
    PyObject* in[3];
    if (!bind("Quarn.__exit__", kParams, args, nargs, kwnames, in)) return nullptr;
    Ref flushed(flush("Quarn.__exit__", self, 0, nullptr));
    if (!flushed) return nullptr;
    Py_RETURN_FALSE;
  });
}

PyObject* quarn_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"agent_id"}};
    PyObject* in[1];
    if (!bind("Quarn.session", kParams, args, nargs, kwnames, in)) return nullptr;
    std::string agent_id;
    if (!text_arg(in[0], "agent_id", agent_id)) return nullptr;
    return new_session(state_of(self), self, std::move(agent_id));
  });
}

PyObject* quarn_repr(PyObject* self) noexcept {
  return guarded([&]() -> PyObject* {
    Borrow borrow = Borrow::shared(as_quarn(self).borrow);
    if (!borrow) return nullptr;
    return PyUnicode_FromFormat("<quarn.Quarn path='%U' memories=%llu>", as_quarn(self).path,
                                static_cast<unsigned long long>(as_quarn(self).store->live_count()));
  });
}

Py_ssize_t quarn_len(PyObject* self) noexcept {
  Borrow borrow = Borrow::shared(as_quarn(self).borrow);
  if (!borrow) return -1;
  return static_cast<Py_ssize_t>(as_quarn(self).store->live_count());
}

PyObject* quarn_path(PyObject* self, void*) noexcept {
  Borrow borrow = Borrow::shared(as_quarn(self).borrow);
  if (!borrow) return nullptr;
  return new_ref(as_quarn(self).path);
}

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Quarn");
  return nullptr;
}

// Drops the store without flushing: the file is closed and the key wiped; staged changes are lost.
void quarn_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  QuarnObject& db = as_quarn(self);
  db.store.~unique_ptr();
  Py_XDECREF(db.path);
  type->tp_free(self);
  Py_DECREF(type);
}

PyDoc_STRVAR(remember_doc,
             "remember($self, /, content, memory_type, vector, *, agent_id=None, importance=None, "
             "session_id=None, ttl_secs=None, shared=False, metadata=None)\n--\n\n"
             "Store a memory; returns its ULID as a string.");
PyDoc_STRVAR(recall_doc,
             "recall($self, /, query, top_k=10, memory_types=None, agent_id=None, "
             "track_access=True)\n--\n\n"
             "Rank memories against `query` by similarity, recency, importance and access\n"
             "count; returns up to `top_k` memory dicts, best first, each with its \"score\"\n"
             "and \"similarity\". Returned memories are stamped as accessed unless\n"
             "`track_access` is False.");
PyDoc_STRVAR(search_doc,
             "search($self, /, query, top_k=10)\n--\n\n"
             "Exact nearest-neighbour search by cosine similarity over every live memory;\n"
             "returns up to `top_k` `(memory dict, similarity)` pairs, best first.");
PyDoc_STRVAR(get_doc,
             "get($self, /, id)\n--\n\n"
             "Fetch one memory by id; raises `RuntimeError` if it does not exist.");
PyDoc_STRVAR(delete_doc, "delete($self, /, id)\n--\n\nSoft-delete a memory by id.");
PyDoc_STRVAR(flush_doc,
             "flush($self)\n--\n\nPersist all pending changes as one atomic transaction.");
PyDoc_STRVAR(close_doc,
             "close($self)\n--\n\nFlush and release; the object should not be used afterwards.");
PyDoc_STRVAR(verify_doc,
             "verify($self)\n--\n\n"
             "Decrypt and re-validate every live record; returns the count checked.");
PyDoc_STRVAR(about_doc,
             "about($self)\n--\n\n"
             "Return the database's self-describing onboarding memories (those tagged\n"
             "`metadata.area = \"onboarding\"`), sorted by importance descending then\n"
             "created_at ascending. This is the engine-level entry point for a\n"
             "fresh agent to learn what the file is, which embedder it expects, and\n"
             "any other conventions the file's author chose to record \xe2\x80\x94 all without\n"
             "needing any external documentation. Each entry is returned as a dict\n"
             "matching the shape of `recall`/`get` results.");
PyDoc_STRVAR(insert_default_manifest_doc,
             "insert_default_manifest($self)\n--\n\n"
             "Insert the canonical scaffold manifest into this database. Mirrors what\n"
             "`quarn init` does by default \xe2\x80\x94 useful when you create a database\n"
             "programmatically via `quarn.open(path, pp, dimensions=N)` and want the\n"
             "same self-describing-by-default behavior. Returns the new memory's\n"
             "ULID as a string. Does not flush.");
PyDoc_STRVAR(build_index_doc,
             "build_index($self)\n--\n\n"
             "Train an approximate IVF-PQ index over every live memory and install it;\n"
             "recall then draws its candidates from the index. Written at the next `flush()`.");
PyDoc_STRVAR(drop_index_doc,
             "drop_index($self)\n--\n\nDrop the approximate index; recall reverts to exact scan.");
PyDoc_STRVAR(has_index_doc,
             "has_index($self)\n--\n\nWhether an approximate index is currently loaded.");
PyDoc_STRVAR(snapshots_doc,
             "snapshots($self)\n--\n\n"
             "List restorable snapshots \xe2\x80\x94 one dict per committed transaction.");
PyDoc_STRVAR(restore_to_doc,
             "restore_to($self, /, txn_id)\n--\n\n"
             "Restore the database to the snapshot from transaction `txn_id`.");
PyDoc_STRVAR(restore_to_time_doc,
             "restore_to_time($self, /, unix_secs)\n--\n\n"
             "Restore to the latest snapshot committed at or before `unix_secs`.");
PyDoc_STRVAR(set_cache_capacity_doc,
             "set_cache_capacity($self, /, pages)\n--\n\n"
             "Bound the page cache to `pages` decrypted pages.");
PyDoc_STRVAR(cache_stats_doc,
             "cache_stats($self)\n--\n\nPage-cache occupancy as `(pages_cached, capacity)`.");
PyDoc_STRVAR(set_max_snapshots_doc,
             "set_max_snapshots($self, /, max)\n--\n\n"
             "Override the snapshot-manifest retention cap on this open handle.\n\n"
             "`max` = 0 disables the cap: every snapshot is kept. A positive value keeps\n"
             "the most recent `max` snapshots and prunes the rest on the next `flush()`.\n"
             "The default at open comes from the configuration value `max_snapshots`\n"
             "(256).");
PyDoc_STRVAR(stats_doc, "stats($self)\n--\n\nSummary statistics as a dict.");
PyDoc_STRVAR(export_encrypted_doc,
             "export_encrypted($self, /, dest)\n--\n\n"
             "Flush, then copy the encrypted file to `dest`. The file is already\n"
             "encrypted, so the export is a plain byte-for-byte copy.");
PyDoc_STRVAR(session_doc,
             "session($self, /, agent_id)\n--\n\n"
             "Begin a conversation `Session` for `agent_id`.\n\n"
             "The session records turns as working memory and, when closed,\n"
             "consolidates them into episodic memory.");
PyDoc_STRVAR(enter_doc, "__enter__($self)\n--\n\nReturn the database itself.");
PyDoc_STRVAR(exit_doc,
             "__exit__($self, /, _exc_type, _exc_value, _traceback)\n--\n\n"
             "Flush on leaving the `with` block, whether or not it raised; returns False.");
PyDoc_STRVAR(export_jsonl_doc,
             "export_jsonl($self, /, dest, *, include_deleted=False)\n--\n\n"
             "Write every live memory (and, with `include_deleted`, the soft-deleted ones)\n"
             "to the new file `dest` as JSON Lines: a header line, then one memory dict per\n"
             "line. Staged changes are included and nothing is flushed; an existing `dest`\n"
             "is refused. Returns the number of memories written.");
PyDoc_STRVAR(import_jsonl_doc,
             "import_jsonl($self, /, src)\n--\n\n"
             "Stage every memory of a file written by `export_jsonl`, keeping ids, times,\n"
             "access statistics, types, scopes and metadata; a memory whose id exists is\n"
             "stored again under that id. Returns the number imported; does not flush.\n"
             "A line that is not a valid memory of this database raises `ValueError`\n"
             "naming the line, and nothing of the file is staged.");
PyDoc_STRVAR(set_index_params_doc,
             "set_index_params($self, /, *, n_probe=None, n_rerank=None)\n--\n\n"
             "Change the loaded index's `n_probe` (partitions visited per query) and\n"
             "`n_rerank` (candidates scored exactly); `None` leaves a value as it is, and 0\n"
             "acts as 1. Larger values raise recall at the cost of time. Stored in the index,\n"
             "so the change is written at the next `flush()`. Raises `RuntimeError` when no\n"
             "index is loaded.");
PyDoc_STRVAR(set_iterative_scan_doc,
             "set_iterative_scan($self, /, enabled)\n--\n\n"
             "Let recall through the index go on past `n_rerank` candidates, and past the\n"
             "`n_probe` nearest partitions, until `top_k` memories pass its filters or every\n"
             "partition was visited. For this handle only; off when opened.");
PyDoc_STRVAR(set_format_version_doc,
             "set_format_version($self, /, version)\n--\n\n"
             "Choose the file format: 7 (each flush writes the whole catalog again) or 8\n"
             "(each flush writes the part of the catalog that changed). Takes effect at the\n"
             "next `flush()`, which then commits even with nothing else staged, and the file\n"
             "keeps that version; every snapshot stays restorable across the change. On a\n"
             "database that has committed nothing yet it takes effect at once. Any other\n"
             "version raises `ValueError`.");
PyDoc_STRVAR(vacuum_doc,
             "vacuum($self, /, dest=None, *, keep_snapshots=None, passphrase=None,\n"
             "       format_version=None)\n--\n\n"
             "Flush, then rewrite the database into a new file that holds only what the kept\n"
             "snapshots reach: their catalogs and indexes and the records they refer to, each\n"
             "stored once. Ids, times, access statistics, transaction ids and record bytes\n"
             "stay as they were, and no snapshot is added. `keep_snapshots=None` keeps every\n"
             "snapshot; `k` keeps the newest `k` (at least 1, else `ValueError`). A memory\n"
             "deleted in every kept snapshot is dropped from the file with its record.\n\n"
             "With `dest=None` the file is replaced in place, atomically (the new file is\n"
             "written beside it, synced and renamed over it), and this object goes on with\n"
             "it; it refuses with `RuntimeError` while another handle, in this process or\n"
             "another, has the file open. With `dest`, the copy is written to that new path\n"
             "(an existing one is refused) and the database is unchanged. `passphrase`\n"
             "encrypts the result under a fresh data key wrapped under that passphrase.\n"
             "`format_version` (7 or 8, else `ValueError`) writes the result in that format\n"
             "(see `set_format_version`); by default it keeps the database's. Returns a dict\n"
             "with file_bytes_before, file_bytes_after, snapshots and memories.");
PyDoc_STRVAR(change_passphrase_doc,
             "change_passphrase($self, /, new_passphrase)\n--\n\n"
             "Wrap the data key under `new_passphrase` (a fresh salt, the file's Argon2\n"
             "costs) and commit it, with anything staged, as one transaction: from the\n"
             "return on only the new passphrase opens the file. The pages keep their data\n"
             "key, so earlier copies and exports keep the old passphrase and share the data\n"
             "key; `vacuum(passphrase=...)` is the full rotation, under a new data key.");
PyDoc_STRVAR(path_doc, "Filesystem path of this database.");
PyDoc_STRVAR(open_doc,
             "open($module, /, path, passphrase, dimensions=None)\n--\n\n"
             "Open the encrypted database at `path`, or create it when the path does not\n"
             "exist; creating needs `dimensions`, the length of every stored vector.");

PyMethodDef quarn_methods[] = {
    fast_method("remember", quarn_remember, remember_doc),
    fast_method("recall", quarn_recall, recall_doc),
    fast_method("search", quarn_search, search_doc),
    fast_method("get", quarn_get, get_doc),
    fast_method("delete", quarn_delete, delete_doc),
    fast_method("flush", quarn_flush, flush_doc),
    fast_method("close", quarn_close, close_doc),
    fast_method("verify", quarn_verify, verify_doc),
    fast_method("about", quarn_about, about_doc),
    fast_method("insert_default_manifest", quarn_insert_default_manifest,
                insert_default_manifest_doc),
    fast_method("build_index", quarn_build_index, build_index_doc),
    fast_method("drop_index", quarn_drop_index, drop_index_doc),
    fast_method("has_index", quarn_has_index, has_index_doc),
    fast_method("snapshots", quarn_snapshots, snapshots_doc),
    fast_method("restore_to", quarn_restore_to, restore_to_doc),
    fast_method("restore_to_time", quarn_restore_to_time, restore_to_time_doc),
    fast_method("set_cache_capacity", quarn_set_cache_capacity, set_cache_capacity_doc),
    fast_method("cache_stats", quarn_cache_stats, cache_stats_doc),
    fast_method("set_max_snapshots", quarn_set_max_snapshots, set_max_snapshots_doc),
    fast_method("stats", quarn_stats, stats_doc),
    fast_method("export_encrypted", quarn_export_encrypted, export_encrypted_doc),
    fast_method("session", quarn_session, session_doc),
    fast_method("__enter__", quarn_enter, enter_doc),
    fast_method("__exit__", quarn_exit, exit_doc),
    fast_method("export_jsonl", quarn_export_jsonl, export_jsonl_doc),
    fast_method("import_jsonl", quarn_import_jsonl, import_jsonl_doc),
    fast_method("set_index_params", quarn_set_index_params, set_index_params_doc),
    fast_method("set_iterative_scan", quarn_set_iterative_scan, set_iterative_scan_doc),
    fast_method("set_format_version", quarn_set_format_version, set_format_version_doc),
    fast_method("vacuum", quarn_vacuum, vacuum_doc),
    fast_method("change_passphrase", quarn_change_passphrase, change_passphrase_doc),
    {},
};

PyGetSetDef quarn_getset[] = {
    {"path", quarn_path, nullptr, path_doc, nullptr},
    {},
};

PyType_Slot quarn_slots[] = {
    {Py_tp_doc, const_cast<char*>("An open, encrypted Quarn database.")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(quarn_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(quarn_repr)},
    {Py_sq_length, reinterpret_cast<void*>(quarn_len)},
    {Py_tp_methods, quarn_methods},
    {Py_tp_getset, quarn_getset},
    {0, nullptr},
};

PyType_Spec quarn_spec = {
    "quarn.Quarn",
    sizeof(QuarnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    quarn_slots,
};

}  // namespace

PyMethodDef open_method = fast_method("open", open_database, open_doc);

PyTypeObject* create_quarn_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &quarn_spec, nullptr));
}

}  // namespace quarn::lib
