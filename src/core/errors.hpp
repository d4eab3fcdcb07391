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

namespace verdin {

// Adds `note` to the notes of `exc` (PEP 678) unless an equal note is already there: an
// exception that passes through several layers that describe the same place is told once.
// Returns false with a Python exception set when adding failed.
bool add_note_once(PyObject* exc, PyObject* note) noexcept;

// Adds the note that `make_note()` builds (a Ref, or throws) to the pending exception. The
// pending exception always survives unchanged apart from its notes: a failure while building or
// adding the note is dropped, because the original error is the one the caller must see.
template <typename MakeNote>
void note_pending(MakeNote&& make_note) noexcept {
  if (!PyErr_Occurred()) return;
  Ref exc = fetch_exception();
  if (!exc) return;
  try {
    Ref note = make_note();
    if (note && !add_note_once(exc.get(), note.get())) PyErr_Clear();
  } catch (...) {
    PyErr_Clear();
  }
  restore_exception(std::move(exc));
}

}  // namespace verdin
