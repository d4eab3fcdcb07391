// The session scope: who owns the session, and so who commits, rolls back and closes it.
#include "querydeck.hpp"
#include "sessions.hpp"

namespace verdin::querydeck {
namespace {

bool is_exception(PyObject* exc) {
  return PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}

// session.close() for an owned session, with `propagating` as the exception in flight.
void close_owned(Scope* s, PyObject* propagating) {
  if (!s->auto_close) return;
  Handling handling(propagating);
  call_method(s->session, n.close);
}

// Rolls back with `exc` in flight; if the rollback fails, closes and raises its error.
void rollback(Scope* s, PyObject* exc) {
  try {
    Handling handling(exc);
    call_method(s->session, n.rollback);
  } catch (PyErrorSet&) {
    Ref err = fetch_exception();
    close_owned(s, err.get());
    restore_exception(std::move(err));
    throw;
  }
}

Ref make_session(Scope* s) {
  Ref factory = Ref::borrow(PyDict_GetItemWithError(orig.globals, n.sessionmaker));
  if (!factory) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'sessionmaker' is not defined");
    throw_error();
  }
  Ref bind = getattr(s->tmpl, n.data_source);
  return open_session(factory.get(), orig.sessionmaker, orig.session_cls, bind.get());
}

void scope_dealloc(PyObject* self) {
  Scope* s = reinterpret_cast<Scope*>(self);
  Py_XDECREF(s->tmpl);
  Py_XDECREF(s->given);
  Py_XDECREF(s->session);
  PyObject_Free(self);
}

Ref enter_method(Func&, PyObject* const* a) {
  if (Py_TYPE(a[0]) != &scope_type) {
    PyErr_SetString(PyExc_TypeError, "a session scope is required");
    throw_error();
  }
  return scope_enter(reinterpret_cast<Scope*>(a[0]));
}

Ref exit_method(Func&, PyObject* const* a) {
  if (Py_TYPE(a[0]) != &scope_type) {
    PyErr_SetString(PyExc_TypeError, "a session scope is required");
    throw_error();
  }
  scope_exit(reinterpret_cast<Scope*>(a[0]), a[2] == Py_None ? nullptr : a[2]);
  return Ref::borrow(Py_False);
}

const Param p_self[] = {{"self"}};
const Param p_exit[] = {{"self"}, {"exc_type"}, {"exc"}, {"traceback"}};
const FuncSpec s_enter = fn("__enter__", enter_method, p_self);
const FuncSpec s_exit = fn("__exit__", exit_method, p_exit);

}  // namespace

PyTypeObject scope_type = [] {
  PyTypeObject t{};
  t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
  t.tp_name = "verdin.db.querydeck.SessionScope";
  t.tp_basicsize = sizeof(Scope);
  t.tp_dealloc = scope_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc = "The context manager returned by SqlTemplate.get_session().";
  return t;
}();

Ref scope_new(PyObject* tmpl, PyObject* session) {
  Scope* s = PyObject_New(Scope, &scope_type);
  if (s == nullptr) throw_error();
  s->tmpl = Py_NewRef(tmpl);
  s->given = Py_NewRef(session);
  s->session = nullptr;
  s->auto_close = true;
  s->entered = false;
  return Ref::steal(reinterpret_cast<PyObject*>(s));
}

Ref scope_enter(Scope* s) {
  if (s->entered) {
    PyErr_SetString(PyExc_RuntimeError, "the session scope has already been entered");
    throw_error();
  }
  s->entered = true;
  s->auto_close = true;
  Ref session;
  if (truth(s->given)) {
    s->auto_close = false;
    session = Ref::borrow(s->given);
  } else {
    session = make_session(s);
  }
  s->session = Py_NewRef(session.get());
  return session;
}

void scope_exit(Scope* s, PyObject* exc) {
  if (s->session == nullptr) return;
  struct Release {
    Scope* s;
    ~Release() { Py_CLEAR(s->session); }
  } release{s};
  if (exc == nullptr) {
    if (s->auto_close) {
      try {
        call_method(s->session, n.commit);
      } catch (PyErrorSet&) {
        Ref err = fetch_exception();
        if (is_exception(err.get())) rollback(s, err.get());
        close_owned(s, err.get());
        restore_exception(std::move(err));
        throw;
      }
    }
    close_owned(s, nullptr);
    return;
  }
  if (is_exception(exc)) rollback(s, exc);
  close_owned(s, exc);
}

void init_scope(ModuleBuilder& m) {
  if (!(scope_type.tp_flags & Py_TPFLAGS_READY)) {
    ok(PyType_Ready(&scope_type));
    Ref enter = m.function(s_enter, "SessionScope");
    Ref exit = m.function(s_exit, "SessionScope");
    ok(PyDict_SetItemString(scope_type.tp_dict, "__enter__", enter.get()));
    ok(PyDict_SetItemString(scope_type.tp_dict, "__exit__", exit.get()));
    PyType_Modified(&scope_type);
  }
}

}  // namespace verdin::querydeck
