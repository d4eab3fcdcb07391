// with_session: the `with` statement over get_session(), native scope or any other manager.
#pragma once

#include <type_traits>

#include "querydeck.hpp"

namespace verdin::querydeck {

// type(obj).<name> bound to obj, as the with statement looks special methods up.
inline Ref special_method(PyObject* obj, PyObject* name) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref d = Ref::steal(PyObject_GetAttr(type, name));
  if (!d) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                   Py_TYPE(obj)->tp_name);
    }
    throw_error();
  }
  descrgetfunc get = Py_TYPE(d.get())->tp_descr_get;
  if (get == nullptr) return d;
  return Ref::take(get(d.get(), obj, type));
}

// Runs `body` with the session of an entered native scope, then leaves the scope.
template <typename Body>
void in_scope(Scope* s, PyObject* session, Body&& body, Ref& out) {
  try {
    out = body(session);
  } catch (PyErrorSet&) {
    Ref exc = fetch_exception();
    scope_exit(s, exc.get());
    restore_exception(std::move(exc));
    throw;
  }
  scope_exit(s, nullptr);
}

// `with cm as session: out = body(session)`
template <typename Body>
bool with_manager(PyObject* cm, Body&& body, Ref& out) {
  if (Py_TYPE(cm) == scope_type) {
    Scope* s = reinterpret_cast<Scope*>(cm);
    Ref session = scope_enter(s);
    in_scope(s, session.get(), body, out);
    return true;
  }
  Ref enter = special_method(cm, n.enter);
  Ref exit = special_method(cm, n.exit);
  Ref session = call(enter.get());
  try {
    out = body(session.get());
  } catch (PyErrorSet&) {
    Ref exc = fetch_exception();
    Ref suppress;
    {
      Handling handling(exc.get());
      Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
      suppress = call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                      tb ? tb.get() : Py_None);
    }
    if (truth(suppress.get())) return false;
    restore_exception(std::move(exc));
    throw;
  }
  call(exit.get(), Py_None, Py_None, Py_None);
  return true;
}

// Runs `body(session)` in `with self.get_session(*con) as session:` (no argument when `con`
// is null). Returns false when a context manager of an override suppressed an exception.
template <typename Body>
bool with_session(PyObject* self, PyObject* const* con, Body&& body, Ref& out) {
  Ref cm = con ? call_method(self, n.get_session, *con) : call_method(self, n.get_session);
  return with_manager(cm.get(), body, out);
}

// Where a body of several statements runs each one after the first: a session's own
// connection only while the session's execute would still do nothing more (anything run by the
// statement before, such as an engine event listener, may have changed the session since).
struct NextTarget {
  PyObject *self, *get_session;
  PyObject* session;  // null on a direct scope's connection, which no session watches
  PyObject* first;    // what the first statement ran on
  std::initializer_list<PyObject*> statements;

  // The Session or Connection to execute the next statement on.
  Ref operator()() const {
    if (session == nullptr || first == session) return Ref::borrow(first);
    if (Ref connection = direct_connection(self, get_session, session, statements)) {
      return connection;
    }
    return Ref::borrow(session);
  }
};

// As with_session(self, &con, ...), for a body that only executes `statements`: runs on a
// direct connection where that cannot be told apart from an owned Session.
template <typename Body>
bool with_text(PyObject* self, PyObject* con, std::initializer_list<PyObject*> statements,
               Body&& body, Ref& out) {
  // A body that asks is told whether it runs on a direct connection (whose dialect is its own)
  // rather than in a session, and where its later statements run.
  Ref get_session = getattr(self, n.get_session);
  auto run = [&](PyObject* target, bool direct, PyObject* session) {
    if constexpr (std::is_invocable_v<Body, PyObject*, bool, const NextTarget&>) {
      NextTarget next{self, get_session.get(), session, target, statements};
      return body(target, direct, next);
    } else if constexpr (std::is_invocable_v<Body, PyObject*, bool>) {
      (void)session;
      return body(target, direct);
    } else {
      (void)direct;
      (void)session;
      return body(target);
    }
  };
  if (Ref engine = direct_engine(self, get_session.get(), con, statements)) {
    Ref scope = direct_scope(self, engine.get());
    Scope* s = reinterpret_cast<Scope*>(scope.get());
    Ref connection = Ref::borrow(s->session);
    in_scope(s, connection.get(), [&](PyObject* c) { return run(c, true, nullptr); }, out);
    return true;
  }
  // Otherwise the session scope: an owned session (with Session listeners, which keep the
  // direct connection away) or the bound one, entered first so that a binding that outlived its
  // transaction() is refused before anything begins. The statement still runs on the session's
  // connection where its execute would do nothing more.
  Ref cm = call(get_session.get(), con);
  return with_manager(
      cm.get(),
      [&](PyObject* session) {
        if (Ref connection = direct_connection(self, get_session.get(), session, statements)) {
          return run(connection.get(), true, session);
        }
        return run(session, false, session);
      },
      out);
}

}  // namespace verdin::querydeck
