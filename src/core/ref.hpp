// Owned references and the "a Python error is set" exception of the native layer.
//
// Rules:
//  * `Ref` owns exactly one strong reference (or nothing). It is moved, never copied
//    implicitly; `release()` hands the reference to the caller, `get()` lends it.
//  * A plain `PyObject*` is always a borrowed reference.
//  * A C API call that fails leaves a Python exception set; helpers then throw
//    `PyErrorSet`. The entry points (function objects, module init) turn it back into
//    NULL / -1. No C++ exception ever reaches the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <utility>

namespace verdin {

struct PyErrorSet {};

[[noreturn]] inline void throw_error() {
  throw PyErrorSet{};
}

// Throws when `o` is NULL (a Python exception is then set); otherwise returns it.
inline PyObject* ok(PyObject* o) {
  if (o == nullptr) throw_error();
  return o;
}
inline int ok(int r) {
  if (r < 0) throw_error();
  return r;
}

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference that may be NULL.
  static Ref steal(PyObject* o) noexcept {
    Ref r;
    r.p_ = o;
    return r;
  }
  // Takes over a new reference returned by a C API call; NULL means an error is set.
  static Ref take(PyObject* o) { return steal(ok(o)); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return steal(o);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  Ref copy() const noexcept { return borrow(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  PyObject* p_ = nullptr;
};

// Small helpers that throw on failure.
// A new reference to None, for the many functions that return it.
inline Ref none() {
  return Ref::borrow(Py_None);
}
inline Ref new_str(const char* s) {
  return Ref::take(PyUnicode_FromString(s));
}
inline Ref getattr(PyObject* o, PyObject* name) {
  return Ref::take(PyObject_GetAttr(o, name));
}
inline Ref getattr(PyObject* o, const char* name) {
  return Ref::take(PyObject_GetAttrString(o, name));
}
inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
  ok(PyObject_SetAttr(o, name, v));
}
inline bool truth(PyObject* o) {
  return ok(PyObject_IsTrue(o)) != 0;
}
inline Ref import(const char* name) {
  return Ref::take(PyImport_ImportModule(name));
}

// The object a weak reference points to, or empty once it has gone.
inline Ref referent(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* obj;
  ok(PyWeakref_GetRef(ref, &obj));
  return Ref::steal(obj);
#else
  PyObject* obj = PyWeakref_GetObject(ref);
  if (obj == nullptr) throw_error();
  return obj == Py_None ? Ref() : Ref::borrow(obj);
#endif
}

// d[key] for a dict `d` as an owned reference; empty when the key is missing. A borrowed value
// would die with its entry if Python code run meanwhile changed the dict.
inline Ref dict_get(PyObject* d, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* v;
  ok(PyDict_GetItemRef(d, key, &v));
  return Ref::steal(v);
#else
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (v == nullptr && PyErr_Occurred()) throw_error();
  return Ref::borrow(v);
#endif
}

// Calls `f` with positional arguments (borrowed).
template <typename... A>
Ref call(PyObject* f, A... args) {
  PyObject* a[] = {nullptr, args...};
  return Ref::take(
      PyObject_Vectorcall(f, a + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Calls `f` with `npos` positional arguments followed by keyword arguments whose names are
// the tuple `kwnames` (interned strings).
inline Ref call_kw(PyObject* f, PyObject* const* args, size_t npos, PyObject* kwnames) {
  return Ref::take(PyObject_Vectorcall(f, args, npos, kwnames));
}
// Calls method `name` of `self` with positional arguments.
template <typename... A>
Ref call_method(PyObject* self, PyObject* name, A... args) {
  PyObject* a[] = {self, args...};
  return Ref::take(PyObject_VectorcallMethod(
      name, a, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace verdin
