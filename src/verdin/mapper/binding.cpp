// Statement finishing: #{name} binds, whitespace normalisation and ${name} substitution.
#include <cstring>

#include "stmtloom.hpp"

namespace stmtloom {
namespace {

inline bool is_name_char(Py_UCS4 c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// param_pattern.findall: the names of "#{([a-zA-Z0-9_\-]+)}", left to right.
template <typename Char>
void scan_names(const Char* d, Py_ssize_t len, std::vector<Span>& out) {
  for (Py_ssize_t i = 0; i + 3 < len; i++) {
    if (d[i] != '#' || d[i + 1] != '{') continue;
    Py_ssize_t j = i + 2;
    while (j < len && is_name_char(d[j])) j++;
    if (j > i + 2 && j < len && d[j] == '}') {
      out.push_back({i + 2, j});
      i = j;
    }
  }
}

// The matches of "#\{([^}]+)\}": span of the content of each.
template <typename Char>
void scan_binds(const Char* d, Py_ssize_t len, std::vector<Span>& out) {
  Py_ssize_t i = 0;
  while (i + 3 < len) {
    if (d[i] != '#' || d[i + 1] != '{' || d[i + 2] == '}') {
      i++;
      continue;
    }
    Py_ssize_t k = i + 3;
    while (k < len && d[k] != '}') k++;
    if (k == len) break;  // no closing brace anywhere after: nothing more can match
    out.push_back({i + 2, k});
    i = k + 1;
  }
}

template <typename Fn>
void by_kind(PyObject* s, std::vector<Span>& out, Fn&& fn) {
  Py_ssize_t len = PyUnicode_GET_LENGTH(s);
  const void* d = PyUnicode_DATA(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: fn(static_cast<const Py_UCS1*>(d), len, out); break;
    case PyUnicode_2BYTE_KIND: fn(static_cast<const Py_UCS2*>(d), len, out); break;
    default: fn(static_cast<const Py_UCS4*>(d), len, out); break;
  }
}

// re.sub("#\{([^}]+)\}", ":\1", s) for an exact str: "#{" becomes ":" and "}" is dropped.
Ref rewrite_binds(PyObject* s) {
  std::vector<Span> found;
  by_kind(s, found, [](auto* d, Py_ssize_t len, std::vector<Span>& o) { scan_binds(d, len, o); });
  if (found.empty()) return Ref::borrow(s);
  Py_ssize_t len = PyUnicode_GET_LENGTH(s);
  // Only ASCII characters are removed, so the widest character (and the kind) stays.
  Ref out = Ref::take(PyUnicode_New(len - 2 * static_cast<Py_ssize_t>(found.size()),
                                    PyUnicode_MAX_CHAR_VALUE(s)));
  int kind = PyUnicode_KIND(s);
  const char* src = static_cast<const char*>(PyUnicode_DATA(s));
  char* dst = static_cast<char*>(PyUnicode_DATA(out.get()));
  Py_ssize_t from = 0, pos = 0;
  for (const Span& m : found) {
    Py_ssize_t head = m.start - 2 - from;  // text before "#{"
    std::memcpy(dst + pos * kind, src + from * kind, static_cast<size_t>(head) * kind);
    pos += head;
    PyUnicode_WRITE(kind, dst, pos++, ':');
    Py_ssize_t body = m.end - m.start;
    std::memcpy(dst + pos * kind, src + m.start * kind, static_cast<size_t>(body) * kind);
    pos += body;
    from = m.end + 1;
  }
  std::memcpy(dst + pos * kind, src + from * kind, static_cast<size_t>(len - from) * kind);
  return out;
}

// One bind name: an indexed name reads params[container][int(index)].
void collect(PyObject* match, PyObject* param, PyObject* ret_param) {
  Ref value;
  bool indexed;
  if (PyUnicode_Check(match)) {
    Py_ssize_t at = PyUnicode_Find(match, n.for_index, 0, PyUnicode_GET_LENGTH(match), 1);
    if (at == -2) throw_error();
    indexed = at >= 0;
  } else {
    indexed = ok(PySequence_Contains(match, n.for_index)) != 0;
  }
  if (indexed) {
    Ref one = Ref::take(PyLong_FromLong(1));
    Ref parts = call_method(match, n.split, n.for_index, one.get());
    Ref pair[2];
    unpack(parts.get(), 2, pair);
    Ref container = Ref::take(PyObject_GetItem(param, pair[0].get()));
    Ref index = Ref::take(PyNumber_Long(pair[1].get()));
    value = Ref::take(PyObject_GetItem(container.get(), index.get()));
  } else if (ok(PySequence_Contains(param, match))) {
    value = Ref::take(PyObject_GetItem(param, match));
  } else {
    value = Ref::borrow(Py_None);
  }
  ok(PyObject_SetItem(ret_param, match, value.get()));
}

}  // namespace

Ref format_sql_text(PyObject* sql) { return normalize_ws(sql); }

Ref format_sql(Func&, PyObject* const* a) {
  PyObject* sql = a[0];
  if (PyUnicode_CheckExact(sql)) return normalize_ws(sql);
  Ref stripped = call_method(sql, n.strip);
  Ref pieces = call_method(stripped.get(), n.split);
  return call_method(n.space, n.join, pieces.get());
}

Ref to_prepared_statement(Func& f, PyObject* const* a) {
  PyObject *ret = a[0], *param = a[1];
  Ref ret_param = Ref::take(PyDict_New());
  Ref pattern = f.global(n.param_pattern);
  if (pattern.get() == orig.param_pattern && PyUnicode_CheckExact(ret)) {
    std::vector<Span> names;
    by_kind(ret, names, [](auto* d, Py_ssize_t len, std::vector<Span>& o) { scan_names(d, len, o); });
    for (const Span& s : names) {
      Ref match = Ref::take(PyUnicode_Substring(ret, s.start, s.end));
      collect(match.get(), param, ret_param.get());
    }
  } else {
    Ref matches = call_method(pattern.get(), n.findall, ret);
    Ref it = Ref::take(PyObject_GetIter(matches.get()));
    while (Ref match = Ref::steal(PyIter_Next(it.get()))) collect(match.get(), param, ret_param.get());
    if (PyErr_Occurred()) throw_error();
  }

  Ref re = f.global(n.re);
  Ref sub = getattr(re.get(), n.sub);
  Ref rewritten = (re.get() == orig.re && sub.get() == orig.re_sub && PyUnicode_CheckExact(ret))
                      ? rewrite_binds(ret)
                      : call(sub.get(), n.rewrite_pattern, n.rewrite_template, ret);

  Ref cls = f.global(n.ParseMapper);
  Ref fmt = getattr(cls.get(), n.format_sql);
  Ref formatted = (fmt.get() == orig.format_sql && PyUnicode_CheckExact(rewritten.get()))
                      ? normalize_ws(rewritten.get())
                      : call(fmt.get(), rewritten.get());
  Ref text_fn = f.global(n.text_fn);
  Ref clause = call(text_fn.get(), formatted.get());
  return Ref::take(PyTuple_Pack(2, clause.get(), ret_param.get()));
}

Ref to_replace(Func& f, PyObject* const* a) {
  Ref ret = Ref::borrow(a[0]);
  PyObject* param = a[1];
  Ref pattern = f.global(n.replace_pattern);
  Ref matches = call_method(pattern.get(), n.findall, ret.get());
  Ref it = Ref::take(PyObject_GetIter(matches.get()));
  while (Ref match = Ref::steal(PyIter_Next(it.get()))) {
    Ref value = Ref::borrow(n.empty);
    if (ok(PySequence_Contains(param, match.get()))) {
      value = Ref::take(PyObject_GetItem(param, match.get()));
    }
    Ref old = Ref::take(PyNumber_Add(n.dollar_open, match.get()));
    old = Ref::take(PyNumber_Add(old.get(), n.close_brace));
    ret = call_method(ret.get(), n.replace, old.get(), value.get());
  }
  if (PyErr_Occurred()) throw_error();
  return ret;
}

}  // namespace stmtloom
