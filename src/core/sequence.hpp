// Unpacking sequences as an assignment statement does.
#pragma once

#include "ref.hpp"

namespace verdin {

// `a, b, ... = obj` for `n` targets, with the interpreter's messages on a mismatch.
void unpack(PyObject* obj, Py_ssize_t n, Ref* out);

}  // namespace verdin
