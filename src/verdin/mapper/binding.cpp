// Statement finishing: #{name} binds, whitespace normalisation and ${name} substitution.
#include <cstring>
#include <iterator>

#include "stmtloom.hpp"

namespace verdin::stmtloom {
namespace {

inline bool is_name_char(Py_UCS4 c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// param_pattern.findall: the names of "#{([a-zA-Z0-9_\-]+)}", left to right.
// The next '#' at or after i, or len.
template <typename Char>
inline Py_ssize_t next_hash(const Char* d, Py_ssize_t i, Py_ssize_t len) {
  if constexpr (sizeof(Char) == 1) {
    const void* p = i < len ? std::memchr(d + i, '#', static_cast<size_t>(len - i)) : nullptr;
    return p ? static_cast<const Char*>(p) - d : len;
  } else {
    while (i < len && d[i] != '#') i++;
    return i;
  }
}

template <typename Char>
void scan_names(const Char* d, Py_ssize_t len, Spans& out) {
  for (Py_ssize_t i = next_hash(d, 0, len); i + 3 < len; i = next_hash(d, i + 1, len)) {
    if (d[i + 1] != '{') continue;
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
void scan_binds(const Char* d, Py_ssize_t len, Spans& out) {
  Py_ssize_t i = next_hash(d, 0, len);
  while (i + 3 < len) {
    if (d[i + 1] != '{' || d[i + 2] == '}') {
      i = next_hash(d, i + 1, len);
      continue;
    }
    Py_ssize_t k = i + 3;
    while (k < len && d[k] != '}') k++;
    if (k == len) break;  // no closing brace anywhere after: nothing more can match
    out.push_back({i + 2, k});
    i = next_hash(d, k + 1, len);
  }
}

// re.sub("#\{([^}]+)\}", ":\1", s) for an exact str: "#{" becomes ":" and "}" is dropped.
Ref rewrite_binds(PyObject* s) {
  Spans found;
  with_code_points(s, [&](auto* d, Py_ssize_t len) { scan_binds(d, len, found); });
  if (found.empty()) return Ref::borrow(s);
  Py_ssize_t len = PyUnicode_GET_LENGTH(s);
  // Only ASCII characters are removed, so the widest character (and the kind) stays.
  Ref out = Ref::take(
      PyUnicode_New(len - 2 * static_cast<Py_ssize_t>(found.size()), PyUnicode_MAX_CHAR_VALUE(s)));
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

// int(text) for a short run of ASCII digits, the common shape of a foreach position: the
// characters text[start:] of an exact str. -1 when they have any other shape (int() then decides).
Py_ssize_t small_index(PyObject* text, Py_ssize_t start = 0) {
  Py_ssize_t len = PyUnicode_GET_LENGTH(text) - start;
  if (len <= 0 || len > 15 || !PyUnicode_IS_ASCII(text)) return -1;
  const char* d = static_cast<const char*>(PyUnicode_DATA(text)) + start;
  Py_ssize_t v = 0;
  for (Py_ssize_t i = 0; i < len; i++) {
    if (d[i] < '0' || d[i] > '9') return -1;
    v = v * 10 + (d[i] - '0');
  }
  return v;
}

// params[container][int(index)] for an indexed name split at its first "_for_index_".
Ref indexed_value(PyObject* param, PyObject* container_name, PyObject* index_text) {
  Ref container = Ref::take(PyObject_GetItem(param, container_name));
  if (PyList_CheckExact(container.get()) && PyUnicode_CheckExact(index_text)) {
    Py_ssize_t i = small_index(index_text);
    if (i >= 0 && i < PyList_GET_SIZE(container.get())) {
      return Ref::borrow(PyList_GET_ITEM(container.get(), i));
    }
  }
  Ref index = Ref::take(PyNumber_Long(index_text));
  return Ref::take(PyObject_GetItem(container.get(), index.get()));
}

// _format_sql(re.sub("#\\{([^}]+)\\}", ":\\1", s)) for an exact str: the rewritten pieces are
// collapsed as they are fed, so the rewrite itself is never stored.
template <typename Char>
Ref finish_kernel(PyObject* s, const Char* d, Py_ssize_t len) {
  Spans binds;
  scan_binds(d, len, binds);
  if (binds.empty()) return normalize_ws(s);
  CollapsedWs<Char> ws(len);
  const Char colon[] = {':'};
  Py_ssize_t from = 0;
  for (const Span& m : binds) {
    ws.feed(d + from, m.start - 2 - from);  // the text before "#{"
    ws.feed(colon, 1);
    ws.feed(d + m.start, m.end - m.start);
    from = m.end + 1;
  }
  ws.feed(d + from, len - from);
  return str_from_units(nullptr, ws.data(), ws.size(), ws.max_char());
}

Ref rewrite_and_format(PyObject* s) {
  return with_code_points(s, [&](auto* d, Py_ssize_t len) { return finish_kernel(s, d, len); });
}

// Collects bind values. Consecutive indexed names of one collection (a foreach) share the
// collection's name.
class Collector {
 public:
  Collector(PyObject* param, PyObject* ret_param) : param_(param), ret_param_(ret_param) {}

  void add(PyObject* match) {
    Ref value;
    if (PyUnicode_CheckExact(match)) {
      Py_ssize_t len = PyUnicode_GET_LENGTH(match);
      Py_ssize_t at = PyUnicode_Find(match, n.for_index, 0, len, 1);
      if (at == -2) throw_error();
      if (at >= 0) {
        value = indexed(match, at, len);
      } else if (PyDict_CheckExact(param_)) {
        value = dict_get(param_, match);
        if (!value) value = Ref::borrow(Py_None);
      }
    } else if (ok(PySequence_Contains(match, n.for_index))) {
      Ref one = Ref::take(PyLong_FromLong(1));
      Ref parts = call_method(match, n.split, n.for_index, one.get());
      Ref pair[2];
      unpack(parts.get(), 2, pair);
      value = indexed_value(param_, pair[0].get(), pair[1].get());
    }
    if (!value) {
      value = ok(PySequence_Contains(param_, match)) ? Ref::take(PyObject_GetItem(param_, match))
                                                     : Ref::borrow(Py_None);
    }
    ok(PyObject_SetItem(ret_param_, match, value.get()));
  }

 private:
  Ref indexed(PyObject* match, Py_ssize_t at, Py_ssize_t len) {
    Py_ssize_t after = at + PyUnicode_GET_LENGTH(n.for_index);
    bool same = last_name_ && PyDict_CheckExact(param_) &&
                PyUnicode_GET_LENGTH(last_name_.get()) == at &&
                PyUnicode_Tailmatch(match, last_name_.get(), 0, at, -1) == 1;
    if (!same) last_name_ = Ref::take(PyUnicode_Substring(match, 0, at));
    // Looked up for every name: reading the previous value may have run code that rebound it.
    Ref held = Ref::take(PyObject_GetItem(param_, last_name_.get()));
    PyObject* container = held.get();
    if (PyList_CheckExact(container)) {
      Py_ssize_t i = small_index(match, after);
      if (i >= 0 && i < PyList_GET_SIZE(container)) {
        return Ref::borrow(PyList_GET_ITEM(container, i));
      }
    }
    Ref index_text = Ref::take(PyUnicode_Substring(match, after, len));
    Ref index = Ref::take(PyNumber_Long(index_text.get()));
    return Ref::take(PyObject_GetItem(container, index.get()));
  }

  PyObject* param_;
  PyObject* ret_param_;
  Ref last_name_;
};

}  // namespace

void reference_names(PyObject* s, Spans& out) {
  with_code_points(s, [&](auto* d, Py_ssize_t len) { scan_names(d, len, out); });
}

void require_values(PyObject* sql, PyObject* values) {
  if (!PyUnicode_CheckExact(sql)) return;
  Spans names;
  reference_names(sql, names);
  for (const Span& s : names) {
    Ref name = Ref::take(PyUnicode_Substring(sql, s.start, s.end));
    Py_ssize_t at = PyUnicode_Find(name.get(), n.for_index, 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) throw_error();
    if (at < 0 && !ok(PyDict_Contains(values, name.get()))) {
      PyErr_SetObject(PyExc_KeyError, name.get());
      throw_error();
    }
  }
}

Ref format_sql(Func&, PyObject* const* a) {
  PyObject* sql = a[0];
  if (PyUnicode_CheckExact(sql)) return normalize_ws(sql);
  Ref stripped = call_method(sql, n.strip);
  Ref pieces = call_method(stripped.get(), n.split);
  return call_method(n.space, n.join, pieces.get());
}

namespace {

// The finished form of statement texts that come back: raw text (an exact str) -> (the text as
// _format_sql(re.sub(...)) finished it, then each name param_pattern finds in it). Both are
// what the native scanner, rewrite and collapse give for that text, so an entry is only read and
// written while all three are the installed ones. A hit hands out the same finished str object
// each time, whose hash the clause cache then finds already computed. Touched with the GIL held
// only; nothing between reading an entry and using it runs Python code on it. The oldest entries
// go first once it holds too many or too much.
OldestFirst finished;

constexpr Py_ssize_t finished_entries = 4096;
constexpr Py_ssize_t finished_budget = 4 << 20;
// A longer text (a long generated IN list) seldom comes back the same: it is finished per call.
constexpr Py_ssize_t finished_longest = 16 << 10;

Py_ssize_t finished_cost(PyObject* ret, PyObject* entry) {
  PyObject* formatted = PyTuple_GET_ITEM(entry, 0);
  return 160 + PyUnicode_GET_LENGTH(ret) * PyUnicode_KIND(ret) +
         PyUnicode_GET_LENGTH(formatted) * PyUnicode_KIND(formatted) +
         64 * (PyTuple_GET_SIZE(entry) - 1);
}

Ref finished_entry(PyObject* ret) {
  if (PyUnicode_GET_LENGTH(ret) > finished_longest) return Ref();
  return finished.get(ret);
}

void remember_finished(PyObject* ret, PyObject* formatted, PyObject* names) {
  if (PyUnicode_GET_LENGTH(ret) > finished_longest || !PyUnicode_CheckExact(formatted)) return;
  // Stored meanwhile by a call that the values' lookups ran: the memo keeps that one.
  if (finished_entry(ret)) return;
  // One flat tuple of strings, which the collector stops tracking at its first pass.
  Py_ssize_t count = PyTuple_GET_SIZE(names);
  Ref entry = Ref::take(PyTuple_New(1 + count));
  PyTuple_SET_ITEM(entry.get(), 0, Py_NewRef(formatted));
  for (Py_ssize_t i = 0; i < count; i++) {
    PyTuple_SET_ITEM(entry.get(), 1 + i, Py_NewRef(PyTuple_GET_ITEM(names, i)));
  }
  finished.add(ret, entry.get(), finished_cost(ret, entry.get()));
  finished.shrink(finished_budget, static_cast<size_t>(finished_entries), finished_cost);
}

}  // namespace

Prepared prepare_statement(Func& f, PyObject* ret, PyObject* param) {
  Ref ret_param = Ref::take(PyDict_New());
  Ref pattern = f.global(n.param_pattern);
  bool native_scan = pattern.get() == orig.param_pattern && PyUnicode_CheckExact(ret);
  // Kept while the scan is native: what the native finishing below can remember for `ret`.
  Ref seen = native_scan ? finished_entry(ret) : Ref();
  Ref names;
  if (seen) {
    Collector collector(param, ret_param.get());
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(seen.get()); i++) {
      collector.add(PyTuple_GET_ITEM(seen.get(), i));
    }
  } else if (native_scan) {
    Spans spans;
    with_code_points(ret, [&](auto* d, Py_ssize_t len) { scan_names(d, len, spans); });
    names = Ref::take(PyTuple_New(static_cast<Py_ssize_t>(spans.size())));
    Collector collector(param, ret_param.get());
    for (size_t i = 0; i < spans.size(); i++) {
      PyObject* match = ok(PyUnicode_Substring(ret, spans[i].start, spans[i].end));
      PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), match);
      collector.add(match);
    }
  } else {
    Ref matches = call_method(pattern.get(), n.findall, ret);
    Collector collector(param, ret_param.get());
    Ref it = Ref::take(PyObject_GetIter(matches.get()));
    while (Ref match = Ref::steal(PyIter_Next(it.get()))) collector.add(match.get());
    if (PyErr_Occurred()) throw_error();
  }

  Ref re = f.global(n.re);
  Ref sub = getattr(re.get(), n.sub);
  bool native_sub = re.get() == orig.re && sub.get() == orig.re_sub && PyUnicode_CheckExact(ret);
  Ref cls = f.global(n.ParseMapper);
  Ref fmt = getattr(cls.get(), n.format_sql);
  bool native_fmt = fmt.get() == orig.format_sql;
  Ref formatted;
  if (seen && native_sub && native_fmt) {
    formatted = Ref::borrow(PyTuple_GET_ITEM(seen.get(), 0));
  } else if (native_fmt && has_comment_marks(ret)) {
    Ref rewritten = native_sub ? rewrite_binds(ret)
                               : call(sub.get(), n.rewrite_pattern, n.rewrite_template, ret);
    formatted = PyUnicode_CheckExact(rewritten.get()) ? collapse_statement(rewritten.get())
                                                      : call(fmt.get(), rewritten.get());
  } else if (native_sub && native_fmt) {
    formatted = rewrite_and_format(ret);
  } else {
    Ref rewritten = native_sub ? rewrite_binds(ret)
                               : call(sub.get(), n.rewrite_pattern, n.rewrite_template, ret);
    formatted = (native_fmt && PyUnicode_CheckExact(rewritten.get()))
                    ? normalize_ws(rewritten.get())
                    : call(fmt.get(), rewritten.get());
  }
  if (native_scan && !seen && native_sub && native_fmt) {
    remember_finished(ret, formatted.get(), names.get());
  }
  return {std::move(formatted), std::move(ret_param)};
}

Ref to_prepared_statement(Func& f, PyObject* const* a) {
  PyObject *ret = a[0], *param = a[1];
  Prepared prepared = prepare_statement(f, ret, param);
  Ref text_fn = f.global(n.text_fn);
  Ref clause = clause_of(text_fn.get(), prepared.sql.get());
  return Ref::take(PyTuple_Pack(2, clause.get(), prepared.binds.get()));
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

}  // namespace verdin::stmtloom
