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

template <typename Char>
bool is_name_char(Char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// The spans of `d` that stay: everything but "--" comments outside quoted literals and
// outside /* */ comments (which stay whole, "--" inside them included).
template <typename Char>
void kept_spans(const Char* d, Py_ssize_t len, Spans& out) {
  Py_ssize_t from = 0, i = 0;
  while (i < len) {
    Char c = d[i];
    if ((c == '#' || c == '$') && i + 1 < len && d[i + 1] == '{') {
      // A #{name} or ${name} placeholder: names may hold "-", which starts no comment there.
      Py_ssize_t k = i + 2;
      while (k < len && is_name_char(d[k])) k++;
      i = k < len && d[k] == '}' && k > i + 2 ? k + 1 : i + 1;
    } else if (c == '\'' || c == '"' || c == '`') {
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

// The collapsed statement, in pieces that end after each line on which "--" or a "#" (not of
// "#{") is still written: those line breaks stay, every other run of whitespace becomes one space.
template <typename Char>
Ref collapse_kernel(PyObject* s, const Char* d, Py_ssize_t len) {
  Ref parts = Ref::take(PyList_New(0));
  Py_ssize_t from = 0;
  bool marked = false;
  auto piece = [&](Py_ssize_t end) {
    Ref sub = Ref::take(PyUnicode_Substring(s, from, end));
    Ref collapsed = normalize_ws(sub.get());
    if (PyUnicode_GET_LENGTH(collapsed.get()) > 0) ok(PyList_Append(parts.get(), collapsed.get()));
  };
  for (Py_ssize_t i = 0; i < len; i++) {
    Char c = d[i];
    if ((c == '#' && (i + 1 == len || d[i + 1] != '{')) ||
        (c == '-' && i + 1 < len && d[i + 1] == '-')) {
      marked = true;
    } else if ((c == '\n' || c == '\r') && marked) {
      piece(i);
      from = i + 1;
      marked = false;
    }
  }
  if (from == 0) return normalize_ws(s);
  piece(len);
  return Ref::take(PyUnicode_Join(Ref(new_str("\n")).get(), parts.get()));
}

}  // namespace

Ref collapse_statement(PyObject* s) {
  return with_code_points(s, [&](auto* d, Py_ssize_t len) { return collapse_kernel(s, d, len); });
}

bool has_comment_marks(PyObject* s) {
  if (!PyUnicode_CheckExact(s)) return false;
  return with_code_points(s, [&](auto* d, Py_ssize_t len) {
    for (Py_ssize_t i = 0; i + 1 < len; i++) {
      if ((d[i] == '-' && d[i + 1] == '-') || (d[i] == '#' && d[i + 1] != '{')) return true;
    }
    return len > 0 && d[len - 1] == '#';
  });
}

Ref strip_line_comments(PyObject* s) {
  if (!PyUnicode_CheckExact(s)) return Ref::borrow(s);
  return with_code_points(s, [&](auto* d, Py_ssize_t len) { return strip_kernel(s, d, len); });
}

}  // namespace verdin::stmtloom
