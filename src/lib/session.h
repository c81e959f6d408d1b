// The Python `Session` and `Turn` classes: a conversation recorded as working memories of one
// agent, consolidated into episodic memory (or discarded) when the session ends.
#pragma once

#include <string>
#include <vector>

#include "lib/borrow.h"
#include "lib/module.h"
#include "lib/py.h"
#include "memory/ulid.h"

namespace quarn::lib {

struct SessionObject {
  PyObject_HEAD
  PyObject* db;  // the Quarn object; a strong reference keeps it alive with the session
  std::string agent;
  memory::Ulid id;
  std::vector<memory::Ulid> turn_ids;  // in the order added, never shortened
  bool open;
  BorrowFlag borrow;
};

struct TurnObject {
  PyObject_HEAD
  std::string role;  // "user", "assistant" or "system"
  std::string content;
  std::vector<float> vector;
};

// A new open session over `db` with a fresh id and no turns. Touches nothing in the database.
PyObject* new_session(const State& state, PyObject* db, std::string agent);

}  // namespace quarn::lib
