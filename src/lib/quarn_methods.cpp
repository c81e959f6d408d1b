// The data methods of Quarn: each binds and converts its arguments, takes the object, calls one
// store operation and converts the result back.
#include <utility>

#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/quarn_type.h"

namespace quarn::lib {
namespace {

using memory::Memory;
using memory::MemoryType;

// Holds `self` exclusively (or shared) for one call; refusals are already raised.
Borrow take_exclusive(PyObject* self) { return Borrow::exclusive(as_quarn(self).borrow); }
Borrow take_shared(PyObject* self) { return Borrow::shared(as_quarn(self).borrow); }
store::Store& store_of(PyObject* self) { return *as_quarn(self).store; }

// A method with no parameters that holds the object exclusively and returns what `call` makes of
// the store.
template <class F>
PyObject* exclusive_call(const char* name, PyObject* self, Py_ssize_t nargs, PyObject* kwnames,
                         F&& call) {
  return guarded([&]() -> PyObject* {
    if (!bind_none(name, nargs, kwnames)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    return call(store_of(self));
  });
}

template <class F>
PyObject* shared_call(const char* name, PyObject* self, Py_ssize_t nargs, PyObject* kwnames,
                      F&& call) {
  return guarded([&]() -> PyObject* {
    if (!bind_none(name, nargs, kwnames)) return nullptr;
    Borrow borrow = take_shared(self);
    if (!borrow) return nullptr;
    return call(store_of(self));
  });
}

bool given(PyObject* value) { return value != nullptr && value != Py_None; }

float clamp_importance(float value) {
  // Comparisons with NaN are false, so a NaN passes through unchanged.
  if (value < 0.0f) return 0.0f;
  if (value > 1.0f) return 1.0f;
  return value;
}

PyObject* restored(const Result<store::SnapshotInfo>& result) {
  if (!result) return raise_error(result.error());
  return snapshot_to_dict(*result);
}

}  // namespace

PyObject* quarn_remember(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"content"},
        {"memory_type"},
        {"vector"},
        {"agent_id", false, true},
        {"importance", false, true},
        {"session_id", false, true},
        {"ttl_secs", false, true},
        {"shared", false, true},
        {"metadata", false, true},
    };
    PyObject* in[9];
    if (!bind("Quarn.remember", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;

    std::string content;
    std::vector<float> vector;
    std::optional<std::string> agent_id, session_id;
    std::optional<float> importance;
    std::optional<std::int64_t> ttl_secs;
    bool shared = false;
    if (!text_arg(in[0], "content", content)) return nullptr;
    if (!PyUnicode_Check(in[1])) {
      raise_argument_type("memory_type", "str", in[1]);
      return nullptr;
    }
    if (!vector_arg(in[2], "vector", vector)) return nullptr;
    if (given(in[3]) && !text_arg(in[3], "agent_id", agent_id.emplace())) return nullptr;
    if (given(in[4]) && !f32_arg(in[4], "importance", importance.emplace())) return nullptr;
    if (given(in[5]) && !text_arg(in[5], "session_id", session_id.emplace())) return nullptr;
    if (given(in[6]) && !i64_arg(in[6], "ttl_secs", ttl_secs.emplace())) return nullptr;
    if (in[7] != nullptr && !flag_arg(in[7], "shared", shared)) return nullptr;
    if (given(in[8]) && !PyDict_Check(in[8])) {
      raise_argument_type("metadata", "dict", in[8]);
      return nullptr;
    }

    MemoryType type;
    if (!type_arg(in[1], "memory_type", type)) return nullptr;
    auto created = Memory::create(std::move(content), type, std::move(vector));
    if (!created) return raise_error(created.error());
    Memory& memory = *created;
    if (agent_id) memory.agent_id = std::move(*agent_id);
    if (importance) memory.importance = clamp_importance(*importance);
    if (session_id) memory.session_id = std::move(session_id);
    if (ttl_secs) memory.ttl_secs = ttl_secs;
    if (shared) memory.scope = memory::Scope::Shared;
    if (given(in[8]) && !metadata_arg(in[8], "metadata", memory.metadata)) return nullptr;

    auto id = store_of(self).remember(std::move(memory));
    if (!id) return raise_error(id.error());
    return id_to_str(*id);
  });
}

bool recall_request(PyObject* query, PyObject* top_k, PyObject* memory_types,
                    store::RecallRequest& request) {
  if (!vector_arg(query, "query", request.query)) return false;
  if (top_k != nullptr && !u64_arg(top_k, "top_k", request.top_k)) return false;
  return !given(memory_types) ||
         types_arg(memory_types, "memory_types", request.memory_types.emplace());
}

PyObject* run_recall(const State& state, store::Store& store,
                     const store::RecallRequest& request) {
  auto hits = store.recall(request);
  if (!hits) return raise_error(hits.error());
  return recall_results_to_list(state, *hits);
}

PyObject* quarn_recall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"query"}, {"top_k", false}, {"memory_types", false}, {"agent_id", false},
        {"track_access", false},
    };
    PyObject* in[5];
    if (!bind("Quarn.recall", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    store::RecallRequest request;
    if (!recall_request(in[0], in[1], in[2], request)) return nullptr;
    if (given(in[3]) && !text_arg(in[3], "agent_id", request.agent_id.emplace())) return nullptr;
    if (in[4] != nullptr && !flag_arg(in[4], "track_access", request.track_access)) return nullptr;
    return run_recall(state_of(self), store_of(self), request);
  });
}

PyObject* quarn_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"query"}, {"top_k", false}};
    PyObject* in[2];
    if (!bind("Quarn.search", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    std::vector<float> query;
    std::uint64_t top_k = 10;
    if (!vector_arg(in[0], "query", query)) return nullptr;
    if (in[1] != nullptr && !u64_arg(in[1], "top_k", top_k)) return nullptr;
    auto hits = store_of(self).search(query, top_k);
    if (!hits) return raise_error(hits.error());
    return search_results_to_list(state_of(self), *hits);
  });
}

PyObject* quarn_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"id"}};
    PyObject* in[1];
    if (!bind("Quarn.get", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    memory::Ulid id;
    if (!id_arg(in[0], "id", id)) return nullptr;
    auto memory = store_of(self).get(id);
    if (!memory) return raise_error(memory.error());
    return memory_to_dict(state_of(self), *memory);
  });
}

PyObject* quarn_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"id"}};
    PyObject* in[1];
    if (!bind("Quarn.delete", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    memory::Ulid id;
    if (!id_arg(in[0], "id", id)) return nullptr;
    return none_or_raise(store_of(self).remove(id));
  });
}

PyObject* quarn_verify(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return exclusive_call("Quarn.verify", self, nargs, kwnames, [](store::Store& store) {
    auto checked = store.verify();
    return checked ? PyLong_FromUnsignedLongLong(*checked) : raise_error(checked.error());
  });
}

PyObject* quarn_about(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return exclusive_call("Quarn.about", self, nargs, kwnames, [&](store::Store& store) {
    auto memories = store.about();
    if (!memories) return raise_error(memories.error());
    Ref list(PyList_New(static_cast<Py_ssize_t>(memories->size())));
    if (!list) return static_cast<PyObject*>(nullptr);
    for (std::size_t i = 0; i < memories->size(); ++i) {
      PyObject* dict = memory_to_dict(state_of(self), (*memories)[i]);
      if (dict == nullptr) return static_cast<PyObject*>(nullptr);
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);
    }
    return list.release();
  });
}

PyObject* quarn_insert_default_manifest(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
  return exclusive_call("Quarn.insert_default_manifest", self, nargs, kwnames,
                        [](store::Store& store) {
                          auto id = store.insert_default_manifest();
                          return id ? id_to_str(*id) : raise_error(id.error());
                        });
}

PyObject* quarn_build_index(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return exclusive_call("Quarn.build_index", self, nargs, kwnames,
                        [](store::Store& store) { return none_or_raise(store.build_index()); });
}

PyObject* quarn_drop_index(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return exclusive_call("Quarn.drop_index", self, nargs, kwnames, [](store::Store& store) {
    store.drop_index();
    return new_ref(Py_None);
  });
}

PyObject* quarn_has_index(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return shared_call("Quarn.has_index", self, nargs, kwnames,
                     [](store::Store& store) { return PyBool_FromLong(store.has_index()); });
}

PyObject* quarn_snapshots(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return shared_call("Quarn.snapshots", self, nargs, kwnames, [](store::Store& store) {
    const auto snapshots = store.snapshots();
    Ref list(PyList_New(static_cast<Py_ssize_t>(snapshots.size())));
    if (!list) return static_cast<PyObject*>(nullptr);
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
      PyObject* dict = snapshot_to_dict(snapshots[i]);
      if (dict == nullptr) return static_cast<PyObject*>(nullptr);
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);
    }
    return list.release();
  });
}

PyObject* quarn_restore_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"txn_id"}};
    PyObject* in[1];
    if (!bind("Quarn.restore_to", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    std::uint64_t txn_id;
    if (!u64_arg(in[0], "txn_id", txn_id)) return nullptr;
    return restored(store_of(self).restore_to(txn_id));
  });
}

PyObject* quarn_restore_to_time(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"unix_secs"}};
    PyObject* in[1];
    if (!bind("Quarn.restore_to_time", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    std::int64_t unix_secs;
    if (!i64_arg(in[0], "unix_secs", unix_secs)) return nullptr;
    return restored(store_of(self).restore_to_time(unix_secs));
  });
}

PyObject* quarn_set_cache_capacity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"pages"}};
    PyObject* in[1];
    if (!bind("Quarn.set_cache_capacity", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    std::uint64_t pages;
    if (!u64_arg(in[0], "pages", pages)) return nullptr;
    store_of(self).set_cache_capacity(pages);
    Py_RETURN_NONE;
  });
}

PyObject* quarn_cache_stats(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return shared_call("Quarn.cache_stats", self, nargs, kwnames, [](store::Store& store) {
    const auto [cached, capacity] = store.cache_stats();
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(cached),
                         static_cast<unsigned long long>(capacity));
  });
}

PyObject* quarn_set_max_snapshots(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"max"}};
    PyObject* in[1];
    if (!bind("Quarn.set_max_snapshots", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    std::uint64_t max;
    if (!u64_arg(in[0], "max", max)) return nullptr;
    store_of(self).set_max_snapshots(max);
    Py_RETURN_NONE;
  });
}

PyObject* quarn_stats(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return exclusive_call("Quarn.stats", self, nargs, kwnames, [](store::Store& store) {
    auto stats = store.stats();
    return stats ? stats_to_dict(*stats) : raise_error(stats.error());
  });
}

PyObject* quarn_export_encrypted(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"dest"}};
    PyObject* in[1];
    if (!bind("Quarn.export_encrypted", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    std::string dest;
    if (!path_arg(in[0], "dest", dest)) return nullptr;
    auto exported = store_of(self).export_encrypted(dest);
    if (exported) Py_RETURN_NONE;
    if (exported.error().detail() != ErrorDetail::ExportCopy) return raise_error(exported.error());
    const std::string message = "export failed: " + exported.error().text();
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    return nullptr;
  });
}

PyObject* quarn_set_index_params(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"n_probe", false, true}, {"n_rerank", false, true}};
    PyObject* in[2];
    if (!bind("Quarn.set_index_params", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    std::optional<std::uint64_t> n_probe, n_rerank;
    if (given(in[0]) && !u64_arg(in[0], "n_probe", n_probe.emplace())) return nullptr;
    if (given(in[1]) && !u64_arg(in[1], "n_rerank", n_rerank.emplace())) return nullptr;
    return none_or_raise(store_of(self).set_index_params(n_probe, n_rerank));
  });
}

PyObject* quarn_set_iterative_scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"enabled"}};
    PyObject* in[1];
    if (!bind("Quarn.set_iterative_scan", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    bool enabled = false;
    if (!flag_arg(in[0], "enabled", enabled)) return nullptr;
    store_of(self).set_iterative_scan(enabled);
    Py_RETURN_NONE;
  });
}

PyObject* quarn_set_format_version(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"version"}};
    PyObject* in[1];
    if (!bind("Quarn.set_format_version", kParams, args, nargs, kwnames, in)) return nullptr;
    Borrow borrow = take_exclusive(self);
    if (!borrow) return nullptr;
    std::uint64_t version = 0;
    if (!u64_arg(in[0], "version", version)) return nullptr;
    if (version != 7 && version != 8) {
      PyErr_SetString(PyExc_ValueError, "format version must be 7 or 8");
      return nullptr;
    }
    return none_or_raise(store_of(self).set_format_version(version));
  });
}

}  // namespace quarn::lib
