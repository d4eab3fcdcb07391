// Whitespace handling on code points with exactly str.split()/str.strip() semantics.
#include "text.hpp"

#include <cstring>
#include <iterator>

namespace verdin {

const bool latin1_space[256] = {
#define S(c) (Py_UNICODE_ISSPACE(c) != 0)
#define S8(c) S(c), S(c + 1), S(c + 2), S(c + 3), S(c + 4), S(c + 5), S(c + 6), S(c + 7)
#define S64(c) \
  S8(c), S8(c + 8), S8(c + 16), S8(c + 24), S8(c + 32), S8(c + 40), S8(c + 48), S8(c + 56)
    S64(0), S64(64), S64(128), S64(192)
#undef S64
#undef S8
#undef S
};

namespace {

template <typename Char>
Ref normalize_kernel(PyObject* s, const Char* d, Py_ssize_t len) {
  CollapsedWs<Char> ws(len);
  ws.feed(d, len);
  // Nothing dropped and nothing turned into ' ': the text was already in that form.
  if (ws.size() == len && std::memcmp(ws.data(), d, static_cast<size_t>(len) * sizeof(Char)) == 0) {
    return Ref::borrow(s);
  }
  return str_from_units(nullptr, ws.data(), ws.size(), ws.max_char());
}

}  // namespace

Ref normalize_ws(PyObject* s) {
  return with_code_points(s, [&](auto* d, Py_ssize_t len) { return normalize_kernel(s, d, len); });
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

namespace verdin {

TextBuilder::~TextBuilder() {
  for (size_t i = 0; i < count_; i++) Py_DECREF(at(i));
}

void TextBuilder::add(PyObject* piece) {
  if (!slow_ && PyUnicode_Check(piece)) {
    if (count_ < inline_count) {
      inline_[count_] = Py_NewRef(piece);
    } else {
      more_.push_back(piece);
      Py_INCREF(piece);
    }
    count_++;
    return;
  }
  if (!slow_) slow_ = result();
  slow_ = Ref::take(PyNumber_InPlaceAdd(slow_.get(), piece));
}

Ref TextBuilder::result() {
  if (slow_) return slow_.copy();
  Py_ssize_t total = 0;
  Py_UCS4 maxc = 127;
  size_t nonempty = 0;
  PyObject* only = nullptr;
  for (size_t i = 0; i < count_; i++) {
    PyObject* p = at(i);
    Py_ssize_t len = PyUnicode_GET_LENGTH(p);
    if (len == 0) continue;
    nonempty++;
    only = p;
    total += len;
    if (PyUnicode_MAX_CHAR_VALUE(p) > maxc) maxc = PyUnicode_MAX_CHAR_VALUE(p);
  }
  if (nonempty == 1 && PyUnicode_CheckExact(only)) return Ref::borrow(only);
  Ref out = Ref::take(PyUnicode_New(total, maxc));
  Py_ssize_t pos = 0;
  for (size_t i = 0; i < count_; i++) {
    PyObject* p = at(i);
    Py_ssize_t len = PyUnicode_GET_LENGTH(p);
    if (len == 0) continue;
    copy_chars(out.get(), pos, p, 0, len);
    pos += len;
  }
  return out;
}

Ref concat(std::initializer_list<PyObject*> parts) {
  TextBuilder b;
  for (PyObject* p : parts) b.add(p);
  return b.result();
}

void refuse_backslash(PyObject* s) {
  Py_ssize_t at = PyUnicode_FindChar(s, '\\', 0, PyUnicode_GET_LENGTH(s), 1);
  if (at == -2) throw_error();
  if (at < 0) return;
  PyErr_SetString(PyExc_ValueError,
                  "a value containing a backslash cannot be written as an SQL literal; "
                  "bind it as a parameter instead");
  throw_error();
}

}  // namespace verdin
