// VerdinSqlSession.transaction(): a session bound to the context for the length of a with block.
// The rules of the block live here alone: the async facade's transaction() subclasses this one
// and only says how its session is opened, committed, rolled back and closed.
#include "sessions.hpp"
#include "txnfront.hpp"

namespace verdin::txnfront {
namespace {

struct {
  PyObject *facade, *session, *open, *commit, *rollback, *close, *sync_session, *dict;
} attr;
PyObject* lost_message;
PyObject* tx_cls;  // the context manager class, kept for the life of the process

// The methods of a block's session that would end its transaction before the block does, each
// replaced on the instance by a guard that refuses while the block runs. Once a statement has
// failed, the session is rolled back already (by the facade, through the guard) and the block's
// end refuses to commit, so only commit() and begin() are still refused then.
struct Guard {
  PyObject* name;
  Misuse misuse;
  bool after_failure;
  PyObject* fn;  // kept for the life of the process
};
Guard guards[] = {
    {nullptr, Misuse::session_commit, true, nullptr},
    {nullptr, Misuse::session_rollback, false, nullptr},
    {nullptr, Misuse::session_close, false, nullptr},
    {nullptr, Misuse::session_begin, true, nullptr},
};
enum GuardIndex { g_commit, g_rollback, g_close, g_begin };

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

// A subclass (the async facade's) says how its sessions are opened and ended; this class does
// it on a sync Session directly.
bool own_kind(PyObject* self) {
  return reinterpret_cast<PyObject*>(Py_TYPE(self)) == tx_cls;
}

// session.<op>(), or self._<op>(session) in a subclass.
void end_step(PyObject* self, PyObject* session, PyObject* op, PyObject* hook) {
  if (own_kind(self)) {
    call_method(session, op);
  } else {
    call_method(self, hook, session);
  }
}

// The object whose commit() ends the transaction: the sync side of an async session.
Ref committing_side(PyObject* self, PyObject* session) {
  if (own_kind(self)) return Ref::borrow(session);
  Ref sync = Ref::steal(PyObject_GetAttr(session, attr.sync_session));
  if (sync) return sync;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
  PyErr_Clear();
  return Ref::borrow(session);
}

// The block's session ends its transaction only at the block's end: its own commit(), rollback(),
// close() and begin() are replaced, on the instance, by ones that refuse while the block runs. An
// event listener would do the same at several times the cost of the whole block.
void guard_session(PyObject* session) {
  for (const Guard& g : guards) {
    Ref method = Ref::take(PyMethod_New(g.fn, session));
    setattr(session, g.name, method.get());
  }
}

// Removes the guards (which hold the session: a cycle) unless something replaced them since.
void unguard_session(PyObject* session) {
  Ref dict = Ref::steal(PyObject_GetAttr(session, attr.dict));
  if (!dict) {
    PyErr_Clear();
    return;
  }
  if (!PyDict_Check(dict.get())) return;
  for (const Guard& g : guards) {
    Ref current = dict_get(dict.get(), g.name);
    if (current && PyMethod_Check(current.get()) && PyMethod_GET_FUNCTION(current.get()) == g.fn &&
        PyMethod_GET_SELF(current.get()) == session) {
      ok(PyDict_DelItem(dict.get(), g.name));
    }
  }
}

// The class's own method, once the guard has let the call through.
Ref guarded(PyObject* session, GuardIndex index) {
  const Guard& g = guards[index];
  if (g.after_failure) {
    refuse_inside_transaction(session, g.misuse);
  } else if (tx_state(session) == TxState::open) {
    refuse_inside_transaction(session, g.misuse);
  }
  return getattr(reinterpret_cast<PyObject*>(Py_TYPE(session)), g.name);
}

Ref guarded_commit(Func&, PyObject* const* a) {
  Ref method = guarded(a[0], g_commit);
  return call(method.get(), a[0]);
}

Ref guarded_rollback(Func&, PyObject* const* a) {
  Ref method = guarded(a[0], g_rollback);
  return call(method.get(), a[0]);
}

Ref guarded_close(Func&, PyObject* const* a) {
  Ref method = guarded(a[0], g_close);
  return call(method.get(), a[0]);
}

// begin(nested=True), as begin_nested() calls it, opens a savepoint inside the block: let through.
Ref guarded_begin(Func&, PyObject* const* a) {
  if (truth(a[1])) {
    Ref method = getattr(reinterpret_cast<PyObject*>(Py_TYPE(a[0])), guards[g_begin].name);
    return call(method.get(), a[0], a[1]);
  }
  Ref method = guarded(a[0], g_begin);
  return call(method.get(), a[0], a[1]);
}

Ref transaction(Func&, PyObject* const* a) {
  PyObject* facade = a[0];
  return call(tx_cls, facade);
}

Ref tx_init(Func&, PyObject* const* a) {
  PyObject *self = a[0], *facade = a[1];
  setattr(self, attr.facade, facade);
  setattr(self, attr.session, Py_None);
  return Ref::borrow(Py_None);
}

Ref tx_enter(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  Ref mine = getattr(self, attr.session);
  if (mine.get() != Py_None) refuse("this transaction has already been entered");
  Ref facade = getattr(self, attr.facade);
  Ref bound = call_method(facade.get(), n.con);
  if (truth(bound.get())) {
    refuse("a session is already bound to this context: close() it before opening a transaction()");
  }
  Ref session = own_kind(self) ? new_session(f, facade.get()) : call_method(self, attr.open);
  Ref var = getattr(facade.get(), n.connection_local);
  set_tx_state(session.get(), Py_True);
  Ref side = committing_side(self, session.get());
  guard_session(side.get());
  setattr(self, attr.session, session.get());
  call_method(var.get(), n.set, session.get());
  return session;
}

void unbind(PyObject* self, PyObject* facade, PyObject* ours) {
  Ref var = getattr(facade, n.connection_local);
  Ref current = call_method(var.get(), n.get);
  call_method(var.get(), n.set, Py_None);
  if (current.get() != ours && truth(current.get())) {
    end_step(self, current.get(), n.close, attr.close);
  }
}

// Leaves the context unbound. A session the body bound in place of ours is closed as begin_tx
// would close it: nothing could reach it after the block.
void release_binding(PyObject* self, PyObject* facade, PyObject* ours) {
  then_always(
      nullptr,
      [&] {
        Ref side = committing_side(self, ours);
        unguard_session(side.get());
      },
      [&] { unbind(self, facade, ours); });
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
  // Ended from here on: the guarded commit below goes through, and the contexts copied during
  // the block that still carry the session are refused from now.
  then_always(
      in_flight,
      [&] {
        set_tx_state(session.get(), Py_False);
        end_step(self, session.get(), failed ? n.rollback : n.commit,
                 failed ? attr.rollback : attr.commit);
      },
      [&] {
        then_always(
            nullptr, [&] { end_step(self, session.get(), n.close, attr.close); },
            [&] { release_binding(self, facade.get(), session.get()); });
      });
  if (refused) {
    restore_exception(std::move(refused));
    throw_error();
  }
  return Ref::borrow(Py_False);
}

// The messages, by misuse, of refuse_inside_transaction.
struct MisuseText {
  const char* method;
  const char* harm;
};
constexpr MisuseText misuse_texts[] = {
    {"begin_tx()", "discard the block's work"},
    {"close()", "discard the block's work"},
    {"commit()", "commit part of the block's work"},
    {"rollback()", "discard the block's work"},
    {"session.commit()", "commit part of the block's work"},
    {"session.rollback()", "discard the block's work"},
    {"session.close()", "discard the block's work"},
    {"session.begin()", "commit part of the block's work"},
};

// Transaction.refuse_inside(session, method): the same check for the async facade's methods,
// named as in the messages.
Ref refuse_inside(Func&, PyObject* const* a) {
  PyObject *session = a[0], *method = a[1];
  for (size_t i = 0; i < std::size(misuse_texts); i++) {
    if (PyUnicode_CompareWithASCIIString(method, misuse_texts[i].method) == 0) {
      refuse_inside_transaction(session, static_cast<Misuse>(i));
      return none();
    }
  }
  PyErr_Format(PyExc_ValueError, "unknown method %R", method);
  throw_error();
}

const Param p_transaction[] = {{"self"}};
const Param p_init[] = {{"self"}, {"facade"}};
const Param p_exit[] = {{"self"}, {"exc_type"}, {"exc"}, {"traceback"}};
const Param p_refuse[] = {{"session"}, {"method", "str"}};
const FuncSpec s_init = fn("__init__", tx_init, p_init);
const FuncSpec s_enter = fn("__enter__", tx_enter, p_transaction);
const FuncSpec s_exit = fn("__exit__", tx_exit, p_exit);
const Param p_begin[] = {{"self"}, {"nested", nullptr, Def::false_, nullptr, Check::any}};
const FuncSpec s_commit_guard = fn("commit", guarded_commit, p_transaction);
const FuncSpec s_rollback_guard = fn("rollback", guarded_rollback, p_transaction);
const FuncSpec s_close_guard = fn("close", guarded_close, p_transaction);
const FuncSpec s_begin_guard = fn("begin", guarded_begin, p_begin);
const FuncSpec s_refuse = fn("refuse_inside", refuse_inside, p_refuse).as_static();

}  // namespace

void refuse_inside_transaction(PyObject* session, Misuse misuse) {
  if (!truth(session)) return;
  TxState state = tx_state(session);
  if (state != TxState::open && state != TxState::failed) return;
  const MisuseText& text = misuse_texts[static_cast<size_t>(misuse)];
  PyErr_Format(PyExc_RuntimeError,
               "%s inside a transaction() block would %s: the block commits or rolls back and "
               "closes its session when it ends",
               text.method, text.harm);
  throw_error();
}

const FuncSpec s_transaction =
    fn("transaction", transaction, p_transaction, nullptr,
       "A context manager that binds a new session to the current thread or task and returns\n"
       "it; the session is committed when the block ends, rolled back when it raises, then\n"
       "closed and unbound. Refused while a session is already bound.");

void define_transaction(ModuleBuilder& m) {
  attr.facade = intern("_facade");
  attr.session = intern("_session");
  attr.open = intern("_open");
  attr.commit = intern("_commit");
  attr.rollback = intern("_rollback");
  attr.close = intern("_close");
  attr.sync_session = intern("sync_session");
  attr.dict = intern("__dict__");
  lost_message =
      intern("a statement in the transaction failed and was rolled back; nothing was committed");
  const FuncSpec* guard_specs[] = {&s_commit_guard, &s_rollback_guard, &s_close_guard,
                                   &s_begin_guard};
  PyObject* guard_names[] = {n.commit, n.rollback, n.close, intern("begin")};
  for (size_t i = 0; i < std::size(guards); i++) {
    guards[i].name = guard_names[i];
    guards[i].fn = m.function(*guard_specs[i], "Session").release();
  }
  // The async facade subclasses it (it reaches the class through transaction()'s result).
  tx_cls = m.make_class("Transaction", {&s_init, &s_enter, &s_exit, &s_refuse}).release();
}

}  // namespace verdin::txnfront
