// Whitespace handling on code points with exactly str.split()/str.strip() semantics.
#pragma once

#include <cstring>
#include <vector>

#include "ref.hpp"

namespace verdin {

// a + b + ... for str operands, built with one allocation (any other operand: the + operator).
Ref concat(std::initializer_list<PyObject*> parts);

struct Span {
  Py_ssize_t start, end;
};

// A vector that keeps its first N elements inline (no allocation for short statements).
template <typename T, size_t N>
class SmallVec {
 public:
  void push_back(const T& v) {
    if (size_ < N) {
      inline_[size_] = v;
    } else {
      if (size_ == N) heap_.assign(inline_, inline_ + N);
      heap_.push_back(v);
    }
    size_++;
  }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T* data() const { return size_ <= N ? inline_ : heap_.data(); }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  const T& operator[](size_t i) const { return data()[i]; }

 private:
  T inline_[N];
  std::vector<T> heap_;
  size_t size_ = 0;
};

using Spans = SmallVec<Span, 32>;

// A buffer of `len` code units: on the stack for short texts, on the heap beyond.
template <typename Char>
class Scratch {
 public:
  explicit Scratch(Py_ssize_t len) {
    if (len > static_cast<Py_ssize_t>(inline_size)) {
      heap_.resize(static_cast<size_t>(len));
      data_ = heap_.data();
    }
  }
  Char* data() { return data_; }

 private:
  static constexpr size_t inline_size = 1024 / sizeof(Char);
  Char inline_[inline_size];
  std::vector<Char> heap_;
  Char* data_ = inline_;
};

// Calls fn(data, length) with the code points of `s` typed by its kind.
template <typename Fn>
decltype(auto) with_code_points(PyObject* s, Fn&& fn) {
  Py_ssize_t len = PyUnicode_GET_LENGTH(s);
  const void* d = PyUnicode_DATA(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: return fn(static_cast<const Py_UCS1*>(d), len);
    case PyUnicode_2BYTE_KIND: return fn(static_cast<const Py_UCS2*>(d), len);
    default: return fn(static_cast<const Py_UCS4*>(d), len);
  }
}

// Py_UNICODE_ISSPACE for every 1-byte code point, as a table.
extern const bool latin1_space[256];

template <typename Char>
inline bool is_space(Char c) {
  if constexpr (sizeof(Char) == 1) {
    return latin1_space[static_cast<unsigned char>(c)];
  } else {
    return Py_UNICODE_ISSPACE(c);
  }
}

// " ".join(text.split()) written into a scratch buffer of `Char`, the text fed in pieces no wider
// than `Char`. Every character is written (whitespace as ' ') and the position advances unless it
// repeats a space, so the loop decides nothing per word.
template <typename Char>
class CollapsedWs {
 public:
  explicit CollapsedWs(Py_ssize_t capacity) : scratch_(capacity) {}

  template <typename Src>
  void feed(const Src* d, Py_ssize_t len) {
    static_assert(sizeof(Src) <= sizeof(Char), "a piece wider than the buffer");
    // Locals, not members: a store through a 1-byte buffer could alias them.
    Char* buf = scratch_.data();
    Py_ssize_t pos = pos_;
    bool last_space = last_space_;
    Py_UCS4 bits = bits_;
    for (Py_ssize_t i = 0; i < len; i++) {
      Char c = d[i];
      bool w = is_space(d[i]);
      buf[pos] = w ? static_cast<Char>(' ') : c;
      bits |= w ? 0 : c;
      pos += !(w & last_space);
      last_space = w;
    }
    pos_ = pos;
    last_space_ = last_space;
    bits_ = bits;
  }

  const Char* data() { return scratch_.data(); }
  // The length without the one trailing space that may have been kept.
  Py_ssize_t size() const { return pos_ - (pos_ > 0 && last_space_); }
  // The bits of every character written but spaces, OR-ed: below 128, 256 or 65536 exactly
  // when the widest of them is, which is all that a str's kind depends on.
  Py_UCS4 max_char() const { return bits_; }

 private:
  Scratch<Char> scratch_;
  Py_ssize_t pos_ = 0;
  bool last_space_ = true;  // suppresses leading whitespace
  Py_UCS4 bits_ = 0;
};

// to[pos:pos+len] = from[start:start+len] for a `to` made wide enough for those characters.
// CPython's own copy refuses a same-kind copy into an ASCII str when the source's first `len`
// characters (not those copied) hold a non-ASCII one, so equal kinds are copied here directly.
inline void copy_chars(PyObject* to, Py_ssize_t pos, PyObject* from, Py_ssize_t start,
                       Py_ssize_t len) {
  if (len <= 0) return;
  int kind = PyUnicode_KIND(to);
  if (static_cast<int>(PyUnicode_KIND(from)) == kind) {
    std::memcpy(static_cast<char*>(PyUnicode_DATA(to)) + pos * kind,
                static_cast<const char*>(PyUnicode_DATA(from)) + start * kind,
                static_cast<size_t>(len) * kind);
  } else if (PyUnicode_CopyCharacters(to, pos, from, start, len) < 0) {
    throw_error();
  }
}

// prefix + the code points d[0:len] as a new str: `prefix` may be null, `maxc` is the widest
// code point of d[0:len] (or any value of the same kind range: below 128, 256 or 65536).
template <typename Char>
inline Ref str_from_units(PyObject* prefix, const Char* d, Py_ssize_t len, Py_UCS4 maxc) {
  Py_ssize_t plen = prefix ? PyUnicode_GET_LENGTH(prefix) : 0;
  if (prefix && PyUnicode_MAX_CHAR_VALUE(prefix) > maxc) maxc = PyUnicode_MAX_CHAR_VALUE(prefix);
  // Only the range decides the kind; the top of each range is a valid code point.
  maxc = maxc < 128 ? 127 : maxc < 256 ? 255 : maxc < 65536 ? 65535 : 0x10ffff;
  Ref out = Ref::take(PyUnicode_New(plen + len, maxc));
  int okind = PyUnicode_KIND(out.get());
  char* odata = static_cast<char*>(PyUnicode_DATA(out.get()));
  if (plen > 0) copy_chars(out.get(), 0, prefix, 0, plen);
  if (okind == static_cast<int>(sizeof(Char))) {
    std::memcpy(odata + plen * okind, d, static_cast<size_t>(len) * sizeof(Char));
  } else {
    for (Py_ssize_t i = 0; i < len; i++) PyUnicode_WRITE(okind, odata, plen + i, d[i]);
  }
  return out;
}

// " ".join(s.split()), returning `s` itself when it is already in that form.
Ref normalize_ws(PyObject* s);

// s.strip(), returning `s` itself when there is nothing to strip.
Ref strip_ws(PyObject* s);

// The decimal digits of a number >= 0, for writing positions into text.
class Decimal {
 public:
  explicit Decimal(Py_ssize_t v) {
    do {
      *--start_ = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
  }
  Decimal(const Decimal&) = delete;
  Decimal& operator=(const Decimal&) = delete;
  const char* data() const { return start_; }
  Py_ssize_t size() const { return digits_ + sizeof digits_ - start_; }

 private:
  char digits_[20];
  char* start_ = digits_ + sizeof digits_;
};

// Raises ValueError when the str `s` holds a backslash: MySQL-family servers read it as an
// escape inside a quoted literal, so no literal written from it means the same everywhere.
void refuse_backslash(PyObject* s);

}  // namespace verdin

namespace verdin {

// Builds `a + b + c ...` as Python would: str operands are copied once into the result;
// an operand that is not a str switches to the + operator (which raises the interpreter's
// TypeError for None and the like).
class TextBuilder {
 public:
  TextBuilder() = default;
  TextBuilder(const TextBuilder&) = delete;
  TextBuilder& operator=(const TextBuilder&) = delete;
  ~TextBuilder();
  void add(PyObject* piece);
  Ref result();

  // For callers that read the pieces themselves: false once a piece was not a str.
  bool plain() const { return !slow_; }
  size_t size() const { return count_; }
  PyObject* piece(size_t i) const { return at(i); }

 private:
  PyObject* at(size_t i) const { return i < inline_count ? inline_[i] : more_[i - inline_count]; }

  static constexpr size_t inline_count = 8;
  PyObject* inline_[inline_count];  // owned references, count_ of them (with more_)
  std::vector<PyObject*> more_;
  size_t count_ = 0;
  Ref slow_;
};

}  // namespace verdin
