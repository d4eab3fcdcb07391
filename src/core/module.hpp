// Building extension modules: module creation, globals in declared order, plain classes.
#pragma once

#include <initializer_list>
#include <vector>

#include "function.hpp"

namespace verdin {

class ModuleBuilder {
 public:
  explicit ModuleBuilder(PyObject* module);

  PyObject* module() const { return module_; }
  PyObject* dict() const { return dict_; }
  PyObject* name() const { return name_.get(); }

  // Binds a module global.
  void set(const char* name, PyObject* value);
  // `import mod` (or `import mod as alias`): binds the module and returns it.
  Ref import_module(const char* mod, const char* alias = nullptr);
  // `from mod import attr`: binds and returns the attribute.
  Ref import_from(const char* mod, const char* attr);
  // `from mod import *`: binds every public name of `mod`.
  void import_star(const char* mod);
  // A module-level function, bound under its name.
  Ref def(const FuncSpec& spec);
  // A function object of this module without binding it.
  Ref function(const FuncSpec& spec, const char* owner = nullptr);
  // A plain class built with type(name, (object,), namespace): `attrs` (may be null) comes
  // first in the namespace, then the methods in the given order. Binds it and returns it.
  Ref def_class(const char* name, std::initializer_list<const FuncSpec*> methods,
                PyObject* attrs = nullptr);
  Ref def_class(const char* name, const std::vector<const FuncSpec*>& methods,
                PyObject* attrs = nullptr);
  // The same class without binding it: a helper class that only the module's own functions
  // hand out.
  Ref make_class(const char* name, const std::vector<const FuncSpec*>& methods,
                 PyObject* attrs = nullptr);
  // `from mod import a, b, ...`: binds each attribute in the given order.
  void import_from(const char* mod, std::initializer_list<const char*> attrs);
  // Module-level functions, bound under their names in the given order.
  void def(std::initializer_list<const FuncSpec*> specs);

 private:
  PyObject* module_;
  PyObject* dict_;
  Ref name_;
};

// Creates the module described by `def` and runs `populate` on it; returns NULL with an
// exception set on failure. For use in PyInit_* functions.
PyObject* create_module(PyModuleDef* def, void (*populate)(ModuleBuilder&)) noexcept;

// Defines the extension module `short_name` (PyInit_<short_name>) named `full_name`, whose
// globals are created by `populate`.
#define VERDIN_MODULE(short_name, full_name, populate)                                             \
  static PyModuleDef short_name##_module_def = {                                                   \
      PyModuleDef_HEAD_INIT, full_name, nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr}; \
  PyMODINIT_FUNC PyInit_##short_name() {                                                           \
    return verdin::create_module(&short_name##_module_def, populate);                              \
  }

// An interned string that lives for the life of the process.
PyObject* intern(const char* s);

// Whether a module may set up the fast paths that rely on SQLAlchemy internals: unless the
// environment variable VERDIN_NO_FAST_PATHS is set (to anything but the empty string) at import.
bool fast_paths_allowed();

}  // namespace verdin

// A module's interned names, each written once. The module lists them as rows
// `X(field, "text")` of a list macro and declares its `Names` struct from that list:
//
//   #define MY_NAMES(X) X(strip, "strip") X(if_, "if") X(empty, "")
//   VERDIN_NAMES(MY_NAMES);
//   Names n;  // n.init() first thing in the module's populate
//
// init() interns every row, so a name cannot be declared and left NULL. Values that are not
// plain strings (keyword tuples, imported objects) live beside the struct.
#define VERDIN_NAME_FIELD(field, text) PyObject* field = nullptr;
#define VERDIN_NAME_INIT(field, text) field = ::verdin::intern(text);
#define VERDIN_NAMES(LIST)                 \
  struct Names {                           \
    LIST(VERDIN_NAME_FIELD)                \
    void init() { LIST(VERDIN_NAME_INIT) } \
  }
