// VerdinSqlSession.transaction(): a session bound to the context for the length of a with block.
#include "sessions.hpp"
#include "txnfront.hpp"

namespace verdin::txnfront {
namespace {

struct {
  PyObject *facade, *session;
} attr;
PyObject* lost_message;
PyObject* tx_cls;  // the context manager class, kept for the life of the process

[[noreturn]] void refuse(const char* message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  throw_error();
}

// Runs `step`, then `after` whatever happened, as `try: step() finally: after()` would: an error
// of `after` is raised with the one of `step` (or `in_flight`) as its context. `in_flight` is an
// exception instance or null.
template <typename Step, typename After>
void then_always(PyObject* in_flight, Step&& step, After&& after) {
  Ref err;
  try {
    if (in_flight != nullptr) {
      Handling handling(in_flight);
      step();
    } else {
      step();
    }
  } catch (PyErrorSet&) {
    err = fetch_exception();
  }
  PyObject* pending = err ? err.get() : in_flight;
  if (pending != nullptr) {
    Handling handling(pending);
    after();
  } else {
    after();
  }
  if (err) {
    restore_exception(std::move(err));
    throw_error();
  }
}

Ref transaction(Func&, PyObject* const* a) {
  return call(tx_cls, a[0]);
}

Ref tx_init(Func&, PyObject* const* a) {
  setattr(a[0], attr.facade, a[1]);
  setattr(a[0], attr.session, Py_None);
  return Ref::borrow(Py_None);
}

Ref tx_enter(Func& f, PyObject* const* a) {
  Ref mine = getattr(a[0], attr.session);
  if (mine.get() != Py_None) refuse("this transaction has already been entered");
  Ref facade = getattr(a[0], attr.facade);
  Ref bound = call_method(facade.get(), n.con);
  if (truth(bound.get())) {
    refuse("a session is already bound to this context: close() it before opening a transaction()");
  }
  Ref session = new_session(f, facade.get());
  Ref var = getattr(facade.get(), n.connection_local);
  set_tx_state(session.get(), Py_True);
  setattr(a[0], attr.session, session.get());
  call_method(var.get(), n.set, session.get());
  return session;
}

void unbind(PyObject* facade, PyObject* ours) {
  Ref var = getattr(facade, n.connection_local);
  Ref current = call_method(var.get(), n.get);
  call_method(var.get(), n.set, Py_None);
  if (current.get() != ours && truth(current.get())) call_method(current.get(), n.close);
}

// Leaves the context unbound. A session the body bound in place of ours is closed as begin_tx
// would close it: nothing could reach it after the block. Ours is marked ended first, for the
// contexts copied during the block that still carry it.
void release_binding(PyObject* facade, PyObject* ours) {
  then_always(
      nullptr, [&] { set_tx_state(ours, Py_False); }, [&] { unbind(facade, ours); });
}

// What the exit raises instead of committing, as if the body had raised it: when the body went
// on after a statement failed and rolled the session back, committing would keep only what ran
// after the failure and report success. An error reading that mark stands in the same way, since
// nothing then says the commit is safe. Null when the commit may go ahead.
Ref refusal(PyObject* session) {
  try {
    Ref failure;
    if (tx_state(session, &failure) != TxState::failed) return Ref();
    Ref refused = call(PyExc_RuntimeError, lost_message);
    PyException_SetCause(refused.get(), failure.release());
    return refused;
  } catch (PyErrorSet&) {
    return fetch_exception();
  }
}

Ref tx_exit(Func&, PyObject* const* a) {
  PyObject *self = a[0], *exc_type = a[1], *exc = a[2];
  Ref session = getattr(self, attr.session);
  if (session.get() == Py_None) return Ref::borrow(Py_False);
  Ref facade = getattr(self, attr.facade);
  // Taken before any Python code runs, so that an exit repeated from inside commit() or
  // rollback() (an event listener) finds nothing left to do.
  setattr(self, attr.session, Py_None);
  bool failed = exc_type != Py_None || exc != Py_None;
  PyObject* in_flight = PyExceptionInstance_Check(exc) ? exc : nullptr;
  Ref refused = failed ? Ref() : refusal(session.get());
  if (refused) {
    failed = true;
    in_flight = refused.get();
  }
  then_always(
      in_flight, [&] { call_method(session.get(), failed ? n.rollback : n.commit); },
      [&] {
        then_always(
            nullptr, [&] { call_method(session.get(), n.close); },
            [&] { release_binding(facade.get(), session.get()); });
      });
  if (refused) {
    restore_exception(std::move(refused));
    throw_error();
  }
  return Ref::borrow(Py_False);
}

const Param p_transaction[] = {{"self"}};
const Param p_init[] = {{"self"}, {"facade"}};
const Param p_exit[] = {{"self"}, {"exc_type"}, {"exc"}, {"traceback"}};
const FuncSpec s_init = fn("__init__", tx_init, p_init);
const FuncSpec s_enter = fn("__enter__", tx_enter, p_transaction);
const FuncSpec s_exit = fn("__exit__", tx_exit, p_exit);

}  // namespace

const FuncSpec s_transaction =
    fn("transaction", transaction, p_transaction, nullptr,
       "A context manager that binds a new session to the current thread or task and returns\n"
       "it; the session is committed when the block ends, rolled back when it raises, then\n"
       "closed and unbound. Refused while a session is already bound.");

void define_transaction(ModuleBuilder& m) {
  attr.facade = intern("_facade");
  attr.session = intern("_session");
  lost_message =
      intern("a statement in the transaction failed and was rolled back; nothing was committed");
  tx_cls = m.make_class("Transaction", {&s_init, &s_enter, &s_exit}).release();
}

}  // namespace verdin::txnfront
