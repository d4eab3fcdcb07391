// Dynamic elements: parse_element and the override trimming of trim/set.
#include <algorithm>

#include "stmtloom.hpp"

namespace stmtloom {
namespace {

bool equals(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
  }
  return ok(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

// Accumulates `a + b + c ...` as Python would: str pieces are joined once at the end; any
// other operand falls back to the + operator, raising its TypeError.
class Concat {
 public:
  Concat() : parts_(Ref::take(PyList_New(0))) {}
  void add(PyObject* piece) {
    if (!slow_ && PyUnicode_Check(piece)) {
      ok(PyList_Append(parts_.get(), piece));
      return;
    }
    if (!slow_) slow_ = result();
    slow_ = Ref::take(PyNumber_InPlaceAdd(slow_.get(), piece));
  }
  Ref result() {
    if (slow_) return slow_.copy();
    return Ref::take(PyUnicode_Join(n.empty, parts_.get()));
  }

 private:
  Ref parts_;
  Ref slow_;
};

Ref attr_or_empty(PyObject* attrib, PyObject* key) {
  PyObject* v = PyDict_Check(attrib) ? PyDict_GetItemWithError(attrib, key) : nullptr;
  if (v == nullptr && PyErr_Occurred()) throw_error();
  if (!PyDict_Check(attrib)) {
    if (!ok(PySequence_Contains(attrib, key))) return Ref::borrow(n.empty);
    return Ref::take(PyObject_GetItem(attrib, key));
  }
  return Ref::borrow(v ? v : n.empty);
}

Ref call_parse(PyObject* self, PyObject* element, PyObject* param) {
  PyObject* args[] = {self, element, param};
  return Ref::take(PyObject_VectorcallMethod(n.parse_element, args,
                                             3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// ParseMapper._trim_prefix / _trim_suffix, read through the module global at call time.
Ref call_trim(Func& f, PyObject* s, PyObject* terms, bool prefix) {
  Ref cls = f.global(n.ParseMapper);
  Ref fn = getattr(cls.get(), prefix ? n.trim_prefix : n.trim_suffix);
  if (fn.get() == (prefix ? orig.trim_prefix : orig.trim_suffix) && PyUnicode_CheckExact(s) &&
      PySet_CheckExact(terms)) {
    return trim_text(s, terms, prefix);
  }
  return call(fn.get(), s, terms);
}

// The override set of a trim attribute (empty when the attribute is absent): pieces split at
// "|", each stripped. Empty pieces would match every text and are left out.
Ref override_set(PyObject* attrib, PyObject* key) {
  Ref out = Ref::take(PySet_New(nullptr));
  if (!ok(PySequence_Contains(attrib, key))) return out;
  Ref value = Ref::take(PyObject_GetItem(attrib, key));
  Ref pieces = call_method(value.get(), n.split, n.bar);
  Ref it = Ref::take(PyObject_GetIter(pieces.get()));
  while (Ref piece = Ref::steal(PyIter_Next(it.get()))) {
    Ref term = call_method(piece.get(), n.strip);
    if (PyUnicode_Check(term.get()) && PyUnicode_GET_LENGTH(term.get()) == 0) continue;
    ok(PySet_Add(out.get(), term.get()));
  }
  if (PyErr_Occurred()) throw_error();
  return out;
}

bool is_and_or(PyObject* s, Span t) {
  Py_ssize_t len = t.end - t.start;
  if (PyUnicode_IS_ASCII(s)) {
    if (len != 2 && len != 3) return false;
    const char* d = static_cast<const char*>(PyUnicode_DATA(s)) + t.start;
    auto up = [](char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); };
    if (len == 3) return up(d[0]) == 'A' && up(d[1]) == 'N' && up(d[2]) == 'D';
    return up(d[0]) == 'O' && up(d[1]) == 'R';
  }
  // Unicode case mapping can change lengths: ask str.upper() itself.
  Ref token = Ref::take(PyUnicode_Substring(s, t.start, t.end));
  Ref upper = call_method(token.get(), n.upper);
  return equals(upper.get(), n.and_) || equals(upper.get(), n.or_);
}

// A body that is not a str (only from an overridden parse_element) goes through the
// same steps by method calls.
Ref where_generic(PyObject* body) {
  Ref temp = call_method(body, n.strip);
  Ref l = call_method(temp.get(), n.split);
  Ref seq = Ref::take(PySequence_List(l.get()));
  Py_ssize_t size = PyList_GET_SIZE(seq.get()), idx = 0;
  while (idx < size) {
    Ref up = call_method(PyList_GET_ITEM(seq.get(), idx), n.upper);
    if (!equals(up.get(), n.and_) && !equals(up.get(), n.or_)) break;
    idx++;
  }
  if (idx == size) return Ref::borrow(n.empty);
  Ref rest = Ref::take(PyList_GetSlice(seq.get(), idx, size));
  Ref joined = Ref::take(PyUnicode_Join(n.space, rest.get()));
  return concat({n.where_prefix, joined.get()});
}

Ref where_branch(PyObject* body) {
  if (!PyUnicode_CheckExact(body)) return where_generic(body);
  std::vector<Span> tokens;
  split_ws(body, tokens);
  size_t idx = 0;
  while (idx < tokens.size() && is_and_or(body, tokens[idx])) idx++;
  if (idx == tokens.size()) return Ref::borrow(n.empty);
  return join_spans(body, tokens.data() + idx, tokens.size() - idx, n.where_prefix);
}

Ref trim_branch(Func& f, PyObject* self, PyObject* element, PyObject* param) {
  Ref attrib = getattr(element, n.attrib);
  Ref prefix = attr_or_empty(attrib.get(), n.prefix);
  Ref suffix = attr_or_empty(attrib.get(), n.suffix);
  Ref prefixes = override_set(attrib.get(), n.prefixOverrides);
  Ref suffixes = override_set(attrib.get(), n.suffixOverrides);
  Ref ret = body_text(self, element, param);
  if (PySet_GET_SIZE(prefixes.get()) > 0) ret = call_trim(f, ret.get(), prefixes.get(), true);
  if (PySet_GET_SIZE(suffixes.get()) > 0) ret = call_trim(f, ret.get(), suffixes.get(), false);
  Concat out;
  out.add(prefix.get());
  out.add(n.space);
  out.add(ret.get());
  out.add(n.space);
  out.add(suffix.get());
  return out.result();
}

Ref choose_branch(PyObject* self, PyObject* element, PyObject* param) {
  Ref ok_value = Ref::borrow(Py_False);
  Ref it = Ref::take(PyObject_GetIter(element));
  while (Ref child = Ref::steal(PyIter_Next(it.get()))) {
    Ref tag = getattr(child.get(), n.tag);
    if (!equals(tag.get(), n.when)) continue;
    Ref test = attr_required(child.get(), n.test);
    ok_value = eval_expr(test.get(), param);
    if (truth(ok_value.get())) {
      Ref out = call_parse(self, child.get(), param);
      Concat c;
      c.add(n.empty);
      c.add(out.get());
      return c.result();
    }
  }
  if (PyErr_Occurred()) throw_error();
  Ref it2 = Ref::take(PyObject_GetIter(element));
  while (Ref child = Ref::steal(PyIter_Next(it2.get()))) {
    Ref tag = getattr(child.get(), n.tag);
    if (equals(tag.get(), n.otherwise)) return call_parse(self, child.get(), param);
  }
  if (PyErr_Occurred()) throw_error();
  PyErr_SetString(PyExc_Exception, "Missing otherwise element");
  throw_error();
}

Ref foreach_branch(PyObject* self, PyObject* element, PyObject* param) {
  Ref item = attr_required(element, n.item);
  Ref collection = attr_required(element, n.collection);
  Ref open = attr_required(element, n.open);
  Ref close = attr_required(element, n.close);
  Ref separator = attr_required(element, n.separator);
  Ref params = Ref::take(PyObject_GetItem(param, n.params));
  Ref is_list_src = Ref::take(PyUnicode_FromFormat("isinstance(%U,list)", collection.get()));
  Ref is_list = eval_expr(is_list_src.get(), params.get());
  if (!truth(is_list.get())) {
    PyErr_SetString(PyExc_Exception, "Collection must be a list");
    throw_error();
  }
  Ref copy_src = Ref::take(PyUnicode_FromFormat("[item for item in %U]", collection.get()));
  Ref entries = eval_expr(copy_src.get(), params.get());
  Ref old_string = concat({n.hash_open, item.get(), n.close_brace});
  Ref parts = Ref::take(PyList_New(0));
  Py_ssize_t count = PyObject_Length(entries.get());
  if (count < 0) throw_error();
  for (Py_ssize_t index = 0; index < count; index++) {
    Ref child_ret = body_text(self, element, param);
    Ref new_string =
        Ref::take(PyUnicode_FromFormat("#{%U_for_index_%zd}", collection.get(), index));
    if (PyUnicode_CheckExact(child_ret.get())) {
      child_ret = Ref::take(PyUnicode_Replace(child_ret.get(), old_string.get(), new_string.get(), -1));
    } else {
      child_ret = call_method(child_ret.get(), n.replace, old_string.get(), new_string.get());
    }
    ok(PyList_Append(parts.get(), child_ret.get()));
  }
  Ref joined = call_method(separator.get(), n.join, parts.get());
  Concat out;
  out.add(open.get());
  out.add(joined.get());
  out.add(close.get());
  return out.result();
}

}  // namespace

Ref attr_required(PyObject* element, PyObject* key) {
  Ref attrib = getattr(element, n.attrib);
  return Ref::take(PyObject_GetItem(attrib.get(), key));
}

Ref body_text(PyObject* self, PyObject* element, PyObject* param) {
  Concat out;
  Ref text = getattr(element, n.text);
  if (text.get() != Py_None) out.add(text.get());
  Ref it = Ref::take(PyObject_GetIter(element));
  while (Ref child = Ref::steal(PyIter_Next(it.get()))) {
    Ref piece = call_parse(self, child.get(), param);
    out.add(piece.get());
    Ref tail = getattr(child.get(), n.tail);
    if (tail.get() != Py_None) out.add(tail.get());
  }
  if (PyErr_Occurred()) throw_error();
  return out.result();
}

Ref parse_element(Func& f, PyObject* const* a) {
  PyObject *self = a[0], *element = a[1], *param = a[2];
  if (Py_EnterRecursiveCall(" while assembling a mapper statement")) throw_error();
  struct Leave {
    ~Leave() { Py_LeaveRecursiveCall(); }
  } leave;
  Ref tag = getattr(element, n.tag);
  PyObject* t = tag.get();
  if (equals(t, n.include)) {
    Ref refid = attr_required(element, n.refid);
    Ref map = getattr(self, n.id_2_element_map);
    Ref referenced = Ref::take(PyObject_GetItem(map.get(), refid.get()));
    Ref out = call_parse(self, referenced.get(), param);
    Concat c;
    c.add(n.empty);
    c.add(out.get());
    return c.result();
  }
  if (equals(t, n.sql)) return body_text(self, element, param);
  if (equals(t, n.if_)) {
    Ref test = attr_required(element, n.test);
    Ref ok_value = eval_expr(test.get(), param);
    if (truth(ok_value.get())) return body_text(self, element, param);
    return Ref::borrow(n.empty);
  }
  if (equals(t, n.where)) {
    Ref body = body_text(self, element, param);
    return where_branch(body.get());
  }
  if (equals(t, n.trim)) return trim_branch(f, self, element, param);
  if (equals(t, n.set)) {
    Ref body = body_text(self, element, param);
    Ref terms = Ref::take(PySet_New(nullptr));
    ok(PySet_Add(terms.get(), n.comma));
    Ref ret = call_trim(f, body.get(), terms.get(), true);
    Concat c;
    c.add(n.set_prefix);
    c.add(ret.get());
    return c.result();
  }
  if (equals(t, n.choose)) return choose_branch(self, element, param);
  if (equals(t, n.when) || equals(t, n.otherwise)) return body_text(self, element, param);
  if (equals(t, n.foreach)) return foreach_branch(self, element, param);
  return Ref::borrow(Py_None);
}

// --- override trimming ------------------------------------------------------------------

Ref trim_text(PyObject* s, PyObject* terms, bool prefix) {
  // Terms by length, longest first; empty terms are ignored so that trimming terminates.
  std::vector<std::pair<Py_ssize_t, Ref>> ordered;
  Ref it = Ref::take(PyObject_GetIter(terms));
  while (Ref term = Ref::steal(PyIter_Next(it.get()))) {
    Py_ssize_t len = PyObject_Length(term.get());
    if (len < 0) throw_error();
    if (len == 0) continue;
    ordered.emplace_back(len, std::move(term));
  }
  if (PyErr_Occurred()) throw_error();
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto& x, const auto& y) { return x.first > y.first; });
  Ref cur = normalize_ws(s);
  for (;;) {
    bool matched = false;
    for (auto& [len, term] : ordered) {
      Py_ssize_t size = PyUnicode_GET_LENGTH(cur.get());
      bool hit;
      if (PyUnicode_Check(term.get())) {
        hit = ok(static_cast<int>(
            PyUnicode_Tailmatch(cur.get(), term.get(), 0, size, prefix ? -1 : 1)));
      } else {
        // str.startswith/endswith decide what else they accept (a tuple of str) or refuse.
        Ref r = call_method(cur.get(), prefix ? n.startswith : n.endswith, term.get());
        hit = truth(r.get());
      }
      if (hit) {
        Ref rest = prefix ? Ref::take(PyUnicode_Substring(cur.get(), len, size))
                          : Ref::take(PyUnicode_Substring(cur.get(), 0, size - len));
        cur = strip_ws(rest.get());
        matched = true;
        break;
      }
    }
    if (!matched) break;
  }
  return strip_ws(cur.get());
}

Ref trim_prefix(Func&, PyObject* const* a) { return trim_text(a[0], a[1], true); }
Ref trim_suffix(Func&, PyObject* const* a) { return trim_text(a[0], a[1], false); }

}  // namespace stmtloom
