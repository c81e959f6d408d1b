// The Python values the methods return: memory dicts, result lists, snapshot and stats dicts.
#include "lib/convert.h"

#include <string_view>

#include "lib/errors.h"

namespace quarn::lib {

namespace {

template <class T>
PyObject* optional_int(const std::optional<T>& value) {
  if (!value) return new_ref(Py_None);
  return PyLong_FromLongLong(*value);
}

PyObject* optional_str(const std::optional<std::string>& value) {
  if (!value) return new_ref(Py_None);
  return str_from(*value);
}

// Sets dict[key] = value, taking over the reference to value; false when value is nullptr.
bool put(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

}  // namespace

PyObject* list_of_floats(const std::vector<float>& values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* number = PyFloat_FromDouble(values[i]);
    if (number == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
  }
  return list.release();
}

PyObject* str_from(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* id_to_str(const memory::Ulid& id) {
  const std::string text = id.to_string();
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* memory_to_dict(const State& state, const memory::Memory& memory) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const auto* keys = state.keys;
  const bool ok =
      put(d, keys[kKeyId], id_to_str(memory.id)) &&
      put(d, keys[kKeyContent], str_from(memory.content)) &&
      put(d, keys[kKeyMemoryType],
          new_ref(state.type_names[static_cast<int>(memory.memory_type) & 3])) &&
      put(d, keys[kKeyVector], list_of_floats(memory.vector)) &&
      put(d, keys[kKeyAgentId], str_from(memory.agent_id)) &&
      put(d, keys[kKeySessionId], optional_str(memory.session_id)) &&
      put(d, keys[kKeyScope], new_ref(state.scope_names[memory.scope == memory::Scope::Shared])) &&
      put(d, keys[kKeyCreatedAt], PyLong_FromLongLong(memory.created_at)) &&
      put(d, keys[kKeyAccessedAt], PyLong_FromLongLong(memory.accessed_at)) &&
      put(d, keys[kKeyAccessCount], PyLong_FromUnsignedLong(memory.access_count)) &&
      put(d, keys[kKeyImportance], PyFloat_FromDouble(memory.importance)) &&
      put(d, keys[kKeyTtlSecs], optional_int(memory.ttl_secs)) &&
      put(d, keys[kKeyMetadata], object_to_py(memory.metadata));
  return ok ? dict.release() : nullptr;
}

PyObject* recall_results_to_list(const State& state, const std::vector<store::RecallResult>& hits) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    Ref dict(memory_to_dict(state, hits[i].memory));
    if (!dict || !put(dict.get(), state.keys[kKeyScore], PyFloat_FromDouble(hits[i].score)) ||
        !put(dict.get(), state.keys[kKeySimilarity], PyFloat_FromDouble(hits[i].similarity))) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return list.release();
}

PyObject* search_results_to_list(const State& state,
                                 const std::vector<std::pair<memory::Memory, float>>& hits) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    Ref dict(memory_to_dict(state, hits[i].first));
    if (!dict) return nullptr;
    Ref similarity(PyFloat_FromDouble(hits[i].second));
    if (!similarity) return nullptr;
    PyObject* pair = PyTuple_Pack(2, dict.get(), similarity.get());
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyObject* snapshot_to_dict(const store::SnapshotInfo& snapshot) {
  Ref dict(PyDict_New());
  if (!dict || !put(dict.get(), "txn_id", PyLong_FromUnsignedLongLong(snapshot.txn_id)) ||
      !put(dict.get(), "created_at", PyLong_FromLongLong(snapshot.created_at)) ||
      !put(dict.get(), "memory_count", PyLong_FromUnsignedLongLong(snapshot.memory_count))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* stats_to_dict(const store::Stats& stats) {
  Ref agents(PyList_New(static_cast<Py_ssize_t>(stats.agents.size())));
  if (!agents) return nullptr;
  for (std::size_t i = 0; i < stats.agents.size(); ++i) {
    PyObject* agent = str_from(stats.agents[i]);
    if (agent == nullptr) return nullptr;
    PyList_SET_ITEM(agents.get(), static_cast<Py_ssize_t>(i), agent);
  }
  Ref index;
  if (stats.index) {
    index = Ref(PyDict_New());
    if (!index || !put(index.get(), "vectors", PyLong_FromUnsignedLongLong(stats.index->vectors)) ||
        !put(index.get(), "partitions", PyLong_FromUnsignedLongLong(stats.index->partitions)) ||
        !put(index.get(), "subspaces", PyLong_FromUnsignedLongLong(stats.index->subspaces))) {
      return nullptr;
    }
  } else {
    index = Ref(new_ref(Py_None));
  }
  Ref dict(PyDict_New());
  PyObject* d = dict.get();
  const bool ok = d != nullptr && put(d, "memories", PyLong_FromUnsignedLongLong(stats.memories)) &&
                  put(d, "deleted", PyLong_FromUnsignedLongLong(stats.deleted)) &&
                  put(d, "dimensions", PyLong_FromUnsignedLongLong(stats.dimensions)) &&
                  put(d, "file_bytes", PyLong_FromUnsignedLongLong(stats.file_bytes)) &&
                  put(d, "agents", agents.release()) &&
                  put(d, "encrypted", PyBool_FromLong(stats.encrypted)) &&
                  put(d, "created_at", PyLong_FromLongLong(stats.created_at)) &&
                  put(d, "wal_pages", PyLong_FromUnsignedLongLong(stats.wal_pages)) &&
                  put(d, "snapshots", PyLong_FromUnsignedLongLong(stats.snapshots)) &&
                  put(d, "index", index.release());
  return ok ? dict.release() : nullptr;
}

}  // namespace quarn::lib
