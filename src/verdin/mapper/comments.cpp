// SQL comments in assembled statements. Databases quote in ways no single rule reads (MySQL's
// backslash escapes and "#" comments, PostgreSQL's dollar quotes and nested /* */, SQLite's
// [names]), so a comment is removed only where every one of them reads the same extent, and a
// line that still holds a comment mark keeps its line break: whatever comment a database reads
// there ends where it ends in the mapper text.
#include <algorithm>
#include <cstring>

#include "stmtloom.hpp"

namespace verdin::stmtloom {
namespace {

// The first position of c in d[0:len], or len; by memchr on 1-byte text.
template <typename Char>
Py_ssize_t find(const Char* d, Py_ssize_t len, char c) {
  if constexpr (sizeof(Char) == 1) {
    const void* p = len > 0 ? std::memchr(d, c, static_cast<size_t>(len)) : nullptr;
    return p != nullptr ? static_cast<const Char*>(p) - d : len;
  } else {
    Py_ssize_t i = 0;
    while (i < len && d[i] != static_cast<Char>(c)) i++;
    return i;
  }
}

template <typename Char>
bool holds(const Char* d, Py_ssize_t len, char c) {
  return find(d, len, c) < len;
}

template <typename Char>
bool is_name_char(Char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// The end of a #{name} or ${name} reference at i (name characters between the braces), or -1.
template <typename Char>
Py_ssize_t reference_end(const Char* d, Py_ssize_t i, Py_ssize_t len) {
  if (i + 1 >= len || d[i + 1] != '{') return -1;
  Py_ssize_t k = i + 2;
  while (k < len && is_name_char(d[k])) k++;
  return k < len && d[k] == '}' && k > i + 2 ? k + 1 : -1;
}

template <typename Char>
Py_ssize_t line_end(const Char* d, Py_ssize_t i, Py_ssize_t len) {
  while (i < len && d[i] != '\n') i++;
  return i;
}

// Whether d[i:end] reads alike as code and as comment text: nothing that opens a literal, a
// name or a comment, and no carriage return (a line end to PostgreSQL only).
template <typename Char>
bool inert(const Char* d, Py_ssize_t i, Py_ssize_t end) {
  for (; i < end; i++) {
    Char c = d[i];
    if (c == '\'' || c == '"' || c == '`' || c == '\\' || c == '$' || c == '[' || c == '\r' ||
        (c == '/' && i + 1 < end && d[i + 1] == '*')) {
      return false;
    }
  }
  return true;
}

// The "--" comments that every database reads alike, each up to (not including) its line break,
// scanned from the start of the statement. The scan stops for good at the first text some
// database reads another way: from there on, everything stays as written. With `hashes`, the
// "#" comments are listed too, and "--" before anything but a space stops the scan (MySQL reads
// it as two minus signs). Whether the scan read to the end.
template <typename Char>
bool removable_comments(const Char* d, Py_ssize_t len, Spans& out, bool hashes = false) {
  Py_ssize_t i = 0;
  while (i < len) {
    Char c = d[i];
    if (c == '\'' || c == '"' || c == '`') {
      // E'...' reads backslash escapes on PostgreSQL; a backslash anywhere in a literal does on
      // MySQL. A doubled quote closes and reopens: the same extent everywhere.
      if (c == '\'' && i > 0 && (d[i - 1] == 'E' || d[i - 1] == 'e')) return false;
      Py_ssize_t k = i + 1;
      while (k < len && d[k] != c) {
        if (d[k] == '\\') return false;
        k++;
      }
      if (k == len) return false;
      i = k + 1;
    } else if (c == '\\' || c == '[') {
      return false;
    } else if (c == '$' || c == '#') {
      Py_ssize_t k = reference_end(d, i, len);
      if (k >= 0) {
        i = k;
      } else if (c == '$') {
        return false;  // a dollar quote, or a name that could start one
      } else {
        // MySQL reads a comment to the line end, PostgreSQL an operator: alike only when the
        // rest of the line means the same either way.
        Py_ssize_t end = line_end(d, i, len);
        if (!inert(d, i + 1, end)) return false;
        if (hashes) out.push_back({i, end});
        i = end;
      }
    } else if (c == '/' && i + 1 < len && d[i + 1] == '*') {
      // MySQL runs /*! */ and /*+ */ as code, MariaDB /*M! */; PostgreSQL nests comments.
      if (i + 2 < len && (d[i + 2] == '!' || d[i + 2] == '+' || d[i + 2] == 'M')) return false;
      Py_ssize_t k = i + 2;
      while (k + 1 < len && !(d[k] == '*' && d[k + 1] == '/')) {
        if (d[k] == '/' && d[k + 1] == '*') return false;
        k++;
      }
      if (k + 1 >= len) return false;
      i = k + 2;
    } else if (c == '-' && i + 1 < len && d[i + 1] == '-') {
      Py_ssize_t end = line_end(d, i, len);
      // MySQL reads "--" as a comment only before a space, a tab or a line break.
      bool spaced = i + 2 < len && (d[i + 2] == ' ' || d[i + 2] == '\t' || d[i + 2] == '\n');
      if (spaced) {
        for (Py_ssize_t k = i; k < end; k++) {
          if (d[k] == '\r') return false;  // SQLite and MySQL read on to the '\n'
        }
        out.push_back({i, end});
      } else if (hashes || !inert(d, i + 2, end)) {
        return false;
      }
      i = end;
    } else {
      i++;
    }
  }
  return true;
}

template <typename Char>
Ref remove_kernel(PyObject* s, const Char* d, Py_ssize_t len) {
  if (!holds(d, len, '-')) return Ref::borrow(s);
  Spans gone;
  removable_comments(d, len, gone);
  if (gone.empty()) return Ref::borrow(s);
  // The result has the kind of the characters it keeps, not of those removed with a comment.
  Py_ssize_t total = len;
  Py_UCS4 maxc = 127;
  Py_ssize_t from = 0;
  for (const Span& g : gone) {
    total -= g.end - g.start;
    for (Py_ssize_t i = from; i < g.start; i++) maxc = d[i] > maxc ? d[i] : maxc;
    from = g.end;
  }
  for (Py_ssize_t i = from; i < len; i++) maxc = d[i] > maxc ? d[i] : maxc;
  Ref out = Ref::take(PyUnicode_New(total, maxc));
  Py_ssize_t pos = 0;
  from = 0;
  for (const Span& g : gone) {
    copy_chars(out.get(), pos, s, from, g.start - from);
    pos += g.start - from;
    from = g.end;
  }
  copy_chars(out.get(), pos, s, from, len - from);
  return out;
}

// The collapsed statement, in pieces that end after each line on which "--" or a "#" (not of a
// #{name} reference) is still written: those line breaks stay, every other run of whitespace
// becomes one space.
template <typename Char>
Ref collapse_kernel(PyObject* s, const Char* d, Py_ssize_t len, bool first_break) {
  Ref parts = Ref::take(PyList_New(0));
  Py_ssize_t from = 0;
  bool marked = first_break;
  auto piece = [&](Py_ssize_t end, bool always) {
    Ref sub = Ref::take(PyUnicode_Substring(s, from, end));
    Ref collapsed = normalize_ws(sub.get());
    // With `first_break`, a break before any text stays too: it ends a comment open before `s`.
    if (PyUnicode_GET_LENGTH(collapsed.get()) > 0 || (first_break && from == 0) || always) {
      ok(PyList_Append(parts.get(), collapsed.get()));
    }
  };
  for (Py_ssize_t i = 0; i < len; i++) {
    Char c = d[i];
    if ((c == '#' && reference_end(d, i, len) < 0) ||
        (c == '-' && i + 1 < len && d[i + 1] == '-')) {
      marked = true;
    } else if (c == '\r' && (i + 1 == len || d[i + 1] != '\n')) {
      // A line end to PostgreSQL only: from here on, everything stays as written.
      piece(i, true);
      Ref head = Ref::take(PyUnicode_Join(Ref(new_str("\n")).get(), parts.get()));
      Ref rest = Ref::take(PyUnicode_Substring(s, i, len));
      return concat({head.get(), rest.get()});
    } else if ((c == '\n' || c == '\r') && marked) {
      piece(i, false);
      from = i + 1;
      marked = false;
    }
  }
  if (from == 0) return normalize_ws(s);
  piece(len, false);
  return Ref::take(PyUnicode_Join(Ref(new_str("\n")).get(), parts.get()));
}

template <typename Char>
bool marks_in(const Char* d, Py_ssize_t len) {
  for (Py_ssize_t i = find(d, len, '#'); i < len; i += 1 + find(d + i + 1, len - i - 1, '#')) {
    if (reference_end(d, i, len) < 0) return true;
  }
  for (Py_ssize_t i = find(d, len, '-'); i + 1 < len; i += 1 + find(d + i + 1, len - i - 1, '-')) {
    if (d[i + 1] == '-') return true;
  }
  return false;
}

}  // namespace

Ref remove_comments(PyObject* s) {
  if (!PyUnicode_CheckExact(s)) return Ref::borrow(s);
  return with_code_points(s, [&](auto* d, Py_ssize_t len) { return remove_kernel(s, d, len); });
}

Ref collapse_statement(PyObject* s, bool first_break) {
  return with_code_points(
      s, [&](auto* d, Py_ssize_t len) { return collapse_kernel(s, d, len, first_break); });
}

namespace {
// Plain, not thread_local: the GIL orders its uses, and a value seen out of turn only keeps a
// line break or misses one, never points anywhere.
bool open_before = false;
}  // namespace

void set_open_before(bool open) {
  open_before = open;
}

bool take_open_before() {
  bool open = open_before;
  open_before = false;
  return open;
}

bool open_after(PyObject* piece, bool open) {
  if (!PyUnicode_Check(piece)) return true;
  return with_code_points(piece, [open](auto* d, Py_ssize_t len) {
    // Only '\n' is looked for: a line taken to go on past a lone '\r' only keeps more breaks.
    Py_ssize_t j = len;
    if constexpr (sizeof(*d) == 1) {
      const void* nl = len > 0 ? memrchr(d, '\n', static_cast<size_t>(len)) : nullptr;
      j = nl != nullptr ? static_cast<const unsigned char*>(nl) - d + 1 : 0;
    } else {
      while (j > 0 && d[j - 1] != '\n') j--;
    }
    if (j > 0) return marks_in(d + j, len - j);
    // no line break: the open line goes on; a mark may also be split between two pieces
    bool edge = len > 0 && (d[0] == '-' || d[len - 1] == '-' || d[len - 1] == '#');
    return open || edge || marks_in(d, len);
  });
}

bool has_comment_marks(PyObject* s) {
  if (!PyUnicode_Check(s)) return false;
  return with_code_points(s, [&](auto* d, Py_ssize_t len) { return marks_in(d, len); });
}

bool last_line_marked(PyObject* s) {
  return with_code_points(s, [&](auto* d, Py_ssize_t len) {
    Py_ssize_t start = len;
    // A comment runs on past a lone '\r' on some databases.
    while (start > 0 && d[start - 1] != '\n') start--;
    return marks_in(d + start, len - start);
  });
}

Ref end_comment_line(PyObject* raw, Ref out) {
  if (!last_line_marked(out.get())) return out;
  bool broken = with_code_points(raw, [&](auto* d, Py_ssize_t len) {
    for (Py_ssize_t i = len; i > 0 && is_space(d[i - 1]); i--) {
      if (d[i - 1] == '\n' || d[i - 1] == '\r') return true;
    }
    return false;
  });
  if (!broken) return out;
  Ref brk = new_str("\n");
  return concat({out.get(), brk.get()});
}

Py_ssize_t skip_line_comments(PyObject* s, Py_ssize_t i) {
  return with_code_points(s, [&](auto* d, Py_ssize_t len) {
    for (;;) {
      while (i < len && is_space(d[i])) i++;
      bool dashes = i + 1 < len && d[i] == '-' && d[i + 1] == '-';
      bool hash = i < len && d[i] == '#' && reference_end(d, i, len) < 0;
      if (!dashes && !hash) return i;
      while (i < len && d[i] != '\n' && d[i] != '\r') i++;
    }
  });
}

bool trim_comments(PyObject* s, Spans& out) {
  return with_code_points(
      s, [&](auto* d, Py_ssize_t len) { return removable_comments(d, len, out, true); });
}

Py_ssize_t content_end(PyObject* s, Py_ssize_t hi, const Spans& comments, bool readable) {
  return with_code_points(s, [&](auto* d, Py_ssize_t) {
    for (;;) {
      while (hi > 0 && is_space(d[hi - 1])) hi--;
      if (!readable || hi == 0) return hi;
      // the last comment that starts before hi
      const Span* c = std::upper_bound(comments.begin(), comments.end(), hi - 1,
                                       [](Py_ssize_t at, const Span& g) { return at < g.start; });
      if (c == comments.begin() || hi > (c - 1)->end) return hi;
      hi = (c - 1)->start;
    }
  });
}

}  // namespace verdin::stmtloom
