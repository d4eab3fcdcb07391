// Function object: binder, error texts, descriptor protocol, introspection attributes.
#include "function.hpp"

#include <array>
#include <cstring>
#include <new>
#include <string>

#include "stack.hpp"

namespace verdin {
namespace {

// Process-wide, filled once: the GIL orders the first calls, and the builtins module lives as
// long as the interpreter. A free-threaded build needs a once-flag here.
PyObject* builtins_dict() {
  static PyObject* d = nullptr;
  if (d == nullptr) {
    Ref m = import("builtins");
    d = Ref::borrow(PyModule_GetDict(m.get())).release();
  }
  return d;
}

Check resolve_check(const Param& p) {
  if (p.check != Check::from_annotation) return p.check;
  if (p.annotation == nullptr) return Check::any;
  const char* a = p.annotation;
  if (std::strcmp(a, "str") == 0) return Check::str;
  if (std::strcmp(a, "dict") == 0) return Check::dict;
  if (std::strcmp(a, "list") == 0) return Check::list;
  if (std::strcmp(a, "set") == 0 || std::strncmp(a, "set[", 4) == 0) return Check::set;
  if (std::strcmp(a, "int") == 0) return Check::int_;
  if (std::strcmp(a, "bool") == 0) return Check::bool_;
  return Check::any;
}

Ref default_value(const Param& p) {
  switch (p.def) {
    case Def::none: return Ref::borrow(Py_None);
    case Def::false_: return Ref::borrow(Py_False);
    case Def::true_: return Ref::borrow(Py_True);
    case Def::str: return new_str(p.def_str);
    case Def::int_: return Ref::take(PyLong_FromString(p.def_str, nullptr, 10));
    case Def::required: break;
  }
  return Ref();
}

// --- error texts, kept out of line so the binder stays small --------------------------

[[gnu::cold]] void too_many_positional(Func* f, Py_ssize_t given) {
  int n = f->npositional;
  int ndef = n - f->first_default;
  if (ndef > 0) {
    PyErr_Format(PyExc_TypeError, "%U() takes from %d to %d positional arguments but %zd %s given",
                 f->qualname, f->first_default, n, given, given == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given",
                 f->qualname, n, n == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  }
}

[[gnu::cold]] void missing_arguments(Func* f, PyObject* const* bound) {
  Ref missing = Ref::take(PyList_New(0));
  for (int i = 0; i < f->spec->nparams; i++) {
    if (bound[i] == nullptr) {
      Ref r = Ref::take(PyObject_Repr(PyTuple_GET_ITEM(f->names, i)));
      ok(PyList_Append(missing.get(), r.get()));
    }
  }
  Py_ssize_t m = PyList_GET_SIZE(missing.get());
  Ref tail;
  if (m == 1) {
    tail = Ref::borrow(PyList_GET_ITEM(missing.get(), 0));
  } else if (m == 2) {
    tail = Ref::take(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(missing.get(), 0),
                                          PyList_GET_ITEM(missing.get(), 1)));
  } else {
    Ref last = Ref::borrow(PyList_GET_ITEM(missing.get(), m - 1));
    ok(PyList_SetSlice(missing.get(), m - 1, m, nullptr));
    Ref sep = new_str(", ");
    Ref head = Ref::take(PyUnicode_Join(sep.get(), missing.get()));
    tail = Ref::take(PyUnicode_FromFormat("%U, and %U", head.get(), last.get()));
  }
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname,
               m, m == 1 ? "" : "s", tail.get());
}

const char* check_name(Check c) {
  switch (c) {
    case Check::str: return "str";
    case Check::dict: return "dict";
    case Check::list: return "list";
    case Check::set: return "set";
    case Check::int_: return "int";
    default: return "object";
  }
}

[[gnu::cold]] [[noreturn]] void type_error(Func* f, int i, PyObject* v) {
  raise_arg_type(f->spec->params[i].name, check_name(f->checks[i]), v);
}

inline bool type_ok(Check c, PyObject* v) {
  switch (c) {
    case Check::str: return PyUnicode_CheckExact(v);
    case Check::dict: return PyDict_CheckExact(v);
    case Check::list: return PyList_CheckExact(v);
    case Check::set: return PySet_CheckExact(v);
    case Check::int_: return PyLong_CheckExact(v);
    default: return true;
  }
}

// The exact-type checks alone, for a call that binds every parameter by position.
void check_types(Func* f, PyObject* const* args) {
  for (int i = 0; i < f->spec->nparams; i++) {
    PyObject* v = args[i];
    if (!type_ok(f->checks[i], v) && !(v == Py_None && f->spec->params[i].def == Def::none)) {
      type_error(f, i, v);
    }
  }
}

// int parameters take any number through int(), bool parameters any object by truth; the
// converted values are owned by `held`. A value that is not a number is left for check_types.
void convert(Func* f, PyObject** out, Ref* held) {
  for (int i = 0; i < f->spec->nparams; i++) {
    PyObject* v = out[i];
    Check c = f->checks[i];
    if (c == Check::bool_) {
      held[i] = Ref::borrow(truth(v) ? Py_True : Py_False);
    } else if (c == Check::int_ && !PyLong_CheckExact(v) && v != Py_None && PyNumber_Check(v)) {
      held[i] = Ref::take(PyNumber_Long(v));
    } else {
      continue;
    }
    out[i] = held[i].get();
  }
}

// The parameter a keyword names, or -1: by pointer first (keywords in calls are interned, as
// are the parameter names), then by value.
int keyword_index(Func* f, PyObject* key) {
  const int n = f->spec->nparams;
  for (int i = 0; i < n; i++) {
    if (PyTuple_GET_ITEM(f->names, i) == key) return i;
  }
  for (int i = 0; i < n; i++) {
    int eq = PyUnicode_Compare(PyTuple_GET_ITEM(f->names, i), key);
    if (eq == -1 && PyErr_Occurred()) throw_error();
    if (eq == 0) return i;
  }
  return -1;
}

// Binds positional and keyword arguments to `out` (borrowed) and applies the checks;
// converted values are owned by `held`.
void bind(Func* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
          Ref* held) {
  const FuncSpec* s = f->spec;
  const int n = s->nparams;
  for (int i = 0; i < n; i++) out[i] = i < nargs && i < f->npositional ? args[i] : nullptr;
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; k++) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      int idx = keyword_index(f, key);
      if (idx < 0) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname,
                     key);
        throw_error();
      }
      if (out[idx] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname,
                     key);
        throw_error();
      }
      out[idx] = args[nargs + k];
    }
  }
  // As the interpreter does: keyword errors first, then the positional count.
  if (nargs > f->npositional) {
    too_many_positional(f, nargs);
    throw_error();
  }
  bool missing = false;
  for (int i = 0; i < n; i++) {
    if (out[i] == nullptr) {
      if (i >= f->npositional) {
        out[i] = PyDict_GetItemWithError(f->kwdefaults, PyTuple_GET_ITEM(f->names, i));
        if (out[i] == nullptr) throw_error();
      } else if (i >= f->first_default) {
        out[i] = PyTuple_GET_ITEM(f->defaults, i - f->first_default);
      } else {
        missing = true;
      }
    }
  }
  if (missing) {
    missing_arguments(f, out);
    throw_error();
  }
  if (f->plain) return;
  if (f->converts) convert(f, out, held);
  check_types(f, out);
}

[[gnu::cold]] PyObject* stack_exhausted(Func* f) {
  PyErr_Format(PyExc_RecursionError,
               "maximum recursion depth exceeded in %U (the thread's stack is nearly used up)",
               f->qualname);
  return nullptr;
}

PyObject* func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
  const FuncSpec* s = f->spec;
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  // Native frames recurse through the interpreter (an include cycle, a callback calling back);
  // its recursion limit does not bound their stack use, so every entry checks the stack itself.
  if (stack_nearly_exhausted()) return stack_exhausted(f);
  try {
    if (kwnames == nullptr && nargs == f->npositional && nargs == s->nparams && !f->converts) {
      if (!f->plain) check_types(f, args);
      return s->impl(*f, args).release();
    }
    PyObject* bound[max_params];
    Ref held[max_params];
    bind(f, args, nargs, kwnames, bound, held);
    return s->impl(*f, bound).release();
  } catch (PyErrorSet&) {
    return nullptr;
  } catch (std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
    return nullptr;
  }
}

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// The object references a function owns, for the collector and for clearing.
std::array<PyObject**, 10> owned_slots(Func* f) {
  return {&f->globals,     &f->name,     &f->qualname,   &f->module, &f->doc,
          &f->annotations, &f->defaults, &f->kwdefaults, &f->names,  &f->dict};
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
  for (PyObject** slot : owned_slots(reinterpret_cast<Func*>(self))) Py_VISIT(*slot);
  return 0;
}

int func_clear(PyObject* self) {
  for (PyObject** slot : owned_slots(reinterpret_cast<Func*>(self))) Py_CLEAR(*slot);
  return 0;
}

void func_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Func* f = reinterpret_cast<Func*>(self);
  if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  func_clear(self);
  PyObject_GC_Del(self);
}

PyObject* func_repr(PyObject* self) {
  Func* f = reinterpret_cast<Func*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// The default of parameter `i` (borrowed), which has one.
PyObject* default_of(Func* f, int i) {
  if (i < f->npositional) return PyTuple_GET_ITEM(f->defaults, i - f->first_default);
  PyObject* d = PyDict_GetItemWithError(f->kwdefaults, PyTuple_GET_ITEM(f->names, i));
  if (d == nullptr) throw_error();
  return d;
}

PyObject* func_text_signature(PyObject* self, void*) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
  try {
    std::string sig = "(";
    for (int i = 0; i < f->spec->nparams; i++) {
      const Param& p = f->spec->params[i];
      if (i) sig += ", ";
      if (i == f->npositional) sig += "*, ";
      sig += p.name;
      if (i >= f->first_default) {
        Ref r = Ref::take(PyObject_Repr(default_of(f, i)));
        const char* u = PyUnicode_AsUTF8(r.get());
        if (u == nullptr) throw_error();
        sig += "=";
        sig += u;
      }
    }
    sig += ")";
    return PyUnicode_FromStringAndSize(sig.data(), static_cast<Py_ssize_t>(sig.size()));
  } catch (PyErrorSet&) {
    return nullptr;
  } catch (std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// A full inspect.Signature, so that introspection shows names, defaults and annotations
// exactly as for a Python function.
PyObject* func_signature(PyObject* self, void*) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
  try {
    Ref inspect = import("inspect");
    Ref parameter = getattr(inspect.get(), "Parameter");
    Ref signature = getattr(inspect.get(), "Signature");
    Ref kind = getattr(parameter.get(), "POSITIONAL_OR_KEYWORD");
    Ref kwonly = getattr(parameter.get(), "KEYWORD_ONLY");
    Ref empty = getattr(parameter.get(), "empty");
    Ref params = Ref::take(PyList_New(0));
    Ref kwn_both = Ref::take(Py_BuildValue("(ss)", "default", "annotation"));
    for (int i = 0; i < f->spec->nparams; i++) {
      const Param& p = f->spec->params[i];
      PyObject* dflt = i >= f->first_default ? default_of(f, i) : empty.get();
      Ref ann = p.annotation ? new_str(p.annotation) : empty.copy();
      PyObject* k = i >= f->npositional ? kwonly.get() : kind.get();
      PyObject* a[] = {PyTuple_GET_ITEM(f->names, i), k, dflt, ann.get()};
      Ref obj = call_kw(parameter.get(), a, 2, kwn_both.get());
      ok(PyList_Append(params.get(), obj.get()));
    }
    Ref ret = f->spec->returns ? new_str(f->spec->returns) : empty.copy();
    Ref kwn = Ref::take(Py_BuildValue("(s)", "return_annotation"));
    PyObject* a[] = {params.get(), ret.get()};
    return call_kw(signature.get(), a, 1, kwn.get()).release();
  } catch (PyErrorSet&) {
    return nullptr;
  } catch (std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// Pickled (and copied) by reference, as Python functions are: pickle imports __module__ and
// looks the qualified name up there.
PyObject* func_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(reinterpret_cast<Func*>(self)->qualname);
}

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The object fields shown as attributes, as getsets whose closure is the field's offset.
#define VERDIN_FIELD(name) reinterpret_cast<void*>(offsetof(Func, name))

PyObject*& field_at(PyObject* self, void* offset) {
  char* base = reinterpret_cast<char*>(self);
  return *reinterpret_cast<PyObject**>(base + reinterpret_cast<uintptr_t>(offset));
}

PyObject* func_get_field(PyObject* self, void* offset) {
  PyObject* v = field_at(self, offset);
  return Py_NewRef(v ? v : Py_None);
}

// __module__ and __doc__ are writable; deleting one leaves None, as on a Python function.
int func_set_field(PyObject* self, PyObject* value, void* offset) {
  Py_XSETREF(field_at(self, offset), Py_NewRef(value ? value : Py_None));
  return 0;
}

PyGetSetDef func_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__text_signature__", func_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", func_signature, nullptr, nullptr, nullptr},
    {"__kwdefaults__", func_get_field, nullptr, nullptr, VERDIN_FIELD(kwdefaults)},
    {"__name__", func_get_field, nullptr, nullptr, VERDIN_FIELD(name)},
    {"__qualname__", func_get_field, nullptr, nullptr, VERDIN_FIELD(qualname)},
    {"__module__", func_get_field, func_set_field, nullptr, VERDIN_FIELD(module)},
    {"__doc__", func_get_field, func_set_field, nullptr, VERDIN_FIELD(doc)},
    {"__annotations__", func_get_field, nullptr, nullptr, VERDIN_FIELD(annotations)},
    {"__defaults__", func_get_field, nullptr, nullptr, VERDIN_FIELD(defaults)},
    {"__globals__", func_get_field, nullptr, nullptr, VERDIN_FIELD(globals)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject func_type = [] {
  PyTypeObject t{};
  t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
  t.tp_name = "verdin.native_function";
  t.tp_basicsize = sizeof(Func);
  t.tp_dealloc = func_dealloc;
  t.tp_vectorcall_offset = offsetof(Func, vectorcall);
  t.tp_repr = func_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
               Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_traverse = func_traverse;
  t.tp_clear = func_clear;
  t.tp_weaklistoffset = offsetof(Func, weakrefs);
  t.tp_methods = func_methods;
  t.tp_getset = func_getset;
  t.tp_descr_get = func_descr_get;
  t.tp_dictoffset = offsetof(Func, dict);
  return t;
}();

void ready_func_type() {
  // Each extension module links its own copy of this type and readies it at its first init;
  // module inits run under the GIL (a free-threaded build needs a once-flag here).
  static bool ready = false;
  if (ready) return;
  ok(PyType_Ready(&func_type));
  ready = true;
}

Ref Func::global(PyObject* key) const {
  if (Ref v = dict_get(globals, key)) return v;
  Ref v = dict_get(builtins_dict(), key);
  if (!v) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    throw_error();
  }
  return v;
}

void raise_arg_type(const char* name, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
               Py_TYPE(got)->tp_name);
  throw_error();
}

namespace {

// A default that must exist.
Ref required_default(const FuncSpec& spec, int i) {
  Ref d = default_value(spec.params[i]);
  if (!d) {
    PyErr_Format(PyExc_SystemError, "%s: parameter without default after a default", spec.name);
    throw_error();
  }
  return d;
}

// __defaults__: the defaults of the positional parameters from `first_default` on, or None.
Ref defaults_tuple(const FuncSpec& spec, int first_default, int npositional) {
  if (first_default >= npositional) return Ref::borrow(Py_None);
  Ref defaults = Ref::take(PyTuple_New(npositional - first_default));
  for (int i = first_default; i < npositional; i++) {
    PyTuple_SET_ITEM(defaults.get(), i - first_default, required_default(spec, i).release());
  }
  return defaults;
}

// __kwdefaults__: name to default of the keyword-only parameters, or None.
Ref kwdefaults_dict(const FuncSpec& spec, int npositional) {
  if (npositional == spec.nparams) return Ref::borrow(Py_None);
  Ref kwdefaults = Ref::take(PyDict_New());
  for (int i = npositional; i < spec.nparams; i++) {
    if (!spec.params[i].kwonly) {
      PyErr_Format(PyExc_SystemError, "%s: positional parameter after a keyword-only one",
                   spec.name);
      throw_error();
    }
    Ref d = required_default(spec, i);
    ok(PyDict_SetItemString(kwdefaults.get(), spec.params[i].name, d.get()));
  }
  return kwdefaults;
}

}  // namespace

Ref make_function(const FuncSpec& spec, PyObject* globals, PyObject* module_name,
                  const char* owner) {
  ready_func_type();
  Ref name = Ref::take(PyUnicode_InternFromString(spec.name));
  Ref qualname = owner ? Ref::take(PyUnicode_FromFormat("%s.%s", owner, spec.name)) : name.copy();
  Ref annotations = Ref::take(PyDict_New());
  Ref names = Ref::take(PyTuple_New(spec.nparams));
  int first_default = spec.nparams, npositional = spec.nparams;
  bool plain = true, converts = false;
  for (int i = 0; i < spec.nparams; i++) {
    const Param& p = spec.params[i];
    if (p.kwonly && npositional == spec.nparams) npositional = i;
    PyTuple_SET_ITEM(names.get(), i, ok(PyUnicode_InternFromString(p.name)));
    if (p.annotation) {
      Ref a = new_str(p.annotation);
      ok(PyDict_SetItemString(annotations.get(), p.name, a.get()));
    }
    if (p.def != Def::required && first_default == spec.nparams) first_default = i;
    Check c = resolve_check(p);
    if (c != Check::any) plain = false;
    if (c == Check::int_ || c == Check::bool_) converts = true;
  }
  if (spec.returns) {
    Ref a = new_str(spec.returns);
    ok(PyDict_SetItemString(annotations.get(), "return", a.get()));
  }
  Ref defaults = defaults_tuple(spec, first_default, npositional);
  Ref kwdefaults = kwdefaults_dict(spec, npositional);
  Ref doc = spec.doc ? new_str(spec.doc) : Ref::borrow(Py_None);
  Func* f = PyObject_GC_New(Func, &func_type);
  if (f == nullptr) throw_error();
  f->vectorcall = func_vectorcall;
  f->spec = &spec;
  f->globals = Py_NewRef(globals);
  f->name = name.release();
  f->qualname = qualname.release();
  f->module = Py_NewRef(module_name);
  f->doc = doc.release();
  f->annotations = annotations.release();
  f->defaults = defaults.release();
  f->kwdefaults = kwdefaults.release();
  f->names = names.release();
  f->dict = nullptr;
  f->weakrefs = nullptr;
  for (int i = 0; i < spec.nparams; i++) f->checks[i] = resolve_check(spec.params[i]);
  f->first_default = first_default;
  f->npositional = npositional;
  f->plain = plain;
  f->converts = converts;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace verdin
