// Dynamic elements: parse_element and the override trimming of trim/set.
#include <algorithm>
#include <cstring>

#include "stmtloom.hpp"

namespace verdin::stmtloom {
namespace {

enum class Tag { include, sql, if_, where, trim, set, choose, when, otherwise, foreach, other };

// The branch of a tag, by string equality in the documented order.
Tag classify(PyObject* tag) {
  if (PyUnicode_CheckExact(tag) && PyUnicode_IS_ASCII(tag)) {
    const char* d = static_cast<const char*>(PyUnicode_DATA(tag));
    auto is = [&](const char* name, size_t len) { return std::memcmp(d, name, len) == 0; };
    switch (PyUnicode_GET_LENGTH(tag)) {
      case 2: return is("if", 2) ? Tag::if_ : Tag::other;
      case 3: return is("sql", 3) ? Tag::sql : is("set", 3) ? Tag::set : Tag::other;
      case 4: return is("trim", 4) ? Tag::trim : is("when", 4) ? Tag::when : Tag::other;
      case 5: return is("where", 5) ? Tag::where : Tag::other;
      case 6: return is("choose", 6) ? Tag::choose : Tag::other;
      case 7: return is("include", 7) ? Tag::include : is("foreach", 7) ? Tag::foreach : Tag::other;
      case 9: return is("otherwise", 9) ? Tag::otherwise : Tag::other;
      default: return Tag::other;
    }
  }
  const std::pair<PyObject*, Tag> order[] = {
      {n.include, Tag::include}, {n.sql, Tag::sql},   {n.if_, Tag::if_},
      {n.where, Tag::where},     {n.trim, Tag::trim}, {n.set, Tag::set},
      {n.choose, Tag::choose},   {n.when, Tag::when}, {n.otherwise, Tag::otherwise},
      {n.foreach, Tag::foreach}};
  for (auto& [name, kind] : order) {
    if (ok(PyObject_RichCompareBool(tag, name, Py_EQ))) return kind;
  }
  return Tag::other;
}

bool equals(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
  }
  return ok(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

Ref attr_or_empty(PyObject* attrib, PyObject* key) {
  if (!PyDict_Check(attrib)) {
    if (!ok(PySequence_Contains(attrib, key))) return Ref::borrow(n.empty);
    return Ref::take(PyObject_GetItem(attrib, key));
  }
  Ref v = dict_get(attrib, key);
  return v ? std::move(v) : Ref::borrow(n.empty);
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
    return has_comment_marks(s) ? trim_marked(s, terms, prefix) : trim_text(s, terms, prefix);
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

// A body assembled from pieces that are not all str (only from an overridden parse_element)
// goes through the same steps by method calls.
Ref where_generic(PyObject* body) {
  Ref temp = call_method(body, n.strip);
  Ref l = call_method(temp.get(), n.split);
  Ref seq = Ref::take(PySequence_List(l.get()));
  Py_ssize_t idx = 0;
  while (idx < PyList_GET_SIZE(seq.get())) {
    Ref token = Ref::borrow(PyList_GET_ITEM(seq.get(), idx));
    Ref up = call_method(token.get(), n.upper);
    if (!equals(up.get(), n.and_) && !equals(up.get(), n.or_)) break;
    idx++;
  }
  Py_ssize_t size = PyList_GET_SIZE(seq.get());
  if (idx >= size) return Ref::borrow(n.empty);
  Ref rest = Ref::take(PyList_GetSlice(seq.get(), idx, size));
  Ref joined = Ref::take(PyUnicode_Join(n.space, rest.get()));
  return concat({n.where_prefix, joined.get()});
}

// Whether the word d[0:len] is AND or OR in any case, by ASCII letters.
template <typename Char>
inline bool is_ascii_and_or(const Char* d, Py_ssize_t len) {
  auto up = [](Char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; };
  if (len == 3) return up(d[0]) == 'A' && up(d[1]) == 'N' && up(d[2]) == 'D';
  return len == 2 && up(d[0]) == 'O' && up(d[1]) == 'R';
}

// The same for a word with non-ASCII characters, whose case mapping can change lengths: asks
// str.upper() itself.
template <typename Char>
bool upper_is_and_or(const Char* d, Py_ssize_t len) {
  if (std::all_of(d, d + len, [](Char c) { return c < 128; })) return false;
  Ref word = Ref::take(PyUnicode_FromKindAndData(sizeof(Char), d, len));
  Ref upper = call_method(word.get(), n.upper);
  return equals(upper.get(), n.and_) || equals(upper.get(), n.or_);
}

// The where clause of the str pieces of a body, collapsed into a buffer of their widest kind:
// "WHERE " + " ".join(words), without the leading words that are AND or OR.
template <typename Char>
Ref where_kernel(const TextBuilder& body, Py_ssize_t total) {
  CollapsedWs<Char> ws(total);
  for (size_t i = 0; i < body.size(); i++) {
    PyObject* piece = body.piece(i);
    if constexpr (sizeof(Char) == 1) {
      ws.feed(PyUnicode_1BYTE_DATA(piece), PyUnicode_GET_LENGTH(piece));  // the common case
    } else {
      with_code_points(piece, [&](auto* d, Py_ssize_t len) {
        if constexpr (sizeof(*d) <= sizeof(Char)) ws.feed(d, len);
      });
    }
  }
  const Char* d = ws.data();
  Py_ssize_t len = ws.size();
  bool ascii = ws.max_char() < 128;
  Py_ssize_t start = 0;
  while (start < len) {
    const Char* word = d + start;
    Py_ssize_t wlen = std::find(word, d + len, static_cast<Char>(' ')) - word;
    if (!is_ascii_and_or(word, wlen) && (ascii || !upper_is_and_or(word, wlen))) break;
    start += wlen + 1;
  }
  if (start >= len) return Ref::borrow(n.empty);
  Py_UCS4 maxc = ws.max_char();
  if (start > 0 && !ascii) maxc = *std::max_element(d + start, d + len);
  return str_from_units(n.where_prefix, d + start, len - start, maxc);
}

Ref where_clause(const TextBuilder& body) {
  Py_ssize_t total = 0;
  int kind = PyUnicode_1BYTE_KIND;
  for (size_t i = 0; i < body.size(); i++) {
    total += PyUnicode_GET_LENGTH(body.piece(i));
    kind = std::max(kind, static_cast<int>(PyUnicode_KIND(body.piece(i))));
  }
  switch (kind) {
    case PyUnicode_1BYTE_KIND: return where_kernel<Py_UCS1>(body, total);
    case PyUnicode_2BYTE_KIND: return where_kernel<Py_UCS2>(body, total);
    default: return where_kernel<Py_UCS4>(body, total);
  }
}

// The where clause of a body that holds line comments: its line breaks after comments stay, and
// the leading AND/OR words are found past the comments before them (which stay).
Ref where_marked(PyObject* body) {
  Ref text = collapse_statement(body);
  PyObject* t = text.get();
  Py_ssize_t len = PyUnicode_GET_LENGTH(t);
  TextBuilder out;
  out.add(n.where_prefix);
  Py_ssize_t from = 0, i = 0;
  for (;;) {
    i = skip_line_comments(t, i);
    if (i >= len) return Ref::borrow(n.empty);
    Py_ssize_t j = i;
    while (j < len && !Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(t, j))) j++;
    bool and_or = with_code_points(t, [&](auto* d, Py_ssize_t) {
      return is_ascii_and_or(d + i, j - i) || upper_is_and_or(d + i, j - i);
    });
    if (!and_or) break;
    Ref kept = Ref::take(PyUnicode_Substring(t, from, i));
    out.add(kept.get());
    while (j < len && Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(t, j))) j++;
    from = i = j;
  }
  Ref rest = Ref::take(PyUnicode_Substring(t, from, len));
  out.add(rest.get());
  return end_comment_line(body, out.result());
}

// Whether any piece of a body may hold a comment mark, one possibly split across two pieces.
bool pieces_marked(const TextBuilder& body) {
  for (size_t i = 0; i < body.size(); i++) {
    PyObject* p = body.piece(i);
    Py_ssize_t len = PyUnicode_GET_LENGTH(p);
    if (len > 0 && (has_comment_marks(p) || PyUnicode_READ_CHAR(p, len - 1) == '-')) return true;
  }
  return false;
}

Ref trim_branch(Func& f, PyObject* self, PyObject* element, PyObject* param) {
  Ref attrib = element_field(element, ElementField::attrib);
  Ref prefix = attr_or_empty(attrib.get(), n.prefix);
  Ref suffix = attr_or_empty(attrib.get(), n.suffix);
  Ref prefixes = override_set(attrib.get(), n.prefixOverrides);
  Ref suffixes = override_set(attrib.get(), n.suffixOverrides);
  Ref ret = body_text(self, element, param);
  if (PySet_GET_SIZE(prefixes.get()) > 0) ret = call_trim(f, ret.get(), prefixes.get(), true);
  if (PySet_GET_SIZE(suffixes.get()) > 0) ret = call_trim(f, ret.get(), suffixes.get(), false);
  TextBuilder out;
  out.add(prefix.get());
  out.add(n.space);
  out.add(ret.get());
  out.add(n.space);
  out.add(suffix.get());
  return out.result();
}

Ref choose_branch(PyObject* self, PyObject* element, PyObject* param) {
  Ref it = Ref::take(PyObject_GetIter(element));
  while (Ref child = Ref::steal(PyIter_Next(it.get()))) {
    Ref tag = element_field(child.get(), ElementField::tag);
    if (classify(tag.get()) != Tag::when) continue;
    Ref test = attr_required(child.get(), n.test);
    Ref ok_value = eval_expr(test.get(), param);
    if (truth(ok_value.get())) {
      Ref out = call_parse(self, child.get(), param);
      TextBuilder c;
      c.add(n.empty);
      c.add(out.get());
      return c.result();
    }
  }
  if (PyErr_Occurred()) throw_error();
  Ref it2 = Ref::take(PyObject_GetIter(element));
  while (Ref child = Ref::steal(PyIter_Next(it2.get()))) {
    Ref tag = element_field(child.get(), ElementField::tag);
    if (classify(tag.get()) == Tag::otherwise) return call_parse(self, child.get(), param);
  }
  if (PyErr_Occurred()) throw_error();
  PyErr_SetString(PyExc_Exception, "Missing otherwise element");
  throw_error();
}

PyObject* simple_names = nullptr;  // collection text -> whether it is a plain name

// True when evaluating `collection` only looks the name up in the globals under that very
// text: an ASCII identifier (the compiler NFKC-normalises others) that is neither a keyword nor
// __debug__ (a constant to the compiler).
bool is_plain_name(PyObject* collection) {
  if (!PyUnicode_CheckExact(collection) || !PyUnicode_IS_ASCII(collection)) return false;
  if (simple_names == nullptr) simple_names = ok(PyDict_New());
  if (Ref known = dict_get(simple_names, collection)) return known.get() == Py_True;
  bool plain = PyUnicode_IsIdentifier(collection) == 1 &&
               PyUnicode_CompareWithASCIIString(collection, "__debug__") != 0;
  if (plain) {
    Ref keyword = import("keyword");
    Ref r = call_method(keyword.get(), n.iskeyword, collection);
    plain = !truth(r.get());
  }
  if (PyDict_GET_SIZE(simple_names) < 4096) {
    ok(PyDict_SetItem(simple_names, collection, plain ? Py_True : Py_False));
  }
  return plain;
}

// The value that eval(collection, params) would produce when that evaluation is a plain dict
// lookup: the name is bound in params, and neither `isinstance` nor `list` is shadowed there or
// by a builtins mapping of the caller's own. Null when eval must run.
Ref plain_collection(PyObject* collection, PyObject* params) {
  if (!PyDict_CheckExact(params) || !is_plain_name(collection)) return Ref();
  Ref builtins = dict_get(params, n.builtins_key);
  if (builtins && builtins.get() != PyEval_GetBuiltins()) return Ref();
  for (PyObject* name : {n.isinstance, n.list}) {
    if (dict_get(params, name)) return Ref();
  }
  return dict_get(params, collection);
}

// base + str(index) + "}", in one allocation.
Ref index_name(PyObject* base, Py_ssize_t index) {
  Decimal digits(index);
  Py_ssize_t blen = PyUnicode_GET_LENGTH(base);
  Ref out = Ref::take(PyUnicode_New(blen + digits.size() + 1, PyUnicode_MAX_CHAR_VALUE(base)));
  copy_chars(out.get(), 0, base, 0, blen);
  int kind = PyUnicode_KIND(out.get());
  void* data = PyUnicode_DATA(out.get());
  for (Py_ssize_t i = 0; i < digits.size(); i++) {
    PyUnicode_WRITE(kind, data, blen + i, digits.data()[i]);
  }
  PyUnicode_WRITE(kind, data, blen + digits.size(), '}');
  return out;
}

// The attributes of a foreach element, read in this order.
struct Foreach {
  Ref item, collection, open, close, separator;
};

// open + separator.join(`count` copies of a plain body, each occurrence of `old` replaced by
// "#{" + collection + "_for_index_" + str(i) + "}") + close, written into one string: a measuring
// pass sizes the result and finds its widest character, a writing pass fills it.
class ForeachText {
 public:
  ForeachText(const Foreach& attrs, PyObject* body, PyObject* old, Py_ssize_t count)
      : a_(attrs),
        body_(body),
        count_(count),
        blen_(PyUnicode_GET_LENGTH(body)),
        olen_(PyUnicode_GET_LENGTH(old)) {
    for (Py_ssize_t at = 0; olen_ > 0 && at + olen_ <= blen_;) {
      Py_ssize_t found = PyUnicode_Find(body, old, at, blen_, 1);
      if (found == -2) throw_error();
      if (found < 0) break;
      hits_.push_back(found);
      at = found + olen_;
    }
  }

  Ref build() {
    Ref out = Ref::take(PyUnicode_New(length(), max_char()));
    write(out.get());
    return out;
  }

 private:
  Py_ssize_t length() const {
    auto len = [](const Ref& s) { return PyUnicode_GET_LENGTH(s.get()); };
    auto hits = static_cast<Py_ssize_t>(hits_.size());
    // each occurrence of `old` becomes "#{" + collection + "_for_index_" + digits + "}"
    Py_ssize_t name = 2 + len(a_.collection) + PyUnicode_GET_LENGTH(n.for_index) + 1;
    Py_ssize_t total = len(a_.open) + len(a_.close) +
                       (count_ > 0 ? (count_ - 1) * len(a_.separator) : 0) +
                       count_ * (blen_ + hits * (name - olen_));
    for (Py_ssize_t i = 0; i < count_; i++) total += hits * Decimal(i).size();
    return total;
  }

  // Only pieces that appear in the result may raise its widest character.
  Py_UCS4 max_char() const {
    Py_UCS4 maxc = 127;
    auto widen = [&maxc](PyObject* p) {
      if (PyUnicode_GET_LENGTH(p) > 0) maxc = std::max(maxc, PyUnicode_MAX_CHAR_VALUE(p));
    };
    widen(a_.open.get());
    widen(a_.close.get());
    if (count_ > 1) widen(a_.separator.get());
    if (count_ == 0) return maxc;
    if (hits_.empty()) {
      widen(body_);
      return maxc;
    }
    widen(a_.collection.get());
    if (PyUnicode_IS_ASCII(body_)) return maxc;
    // The replaced occurrences may hold the body's widest characters: scan what is copied.
    int kind = PyUnicode_KIND(body_);
    const void* data = PyUnicode_DATA(body_);
    Py_ssize_t from = 0;
    auto scan = [&](Py_ssize_t end) {
      for (; from < end; from++) maxc = std::max(maxc, PyUnicode_READ(kind, data, from));
    };
    for (Py_ssize_t h : hits_) {
      scan(h);
      from = h + olen_;
    }
    scan(blen_);
    return maxc;
  }

  void write(PyObject* out) const {
    Py_ssize_t pos = 0;
    auto copy = [&](PyObject* from, Py_ssize_t start, Py_ssize_t len) {
      copy_chars(out, pos, from, start, len);
      pos += len;
    };
    auto copy_all = [&](PyObject* from) { copy(from, 0, PyUnicode_GET_LENGTH(from)); };
    int kind = PyUnicode_KIND(out);
    void* data = PyUnicode_DATA(out);
    copy_all(a_.open.get());
    for (Py_ssize_t i = 0; i < count_; i++) {
      if (i) copy_all(a_.separator.get());
      Decimal digits(i);
      Py_ssize_t from = 0;
      for (Py_ssize_t h : hits_) {
        copy(body_, from, h - from);
        copy_all(n.hash_open);
        copy_all(a_.collection.get());
        copy_all(n.for_index);
        for (Py_ssize_t k = 0; k < digits.size(); k++) {
          PyUnicode_WRITE(kind, data, pos++, digits.data()[k]);
        }
        PyUnicode_WRITE(kind, data, pos++, '}');
        from = h + olen_;
      }
      copy(body_, from, blen_ - from);
    }
    copy_all(a_.close.get());
  }

  const Foreach& a_;
  PyObject* body_;
  Py_ssize_t count_, blen_, olen_;
  SmallVec<Py_ssize_t, 16> hits_;  // positions of `old` in the body, non-overlapping
};

[[noreturn]] void not_a_list() {
  PyErr_SetString(PyExc_Exception, "Collection must be a list");
  throw_error();
}

// The number of entries of a collection that is a plain name bound in the parameters.
Py_ssize_t looked_up_size(PyObject* value) {
  if (!ok(PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyList_Type)))) not_a_list();
  // Only the number of entries is used; copying an exact list has no other effect.
  if (PyList_CheckExact(value)) return PyList_GET_SIZE(value);
  Ref copy = Ref::take(PySequence_List(value));
  return PyList_GET_SIZE(copy.get());
}

// The number of entries of a collection expression, evaluated as written.
Py_ssize_t evaluated_size(PyObject* collection, PyObject* params) {
  Ref is_list_src = concat({n.isinstance_open, collection, n.isinstance_close});
  Ref is_list = eval_expr(is_list_src.get(), params);
  if (!truth(is_list.get())) not_a_list();
  Ref copy_src = concat({n.copy_open, collection, n.copy_close});
  Ref entries = eval_expr(copy_src.get(), params);
  Py_ssize_t count = PyObject_Length(entries.get());
  if (count < 0) throw_error();
  return count;
}

// A body of plain text is the same for every entry: read once, copied `count` times.
// Null when the element has children or the attributes are not all exact str.
Ref foreach_plain(PyObject* element, const Foreach& a, PyObject* old, Py_ssize_t count) {
  for (const Ref* s : {&a.open, &a.close, &a.separator, &a.collection}) {
    if (!PyUnicode_CheckExact(s->get())) return Ref();
  }
  if (Py_TYPE(element) != element_type || PySequence_Size(element) != 0) return Ref();
  Ref text = element_field(element, ElementField::text);
  if (text.get() == Py_None) text = Ref::borrow(n.empty);
  if (!PyUnicode_CheckExact(text.get())) return Ref();
  return ForeachText(a, text.get(), old, count).build();
}

// The body assembled again for every entry, with its `old` replaced by that entry's name.
Ref foreach_each(PyObject* self, PyObject* element, PyObject* param, const Foreach& a,
                 PyObject* old, Py_ssize_t count) {
  bool plain = PyUnicode_CheckExact(a.open.get()) && PyUnicode_CheckExact(a.close.get()) &&
               PyUnicode_CheckExact(a.separator.get());
  Ref new_base = concat({n.hash_open, a.collection.get(), n.for_index});
  // Filled by appending: Python code runs between the entries and may see the list.
  Ref parts = Ref::take(PyList_New(0));
  for (Py_ssize_t index = 0; index < count; index++) {
    Ref child_ret = body_text(self, element, param);
    Ref new_string = index_name(new_base.get(), index);
    if (PyUnicode_CheckExact(child_ret.get())) {
      child_ret = Ref::take(PyUnicode_Replace(child_ret.get(), old, new_string.get(), -1));
    } else {
      child_ret = call_method(child_ret.get(), n.replace, old, new_string.get());
      plain = plain && PyUnicode_CheckExact(child_ret.get());
    }
    ok(PyList_Append(parts.get(), child_ret.get()));
  }
  if (!plain) {
    Ref joined = call_method(a.separator.get(), n.join, parts.get());
    return concat({a.open.get(), joined.get(), a.close.get()});
  }
  TextBuilder out;
  out.add(a.open.get());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); i++) {
    if (i) out.add(a.separator.get());
    out.add(PyList_GET_ITEM(parts.get(), i));
  }
  out.add(a.close.get());
  return out.result();
}

Ref foreach_branch(PyObject* self, PyObject* element, PyObject* param) {
  Ref attrib = element_field(element, ElementField::attrib);
  Foreach a;
  for (auto [slot, key] : {std::pair{&a.item, n.item},
                           {&a.collection, n.collection},
                           {&a.open, n.open},
                           {&a.close, n.close},
                           {&a.separator, n.separator}}) {
    *slot = Ref::take(PyObject_GetItem(attrib.get(), key));
  }
  Ref params = Ref::take(PyObject_GetItem(param, n.params));
  Ref value = plain_collection(a.collection.get(), params.get());
  Py_ssize_t count =
      value ? looked_up_size(value.get()) : evaluated_size(a.collection.get(), params.get());
  Ref old = concat({n.hash_open, a.item.get(), n.close_brace});
  if (Ref text = foreach_plain(element, a, old.get(), count)) return text;
  return foreach_each(self, element, param, a, old.get(), count);
}

}  // namespace

Ref attr_required(PyObject* element, PyObject* key) {
  Ref attrib = element_field(element, ElementField::attrib);
  return Ref::take(PyObject_GetItem(attrib.get(), key));
}

Ref body_text(PyObject* self, PyObject* element, PyObject* param) {
  TextBuilder out;
  fill_body(self, element, param, out);
  return out.result();
}

void fill_body(PyObject* self, PyObject* element, PyObject* param, TextBuilder& out) {
  Ref text = element_field(element, ElementField::text);
  if (text.get() != Py_None) out.add(text.get());
  auto each = [&](PyObject* child) {
    Ref piece = call_parse(self, child, param);
    out.add(piece.get());
    Ref tail = element_field(child, ElementField::tail);
    if (tail.get() != Py_None) out.add(tail.get());
  };
  if (Py_TYPE(element) == element_type) {
    // An Element iterates by index; its children are not changed while it is read.
    Py_ssize_t count = PySequence_Size(element);
    if (count < 0) throw_error();
    for (Py_ssize_t i = 0; i < count; i++) {
      Ref child = Ref::take(PySequence_GetItem(element, i));
      each(child.get());
    }
  } else {
    Ref it = Ref::take(PyObject_GetIter(element));
    while (Ref child = Ref::steal(PyIter_Next(it.get()))) each(child.get());
    if (PyErr_Occurred()) throw_error();
  }
}

Ref parse_element(Func& f, PyObject* const* a) {
  PyObject *self = a[0], *element = a[1], *param = a[2];
  if (Py_EnterRecursiveCall(" while assembling a mapper statement")) throw_error();
  struct Leave {
    ~Leave() { Py_LeaveRecursiveCall(); }
  } leave;
  Ref tag = element_field(element, ElementField::tag);
  switch (classify(tag.get())) {
    case Tag::include: {
      Ref refid = attr_required(element, n.refid);
      Ref map = getattr(self, n.id_2_element_map);
      Ref referenced = Ref::take(PyObject_GetItem(map.get(), refid.get()));
      Ref out = call_parse(self, referenced.get(), param);
      return concat({n.empty, out.get()});
    }
    case Tag::sql:
    case Tag::when:
    case Tag::otherwise: return body_text(self, element, param);
    case Tag::if_: {
      Ref test = attr_required(element, n.test);
      Ref ok_value = eval_expr(test.get(), param);
      if (truth(ok_value.get())) return body_text(self, element, param);
      return Ref::borrow(n.empty);
    }
    case Tag::where: {
      TextBuilder pieces;
      fill_body(self, element, param, pieces);
      if (pieces.plain() && pieces_marked(pieces)) {
        Ref body = pieces.result();
        if (has_comment_marks(body.get())) return where_marked(body.get());
      }
      if (pieces.plain()) return where_clause(pieces);
      Ref body = pieces.result();
      return where_generic(body.get());
    }
    case Tag::trim: return trim_branch(f, self, element, param);
    case Tag::set: {
      Ref body = body_text(self, element, param);
      Ref terms = Ref::take(PySet_New(nullptr));
      ok(PySet_Add(terms.get(), n.comma));
      Ref ret = call_trim(f, body.get(), terms.get(), true);
      return concat({n.set_prefix, ret.get()});
    }
    case Tag::choose: return choose_branch(self, element, param);
    case Tag::foreach: return foreach_branch(self, element, param);
    case Tag::other: break;
  }
  return Ref::borrow(Py_None);
}

// --- override trimming ------------------------------------------------------------------

namespace {

// Terms by length, longest first; empty terms are ignored so that trimming terminates.
std::vector<std::pair<Py_ssize_t, Ref>> ordered_terms(PyObject* terms) {
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
  return ordered;
}

}  // namespace

Ref trim_text(PyObject* s, PyObject* terms, bool prefix) {
  std::vector<std::pair<Py_ssize_t, Ref>> ordered = ordered_terms(terms);
  // The text stays one string; only the bounds of what is left move, so each removal costs the
  // length of its term, not of the text.
  Ref cur = normalize_ws(s);
  PyObject* text = cur.get();
  Py_ssize_t lo = 0, hi = PyUnicode_GET_LENGTH(text);
  auto space_at = [text](Py_ssize_t i) { return Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text, i)); };
  for (;;) {
    bool matched = false;
    for (auto& [len, term] : ordered) {
      Py_ssize_t size = hi - lo;
      bool hit;
      if (PyUnicode_Check(term.get())) {
        hit = ok(static_cast<int>(PyUnicode_Tailmatch(text, term.get(), lo, hi, prefix ? -1 : 1)));
      } else {
        // str.startswith/endswith decide what else they accept (a tuple of str) or refuse.
        Ref left = Ref::take(PyUnicode_Substring(text, lo, hi));
        Ref r = call_method(left.get(), prefix ? n.startswith : n.endswith, term.get());
        hit = truth(r.get());
      }
      if (hit) {
        if (prefix) {
          lo = std::min(lo + len, hi);
          while (lo < hi && space_at(lo)) lo++;
        } else {
          hi = std::max(hi - len, lo);
          while (hi > lo && space_at(hi - 1)) hi--;
        }
        // Text only ever gets shorter here: the same length means a term that removes nothing
        // (a tuple holding ""), which would match forever.
        matched = hi - lo < size;
        break;
      }
    }
    if (!matched) break;
    if (PyErr_CheckSignals() < 0) throw_error();
  }
  return Ref::take(PyUnicode_Substring(text, lo, hi));
}

Ref trim_marked(PyObject* s, PyObject* terms, bool prefix) {
  std::vector<std::pair<Py_ssize_t, Ref>> ordered = ordered_terms(terms);
  // Line breaks after comments stay; terms are matched past the comments at the matched end,
  // and those comments stay where they are.
  Ref text = collapse_statement(s);
  Py_ssize_t lo = 0;
  auto space_at = [&text](Py_ssize_t i) {
    return Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text.get(), i));
  };
  for (;;) {
    PyObject* t = text.get();
    Py_ssize_t len = PyUnicode_GET_LENGTH(t);
    Py_ssize_t at = prefix ? (lo = skip_line_comments(t, lo)) : content_end(t);
    Py_ssize_t cut_from = -1, cut_to = -1;
    for (auto& [tlen, term] : ordered) {
      bool hit;
      if (PyUnicode_Check(term.get())) {
        hit = ok(static_cast<int>(prefix ? PyUnicode_Tailmatch(t, term.get(), at, len, -1)
                                         : PyUnicode_Tailmatch(t, term.get(), 0, at, 1)));
      } else {
        Ref part = Ref::take(prefix ? PyUnicode_Substring(t, at, len) : PyUnicode_Substring(t, 0, at));
        Ref r = call_method(part.get(), prefix ? n.startswith : n.endswith, term.get());
        hit = truth(r.get());
      }
      if (!hit) continue;
      if (prefix) {
        cut_from = at;
        cut_to = std::min(at + tlen, len);
        while (cut_to < len && space_at(cut_to)) cut_to++;
      } else {
        cut_to = at;
        cut_from = std::max(at - tlen, Py_ssize_t{0});
        while (cut_from > 0 && space_at(cut_from - 1)) cut_from--;
      }
      break;
    }
    if (cut_to <= cut_from) break;
    Ref head = Ref::take(PyUnicode_Substring(t, 0, cut_from));
    Ref rest = Ref::take(PyUnicode_Substring(t, cut_to, len));
    text = concat({head.get(), rest.get()});
    if (PyErr_CheckSignals() < 0) throw_error();
  }
  return end_comment_line(s, strip_ws(text.get()));
}

Ref trim_prefix(Func&, PyObject* const* a) {
  return trim_text(a[0], a[1], true);
}
Ref trim_suffix(Func&, PyObject* const* a) {
  return trim_text(a[0], a[1], false);
}

}  // namespace verdin::stmtloom
