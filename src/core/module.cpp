// Module creation and the builders that keep module globals in their declared order.
#include "module.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#include "errors.hpp"

namespace verdin {

bool fast_paths_allowed() {
  const char* off = std::getenv("VERDIN_NO_FAST_PATHS");
  return off == nullptr || *off == '\0';
}

PyObject* intern(const char* s) {
  PyObject* o = PyUnicode_InternFromString(s);
  if (o == nullptr) throw_error();
  return o;  // deliberately kept for the life of the process
}

ModuleBuilder::ModuleBuilder(PyObject* module)
    : module_(module),
      dict_(PyModule_GetDict(module)),
      name_(Ref::take(PyModule_GetNameObject(module))) {}

void ModuleBuilder::set(const char* name, PyObject* value) {
  ok(PyDict_SetItemString(dict_, name, value));
}

Ref ModuleBuilder::import_module(const char* mod, const char* alias) {
  Ref m = import(mod);
  if (alias != nullptr) {
    set(alias, m.get());
    return m;
  }
  // `import a.b` binds the top-level package `a`, as the import statement does.
  const char* dot = std::strchr(mod, '.');
  if (dot == nullptr) {
    set(mod, m.get());
  } else {
    Ref head = Ref::take(PyUnicode_FromStringAndSize(mod, dot - mod));
    Ref pkg = Ref::take(PyImport_Import(head.get()));
    ok(PyDict_SetItem(dict_, head.get(), pkg.get()));
  }
  return m;
}

Ref ModuleBuilder::import_from(const char* mod, const char* attr) {
  Ref m = import(mod);
  Ref v = getattr(m.get(), attr);
  set(attr, v.get());
  return v;
}

void ModuleBuilder::import_star(const char* mod) {
  Ref m = import(mod);
  Ref names = Ref::steal(PyObject_GetAttrString(m.get(), "__all__"));
  if (!names) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    // No __all__: every name that does not start with an underscore.
    names = Ref::take(PyList_New(0));
    PyObject* md = PyModule_GetDict(m.get());
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(md, &pos, &key, &value)) {
      if (PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) > 0 &&
          PyUnicode_READ_CHAR(key, 0) != '_') {
        ok(PyList_Append(names.get(), key));
      }
    }
  }
  Ref it = Ref::take(PyObject_GetIter(names.get()));
  while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
    Ref v = getattr(m.get(), key.get());
    ok(PyDict_SetItem(dict_, key.get(), v.get()));
  }
  if (PyErr_Occurred()) throw_error();
}

Ref ModuleBuilder::function(const FuncSpec& spec, const char* owner) {
  return make_function(spec, dict_, name_.get(), owner);
}

Ref ModuleBuilder::def(const FuncSpec& spec) {
  Ref f = function(spec);
  set(spec.name, f.get());
  return f;
}

Ref ModuleBuilder::def_class(const char* name, std::initializer_list<const FuncSpec*> methods,
                             PyObject* attrs) {
  return def_class(name, std::vector<const FuncSpec*>(methods), attrs);
}

Ref ModuleBuilder::def_class(const char* name, const std::vector<const FuncSpec*>& methods,
                             PyObject* attrs) {
  Ref cls = make_class(name, methods, attrs);
  set(name, cls.get());
  return cls;
}

Ref ModuleBuilder::make_class(const char* name, const std::vector<const FuncSpec*>& methods,
                              PyObject* attrs) {
  Ref ns = Ref::take(PyDict_New());
  ok(PyDict_SetItemString(ns.get(), "__module__", name_.get()));
  Ref qual = new_str(name);
  ok(PyDict_SetItemString(ns.get(), "__qualname__", qual.get()));
  if (attrs != nullptr) ok(PyDict_Update(ns.get(), attrs));
  for (const FuncSpec* spec : methods) {
    Ref f = function(*spec, name);
    if (spec->is_static) {
      f = call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), f.get());
    }
    ok(PyDict_SetItemString(ns.get(), spec->key ? spec->key : spec->name, f.get()));
  }
  return Ref::take(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", name,
                                         reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                                         ns.get()));
}

void ModuleBuilder::import_from(const char* mod, std::initializer_list<const char*> attrs) {
  for (const char* attr : attrs) import_from(mod, attr);
}

void ModuleBuilder::def(std::initializer_list<const FuncSpec*> specs) {
  for (const FuncSpec* spec : specs) def(*spec);
}

PyObject* create_module(PyModuleDef* def, void (*populate)(ModuleBuilder&)) noexcept {
  try {
    ready_func_type();
    Ref m = Ref::take(PyModule_Create(def));
    // Like a Python module, this one is in sys.modules while its body runs.
    PyObject* modules = PyImport_GetModuleDict();
    ok(PyDict_SetItemString(modules, def->m_name, m.get()));
    try {
      ModuleBuilder b(m.get());
      populate(b);
    } catch (PyErrorSet&) {
      Ref exc = fetch_exception();
      if (PyDict_GetItemString(modules, def->m_name) == m.get())
        PyDict_DelItemString(modules, def->m_name);
      PyErr_Clear();
      restore_exception(std::move(exc));
      throw;
    }
    return m.release();
  } catch (PyErrorSet&) {
    return nullptr;
  } catch (std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace verdin
