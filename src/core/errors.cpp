// Catching and re-raising Python exceptions from native code.
#include "errors.hpp"

namespace verdin {

Ref fetch_exception() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
}

void raise_while_handling(PyObject* handled, PyObject* type, PyObject* message) {
  PyObject* outer = PyErr_GetHandledException();
  PyErr_SetHandledException(handled);
  PyErr_SetObject(type, message);
  PyErr_SetHandledException(outer);
  Py_XDECREF(outer);
  throw_error();
}

}  // namespace verdin
