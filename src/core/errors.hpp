// Catching and re-raising Python exceptions from native code.
#pragma once

#include "ref.hpp"

namespace verdin {

// Takes the pending exception (normalized, traceback attached) and clears it.
Ref fetch_exception();

// Sets the pending exception back from a value taken by fetch_exception().
void restore_exception(Ref exc);

// Raises `type(message)` as `raise` inside an `except` block that handles `handled` would:
// the caught exception becomes the new one's implicit context. Always throws.
[[noreturn]] void raise_while_handling(PyObject* handled, PyObject* type, PyObject* message);

// While alive, `exc` is the exception being handled (sys.exception()), as inside an
// `except` block: exceptions raised meanwhile get it as their context.
class Handling {
 public:
  explicit Handling(PyObject* exc) : saved_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exc);
  }
  ~Handling() {
    PyErr_SetHandledException(saved_);
    Py_XDECREF(saved_);
  }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  PyObject* saved_;
};

}  // namespace verdin
