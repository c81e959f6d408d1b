// The Session class. A session holds its Quarn object for its whole life but takes it (exclusive
// access) afresh on every call that reaches the database, never between calls.
#include "lib/session.h"

#include <new>
#include <string>
#include <utility>

#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/quarn_type.h"

namespace quarn::lib {
namespace {

using memory::Memory;
using memory::MemoryType;

SessionObject& as_session(PyObject* object) { return *reinterpret_cast<SessionObject*>(object); }

bool raise_if_closed(const SessionObject& session) {
  if (session.open) return false;
  PyErr_SetString(PyExc_RuntimeError, "session is already closed");
  return true;
}

// A read of the session's own fields.
template <class F>
PyObject* shared_call(const char* name, PyObject* self, Py_ssize_t nargs, PyObject* kwnames,
                      F&& read) {
  return guarded([&]() -> PyObject* {
    if (!bind_none(name, nargs, kwnames)) return nullptr;
    Borrow borrow = Borrow::shared(as_session(self).borrow);
    if (!borrow) return nullptr;
    return read(as_session(self));
  });
}

// Promotes every turn still typed working to episodic, then flushes. Returns the count, or
// nullopt with the exception set; the session is marked closed only when everything succeeded.
// The caller holds the session exclusively.
std::optional<long> consolidate(SessionObject& session) {
  Borrow db_borrow = Borrow::exclusive(as_quarn(session.db).borrow);
  if (!db_borrow) return std::nullopt;
  store::Store& store = *as_quarn(session.db).store;
  long promoted = 0;
  for (const memory::Ulid& id : session.turn_ids) {
    auto memory = store.get(id);
    if (!memory || memory->memory_type != MemoryType::Working) continue;
    memory->memory_type = MemoryType::Episodic;
    auto stored = store.remember(std::move(*memory));
    if (!stored) {
      raise_error(stored.error());
      return std::nullopt;
    }
    ++promoted;
  }
  if (auto flushed = store.flush(); !flushed) {
    raise_error(flushed.error());
    return std::nullopt;
  }
  session.open = false;
  return promoted;
}

PyObject* session_id(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return shared_call("Session.id", self, nargs, kwnames,
                     [](SessionObject& session) { return id_to_str(session.id); });
}

PyObject* session_agent(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return shared_call("Session.agent", self, nargs, kwnames,
                     [](SessionObject& session) { return str_from(session.agent); });
}

PyObject* session_turn_ids(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return shared_call("Session.turn_ids", self, nargs, kwnames, [](SessionObject& session) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(session.turn_ids.size())));
    if (!list) return static_cast<PyObject*>(nullptr);
    for (std::size_t i = 0; i < session.turn_ids.size(); ++i) {
      PyObject* id = id_to_str(session.turn_ids[i]);
      if (id == nullptr) return static_cast<PyObject*>(nullptr);
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
    }
    return list.release();
  });
}

PyObject* session_turn_count(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return shared_call("Session.turn_count", self, nargs, kwnames, [](SessionObject& session) {
    return PyLong_FromSize_t(session.turn_ids.size());
  });
}

PyObject* session_add_turn(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"turn"}};
    PyObject* in[1];
    if (!bind("Session.add_turn", kParams, args, nargs, kwnames, in)) return nullptr;
    SessionObject& session = as_session(self);
    Borrow borrow = Borrow::exclusive(session.borrow);
    if (!borrow || raise_if_closed(session)) return nullptr;
    if (Py_TYPE(in[0]) != state_of(self).turn_type) {
      raise_argument_type("turn", "Turn", in[0]);
      return nullptr;
    }
    const TurnObject& turn = *reinterpret_cast<TurnObject*>(in[0]);
    auto created = Memory::create(turn.content, MemoryType::Working, turn.vector);
    if (!created) return raise_error(created.error());
    Memory& memory = *created;
    memory.agent_id = session.agent;
    memory.session_id = session.id.to_string();
    memory.metadata.insert_or_assign("role", memory::Json(turn.role));

    Borrow db_borrow = Borrow::exclusive(as_quarn(session.db).borrow);
    if (!db_borrow) return nullptr;
    auto id = as_quarn(session.db).store->remember(std::move(memory));
    if (!id) return raise_error(id.error());
    Ref text(id_to_str(*id));
    if (!text) return nullptr;
    session.turn_ids.push_back(*id);
    return text.release();
  });
}

PyObject* session_recall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"query"}, {"top_k", false}, {"memory_types", false}};
    PyObject* in[3];
    if (!bind("Session.recall", kParams, args, nargs, kwnames, in)) return nullptr;
    SessionObject& session = as_session(self);
    Borrow borrow = Borrow::exclusive(session.borrow);
    if (!borrow || raise_if_closed(session)) return nullptr;
    Borrow db_borrow = Borrow::exclusive(as_quarn(session.db).borrow);
    if (!db_borrow) return nullptr;
    store::RecallRequest request;
    if (!recall_request(in[0], in[1], in[2], request)) return nullptr;
    request.agent_id = session.agent;
    request.track_access = true;
    return run_recall(state_of(self), *as_quarn(session.db).store, request);
  });
}

PyObject* session_close(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    if (!bind_none("Session.close", nargs, kwnames)) return nullptr;
    SessionObject& session = as_session(self);
    Borrow borrow = Borrow::exclusive(session.borrow);
    if (!borrow || raise_if_closed(session)) return nullptr;
    const auto promoted = consolidate(session);
    return promoted ? PyLong_FromLong(*promoted) : nullptr;
  });
}

PyObject* session_discard(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    if (!bind_none("Session.discard", nargs, kwnames)) return nullptr;
    SessionObject& session = as_session(self);
    Borrow borrow = Borrow::exclusive(session.borrow);
    if (!borrow || raise_if_closed(session)) return nullptr;
    Borrow db_borrow = Borrow::exclusive(as_quarn(session.db).borrow);
    if (!db_borrow) return nullptr;
    store::Store& store = *as_quarn(session.db).store;
    long removed = 0;
    for (const memory::Ulid& id : session.turn_ids) {
      // A turn the catalog no longer knows is skipped; an already deleted one still counts.
      if (store.remove(id)) ++removed;
    }
    if (auto flushed = store.flush(); !flushed) return raise_error(flushed.error());
    session.open = false;
    return PyLong_FromLong(removed);
  });
}

PyObject* session_enter(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    if (!bind_none("Session.__enter__", nargs, kwnames)) return nullptr;
    return new_ref(self);
  });
}

PyObject* session_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"_exc_type"}, {"_exc_value"}, {"_traceback"}};
    PyObject* in[3];
    if (!bind("Session.__exit__", kParams, args, nargs, kwnames, in)) return nullptr;
    SessionObject& session = as_session(self);
    Borrow borrow = Borrow::exclusive(session.borrow);
    if (!borrow) return nullptr;
    if (session.open && !consolidate(session)) return nullptr;
    Py_RETURN_FALSE;
  });
}

PyObject* session_repr(PyObject* self) noexcept {
  return guarded([&]() -> PyObject* {
    SessionObject& session = as_session(self);
    Borrow borrow = Borrow::shared(session.borrow);
    if (!borrow) return nullptr;
    const std::string text = "<quarn.Session id='" + session.id.to_string() + "' agent='" +
                             session.agent + "' turns=" + std::to_string(session.turn_ids.size()) +
                             " open=" + (session.open ? "true" : "false") + ">";
    return str_from(text);
  });
}

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Session");
  return nullptr;
}

void session_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  SessionObject& session = as_session(self);
  Py_XDECREF(session.db);
  session.agent.~basic_string();
  session.turn_ids.~vector();
  type->tp_free(self);
  Py_DECREF(type);
}

PyDoc_STRVAR(session_doc,
             "A scoped conversation session over a [`Quarn`] database.\n\n"
             "Created by `Quarn.session(agent_id)`. Holds a handle to the database,\n"
             "records turns as `working` memory tagged with this session, and on `close`\n"
             "**consolidates** them into durable `episodic` memory.\n\n"
             "The session does not keep the database borrowed between calls: each call\n"
             "takes it afresh and releases it before returning.");
PyDoc_STRVAR(id_doc,
             "id($self)\n--\n\nThis session's unique id (a ULID string), stamped on every turn.");
PyDoc_STRVAR(agent_doc, "agent($self)\n--\n\nThe agent this session belongs to.");
PyDoc_STRVAR(turn_ids_doc, "turn_ids($self)\n--\n\nIds of the turns recorded so far, in order.");
PyDoc_STRVAR(turn_count_doc, "turn_count($self)\n--\n\nHow many turns have been recorded.");
PyDoc_STRVAR(add_turn_doc,
             "add_turn($self, /, turn)\n--\n\n"
             "Record a conversation turn as a `working` memory tagged with this\n"
             "session and agent. Writes are staged until `close` (or any flush).");
PyDoc_STRVAR(recall_doc,
             "recall($self, /, query, top_k=10, memory_types=None)\n--\n\n"
             "Recall within this session's agent view: its own memories, private or\n"
             "shared, and the shared memories of other agents. Returned memories are\n"
             "stamped as accessed. Returns memory dicts with \"score\" and \"similarity\",\n"
             "best first.");
PyDoc_STRVAR(close_doc,
             "close($self)\n--\n\n"
             "End the session, **consolidating** its turns into episodic memory:\n"
             "each turn still typed `working` is promoted to `episodic`. Returns the\n"
             "number promoted; the database is flushed before returning.");
PyDoc_STRVAR(discard_doc,
             "discard($self)\n--\n\n"
             "End the session, **discarding** its turns instead of consolidating \xe2\x80\x94\n"
             "every turn this session recorded is deleted. Returns the number\n"
             "removed; the database is flushed before returning.");
PyDoc_STRVAR(enter_doc, "__enter__($self)\n--\n\nReturn the session itself.");
PyDoc_STRVAR(exit_doc,
             "__exit__($self, /, _exc_type, _exc_value, _traceback)\n--\n\n"
             "Exiting the `with` block consolidates the session (like `close`),\n"
             "unless it was already closed or discarded.");

PyMethodDef session_methods[] = {
    fast_method("id", session_id, id_doc),
    fast_method("agent", session_agent, agent_doc),
    fast_method("turn_ids", session_turn_ids, turn_ids_doc),
    fast_method("turn_count", session_turn_count, turn_count_doc),
    fast_method("add_turn", session_add_turn, add_turn_doc),
    fast_method("recall", session_recall, recall_doc),
    fast_method("close", session_close, close_doc),
    fast_method("discard", session_discard, discard_doc),
    fast_method("__enter__", session_enter, enter_doc),
    fast_method("__exit__", session_exit, exit_doc),
    {},
};

PyType_Slot session_slots[] = {
    {Py_tp_doc, const_cast<char*>(session_doc)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(session_repr)},
    {Py_tp_methods, session_methods},
    {0, nullptr},
};

PyType_Spec session_spec = {
    "quarn.Session",
    sizeof(SessionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    session_slots,
};

}  // namespace

PyObject* new_session(const State& state, PyObject* db, std::string agent) {
  auto id = memory::Ulid::generate();
  if (!id) return raise_error(id.error());
  PyObject* self = state.session_type->tp_alloc(state.session_type, 0);
  if (self == nullptr) return nullptr;
  SessionObject& session = as_session(self);
  session.db = new_ref(db);
  new (&session.agent) std::string(std::move(agent));
  session.id = *id;
  new (&session.turn_ids) std::vector<memory::Ulid>();
  session.open = true;
  session.borrow = 0;
  return self;
}

PyTypeObject* create_session_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &session_spec, nullptr));
}

}  // namespace quarn::lib
