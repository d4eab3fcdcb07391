// SQL line comments in mapper text: removed before whitespace is collapsed, which would
// otherwise let a comment run on over the rest of the statement.
#include <cstring>

#include "stmtloom.hpp"

namespace verdin::stmtloom {
namespace {

// Position of the first "--" at or after i, or len.
template <typename Char>
Py_ssize_t find_dashes(const Char* d, Py_ssize_t i, Py_ssize_t len) {
  for (; i + 1 < len; i++) {
    if constexpr (sizeof(Char) == 1) {
      const void* p = std::memchr(d + i, '-', static_cast<size_t>(len - 1 - i));
      if (p == nullptr) return len;
      i = static_cast<const Char*>(p) - d;
    }
    if (d[i] == '-' && d[i + 1] == '-') return i;
  }
  return len;
}

// The spans of `d` that stay: everything but "--" comments outside quoted literals and
// outside /* */ comments (which stay whole, "--" inside them included).
template <typename Char>
void kept_spans(const Char* d, Py_ssize_t len, Spans& out) {
  Py_ssize_t from = 0, i = 0;
  while (i < len) {
    Char c = d[i];
    if (c == '\'' || c == '"' || c == '`') {
      // A doubled quote closes and reopens the literal: the same as one literal.
      Py_ssize_t k = i + 1;
      while (k < len && d[k] != c) k++;
      i = k + 1;
    } else if (c == '/' && i + 1 < len && d[i + 1] == '*') {
      Py_ssize_t k = i + 2;
      while (k + 1 < len && !(d[k] == '*' && d[k + 1] == '/')) k++;
      i = k + 2;
    } else if (c == '-' && i + 1 < len && d[i + 1] == '-') {
      out.push_back({from, i});
      Py_ssize_t k = i + 2;
      while (k < len && d[k] != '\n' && d[k] != '\r') k++;
      from = i = k;
    } else {
      i++;
    }
  }
  if (from < len) out.push_back({from, len});
}

template <typename Char>
Ref strip_kernel(PyObject* s, const Char* d, Py_ssize_t len) {
  if (find_dashes(d, 0, len) == len) return Ref::borrow(s);
  Spans kept;
  kept_spans(d, len, kept);
  if (kept.size() == 1 && kept[0].start == 0 && kept[0].end == len) return Ref::borrow(s);
  // The result must have the narrowest kind its characters allow.
  Py_UCS4 maxc = 0;
  Py_ssize_t total = 0;
  for (const Span& k : kept) {
    total += k.end - k.start;
    for (Py_ssize_t i = k.start; i < k.end; i++) maxc = d[i] > maxc ? d[i] : maxc;
  }
  Ref out = Ref::take(PyUnicode_New(total, maxc));
  Py_ssize_t pos = 0;
  for (const Span& k : kept) {
    if (PyUnicode_CopyCharacters(out.get(), pos, s, k.start, k.end - k.start) < 0) throw_error();
    pos += k.end - k.start;
  }
  return out;
}

}  // namespace

Ref strip_line_comments(PyObject* s) {
  if (!PyUnicode_CheckExact(s)) return Ref::borrow(s);
  return with_code_points(s, [&](auto* d, Py_ssize_t len) { return strip_kernel(s, d, len); });
}

}  // namespace verdin::stmtloom
