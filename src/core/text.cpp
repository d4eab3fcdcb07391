// Whitespace handling on code points with exactly str.split()/str.strip() semantics.
#include "text.hpp"

#include <cstring>

namespace verdin {
namespace {

template <typename Char>
void split_kernel(const Char* d, Py_ssize_t len, std::vector<Span>& out) {
  Py_ssize_t i = 0;
  while (i < len) {
    while (i < len && Py_UNICODE_ISSPACE(d[i])) i++;
    if (i == len) break;
    Py_ssize_t start = i;
    while (i < len && !Py_UNICODE_ISSPACE(d[i])) i++;
    out.push_back({start, i});
  }
}

template <typename Char>
Py_UCS4 max_char(const Char* d, const Span* spans, size_t n) {
  Py_UCS4 m = 0;
  for (size_t k = 0; k < n; k++) {
    for (Py_ssize_t i = spans[k].start; i < spans[k].end; i++) {
      if (d[i] > m) m = d[i];
    }
  }
  return m;
}

}  // namespace

void split_ws(PyObject* s, std::vector<Span>& out) {
  Py_ssize_t len = PyUnicode_GET_LENGTH(s);
  const void* data = PyUnicode_DATA(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: split_kernel(static_cast<const Py_UCS1*>(data), len, out); break;
    case PyUnicode_2BYTE_KIND: split_kernel(static_cast<const Py_UCS2*>(data), len, out); break;
    default: split_kernel(static_cast<const Py_UCS4*>(data), len, out); break;
  }
}

Ref join_spans(PyObject* s, const Span* spans, size_t n, PyObject* prefix) {
  Py_ssize_t plen = prefix ? PyUnicode_GET_LENGTH(prefix) : 0;
  Py_ssize_t total = plen + (n ? static_cast<Py_ssize_t>(n) - 1 : 0);
  for (size_t k = 0; k < n; k++) total += spans[k].end - spans[k].start;
  int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  Py_UCS4 maxc = 127;
  if (!PyUnicode_IS_ASCII(s)) {
    Py_UCS4 m;
    switch (kind) {
      case PyUnicode_1BYTE_KIND: m = max_char(static_cast<const Py_UCS1*>(data), spans, n); break;
      case PyUnicode_2BYTE_KIND: m = max_char(static_cast<const Py_UCS2*>(data), spans, n); break;
      default: m = max_char(static_cast<const Py_UCS4*>(data), spans, n); break;
    }
    if (m > maxc) maxc = m;
  }
  if (prefix && PyUnicode_MAX_CHAR_VALUE(prefix) > maxc) maxc = PyUnicode_MAX_CHAR_VALUE(prefix);
  Ref out = Ref::take(PyUnicode_New(total, maxc));
  PyObject* o = out.get();
  int okind = PyUnicode_KIND(o);
  char* odata = static_cast<char*>(PyUnicode_DATA(o));
  Py_ssize_t pos = 0;
  if (prefix) {
    if (PyUnicode_CopyCharacters(o, 0, prefix, 0, plen) < 0) throw_error();
    pos = plen;
  }
  for (size_t k = 0; k < n; k++) {
    if (k) PyUnicode_WRITE(okind, odata, pos++, ' ');
    Py_ssize_t len = spans[k].end - spans[k].start;
    if (okind == kind) {
      std::memcpy(odata + pos * okind, static_cast<const char*>(data) + spans[k].start * kind,
                  static_cast<size_t>(len) * kind);
    } else if (PyUnicode_CopyCharacters(o, pos, s, spans[k].start, len) < 0) {
      throw_error();
    }
    pos += len;
  }
  return out;
}

Ref normalize_ws(PyObject* s) {
  std::vector<Span> spans;
  split_ws(s, spans);
  // Already normalized: one token span per word, separated by exactly one ' '.
  bool same = !spans.empty() && spans.front().start == 0 &&
              spans.back().end == PyUnicode_GET_LENGTH(s);
  for (size_t k = 1; same && k < spans.size(); k++) {
    same = spans[k].start == spans[k - 1].end + 1 &&
           PyUnicode_READ_CHAR(s, spans[k - 1].end) == ' ';
  }
  if (same) return Ref::borrow(s);
  return join_spans(s, spans.data(), spans.size());
}

Ref strip_ws(PyObject* s) {
  Py_ssize_t len = PyUnicode_GET_LENGTH(s);
  int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  Py_ssize_t i = 0, j = len;
  while (i < j && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) i++;
  while (j > i && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, j - 1))) j--;
  if (i == 0 && j == len) return Ref::borrow(s);
  return Ref::take(PyUnicode_Substring(s, i, j));
}

}  // namespace verdin
