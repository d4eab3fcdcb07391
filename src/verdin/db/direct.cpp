// Owned sessions on a plain connection, when nothing could tell the difference.
//
// A text statement in a session the template owns reaches the database as
// engine.connect(), begin, execute, commit (or rollback), close: that is all a Session does
// for it, plus bookkeeping that only its event listeners and method overrides can see. While
// Session has no class-level listener, none of its methods is replaced, the session factory
// is SQLAlchemy's own and the bind is an exact Engine, the template runs the statement on
// the Connection directly and saves that bookkeeping. Engine events still fire, because the
// Connection is the one the Session would have used.
#include <cstdlib>

#include "querydeck.hpp"

namespace verdin::querydeck {
namespace {

struct Direct {
  bool usable = false;
  PyTypeObject* engine_type = nullptr;
  PyTypeObject* text_type = nullptr;
  PyObject* get_session = nullptr;  // SqlTemplate.get_session as installed
  PyObject* methods = nullptr;      // tuple of (name, original) of Session's methods
  PyObject* listeners = nullptr;    // tuple of Session's class-level listener collections
} d;

// The methods through which a Session would run a text statement.
constexpr const char* session_methods[] = {
    "__init__",   "execute", "_execute_internal", "get_bind", "_connection_for_bind",
    "_autoflush", "commit",  "rollback",          "close",    "connection"};

// The class-level listener collection of every Session event for `cls`: what
// `cls.dispatch._for_class(cls)` keeps for the events nobody listens to on an instance.
Ref class_listeners(PyObject* cls) {
  Ref dispatch = getattr(cls, "dispatch");
  Ref for_class = call_method(dispatch.get(), Ref(new_str("_for_class")).get(), cls);
  Ref empty = getattr(for_class.get(), "_empty_listeners");
  if (!PyDict_CheckExact(empty.get())) {
    PyErr_SetString(PyExc_TypeError, "unexpected listener registry");
    throw_error();
  }
  Ref out = Ref::take(PyTuple_New(PyDict_GET_SIZE(empty.get())));
  Py_ssize_t pos = 0, i = 0;
  PyObject *key, *listener;
  while (PyDict_Next(empty.get(), &pos, &key, &listener)) {
    Ref deque = getattr(listener, "parent_listeners");
    PyTuple_SET_ITEM(out.get(), i++, deque.release());
  }
  return out;
}

// The number of listeners in the collections; the length of a deque runs no Python code.
Py_ssize_t listener_count(PyObject* collections) {
  Py_ssize_t total = 0;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(collections); i++) {
    Py_ssize_t size = PyObject_Size(PyTuple_GET_ITEM(collections, i));
    if (size < 0) throw_error();
    total += size;
  }
  return total;
}

// Checks, on a throwaway subclass, that the collections read above are the ones that
// event.listen and event.remove change, and counts what is already there.
bool listeners_verified(PyObject* session_cls) {
  Ref event = import("sqlalchemy.event");
  Ref bases = Ref::take(PyTuple_Pack(1, session_cls));
  Ref ns = Ref::take(PyDict_New());
  Ref name = new_str("VerdinListenerProbe");
  PyObject* type = reinterpret_cast<PyObject*>(&PyType_Type);
  Ref probe = call(type, name.get(), bases.get(), ns.get());
  Ref collections = class_listeners(probe.get());
  Py_ssize_t before = listener_count(collections.get());
  Ref builtins = import("builtins");
  Ref eval = getattr(builtins.get(), "eval");
  Ref source = new_str("lambda *args, **kw: None");
  Ref fn = call(eval.get(), source.get());
  Ref identifier = new_str("after_commit");
  Ref listen = getattr(event.get(), "listen");
  call(listen.get(), probe.get(), identifier.get(), fn.get());
  Py_ssize_t during = listener_count(collections.get());
  Ref remove = getattr(event.get(), "remove");
  call(remove.get(), probe.get(), identifier.get(), fn.get());
  Py_ssize_t after = listener_count(collections.get());
  Ref again = class_listeners(probe.get());
  bool same = PyTuple_GET_SIZE(again.get()) == PyTuple_GET_SIZE(collections.get());
  for (Py_ssize_t i = 0; same && i < PyTuple_GET_SIZE(again.get()); i++) {
    same = PyTuple_GET_ITEM(again.get(), i) == PyTuple_GET_ITEM(collections.get(), i);
  }
  return same && PyTuple_GET_SIZE(collections.get()) > 0 && during == before + 1 && after == before;
}

void setup(PyObject* session_cls, PyObject* get_session) {
  Ref engine_module = import("sqlalchemy.engine");
  Ref engine = getattr(engine_module.get(), "Engine");
  Ref sqlalchemy = import("sqlalchemy");
  Ref text_clause = getattr(sqlalchemy.get(), "TextClause");
  if (!PyType_Check(engine.get()) || !PyType_Check(text_clause.get())) return;
  constexpr Py_ssize_t count = sizeof session_methods / sizeof *session_methods;
  Ref methods = Ref::take(PyTuple_New(count));
  for (Py_ssize_t i = 0; i < count; i++) {
    Ref key = Ref::borrow(intern(session_methods[i]));
    Ref method = getattr(session_cls, key.get());
    Ref pair = Ref::take(PyTuple_Pack(2, key.get(), method.get()));
    PyTuple_SET_ITEM(methods.get(), i, pair.release());
  }
  if (!listeners_verified(session_cls)) return;
  d.listeners = class_listeners(session_cls).release();
  d.methods = methods.release();
  d.engine_type = reinterpret_cast<PyTypeObject*>(engine.release());
  d.text_type = reinterpret_cast<PyTypeObject*>(text_clause.release());
  d.get_session = Py_NewRef(get_session);
  d.usable = true;
}

}  // namespace

void init_direct(PyObject* template_cls) {
  const char* off = std::getenv("VERDIN_NO_FAST_PATHS");
  if (off != nullptr && *off != '\0') return;
  Ref get_session = getattr(template_cls, n.get_session);
  try {
    setup(orig.session_cls, get_session.get());
  } catch (PyErrorSet&) {
    // Another SQLAlchemy than the one this was written against: the Session path serves.
    PyErr_Clear();
  }
}

Ref direct_engine(PyObject* self, PyObject* get_session, PyObject* con,
                  std::initializer_list<PyObject*> statements) {
  if (!d.usable || con != Py_None) return Ref();
  if (!PyMethod_Check(get_session) || PyMethod_GET_FUNCTION(get_session) != d.get_session ||
      PyMethod_GET_SELF(get_session) != self) {
    return Ref();
  }
  for (PyObject* statement : statements) {
    if (Py_TYPE(statement) != d.text_type) return Ref();
  }
  PyObject* factory = PyDict_GetItemWithError(orig.globals, n.sessionmaker);
  if (factory != orig.sessionmaker) {
    if (factory == nullptr && PyErr_Occurred()) throw_error();
    return Ref();
  }
  // What an instance would find: a method replaced on Session or on a base class.
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(d.methods); i++) {
    PyObject* pair = PyTuple_GET_ITEM(d.methods, i);
    Ref now = getattr(orig.session_cls, PyTuple_GET_ITEM(pair, 0));
    if (now.get() != PyTuple_GET_ITEM(pair, 1)) return Ref();
  }
  if (listener_count(d.listeners) != 0) return Ref();
  Ref bind = getattr(self, n.data_source);
  if (Py_TYPE(bind.get()) != d.engine_type) return Ref();
  return bind;
}

Ref direct_scope(PyObject* self, PyObject* engine) {
  Ref scope = scope_new(self, Py_None);
  Scope* s = reinterpret_cast<Scope*>(scope.get());
  s->entered = true;
  Ref connection = call_method(engine, n.connect);
  s->session = Py_NewRef(connection.get());
  // As a Session does on first use: the transaction begins before the statement runs, and
  // a connection whose begin failed goes back to the pool. A connection that an engine_connect
  // listener has already used (SET search_path, time zones) has begun its transaction then;
  // the Session joins that one, and commits or rolls it back at the end.
  try {
    Ref begun = call_method(connection.get(), n.in_transaction);
    if (!truth(begun.get())) call_method(connection.get(), n.begin);
  } catch (PyErrorSet&) {
    Ref err = fetch_exception();
    Py_CLEAR(s->session);
    {
      Handling handling(err.get());
      call_method(connection.get(), n.close);
    }
    restore_exception(std::move(err));
    throw;
  }
  return scope;
}

}  // namespace verdin::querydeck
