// Sessions as sessionmaker(bind=..., expire_on_commit=False)() makes them, and the transaction()
// mark on them.
#include "sessions.hpp"

#include "errors.hpp"
#include "module.hpp"

namespace verdin {

Ref open_session(PyObject* factory, PyObject* original, PyObject* session_cls, PyObject* bind) {
  // Immutable keyword-name tuples, made once (C++ initialises function statics exactly once)
  // and kept for the life of the process.
  static PyObject* session_kw = ok(Py_BuildValue("(sss)", "bind", "autoflush", "expire_on_commit"));
  static PyObject* factory_kw = ok(Py_BuildValue("(ss)", "bind", "expire_on_commit"));
  if (factory == original) {
    PyObject* args[] = {bind, Py_True, Py_False};
    return call_kw(session_cls, args, 0, session_kw);
  }
  PyObject* args[] = {bind, Py_False};
  Ref maker = call_kw(factory, args, 0, factory_kw);
  return call(maker.get());
}

namespace {

PyObject* tx_key() {
  static PyObject* key = intern("verdin.transaction");
  return key;
}

// session.info, or null for an object that has none (a stand-in some code binds instead).
Ref info_of(PyObject* session) {
  static PyObject* name = intern("info");
  Ref info = Ref::steal(PyObject_GetAttr(session, name));
  if (!info) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    return info;
  }
  if (!PyDict_Check(info.get())) info.reset();
  return info;
}

// The value of the mark of a closed session (the async facade writes the same str).
PyObject* closed_mark() {
  static PyObject* mark = intern("closed");
  return mark;
}

bool is_closed_mark(PyObject* state) {
  return state == closed_mark() ||
         (PyUnicode_CheckExact(state) && PyUnicode_Compare(state, closed_mark()) == 0);
}

}  // namespace

TxState tx_state(PyObject* session, Ref* failure) {
  Ref info = info_of(session);
  if (!info) return TxState::untracked;
  Ref state = dict_get(info.get(), tx_key());
  if (!state) return TxState::untracked;
  if (state.get() == Py_True) return TxState::open;
  if (state.get() == Py_False) return TxState::ended;
  if (is_closed_mark(state.get())) return TxState::closed;
  if (!PyExceptionInstance_Check(state.get())) return TxState::untracked;
  if (failure != nullptr) *failure = std::move(state);
  return TxState::failed;
}

void set_tx_state(PyObject* session, PyObject* value) {
  Ref info = info_of(session);
  if (info) ok(PyDict_SetItem(info.get(), tx_key(), value));
}

void mark_closed(PyObject* session) {
  if (tx_state(session) == TxState::untracked) set_tx_state(session, closed_mark());
}

namespace sent_sql {
namespace {

PyObject* var_name() {
  static PyObject* name = intern("__sent_sql__");
  return name;
}

// The ContextVar, found once per extension module (each has its own copy of this file).
PyObject* var() {
  static PyObject* found = nullptr;
  if (found == nullptr) {
    Ref module = import("verdin.db.querydeck");
    found = getattr(module.get(), var_name()).release();
  }
  return found;
}

}  // namespace

void create(PyObject* module_dict) {
  Ref made = Ref::take(PyContextVar_New("verdin_sent_sql", nullptr));
  ok(PyDict_SetItem(module_dict, var_name(), made.get()));
}

void report(PyObject* sql) {
  PyObject* box = nullptr;
  ok(PyContextVar_Get(var(), Py_None, &box));
  Ref held = Ref::steal(box);
  if (PyList_CheckExact(box)) ok(PyList_Append(box, sql));
}

Collector::Collector() : box_(Ref::take(PyList_New(0))) {
  token_ = Ref::take(PyContextVar_Set(var(), box_.get()));
}

Collector::~Collector() {
  // Runs with the statement's exception pending, which must survive it.
  Ref pending = fetch_exception();
  if (PyContextVar_Reset(var(), token_.get()) < 0) PyErr_Clear();
  if (pending) restore_exception(std::move(pending));
}

Ref Collector::last(PyObject* assembled) const {
  Py_ssize_t size = PyList_GET_SIZE(box_.get());
  return Ref::borrow(size > 0 ? PyList_GET_ITEM(box_.get(), size - 1) : assembled);
}

}  // namespace sent_sql
}  // namespace verdin
