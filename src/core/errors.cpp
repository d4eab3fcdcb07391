// Catching and re-raising Python exceptions from native code.
#include "errors.hpp"

namespace verdin {

// 3.12 keeps the pending exception as one normalized object; 3.11 still has the triple API.
#if PY_VERSION_HEX >= 0x030C0000
Ref fetch_exception() {
  return Ref::steal(PyErr_GetRaisedException());
}

void restore_exception(Ref exc) {
  PyErr_SetRaisedException(exc.release());
}
#else
Ref fetch_exception() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
}

void restore_exception(Ref exc) {
  PyObject* value = exc.release();
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyErr_Restore(type, value, PyException_GetTraceback(value));
}
#endif

void raise_while_handling(PyObject* handled, PyObject* type, PyObject* message) {
  PyObject* outer = PyErr_GetHandledException();
  PyErr_SetHandledException(handled);
  PyErr_SetObject(type, message);
  PyErr_SetHandledException(outer);
  Py_XDECREF(outer);
  throw_error();
}

}  // namespace verdin

namespace verdin {

bool add_note_once(PyObject* exc, PyObject* note) noexcept {
  PyObject* notes = PyObject_GetAttrString(exc, "__notes__");
  if (notes == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
  } else {
    int seen = PyList_Check(notes) ? PySequence_Contains(notes, note) : 0;
    Py_DECREF(notes);
    if (seen < 0) return false;
    if (seen) return true;
  }
  PyObject* r = PyObject_CallMethod(exc, "add_note", "O", note);
  Py_XDECREF(r);
  return r != nullptr;
}

}  // namespace verdin
