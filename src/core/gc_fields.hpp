// The collector slots of the package's heap types, written once: an object's references are the
// PyObject* fields its type lists here, and tp_traverse, tp_clear and tp_dealloc follow that
// list.
#pragma once

#include "ref.hpp"

namespace verdin {

// GcFields<T, &T::a, &T::b>: the slots for a T (PyObject_HEAD first) that owns a and b, each
// possibly null. Its type is a heap type, which each instance holds a reference to.
template <typename T, PyObject* T::*... Fields>
struct GcFields {
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    T* o = reinterpret_cast<T*>(self);
    for (PyObject* held : {reinterpret_cast<PyObject*>(Py_TYPE(self)), (o->*Fields)...}) {
      if (held == nullptr) continue;
      if (int r = visit(held, arg)) return r;
    }
    return 0;
  }

  static int clear(PyObject* self) {
    T* o = reinterpret_cast<T*>(self);
    (release(o->*Fields), ...);
    return 0;
  }

  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
  }

 private:
  static void release(PyObject*& field) { Py_CLEAR(field); }
};

}  // namespace verdin
