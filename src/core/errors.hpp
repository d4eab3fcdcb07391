// Catching and re-raising Python exceptions from native code.
#pragma once

#include "ref.hpp"

namespace verdin {

// Takes the pending exception (normalized, traceback attached) and clears it.
Ref fetch_exception();

// Raises `type(message)` as `raise` inside an `except` block that handles `handled` would:
// the caught exception becomes the new one's implicit context. Always throws.
[[noreturn]] void raise_while_handling(PyObject* handled, PyObject* type, PyObject* message);

}  // namespace verdin

namespace verdin {

// `a, b, ... = obj` for `n` targets, with the interpreter's messages on a mismatch.
void unpack(PyObject* obj, Py_ssize_t n, Ref* out);

}  // namespace verdin
