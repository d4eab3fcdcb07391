#include "plain_class.hpp"

#include <iterator>
#include <utility>

namespace verdin {
namespace {

struct {
  bool ready = false;
  PyObject* aliases = nullptr;            // tuple of the types typing reads an origin or args from
  PyObject* class_attribute = nullptr;    // object.__class__, the descriptor
  PyObject* type_getattribute = nullptr;  // type.__getattribute__
  PyObject *class_name = nullptr, *getattribute_name = nullptr;
} plain;

// typing's alias types, as typing.get_origin and typing.get_args test for them; null when this
// Python names one otherwise or they cannot be had (then no class is taken as plain).
Ref alias_types() {
  const std::pair<const char*, const char*> names[] = {
      {"typing", "_BaseGenericAlias"}, {"typing", "ParamSpecArgs"}, {"typing", "ParamSpecKwargs"},
      {"types", "GenericAlias"},       {"types", "UnionType"},
  };
  Ref out = Ref::steal(PyTuple_New(std::size(names)));
  if (!out) return Ref();
  Py_ssize_t i = 0;
  for (auto [module_name, name] : names) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    PyObject* found = module ? PyObject_GetAttrString(module.get(), name) : nullptr;
    if (found == nullptr || !PyType_Check(found)) {
      Py_XDECREF(found);
      return Ref();
    }
    PyTuple_SET_ITEM(out.get(), i++, found);
  }
  return out;
}

// Never raises: what cannot be had leaves every class to typing's functions.
void prepare() {
  plain.ready = true;
  plain.class_name = PyUnicode_InternFromString("__class__");
  plain.getattribute_name = PyUnicode_InternFromString("__getattribute__");
  Ref aliases = plain.class_name && plain.getattribute_name ? alias_types() : Ref();
  PyErr_Clear();
  if (!aliases) return;
  // Found as the metaclass lookup finds them (the dicts of builtin types are not in tp_dict).
  plain.class_attribute = Py_XNewRef(_PyType_Lookup(&PyBaseObject_Type, plain.class_name));
  plain.type_getattribute = Py_XNewRef(_PyType_Lookup(&PyType_Type, plain.getattribute_name));
  if (plain.class_attribute && plain.type_getattribute) plain.aliases = aliases.release();
}

}  // namespace

bool plain_class(PyObject* obj) {
  if (!PyType_Check(obj)) return false;
  if (!plain.ready) prepare();
  if (plain.aliases == nullptr) return false;
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
