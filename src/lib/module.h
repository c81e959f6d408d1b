// Module state shared by the types of the `quarn` module.
#pragma once

#include "lib/py.h"

namespace quarn::lib {

// The keys of the memory dict in their order, then the two a recall result adds.
enum MemoryKey : int {
  kKeyId,
  kKeyContent,
  kKeyMemoryType,
  kKeyVector,
  kKeyAgentId,
  kKeySessionId,
  kKeyScope,
  kKeyCreatedAt,
  kKeyAccessedAt,
  kKeyAccessCount,
  kKeyImportance,
  kKeyTtlSecs,
  kKeyMetadata,
  kKeyScore,
  kKeySimilarity,
  kKeyCount,
};

struct State {
  PyTypeObject* quarn_type;
  PyTypeObject* session_type;
  PyTypeObject* turn_type;
  PyObject* keys[kKeyCount];   // interned
  PyObject* type_names[4];     // "episodic", ... by MemoryType ordinal
  PyObject* scope_names[2];    // "private", "shared"
};

// The state of the module that defined `type` (each of the module's classes knows its module).
State& state_of(PyTypeObject* type);
inline State& state_of(PyObject* object) { return state_of(Py_TYPE(object)); }

// The classes, made by the module's exec slot in this order.
PyTypeObject* create_quarn_type(PyObject* module);
PyTypeObject* create_session_type(PyObject* module);
PyTypeObject* create_turn_type(PyObject* module);

// Module-level `open`.
extern PyMethodDef open_method;

}  // namespace quarn::lib
