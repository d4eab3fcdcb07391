// The one function object of the package: signatures declared as data, one argument binder,
// vectorcall, and descriptor binding like a Python function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ref.hpp"

namespace verdin {

// The default of a parameter.
enum class Def : uint8_t { required, none, false_, true_, str, int_ };

// What the binder verifies before the body runs. `from_annotation` picks the check from the
// annotation text: "str", "dict", "list" and "set" (or "set[...]") mean that exact type,
// "int" means int-like (converted with int()), "bool" means any object by truth value;
// any other annotation is documentation only. None passes only where the default is None.
enum class Check : uint8_t { from_annotation, any, str, dict, list, set, int_, bool_ };

struct Param {
  const char* name;
  const char* annotation = nullptr;  // recorded in __annotations__ as a string
  Def def = Def::required;
  const char* def_str = nullptr;  // the default when def == Def::str, or its digits for Def::int_
  Check check = Check::from_annotation;
  // Keyword-only: passed by name only. Such parameters come after every positional one and
  // have a default.
  bool kwonly = false;
};

struct Func;
// The body of a function: `args` holds one bound value per declared parameter (borrowed).
// Returns the result, or throws PyErrorSet with a Python exception set.
using Impl = Ref (*)(Func& f, PyObject* const* args);

inline constexpr int max_params = 8;

struct FuncSpec {
  const char* name;
  Impl impl;
  const Param* params;
  int nparams;
  const char* returns = nullptr;  // return annotation
  const char* doc = nullptr;
  bool is_static = false;
  const char* key = nullptr;  // the class dict key, when it differs from the name (mangling)

  constexpr FuncSpec as_static() const {
    FuncSpec s = *this;
    s.is_static = true;
    return s;
  }
  constexpr FuncSpec stored_as(const char* dict_key) const {
    FuncSpec s = *this;
    s.key = dict_key;
    return s;
  }
};

template <size_t N>
constexpr FuncSpec fn(const char* name, Impl impl, const Param (&params)[N],
                      const char* returns = nullptr, const char* doc = nullptr) {
  static_assert(N <= max_params, "too many parameters");
  return FuncSpec{name, impl, params, static_cast<int>(N), returns, doc, false, nullptr};
}

struct Func {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FuncSpec* spec;
  PyObject* globals;  // the defining module's dict, read at call time
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* annotations;  // dict of strings
  PyObject* defaults;     // tuple or None, as __defaults__
  PyObject* kwdefaults;   // dict or None, as __kwdefaults__
  PyObject* names;        // tuple of interned parameter names
  PyObject* dict;
  PyObject* weakrefs;
  Check checks[max_params];
  int first_default;  // index of the first parameter with a default
  int npositional;    // the parameters before the keyword-only ones
  bool plain;         // no parameter needs a check
  bool converts;      // some parameter is converted (int, bool)

  // Reads a module global (falling back to builtins), as a Python function would.
  Ref global(PyObject* name) const;
};

extern PyTypeObject func_type;
// Readies func_type once per extension module (each links its own copy).
void ready_func_type();

// Creates a function object for `spec` (which must outlive it) in the module whose dict is
// `globals`. `owner` is the class name for methods, or nullptr.
Ref make_function(const FuncSpec& spec, PyObject* globals, PyObject* module_name,
                  const char* owner);

// Raises the package's argument type error and throws.
[[noreturn]] void raise_arg_type(const char* name, const char* expected, PyObject* got);

}  // namespace verdin
