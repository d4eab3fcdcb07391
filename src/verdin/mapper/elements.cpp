// Dynamic elements: parse_element and the override trimming of trim/set.
#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>

#include "stmtloom.hpp"
#include "vocabulary.hpp"

namespace verdin::stmtloom {
namespace {

using vocabulary::Kind;
constexpr size_t element_count = std::size(vocabulary::elements);

// The tags of the table as str, for tags that are not plain ASCII str.
PyObject* tag_objects[element_count];

constexpr Py_ssize_t tag_length(const char* tag) {
  Py_ssize_t len = 0;
  while (tag[len] != '\0') len++;
  return len;
}

// The table's tag lengths, known to the compiler: most tags are told apart by length alone.
constexpr auto tag_lengths = [] {
  std::array<Py_ssize_t, element_count> lengths{};
  for (size_t i = 0; i < element_count; i++) lengths[i] = tag_length(vocabulary::elements[i].tag);
  return lengths;
}();

// The branch of a tag, by string equality in the table's order.
Kind classify(PyObject* tag) {
  if (PyUnicode_CheckExact(tag) && PyUnicode_IS_ASCII(tag)) {
    const char* d = static_cast<const char*>(PyUnicode_DATA(tag));
    Py_ssize_t len = PyUnicode_GET_LENGTH(tag);
    for (size_t i = 0; i < element_count; i++) {
      const vocabulary::ElementRule& rule = vocabulary::elements[i];
      if (tag_lengths[i] == len && rule.tag[0] == d[0] &&
          std::memcmp(rule.tag, d, static_cast<size_t>(len)) == 0) {
        return rule.kind;
      }
    }
    return Kind::other;
  }
  for (size_t i = 0; i < element_count; i++) {
    if (tag_objects[i] == nullptr) tag_objects[i] = intern(vocabulary::elements[i].tag);
    if (ok(PyObject_RichCompareBool(tag, tag_objects[i], Py_EQ))) {
      return vocabulary::elements[i].kind;
    }
  }
  return Kind::other;
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

bool has_line_break(PyObject* s) {
  return with_code_points(s, [](auto* d, Py_ssize_t len) {
    for (Py_ssize_t i = 0; i < len; i++) {
      if (d[i] == '\n' || d[i] == '\r') return true;
    }
    return false;
  });
}

// ParseMapper._trim_prefix / _trim_suffix, read through the module global at call time.
Ref call_trim(Func& f, PyObject* s, PyObject* terms, bool prefix, bool open) {
  Ref cls = f.global(n.ParseMapper);
  Ref fn = getattr(cls.get(), prefix ? n.trim_prefix : n.trim_suffix);
  if (fn.get() == (prefix ? orig.trim_prefix : orig.trim_suffix) && PyUnicode_CheckExact(s) &&
      PySet_CheckExact(terms)) {
    if (has_comment_marks(s) || (open && has_line_break(s))) {
      return trim_marked(s, terms, prefix, open);
    }
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
Ref where_marked(PyObject* body, bool open) {
  Ref text = collapse_statement(body, open);
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

// A clause strips the whitespace at the end of its body; when that whitespace followed a "-",
// one space stays, so that the "-" and a "-" after the element never read as a comment.
template <typename At>
Ref dash_apart(Ref out, size_t count, At body) {
  Py_ssize_t len = PyUnicode_Check(out.get()) ? PyUnicode_GET_LENGTH(out.get()) : 0;
  if (len == 0 || PyUnicode_READ_CHAR(out.get(), len - 1) != '-') return out;
  bool spaced = false;
  for (size_t p = count; p-- > 0;) {
    PyObject* piece = body(p);
    if (!PyUnicode_Check(piece)) return out;
    int found = with_code_points(piece, [&](auto* d, Py_ssize_t size) {
      Py_ssize_t i = size;
      while (i > 0 && is_space(d[i - 1])) i--;
      spaced = spaced || i < size;
      return i == 0 ? -1 : d[i - 1] == '-' && spaced ? 1 : 0;
    });
    if (found >= 0) {
      if (found == 0) return out;
      return concat({out.get(), n.space});
    }
  }
  return out;
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

Ref trim_branch(Func& f, PyObject* self, PyObject* element, PyObject* param, bool open) {
  Ref attrib = element_field(element, ElementField::attrib);
  Ref prefix = attr_or_empty(attrib.get(), n.prefix);
  Ref suffix = attr_or_empty(attrib.get(), n.suffix);
  Ref prefixes = override_set(attrib.get(), n.prefixOverrides);
  Ref suffixes = override_set(attrib.get(), n.suffixOverrides);
  open = open || (PyUnicode_Check(prefix.get()) && has_comment_marks(prefix.get()));
  Ref ret = body_text(self, element, param, open);
  if (PySet_GET_SIZE(prefixes.get()) > 0) ret = call_trim(f, ret.get(), prefixes.get(), true, open);
  if (PySet_GET_SIZE(suffixes.get()) > 0)
    ret = call_trim(f, ret.get(), suffixes.get(), false, open);
  TextBuilder out;
  out.add(prefix.get());
  out.add(n.space);
  out.add(ret.get());
  out.add(n.space);
  out.add(suffix.get());
  return out.result();
}

Ref choose_branch(PyObject* self, PyObject* element, PyObject* param, bool open) {
  Ref it = Ref::take(PyObject_GetIter(element));
  while (Ref child = Ref::steal(PyIter_Next(it.get()))) {
    Ref tag = element_field(child.get(), ElementField::tag);
    if (classify(tag.get()) != Kind::when) continue;
    Ref test = attr_required(child.get(), n.test);
    Ref ok_value = eval_expr(test.get(), param, self);
    if (truth(ok_value.get())) {
      set_open_before(open);
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
    if (classify(tag.get()) == Kind::otherwise) {
      set_open_before(open);
      return call_parse(self, child.get(), param);
    }
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
  Ref index;  // empty without an index attribute
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

// The entries of a collection: the list itself or a copy, and how many the loop visits.
struct Entries {
  Ref list;
  Py_ssize_t count = 0;
};

// The entries of a collection that is a plain name bound in the parameters.
Entries looked_up(PyObject* value) {
  if (!ok(PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyList_Type)))) not_a_list();
  // Only the entries are used; copying an exact list has no other effect.
  Ref list = PyList_CheckExact(value) ? Ref::borrow(value) : Ref::take(PySequence_List(value));
  Py_ssize_t count = PyList_GET_SIZE(list.get());
  return {std::move(list), count};
}

// The entries of a collection expression, evaluated as written.
Entries evaluated(PyObject* self, PyObject* collection, PyObject* names) {
  Ref is_list_src = concat({n.isinstance_open, collection, n.isinstance_close});
  Ref is_list = eval_expr(is_list_src.get(), names, self);
  if (!truth(is_list.get())) not_a_list();
  Ref copy_src = concat({n.copy_open, collection, n.copy_close});
  Ref entries = eval_expr(copy_src.get(), names, self);
  Py_ssize_t count = PyObject_Length(entries.get());
  if (count < 0) throw_error();
  return {std::move(entries), count};
}

// A name of the loops, indexes and binds around an element: a key of its evaluation context
// other than the parameters (and lent builtins).
bool scope_name(PyObject* name, void* context) {
  if (!PyUnicode_Check(name) || PyUnicode_Compare(name, n.params) == 0 ||
      PyUnicode_Compare(name, n.builtins_key) == 0) {
    if (PyErr_Occurred()) throw_error();
    return false;
  }
  return ok(PyDict_Contains(static_cast<PyObject*>(context), name)) != 0;
}

// Whether a collection reads names of the enclosing loops or binds: then it is evaluated with
// those names beside the parameters, and its entries bind under generated names.
bool scoped_collection(PyObject* collection, PyObject* param) {
  if (!PyDict_CheckExact(param) || PyDict_GET_SIZE(param) <= 1) return false;
  if (is_plain_name(collection)) return scope_name(collection, param);
  if (!PyUnicode_CheckExact(collection)) return false;
  Ref code = expression_code(collection);
  return code && reads_name(code.get(), scope_name, param);
}

// The names a scoped collection is evaluated with: the parameters, then the scope's names.
Ref scope_names(PyObject* params, PyObject* param) {
  Ref names = Ref::take(PyDict_New());
  ok(PyDict_Update(names.get(), params));
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(param, &pos, &key, &value)) {
    Ref k = Ref::borrow(key), v = Ref::borrow(value);
    if (scope_name(k.get(), param)) ok(PyDict_SetItem(names.get(), k.get(), v.get()));
  }
  return names;
}

// A body of plain text is the same for every entry: read once, copied `count` times.
// Null when the element has children, the attributes are not all exact str, or the body reads
// fields of the item.
Ref foreach_plain(PyObject* element, const Foreach& a, PyObject* old, Py_ssize_t count) {
  for (const Ref* s : {&a.open, &a.close, &a.separator, &a.collection}) {
    if (!PyUnicode_CheckExact(s->get())) return Ref();
  }
  if (Py_TYPE(element) != element_type || PySequence_Size(element) != 0) return Ref();
  Ref text = element_field(element, ElementField::text);
  if (text.get() == Py_None) text = Ref::borrow(n.empty);
  if (!PyUnicode_CheckExact(text.get())) return Ref();
  if (has_field_refs(text.get())) return Ref();
  return ForeachText(a, text.get(), old, count).build();
}

// The names one entry's text binds: the item, the index, and what <bind> elements of the body
// set in the entry's context (`entry`, empty for a body without children) over `param`'s.
Ref entry_targets(const Foreach& a, PyObject* value, Py_ssize_t index, PyObject* param,
                  PyObject* entry) {
  Ref targets = Ref::take(PyDict_New());
  if (entry != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *v;
    while (PyDict_Next(entry, &pos, &key, &v)) {
      Ref k = Ref::borrow(key), held = Ref::borrow(v);
      if (!scope_name(k.get(), entry)) continue;
      Ref outer = dict_get(param, k.get());
      if (outer.get() != held.get()) ok(PyDict_SetItem(targets.get(), k.get(), held.get()));
    }
  }
  ok(PyDict_SetItem(targets.get(), a.item.get(), value));
  if (a.index) {
    Ref i = Ref::take(PyLong_FromSsize_t(index));
    ok(PyDict_SetItem(targets.get(), a.index.get(), i.get()));
  }
  return targets;
}

// The body assembled again for every entry, in a context that holds the item (and index), with
// the entry's references rewritten: "#{item}" of a loop over the parameters to that entry's
// indexed name, as always; everything else the entry binds to generated names.
Ref foreach_each(PyObject* self, PyObject* element, PyObject* param, const Foreach& a,
                 PyObject* old, const Entries& e, bool scoped, bool open) {
  bool plain = PyUnicode_CheckExact(a.open.get()) && PyUnicode_CheckExact(a.close.get()) &&
               PyUnicode_CheckExact(a.separator.get());
  Assembly* as = assembly_of(param);
  // A body without children reads no names: one text serves every entry.
  Ref text;
  if (Py_TYPE(element) == element_type && PySequence_Size(element) == 0) {
    text = element_field(element, ElementField::text);
    if (text.get() == Py_None) text = Ref::borrow(n.empty);
  }
  bool contexts = !text && PyDict_CheckExact(param);
  Ref new_base = scoped ? Ref() : concat({n.hash_open, a.collection.get(), n.for_index});
  // Filled by appending: Python code runs between the entries and may see the list.
  Ref parts = Ref::take(PyList_New(0));
  // The entries before, for a comment that an element of this entry's body may continue.
  bool line_open = open;
  auto seen = [&](PyObject* piece) { line_open = open_after(piece, line_open); };
  seen(a.open.get());
  for (Py_ssize_t index = 0; index < e.count; index++) {
    if (index) seen(a.separator.get());
    Ref value = PyList_Check(e.list.get()) && index < PyList_GET_SIZE(e.list.get())
                    ? Ref::borrow(PyList_GET_ITEM(e.list.get(), index))
                    : Ref::take(PySequence_GetItem(e.list.get(), index));
    Ref entry, child_ret;
    if (text) {
      child_ret = text.copy();
    } else if (contexts) {
      entry = Ref::take(PyDict_Copy(param));
      ok(PyDict_SetItem(entry.get(), a.item.get(), value.get()));
      if (a.index) {
        Ref i = Ref::take(PyLong_FromSsize_t(index));
        ok(PyDict_SetItem(entry.get(), a.index.get(), i.get()));
      }
      Registered in_loop(entry.get(), as);
      child_ret = body_text(self, element, entry.get(), line_open);
    } else {
      child_ret = body_text(self, element, param, line_open);
    }
    if (new_base) {
      Ref new_string = index_name(new_base.get(), index);
      if (PyUnicode_CheckExact(child_ret.get())) {
        child_ret = Ref::take(PyUnicode_Replace(child_ret.get(), old, new_string.get(), -1));
      } else {
        child_ret = call_method(child_ret.get(), n.replace, old, new_string.get());
      }
    }
    if (PyUnicode_CheckExact(child_ret.get())) {
      Ref targets = entry_targets(a, value.get(), index, param, entry.get());
      child_ret = rewrite_refs(child_ret.get(), targets.get(), as, Refs::entry);
    } else {
      plain = false;
    }
    ok(PyList_Append(parts.get(), child_ret.get()));
    seen(child_ret.get());
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

// The attribute `key` of a foreach, or empty when absent.
Ref attr_or_null(PyObject* attrib, PyObject* key) {
  if (PyDict_CheckExact(attrib)) return dict_get(attrib, key);
  if (!ok(PySequence_Contains(attrib, key))) return Ref();
  return Ref::take(PyObject_GetItem(attrib, key));
}

Ref foreach_branch(PyObject* self, PyObject* element, PyObject* param, bool open) {
  Ref attrib = element_field(element, ElementField::attrib);
  Foreach a;
  a.item = Ref::take(PyObject_GetItem(attrib.get(), n.item));
  a.collection = Ref::take(PyObject_GetItem(attrib.get(), n.collection));
  // Nothing around the entries, and nothing between them, unless the element says so.
  a.open = attr_or_empty(attrib.get(), n.open);
  a.close = attr_or_empty(attrib.get(), n.close);
  a.separator = attr_or_empty(attrib.get(), n.separator);
  a.index = attr_or_null(attrib.get(), n.index);
  if (a.index && equals(a.index.get(), a.item.get())) {
    PyErr_Format(PyExc_ValueError,
                 "<foreach> names both its item and its index %R: give the index another name",
                 a.item.get());
    throw_error();
  }
  Ref params = Ref::take(PyObject_GetItem(param, n.params));
  bool scoped = scoped_collection(a.collection.get(), param);
  Entries e;
  if (scoped) {
    Ref names = scope_names(params.get(), param);
    e = evaluated(self, a.collection.get(), names.get());
  } else if (Ref value = plain_collection(a.collection.get(), params.get())) {
    e = looked_up(value.get());
  } else {
    e = evaluated(self, a.collection.get(), params.get());
  }
  Ref old = concat({n.hash_open, a.item.get(), n.close_brace});
  if (!scoped && !a.index) {
    if (Ref text = foreach_plain(element, a, old.get(), e.count)) return text;
  }
  return foreach_each(self, element, param, a, old.get(), e, scoped, open);
}

// <bind name="..." value="...">: the value, evaluated as a test is, becomes a name of the context
// for what follows, and a bind of the statement (of the loop entry, inside a foreach).
Ref bind_branch(PyObject* self, PyObject* element, PyObject* param) {
  Ref name = attr_required(element, n.name);
  Ref source = attr_required(element, n.value);
  Ref value;
  try {
    value = eval_expr(source.get(), param, self);
  } catch (PyErrorSet&) {
    note_pending([&] {
      return Ref::take(
          PyUnicode_FromFormat("in <bind name=%R value=%R>", name.get(), source.get()));
    });
    throw;
  }
  ok(PyObject_SetItem(param, name.get(), value.get()));
  Assembly* as = assembly_of(param);
  if (as != nullptr && as->root == param) {
    if (!as->extras) as->extras = Ref::take(PyDict_New());
    ok(PyObject_SetItem(as->extras.get(), name.get(), value.get()));
  }
  return Ref::borrow(n.empty);
}

// The element an include names as "namespace.id" among the mappers loaded with `self` (or, for a
// mapper loaded alone, in its own namespace), with the mapper that holds it in `owner`. Called
// with the KeyError of the own lookup pending, which stays the error when the refid names no
// namespace of them; a namespace without that id, or two ways to read the refid, raise a
// KeyError that names the files.
Ref included_elsewhere(PyObject* self, PyObject* refid, PyObject* param, Ref& owner) {
  if (!PyErr_ExceptionMatches(PyExc_KeyError) || !PyUnicode_CheckExact(refid)) throw_error();
  Ref missing = fetch_exception();
  const MapperInfo* info = mapper_info(self);
  if (info == nullptr) {
    restore_exception(std::move(missing));
    throw_error();
  }
  Ref group = info->group.copy();
  Ref own_file = info->file.copy();
  Ref found, found_owner, found_ns, lacking;  // lacking: "namespace 'x' of 'f.xml'"
  Ref candidates;                             // descriptions of each reading that holds
  Py_ssize_t len = PyUnicode_GET_LENGTH(refid);
  for (Py_ssize_t dot = 1; dot + 1 < len; dot++) {
    if (PyUnicode_READ_CHAR(refid, dot) != '.') continue;
    Ref ns = Ref::take(PyUnicode_Substring(refid, 0, dot));
    Ref id = Ref::take(PyUnicode_Substring(refid, dot + 1, len));
    Ref mapper;
    if (group) {
      Ref ref = dict_get(group.get(), ns.get());
      if (ref) mapper = referent(ref.get());
    } else {
      Ref own_ns = Ref::steal(PyObject_GetAttr(self, n.namespace_));
      if (!own_ns) PyErr_Clear();
      if (own_ns && PyUnicode_Check(own_ns.get()) &&
          PyUnicode_Compare(own_ns.get(), ns.get()) == 0) {
        mapper = Ref::borrow(self);
      }
    }
    if (!mapper) continue;
    const MapperInfo* other = mapper_info(mapper.get());
    Ref file = other ? other->file.copy() : Ref::borrow(Py_None);
    Ref where = Ref::take(PyUnicode_FromFormat("namespace %R of %R", ns.get(), file.get()));
    Ref map = getattr(mapper.get(), n.id_2_element_map);
    Ref element = PyDict_CheckExact(map.get()) ? dict_get(map.get(), id.get()) : Ref();
    if (!element) {
      lacking = Ref::take(PyUnicode_FromFormat("%U has no statement %R", where.get(), id.get()));
      continue;
    }
    Ref reading = Ref::take(PyUnicode_FromFormat("statement %R of %U", id.get(), where.get()));
    if (found) {
      PyErr_Format(PyExc_KeyError, "include %R of %R is ambiguous: it names %U and %U", refid,
                   own_file.get(), candidates.get(), reading.get());
      throw_error();
    }
    found = std::move(element);
    found_owner = std::move(mapper);
    candidates = std::move(reading);
  }
  if (found) {
    owner = std::move(found_owner);
    if (const MapperInfo* other = mapper_info(owner.get()); other && other->paths) {
      if (Assembly* as = assembly_of(param)) as->paths = true;
    }
    return found;
  }
  if (lacking) {
    PyErr_Format(PyExc_KeyError, "include %R of %R: %U", refid, own_file.get(), lacking.get());
    throw_error();
  }
  restore_exception(std::move(missing));
  throw_error();
}

}  // namespace

Ref attr_required(PyObject* element, PyObject* key) {
  Ref attrib = element_field(element, ElementField::attrib);
  return Ref::take(PyObject_GetItem(attrib.get(), key));
}

Ref body_text(PyObject* self, PyObject* element, PyObject* param, bool open) {
  TextBuilder out;
  fill_body(self, element, param, out, open);
  return out.result();
}

void fill_body(PyObject* self, PyObject* element, PyObject* param, TextBuilder& out, bool open) {
  // Read up to each child only: a body without children pays nothing.
  size_t read = out.size();
  auto open_here = [&]() {
    for (; read < out.size(); read++) open = open_after(out.piece(read), open);
    return open || !out.plain();
  };
  Ref text = element_field(element, ElementField::text);
  if (text.get() != Py_None) out.add(text.get());
  auto each = [&](PyObject* child) {
    set_open_before(open_here());
    Ref piece = call_parse(self, child, param);
    take_open_before();  // not left for a caller's own parse_element call when an override took
                         // none
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
  bool open = take_open_before();
  Ref tag = element_field(element, ElementField::tag);
  switch (classify(tag.get())) {
    case Kind::include: {
      Ref refid = attr_required(element, n.refid);
      Ref map = getattr(self, n.id_2_element_map);
      Ref owner = Ref::borrow(self);
      Ref referenced = Ref::steal(PyObject_GetItem(map.get(), refid.get()));
      if (!referenced) referenced = included_elsewhere(self, refid.get(), param, owner);
      set_open_before(open);
      Ref out = call_parse(owner.get(), referenced.get(), param);
      return concat({n.empty, out.get()});
    }
    case Kind::sql:
    case Kind::when:
    case Kind::otherwise: return body_text(self, element, param, open);
    case Kind::if_: {
      Ref test = attr_required(element, n.test);
      Ref ok_value = eval_expr(test.get(), param, self);
      if (truth(ok_value.get())) return body_text(self, element, param, open);
      return Ref::borrow(n.empty);
    }
    case Kind::where: {
      TextBuilder pieces;
      fill_body(self, element, param, pieces, open);
      if (pieces.plain() && (open || pieces_marked(pieces))) {
        Ref body = pieces.result();
        if (has_comment_marks(body.get()) || (open && has_line_break(body.get()))) {
          return dash_apart(where_marked(body.get(), open), 1, [&](size_t) { return body.get(); });
        }
      }
      if (pieces.plain()) {
        return dash_apart(where_clause(pieces), pieces.size(),
                          [&](size_t i) { return pieces.piece(i); });
      }
      Ref body = pieces.result();
      return where_generic(body.get());
    }
    case Kind::trim: return trim_branch(f, self, element, param, open);
    case Kind::set: {
      Ref body = body_text(self, element, param, open);
      Ref terms = Ref::take(PySet_New(nullptr));
      ok(PySet_Add(terms.get(), n.comma));
      Ref ret = call_trim(f, body.get(), terms.get(), true, open);
      Ref out = concat({n.set_prefix, ret.get()});
      return dash_apart(std::move(out), 1, [&](size_t) { return body.get(); });
    }
    case Kind::choose: return choose_branch(self, element, param, open);
    case Kind::foreach: return foreach_branch(self, element, param, open);
    case Kind::bind: return bind_branch(self, element, param);
    case Kind::other: break;
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

Ref trim_marked(PyObject* s, PyObject* terms, bool prefix, bool first_break) {
  std::vector<std::pair<Py_ssize_t, Ref>> ordered = ordered_terms(terms);
  // Line breaks after comments stay; terms are matched past the comments at the matched end,
  // and those comments stay where they are. The text is cut once, after every match: matches
  // only move inwards, each from where the last one ended.
  Ref text = collapse_statement(s, first_break);
  PyObject* t = text.get();
  Py_ssize_t len = PyUnicode_GET_LENGTH(t);
  Spans comments;
  bool readable = !prefix && trim_comments(t, comments);
  auto space_at = [t](Py_ssize_t i) { return Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(t, i)); };
  Py_ssize_t lo = 0, hi = len;  // the text still matched against, a prefix or a suffix cut off
  std::vector<std::pair<Py_ssize_t, Py_ssize_t>> cuts;
  for (;;) {
    Py_ssize_t at =
        prefix ? (lo = skip_line_comments(t, lo)) : content_end(t, hi, comments, readable);
    Py_ssize_t cut_from = -1, cut_to = -1;
    for (auto& [tlen, term] : ordered) {
      bool hit;
      if (PyUnicode_Check(term.get())) {
        hit = ok(static_cast<int>(prefix ? PyUnicode_Tailmatch(t, term.get(), at, len, -1)
                                         : PyUnicode_Tailmatch(t, term.get(), 0, at, 1)));
      } else {
        Ref part =
            Ref::take(prefix ? PyUnicode_Substring(t, at, len) : PyUnicode_Substring(t, 0, at));
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
    cuts.emplace_back(cut_from, cut_to);
    if (prefix) {
      lo = cut_to;
    } else {
      hi = cut_from;
    }
    if (PyErr_CheckSignals() < 0) throw_error();
  }
  if (!cuts.empty()) {
    if (!prefix) std::reverse(cuts.begin(), cuts.end());
    TextBuilder kept;
    Py_ssize_t from = 0;
    for (auto& [a, b] : cuts) {
      Ref piece = Ref::take(PyUnicode_Substring(t, from, a));
      kept.add(piece.get());
      from = b;
    }
    Ref rest = Ref::take(PyUnicode_Substring(t, from, len));
    kept.add(rest.get());
    text = kept.result();
  }
  if (!first_break) return end_comment_line(s, strip_ws(text.get()));
  // The leading line break ends a comment open before the body: only the end is stripped.
  Py_ssize_t end = PyUnicode_GET_LENGTH(text.get());
  while (end > 0 && Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text.get(), end - 1))) end--;
  return end_comment_line(s, Ref::take(PyUnicode_Substring(text.get(), 0, end)));
}

Ref trim_prefix(Func&, PyObject* const* a) {
  return trim_text(a[0], a[1], true);
}
Ref trim_suffix(Func&, PyObject* const* a) {
  return trim_text(a[0], a[1], false);
}

}  // namespace verdin::stmtloom
