// The `quarn` extension module: its state, its classes and `open`, added in a fixed order.
#include "lib/module.h"

#include "version.h"

namespace quarn::lib {
namespace {

constexpr const char* kKeyNames[kKeyCount] = {
    "id",         "content",     "memory_type",  "vector",     "agent_id",
    "session_id", "scope",       "created_at",   "accessed_at", "access_count",
    "importance", "ttl_secs",    "metadata",     "score",      "similarity",
};

PyModuleDef module_def;

State& module_state(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

int add_type(PyObject* module, PyTypeObject* type) {
  return type == nullptr ? -1 : PyModule_AddType(module, type);
}

int module_exec(PyObject* module) {
  State& state = module_state(module);
  for (int i = 0; i < kKeyCount; ++i) {
    state.keys[i] = PyUnicode_InternFromString(kKeyNames[i]);
    if (state.keys[i] == nullptr) return -1;
  }
  static constexpr const char* kTypeNames[] = {"episodic", "semantic", "procedural", "working"};
  for (int i = 0; i < 4; ++i) {
    state.type_names[i] = PyUnicode_InternFromString(kTypeNames[i]);
    if (state.type_names[i] == nullptr) return -1;
  }
  state.scope_names[0] = PyUnicode_InternFromString("private");
  state.scope_names[1] = PyUnicode_InternFromString("shared");
  if (state.scope_names[0] == nullptr || state.scope_names[1] == nullptr) return -1;
  state.quarn_type = create_quarn_type(module);
  if (add_type(module, state.quarn_type) < 0) return -1;
  state.session_type = create_session_type(module);
  if (add_type(module, state.session_type) < 0) return -1;
  state.turn_type = create_turn_type(module);
  if (add_type(module, state.turn_type) < 0) return -1;
  // The interpreter keeps pointers into this table for as long as the functions live.
  static PyMethodDef functions[] = {open_method, {}};
  if (PyModule_AddFunctions(module, functions) < 0) return -1;
  return PyModule_AddStringConstant(module, "__version__", kEngineVersion);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  State* state = static_cast<State*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_VISIT(state->quarn_type);
  Py_VISIT(state->session_type);
  Py_VISIT(state->turn_type);
  return 0;
}

int module_clear(PyObject* module) {
  State* state = static_cast<State*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_CLEAR(state->quarn_type);
  Py_CLEAR(state->session_type);
  Py_CLEAR(state->turn_type);
  for (PyObject*& key : state->keys) Py_CLEAR(key);
  for (PyObject*& name : state->type_names) Py_CLEAR(name);
  for (PyObject*& name : state->scope_names) Py_CLEAR(name);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

}  // namespace

State& state_of(PyTypeObject* type) {
  return *static_cast<State*>(PyType_GetModuleState(type));
}

}  // namespace quarn::lib

PyMODINIT_FUNC PyInit_quarn() {
  using namespace quarn::lib;
  module_def = {
      PyModuleDef_HEAD_INIT,
      "quarn",
      "The `quarn` Python extension module.",
      sizeof(State),
      nullptr,
      module_slots,
      module_traverse,
      module_clear,
      module_free,
  };
  return PyModuleDef_Init(&module_def);
}
