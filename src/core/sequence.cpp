// Unpacking sequences as an assignment statement does.
#include "sequence.hpp"

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
