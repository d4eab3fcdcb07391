#include "plain_class.hpp"

#include <iterator>
#include <utility>

#include "errors.hpp"

namespace verdin {
namespace {

struct {
  bool ready = false;
  PyObject* aliases = nullptr;            // tuple of the types typing reads an origin or args from
  PyObject* class_attribute = nullptr;    // object.__class__, the descriptor
  PyObject* type_getattribute = nullptr;  // type.__getattribute__
  PyObject *class_name = nullptr, *getattribute_name = nullptr;
} plain;

// typing's alias types, as typing.get_origin and typing.get_args test for them; None when this
// Python names one otherwise (then no class is taken as plain).
Ref alias_types() {
  Ref typing = import("typing");
  Ref types = import("types");
  const std::pair<PyObject*, const char*> names[] = {
      {typing.get(), "_BaseGenericAlias"}, {typing.get(), "ParamSpecArgs"},
      {typing.get(), "ParamSpecKwargs"},   {types.get(), "GenericAlias"},
      {types.get(), "UnionType"},
  };
  Ref out = Ref::take(PyTuple_New(std::size(names)));
  Py_ssize_t i = 0;
  for (auto [module, name] : names) {
    PyObject* found = PyObject_GetAttrString(module, name);
    if (found == nullptr || !PyType_Check(found)) {
      Py_XDECREF(found);
      PyErr_Clear();
      return Ref::borrow(Py_None);
    }
    PyTuple_SET_ITEM(out.get(), i++, found);
  }
  return out;
}

void prepare() {
  Ref aliases = alias_types();
  plain.class_name = Ref::take(PyUnicode_InternFromString("__class__")).release();
  plain.getattribute_name = Ref::take(PyUnicode_InternFromString("__getattribute__")).release();
  // Found as the metaclass lookup finds them (the dicts of builtin types are not in tp_dict).
  PyObject* class_attribute = _PyType_Lookup(&PyBaseObject_Type, plain.class_name);
  PyObject* getattribute = _PyType_Lookup(&PyType_Type, plain.getattribute_name);
  if (class_attribute == nullptr || getattribute == nullptr) aliases = Ref::borrow(Py_None);
  plain.aliases = aliases.release();
  plain.class_attribute = Py_XNewRef(class_attribute);
  plain.type_getattribute = Py_XNewRef(getattribute);
  plain.ready = true;
}

}  // namespace

bool plain_class(PyObject* obj) {
  if (!PyType_Check(obj)) return false;
  if (!plain.ready) prepare();
  if (plain.aliases == Py_None) return false;
  PyTypeObject* meta = Py_TYPE(obj);
  if (meta == &PyType_Type) return true;
  // isinstance() reads obj.__class__ when the metaclass is not the class it asks about.
  if (_PyType_Lookup(meta, plain.class_name) != plain.class_attribute ||
      _PyType_Lookup(meta, plain.getattribute_name) != plain.type_getattribute) {
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(plain.aliases); i++) {
    auto* alias = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(plain.aliases, i));
    if (PyType_IsSubtype(meta, alias)) return false;
  }
  return true;
}

}  // namespace verdin
