// with_session: the `with` statement over get_session(), native scope or any other manager.
#pragma once

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

// Runs `body(session)` in `with self.get_session(*con) as session:` (no argument when `con`
// is null). Returns false when a context manager of an override suppressed an exception.
template <typename Body>
bool with_session(PyObject* self, PyObject* const* con, Body&& body, Ref& out) {
  Ref cm = con ? call_method(self, n.get_session, *con) : call_method(self, n.get_session);
  if (Py_TYPE(cm.get()) == scope_type) {
    Scope* s = reinterpret_cast<Scope*>(cm.get());
    Ref session = scope_enter(s);
    try {
      out = body(session.get());
    } catch (PyErrorSet&) {
      Ref exc = fetch_exception();
      scope_exit(s, exc.get());
      restore_exception(std::move(exc));
      throw;
    }
    scope_exit(s, nullptr);
    return true;
  }
  Ref enter = special_method(cm.get(), n.enter);
  Ref exit = special_method(cm.get(), n.exit);
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

}  // namespace verdin::querydeck
