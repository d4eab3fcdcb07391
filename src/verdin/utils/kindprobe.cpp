// verdin.utils.kindprobe: resolving type names from mapper files and classifying classes.
#include "errors.hpp"
#include "module.hpp"
#include "plain_class.hpp"
#include "text.hpp"

using namespace verdin;

namespace {

#define KINDPROBE_NAMES(X)              \
  X(builtins, "builtins")               \
  X(is_dataclass, "is_dataclass")       \
  X(import_module, "import_module")     \
  X(get_origin, "get_origin")           \
  X(BaseModel, "BaseModel")             \
  X(DeclarativeBase, "DeclarativeBase") \
  X(dot, ".")                           \
  X(colon, ": ")
VERDIN_NAMES(KINDPROBE_NAMES);
Names n;

PyObject* container_types;    // (list, tuple, dict, set)
PyObject* typing_get_origin;  // typing.get_origin and typing.Generic, as imported
PyObject* typing_generic;

// getattr(obj, name, None) as a new reference.
Ref getattr_or_none(PyObject* obj, PyObject* name) {
  PyObject* v = PyObject_GetAttr(obj, name);
  if (v == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    return Ref::borrow(Py_None);
  }
  return Ref::steal(v);
}

// globals().get(name) of this module.
Ref module_get(Func& f, PyObject* name) {
  Ref v = dict_get(f.globals, name);
  return v ? std::move(v) : Ref::borrow(Py_None);
}

bool is_container_class(PyObject* cls) {
  return ok(PyObject_IsSubclass(cls, container_types)) != 0;
}

Ref is_container_type_by_str(Func& f, PyObject* const* a) {
  PyObject* type_str = a[0];
  Ref builtins = f.global(n.builtins);
  Ref value = getattr_or_none(builtins.get(), type_str);
  if (!truth(value.get())) value = module_get(f, type_str);
  bool r = value.get() != Py_None && PyType_Check(value.get()) && is_container_class(value.get());
  return Ref::borrow(r ? Py_True : Py_False);
}

Ref get_type_from_string(Func& f, PyObject* const* a) {
  PyObject* type_str = a[0];
  Ref builtins = f.global(n.builtins);
  Ref builtin_type = getattr_or_none(builtins.get(), type_str);
  if (builtin_type.get() != Py_None && PyType_Check(builtin_type.get())) return builtin_type;
  Ref global_type = module_get(f, type_str);
  if (global_type.get() != Py_None && PyType_Check(global_type.get())) return global_type;
  if (ok(PyUnicode_Contains(type_str, n.dot))) {
    Ref parts = Ref::take(PyUnicode_RSplit(type_str, n.dot, 1));
    // Held: importing runs Python code.
    Ref module_path_ref = Ref::borrow(PyList_GET_ITEM(parts.get(), 0));
    Ref class_name_ref = Ref::borrow(PyList_GET_ITEM(parts.get(), 1));
    PyObject* module_path = module_path_ref.get();
    PyObject* class_name = class_name_ref.get();
    Ref type_obj;
    try {
      Ref import_module = f.global(n.import_module);
      Ref module = call(import_module.get(), module_path);
      type_obj = getattr(module.get(), class_name);
    } catch (PyErrorSet&) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError) &&
          !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw;
      }
      Ref e = fetch_exception();
      Ref text = Ref::take(PyObject_Str(e.get()));
      Ref prefix = new_str("无法导入类型 ");
      Ref msg = concat({prefix.get(), type_str, n.colon, text.get()});
      raise_while_handling(e.get(), PyExc_ValueError, msg.get());
    }
    if (PyType_Check(type_obj.get())) return type_obj;
  }
  Ref prefix = new_str("未知的类型: ");
  Ref msg = concat({prefix.get(), type_str});
  PyErr_SetObject(PyExc_ValueError, msg.get());
  throw_error();
}

// get_origin(obj) if truthy, else obj.
Ref origin_or_self(Func& f, PyObject* obj) {
  Ref get_origin = f.global(n.get_origin);
  // typing.get_origin gives None for every class but Generic that typing cannot take for an
  // alias.
  if (get_origin.get() == typing_get_origin && obj != typing_generic && plain_class(obj)) {
    return Ref::borrow(obj);
  }
  Ref origin = call(get_origin.get(), obj);
  if (truth(origin.get())) return origin;
  return Ref::borrow(obj);
}

Ref is_container_type(Func& f, PyObject* const* a) {
  Ref origin = origin_or_self(f, a[0]);
  return Ref::borrow(is_container_class(origin.get()) ? Py_True : Py_False);
}

Ref get_base_type(Func& f, PyObject* const* a) {
  return origin_or_self(f, a[0]);
}

Ref is_result_class(Func& f, PyObject* const* a) {
  PyObject* data_type = a[0];
  Ref base_model = f.global(n.BaseModel);
  bool r = ok(PyObject_IsSubclass(data_type, base_model.get())) != 0;
  if (!r) {
    Ref is_dataclass = f.global(n.is_dataclass);
    r = truth(call(is_dataclass.get(), data_type).get());
  }
  if (!r) {
    Ref declarative = f.global(n.DeclarativeBase);
    r = ok(PyObject_IsSubclass(data_type, declarative.get())) != 0;
  }
  return Ref::borrow(r ? Py_True : Py_False);
}

const Param p_type_str[] = {{"type_str", "str"}};
const Param p_type_obj[] = {{"type_obj"}};
const Param p_generic_type[] = {{"generic_type"}};
const Param p_data_type[] = {{"data_type"}};

const FuncSpec s_is_container_type_by_str =
    fn("is_container_type_by_str", is_container_type_by_str, p_type_str, "bool");
const FuncSpec s_get_type_from_string =
    fn("get_type_from_string", get_type_from_string, p_type_str);
const FuncSpec s_is_container_type = fn("is_container_type", is_container_type, p_type_obj, "bool");
const FuncSpec s_get_base_type = fn("get_base_type", get_base_type, p_generic_type);
const FuncSpec s_is_result_class = fn("is_result_class", is_result_class, p_data_type);

void populate(ModuleBuilder& m) {
  n.init();
  container_types = Py_BuildValue("(OOOO)", &PyList_Type, &PyTuple_Type, &PyDict_Type, &PySet_Type);
  ok(container_types);
  m.import_from("collections.abc", {"Container", "Iterable"});
  m.import_module("builtins");
  m.import_from("dataclasses", "is_dataclass");
  m.import_from("importlib", "import_module");
  m.import_from("typing", {"get_origin", "List"});
  typing_get_origin = dict_get(m.dict(), n.get_origin).release();
  typing_generic = getattr(Ref(import("typing")).get(), "Generic").release();
  m.import_from("pydantic", "BaseModel");
  m.import_from("sqlalchemy.orm", "DeclarativeBase");
  m.def({&s_is_container_type_by_str, &s_get_type_from_string, &s_is_container_type,
         &s_get_base_type, &s_is_result_class});
}

}  // namespace

VERDIN_MODULE(kindprobe, "verdin.utils.kindprobe", populate)
