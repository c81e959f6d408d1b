// The Turn class: one utterance of a conversation, a plain value with no tie to any database.
#include <new>
#include <string>
#include <utility>

#include "lib/args.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/session.h"

namespace quarn::lib {
namespace {

TurnObject& as_turn(PyObject* object) { return *reinterpret_cast<TurnObject*>(object); }

bool raise_if_unknown_role(PyObject* role, const std::string& text) {
  if (text == "user" || text == "assistant" || text == "system") return false;
  PyErr_Format(PyExc_ValueError, "unknown role '%U' (expected user, assistant, or system)", role);
  return true;
}

PyObject* make_turn(PyTypeObject* type, std::string role, std::string content_text,
                    std::vector<float> values) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  TurnObject& turn = as_turn(self);
  new (&turn.role) std::string(std::move(role));
  new (&turn.content) std::string(std::move(content_text));
  new (&turn.vector) std::vector<float>(std::move(values));
  return self;
}

PyObject* turn_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"role"}, {"content"}, {"vector"}};
    PyObject* in[3];
    if (!bind_tuple("Turn.__new__", kParams, args, kwargs, in)) return nullptr;
    std::string role;
    std::string content;
    std::vector<float> vector;
    if (!text_arg(in[0], "role", role)) return nullptr;
    if (!text_arg(in[1], "content", content) || !vector_arg(in[2], "vector", vector)) {
      return nullptr;
    }
    if (raise_if_unknown_role(in[0], role)) return nullptr;
    return make_turn(type, std::move(role), std::move(content), std::move(vector));
  });
}

// Turn.user / assistant / system: static methods whose function is bound to the class (see
// create_turn_type), so `cls` is the Turn type.
PyObject* shorthand(const char* name, const char* role, PyObject* cls, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"content"}, {"vector"}};
    PyObject* in[2];
    if (!bind(name, kParams, args, nargs, kwnames, in)) return nullptr;
    std::string content;
    std::vector<float> vector;
    if (!text_arg(in[0], "content", content) || !vector_arg(in[1], "vector", vector)) {
      return nullptr;
    }
    return make_turn(reinterpret_cast<PyTypeObject*>(cls), role, std::move(content),
                     std::move(vector));
  });
}

PyObject* turn_user(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  return shorthand("Turn.user", "user", cls, args, nargs, kwnames);
}

PyObject* turn_assistant(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return shorthand("Turn.assistant", "assistant", cls, args, nargs, kwnames);
}

PyObject* turn_system(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return shorthand("Turn.system", "system", cls, args, nargs, kwnames);
}

PyObject* turn_role(PyObject* self, void*) noexcept {
  return guarded([&] { return str_from(as_turn(self).role); });
}

PyObject* turn_content(PyObject* self, void*) noexcept {
  return guarded([&] { return str_from(as_turn(self).content); });
}

PyObject* turn_vector(PyObject* self, void*) noexcept {
  return guarded([&] { return list_of_floats(as_turn(self).vector); });
}

PyObject* turn_repr(PyObject* self) noexcept {
  return guarded([&] {
    const TurnObject& turn = as_turn(self);
    return str_from("<quarn.Turn role='" + turn.role + "' content='" + turn.content + "'>");
  });
}

void turn_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  TurnObject& turn = as_turn(self);
  turn.role.~basic_string();
  turn.content.~basic_string();
  turn.vector.~vector();
  type->tp_free(self);
  Py_DECREF(type);
}

PyDoc_STRVAR(turn_doc,
             "Turn(role, content, vector)\n--\n\n"
             "One conversation turn, recorded into working memory by `Session.add_turn`.\n\n"
             "The `vector` is the caller-supplied embedding of `content`; Quarn does not\n"
             "embed text itself.");
PyDoc_STRVAR(user_doc, "user(content, vector)\n--\n\nShorthand for a user turn.");
PyDoc_STRVAR(assistant_doc, "assistant(content, vector)\n--\n\nShorthand for an assistant turn.");
PyDoc_STRVAR(system_doc, "system(content, vector)\n--\n\nShorthand for a system turn.");

PyMethodDef turn_shorthands[] = {
    fast_method("user", turn_user, user_doc),
    fast_method("assistant", turn_assistant, assistant_doc),
    fast_method("system", turn_system, system_doc),
};

PyGetSetDef turn_getset[] = {
    {"role", turn_role, nullptr, "The speaker: \"user\", \"assistant\" or \"system\".", nullptr},
    {"content", turn_content, nullptr, "The utterance.", nullptr},
    {"vector", turn_vector, nullptr, "The caller's embedding of `content`, as a new list.",
     nullptr},
    {},
};

PyType_Slot turn_slots[] = {
    {Py_tp_doc, const_cast<char*>(turn_doc)},
    {Py_tp_new, reinterpret_cast<void*>(turn_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(turn_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(turn_repr)},
    {Py_tp_getset, turn_getset},
    {0, nullptr},
};

PyType_Spec turn_spec = {
    "quarn.Turn",
    sizeof(TurnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    turn_slots,
};

}  // namespace

PyTypeObject* create_turn_type(PyObject* module) {
  Ref type(PyType_FromModuleAndSpec(module, &turn_spec, nullptr));
  if (!type) return nullptr;
  // A METH_STATIC entry would be called without any way back to the class (and so to this
  // module's Turn type), so each shorthand is a function bound to the class, wrapped as a
  // staticmethod.
  PyObject* dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
  for (PyMethodDef& def : turn_shorthands) {
    Ref function(PyCFunction_NewEx(&def, type.get(), nullptr));
    Ref method(function ? PyStaticMethod_New(function.get()) : nullptr);
    if (!method || PyDict_SetItemString(dict, def.ml_name, method.get()) < 0) return nullptr;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace quarn::lib
