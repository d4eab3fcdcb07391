// Sessions as sessionmaker(bind=..., expire_on_commit=False)() makes them.
#include "sessions.hpp"

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

}  // namespace verdin
