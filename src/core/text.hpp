// Whitespace handling on code points with exactly str.split()/str.strip() semantics.
#pragma once

#include <vector>

#include "ref.hpp"

namespace verdin {

struct Span {
  Py_ssize_t start, end;
};

// The tokens of s.split() (runs of non-whitespace), appended to `out`. `s` must be a str.
void split_ws(PyObject* s, std::vector<Span>& out);

// prefix + " ".join(tokens): `prefix` may be null. The tokens are spans of `s`.
Ref join_spans(PyObject* s, const Span* spans, size_t n, PyObject* prefix = nullptr);

// " ".join(s.split()), returning `s` itself when it is already in that form.
Ref normalize_ws(PyObject* s);

// s.strip(), returning `s` itself when there is nothing to strip.
Ref strip_ws(PyObject* s);

}  // namespace verdin
