// The session scope: who owns the session, and so who commits, rolls back and closes it.
#include "gc_fields.hpp"
#include "querydeck.hpp"
#include "sessions.hpp"

namespace verdin::querydeck {

PyTypeObject* scope_type = nullptr;

namespace {

bool is_exception(PyObject* exc) {
  return PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}

// session.close() for an owned session, with `propagating` as the exception in flight.
void close_owned(PyObject* session, bool auto_close, PyObject* propagating) {
  if (!auto_close) return;
  Handling handling(propagating);
  call_method(session, n.close);
}

// A borrowed session that a transaction() owns remembers the first statement that failed and
// rolled it back: the block may catch the error and go on, and its exit must then not commit
// what ran after the failure as if it were the whole transaction.
void mark_failed(PyObject* session, PyObject* exc) {
  Handling handling(exc);
  try {
    if (tx_state(session) == TxState::open) set_tx_state(session, exc);
  } catch (PyErrorSet&) {
    // An object bound in place of a Session whose `info` fails: the rollback below and the
    // statement's own error matter more than the mark.
    PyErr_Clear();
  }
}

// Rolls back with `exc` in flight; if the rollback fails, closes and raises its error.
void rollback(PyObject* session, bool auto_close, PyObject* exc) {
  try {
    Handling handling(exc);
    call_method(session, n.rollback);
  } catch (PyErrorSet&) {
    Ref err = fetch_exception();
    close_owned(session, auto_close, err.get());
    restore_exception(std::move(err));
    throw;
  }
}

Ref make_session(Scope* s) {
  Ref factory = dict_get(orig.globals, n.sessionmaker);
  if (!factory) {
    PyErr_SetString(PyExc_NameError, "name 'sessionmaker' is not defined");
    throw_error();
  }
  Ref tmpl = Ref::borrow(s->tmpl);
  Ref bind = getattr(tmpl.get(), n.data_source);
  return open_session(factory.get(), orig.sessionmaker, orig.session_cls, bind.get());
}

using ScopeGc = GcFields<Scope, &Scope::tmpl, &Scope::given, &Scope::session>;

Scope* as_scope(PyObject* self) {
  if (Py_TYPE(self) != scope_type) {
    PyErr_SetString(PyExc_TypeError, "a session scope is required");
    throw_error();
  }
  return reinterpret_cast<Scope*>(self);
}

Ref enter_method(Func&, PyObject* const* a) {
  return scope_enter(as_scope(a[0]));
}

Ref exit_method(Func&, PyObject* const* a) {
  Scope* s = as_scope(a[0]);
  PyObject* exc = a[2] == Py_None ? nullptr : a[2];
  // Anything else would be raised as the exception in flight while rolling back.
  if (exc != nullptr && !PyExceptionInstance_Check(exc)) {
    PyErr_Format(PyExc_TypeError, "__exit__() expects an exception instance or None, not %.200s",
                 Py_TYPE(exc)->tp_name);
    throw_error();
  }
  scope_exit(s, exc);
  return Ref::borrow(Py_False);
}

const Param p_self[] = {{"self"}};
const Param p_exit[] = {{"self"}, {"exc_type"}, {"exc"}, {"traceback"}};
const FuncSpec s_enter = fn("__enter__", enter_method, p_self);
const FuncSpec s_exit = fn("__exit__", exit_method, p_exit);

PyType_Slot scope_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ScopeGc::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ScopeGc::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ScopeGc::clear)},
    {Py_tp_doc, const_cast<char*>("The context manager returned by SqlTemplate.get_session().")},
    {0, nullptr},
};

PyType_Spec scope_spec = {
    "verdin.db.querydeck.SessionScope",
    sizeof(Scope),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    scope_slots,
};

}  // namespace

Ref scope_new(PyObject* tmpl, PyObject* session) {
  Scope* s = PyObject_GC_New(Scope, scope_type);
  if (s == nullptr) throw_error();
  s->tmpl = Py_NewRef(tmpl);
  s->given = Py_NewRef(session);
  s->session = nullptr;
  s->auto_close = true;
  s->entered = false;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(s));
  return Ref::steal(reinterpret_cast<PyObject*>(s));
}

Ref scope_enter(Scope* s) {
  if (s->entered) {
    PyErr_SetString(PyExc_RuntimeError, "the session scope has already been entered");
    throw_error();
  }
  Ref session;
  Ref given = Ref::borrow(s->given);
  bool borrowed = truth(given.get());
  // A task or copied context can outlive the transaction() that bound its session; a statement
  // run there would begin a new transaction in the closed session that nobody commits.
  TxState state = borrowed ? tx_state(given.get()) : TxState::untracked;
  if (state == TxState::ended) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the transaction() that bound this session has ended: a statement run through "
                    "its binding afterwards (in a task or copied context that outlived the block) "
                    "needs a transaction of its own");
    throw_error();
  }
  // The same for a session that begin_tx() bound, once the facade has closed it.
  if (state == TxState::closed) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the session that begin_tx() bound has been closed (close(), or begin_tx() "
                    "again): a statement run through it afterwards (from a stream opened before, "
                    "a task or a copied context) needs a session of its own");
    throw_error();
  }
  s->entered = true;
  s->auto_close = true;
  if (borrowed) {
    s->auto_close = false;
    session = std::move(given);
  } else {
    session = make_session(s);
  }
  Py_XSETREF(s->session, Py_NewRef(session.get()));
  return session;
}

void scope_exit(Scope* s, PyObject* exc) {
  // Taken out first: an __exit__ reached again from the commit or rollback below (a session
  // event listener) then finds nothing left to do.
  Ref session = Ref::steal(std::exchange(s->session, nullptr));
  if (!session) return;
  bool auto_close = s->auto_close;
  if (exc == nullptr) {
    if (auto_close) {
      try {
        call_method(session.get(), n.commit);
      } catch (PyErrorSet&) {
        Ref err = fetch_exception();
        if (is_exception(err.get())) rollback(session.get(), auto_close, err.get());
        close_owned(session.get(), auto_close, err.get());
        restore_exception(std::move(err));
        throw;
      }
    }
    close_owned(session.get(), auto_close, nullptr);
    return;
  }
  if (is_exception(exc)) {
    if (!auto_close) mark_failed(session.get(), exc);
    rollback(session.get(), auto_close, exc);
  }
  close_owned(session.get(), auto_close, exc);
}

void init_scope(ModuleBuilder& m) {
  if (scope_type != nullptr) return;
  Ref type = Ref::take(PyType_FromSpec(&scope_spec));
  Ref enter = m.function(s_enter, "SessionScope");
  Ref exit = m.function(s_exit, "SessionScope");
  setattr(type.get(), Ref(new_str("__enter__")).get(), enter.get());
  setattr(type.get(), Ref(new_str("__exit__")).get(), exit.get());
  // Fixed from here on, as a type defined in C is.
  reinterpret_cast<PyTypeObject*>(type.get())->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
  scope_type = reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace verdin::querydeck
