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

namespace verdin {

void unpack(PyObject* obj, Py_ssize_t n, Ref* out) {
  if (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) == n) {
    for (Py_ssize_t i = 0; i < n; i++) out[i] = Ref::borrow(PyTuple_GET_ITEM(obj, i));
    return;
  }
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(obj)->tp_iter == nullptr &&
        !PySequence_Check(obj)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(obj)->tp_name);
    }
    throw_error();
  }
  for (Py_ssize_t i = 0; i < n; i++) {
    out[i] = Ref::steal(PyIter_Next(it.get()));
    if (!out[i]) {
      if (PyErr_Occurred()) throw_error();
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
      throw_error();
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    throw_error();
  }
  if (PyErr_Occurred()) throw_error();
}

}  // namespace verdin

namespace verdin {

void restore_exception(Ref exc) {
  PyObject* value = exc.release();
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyErr_Restore(type, value, PyException_GetTraceback(value));
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
