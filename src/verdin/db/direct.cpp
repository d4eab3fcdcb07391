// Owned sessions on a plain connection, when nothing could tell the difference.
//
// A text statement in a session the template owns reaches the database as
// engine.connect(), begin, execute, commit (or rollback), close: that is all a Session does
// for it, plus bookkeeping that only its event listeners and patched code can see. While
// Session has no class-level listener, nothing on the classes a Session runs through
// (Session, SessionTransaction, the identity map, their bases) nor the module names it finds
// them by has changed since import, the session factory is SQLAlchemy's own and the bind is an
// exact Engine, the template runs the statement on the Connection directly and saves that
// bookkeeping. Engine events still fire, because the Connection is the one the Session would
// have used.
//
// A change to a class is seen through its version tag, which the interpreter renews whenever
// the class or one of its bases is modified: a renewed tag sends calls down the Session path
// until the class's namespace is again what it was at import.

#include "querydeck.hpp"

namespace verdin::querydeck {
namespace {

// A class as it was at import: its version tag, and its MRO with a copy of each namespace.
struct Watched {
  PyTypeObject* type = nullptr;
  unsigned int tag = 0;
  PyObject* mro = nullptr;         // the tuple tp_mro was
  PyObject* namespaces = nullptr;  // tuple: a copy of each mutable class's dict, or None
};

struct Direct {
  bool usable = false;
  PyTypeObject* engine_type = nullptr;
  PyTypeObject* text_type = nullptr;
  PyObject* get_session = nullptr;  // SqlTemplate.get_session as installed
  PyObject* listeners = nullptr;    // tuple of Session's class-level listener collections
  Watched classes[3];               // Session, SessionTransaction, the identity map
  PyObject* globals = nullptr;      // tuple of (module dict, name, value) the Session path reads
  PyObject* active = nullptr;       // SessionTransactionState.ACTIVE
  PyObject* any_state = nullptr;    // _StateChangeStates.ANY: no state change under way
} d;

// What a bound Session's execute of a text statement reads on the session and its transaction.
struct {
  PyObject *dict, *execution_options, *new_, *deleted, *identity_map, *modified, *bind, *binds,
      *private_binds, *transaction, *trans_context_manager, *dispatch, *do_orm_execute, *state,
      *next_state, *connections, *connection;
  PyObject* shadowing;  // tuple: the methods on that path, which an instance could shadow
} k;

// The module names through which a Session reaches the classes above.
constexpr const char* watched_globals[][2] = {
    {"sqlalchemy.orm.session", "SessionTransaction"},
    {"sqlalchemy.orm.session", "_sessions"},
    {"sqlalchemy.orm.session", "_new_sessionid"},
    {"sqlalchemy.orm.session", "identity"},
    {"sqlalchemy.orm.identity", nullptr},  // the identity map class, named as below
};

// The identity map class of a Session, by its name in SQLAlchemy 2.1 and in 2.0.
constexpr const char* identity_map_names[] = {"_WeakInstanceDict", "WeakInstanceDict"};

// The type's version tag, assigned if it has none; 0 when the interpreter gives none (a type
// modified too often), which keeps calls on the Session path.
unsigned int current_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
#else
  _PyType_Lookup(type, n.get_session);
#endif
  return type->tp_version_tag;
}

// A copy of the namespace of each class in `mro` that can change (builtin types cannot).
Ref namespaces_of(PyObject* mro) {
  Ref out = Ref::take(PyTuple_New(PyTuple_GET_SIZE(mro)));
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    bool fixed = (cls->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) || cls->tp_dict == nullptr;
    PyObject* copy = fixed ? Py_NewRef(Py_None) : PyDict_Copy(cls->tp_dict);
    if (copy == nullptr) throw_error();
    PyTuple_SET_ITEM(out.get(), i, copy);
  }
  return out;
}

void watch(Watched& w, PyObject* cls) {
  w.type = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
  w.mro = Py_NewRef(w.type->tp_mro);
  w.namespaces = namespaces_of(w.mro).release();
  w.tag = current_tag(w.type);
}

// Whether every class of the MRO holds exactly what it held at import: the same objects under
// the same names.
bool unchanged_since_import(const Watched& w) {
  PyObject* mro = w.type->tp_mro;
  if (mro == nullptr || PyTuple_GET_SIZE(mro) != PyTuple_GET_SIZE(w.mro)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
    if (PyTuple_GET_ITEM(mro, i) != PyTuple_GET_ITEM(w.mro, i)) return false;
    PyObject* then = PyTuple_GET_ITEM(w.namespaces, i);
    if (then == Py_None) continue;
    PyObject* now = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
    if (now == nullptr || PyDict_GET_SIZE(now) != PyDict_GET_SIZE(then)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(then, &pos, &key, &value)) {
      PyObject* found = PyDict_GetItemWithError(now, key);
      if (found != value) {
        if (found == nullptr && PyErr_Occurred()) throw_error();
        return false;
      }
    }
  }
  return true;
}

// Whether the class is as it was at import. A renewed tag is checked against the copies and
// becomes the reference when nothing differs (a patch undone).
bool still_original(Watched& w) {
  if (w.tag != 0 && w.type->tp_version_tag == w.tag) return true;
  if (!unchanged_since_import(w)) return false;
  w.tag = current_tag(w.type);
  return w.tag != 0;
}

bool globals_original() {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(d.globals); i++) {
    PyObject* entry = PyTuple_GET_ITEM(d.globals, i);
    PyObject* now = PyDict_GetItemWithError(PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1));
    if (now != PyTuple_GET_ITEM(entry, 2)) {
      if (now == nullptr && PyErr_Occurred()) throw_error();
      return false;
    }
  }
  return true;
}

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
  Ref session_module = import("sqlalchemy.orm.session");
  Ref identity_module = import("sqlalchemy.orm.identity");
  Ref session_tx = getattr(session_module.get(), "SessionTransaction");
  Ref identity_map;
  const char* identity_map_name = nullptr;
  for (const char* name : identity_map_names) {
    identity_map = Ref::steal(PyObject_GetAttrString(identity_module.get(), name));
    if (identity_map) {
      identity_map_name = name;
      break;
    }
    PyErr_Clear();
  }
  if (!identity_map) return;
  for (PyObject* type : {engine.get(), text_clause.get(), session_tx.get(), identity_map.get()}) {
    if (!PyType_Check(type)) return;
  }
  constexpr Py_ssize_t count = sizeof watched_globals / sizeof *watched_globals;
  Ref globals = Ref::take(PyTuple_New(count));
  for (Py_ssize_t i = 0; i < count; i++) {
    Ref module = import(watched_globals[i][0]);
    Ref dict = Ref::borrow(PyModule_GetDict(module.get()));
    const char* name = watched_globals[i][1] ? watched_globals[i][1] : identity_map_name;
    Ref key = Ref::borrow(intern(name));
    Ref value = dict_get(dict.get(), key.get());
    if (!value) return;
    PyTuple_SET_ITEM(globals.get(), i, ok(PyTuple_Pack(3, dict.get(), key.get(), value.get())));
  }
  if (!listeners_verified(session_cls)) return;
  d.listeners = class_listeners(session_cls).release();
  watch(d.classes[0], session_cls);
  watch(d.classes[1], session_tx.get());
  watch(d.classes[2], identity_map.get());
  Ref states = import("sqlalchemy.orm.state_changes");
  Ref change_states = getattr(states.get(), "_StateChangeStates");
  Ref tx_states = getattr(session_module.get(), "SessionTransactionState");
  d.any_state = getattr(change_states.get(), "ANY").release();
  d.active = getattr(tx_states.get(), "ACTIVE").release();
  k.dict = intern("__dict__");
  k.execution_options = intern("execution_options");
  k.new_ = intern("_new");
  k.deleted = intern("_deleted");
  k.identity_map = intern("identity_map");
  k.modified = intern("_modified");
  k.bind = intern("bind");
  k.binds = intern("binds");
  k.private_binds = intern("_Session__binds");
  k.transaction = intern("_transaction");
  k.trans_context_manager = intern("_trans_context_manager");
  k.dispatch = intern("dispatch");
  k.do_orm_execute = intern("do_orm_execute");
  k.state = intern("_state");
  k.next_state = intern("_next_state");
  k.connections = intern("_connections");
  k.connection = intern("connection");
  k.shadowing = ok(Py_BuildValue("(ssssss)", "execute", "_execute_internal", "_autoflush",
                                 "get_bind", "_connection_for_bind", "connection"));
  d.globals = globals.release();
  d.engine_type = reinterpret_cast<PyTypeObject*>(engine.release());
  d.text_type = reinterpret_cast<PyTypeObject*>(text_clause.release());
  d.get_session = Py_NewRef(get_session);
  d.usable = true;
}

}  // namespace

void init_direct(PyObject* template_cls) {
  if (!fast_paths_allowed()) return;
  Ref get_session = getattr(template_cls, n.get_session);
  try {
    setup(orig.session_cls, get_session.get());
  } catch (PyErrorSet&) {
    // Another SQLAlchemy than the one this was written against: the Session path serves.
    PyErr_Clear();
  }
}

bool own_get_session(PyObject* self, PyObject* get_session) {
  return d.usable && PyMethod_Check(get_session) &&
         PyMethod_GET_FUNCTION(get_session) == d.get_session &&
         PyMethod_GET_SELF(get_session) == self;
}

namespace {

// The checks every direct statement needs: the fast path is on, get_session is the template's
// own, the statements are text, and Session is as it was at import, without listeners.
bool direct_allowed(PyObject* self, PyObject* get_session,
                    std::initializer_list<PyObject*> statements, bool without_session) {
  if (!own_get_session(self, get_session)) return false;
  for (PyObject* statement : statements) {
    if (Py_TYPE(statement) != d.text_type) return false;
  }
  // Anything replaced or added on the classes a Session runs through, or on their bases.
  for (Watched& w : d.classes) {
    if (!still_original(w)) return false;
  }
  // Without a Session, none of its listeners would hear anything; in a real one, only those
  // of do_orm_execute hear more than the session's connection tells them (checked per session).
  return globals_original() && (!without_session || listener_count(d.listeners) == 0);
}

// Whether `obj` has no entries (a sized object; anything else counts as not empty).
bool empty(PyObject* obj) {
  Py_ssize_t size = PyObject_Size(obj);
  if (size < 0) {
    PyErr_Clear();
    return false;
  }
  return size == 0;
}

}  // namespace

Ref direct_engine(PyObject* self, PyObject* get_session, PyObject* con,
                  std::initializer_list<PyObject*> statements) {
  if (con != Py_None || !direct_allowed(self, get_session, statements, true)) return Ref();
  PyObject* factory = PyDict_GetItemWithError(orig.globals, n.sessionmaker);
  if (factory != orig.sessionmaker) {
    if (factory == nullptr && PyErr_Occurred()) throw_error();
    return Ref();
  }
  Ref bind = getattr(self, n.data_source);
  if (Py_TYPE(bind.get()) != d.engine_type) return Ref();
  return bind;
}

// A Session's execute of a text statement: coerce (nothing to do for text), autoflush (nothing
// when clean), get_bind (its one bind), the transaction's connection for it (begun, with the
// session's transaction, on first use) and that connection's execute. So, for a plain Session
// that is clean, whose instance shadows none of those methods, the statement runs on that
// connection itself; on first use session.connection() begins it exactly as execute would,
// with the same events. A session with pending changes, binds per table, execution options,
// do_orm_execute listeners or a transaction that is not active takes the Session.
Ref direct_connection(PyObject* self, PyObject* get_session, PyObject* session,
                      std::initializer_list<PyObject*> statements) {
  if (Py_TYPE(session) != reinterpret_cast<PyTypeObject*>(orig.session_cls)) return Ref();
  if (!direct_allowed(self, get_session, statements, false)) return Ref();
  Ref dict = Ref::steal(PyObject_GenericGetDict(session, nullptr));
  if (!dict || !PyDict_CheckExact(dict.get())) {
    PyErr_Clear();
    return Ref();
  }
  auto field = [&](PyObject* map, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(map, key);
    if (value == nullptr && PyErr_Occurred()) throw_error();
    return Ref::borrow(value);
  };
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(k.shadowing); i++) {
    if (field(dict.get(), PyTuple_GET_ITEM(k.shadowing, i))) return Ref();
  }
  Ref bind = field(dict.get(), k.bind);
  if (!bind || Py_TYPE(bind.get()) != d.engine_type) return Ref();
  for (PyObject* key : {k.new_, k.deleted}) {
    Ref value = field(dict.get(), key);
    if (!value || !empty(value.get())) return Ref();
  }
  // Read as the Session reads them: the class holds the defaults. Binds per table are `binds`
  // in SQLAlchemy 2.1 and the private `__binds` in 2.0.
  auto attribute_empty = [](PyObject* obj, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (!value) PyErr_Clear();
    return value && empty(value.get());
  };
  if (!attribute_empty(session, k.execution_options)) return Ref();
  PyObject* binds = PyDict_Contains(dict.get(), k.binds) == 1 ? k.binds : k.private_binds;
  if (!attribute_empty(session, binds)) return Ref();
  Ref identity_map = field(dict.get(), k.identity_map);
  if (!identity_map) return Ref();
  Ref modified = Ref::steal(PyObject_GetAttr(identity_map.get(), k.modified));
  if (!modified || !empty(modified.get())) {
    PyErr_Clear();
    return Ref();
  }
  if (field(dict.get(), k.trans_context_manager)) return Ref();
  // A new session makes its dispatcher on first use, as execute would here.
  Ref dispatch = field(dict.get(), k.dispatch);
  if (!dispatch) dispatch = getattr(session, k.dispatch);
  Ref on_execute = getattr(dispatch.get(), k.do_orm_execute);
  if (truth(on_execute.get())) return Ref();
  // The session's own connection(): what execute calls to begin (get_bind() without a clause
  // is the same one bind), with the transaction's events.
  auto begin = [&] { return call_method(session, k.connection); };
  Ref transaction = field(dict.get(), k.transaction);
  if (!transaction) return Ref();
  if (transaction.get() == Py_None) return begin();
  if (Py_TYPE(transaction.get()) != d.classes[1].type) return Ref();
  Ref tx_dict = Ref::steal(PyObject_GenericGetDict(transaction.get(), nullptr));
  if (!tx_dict || !PyDict_CheckExact(tx_dict.get())) {
    PyErr_Clear();
    return Ref();
  }
  Ref state = field(tx_dict.get(), k.state);
  Ref next_state = field(tx_dict.get(), k.next_state);
  if (state.get() != d.active || next_state.get() != d.any_state) return Ref();
  Ref connections = field(tx_dict.get(), k.connections);
  if (!connections || !PyDict_CheckExact(connections.get())) return Ref();
  Ref entry = field(connections.get(), bind.get());
  if (!entry) return begin();
  if (!PyTuple_CheckExact(entry.get()) || PyTuple_GET_SIZE(entry.get()) < 1) return Ref();
  return Ref::borrow(PyTuple_GET_ITEM(entry.get(), 0));
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
