// results_handle: rows to the caller's shape (rows, objects, values, one row/object/value).
#include "plain_class.hpp"
#include "txnfront.hpp"

namespace verdin::txnfront {
namespace {

PyObject* dict_type() {
  return reinterpret_cast<PyObject*>(&PyDict_Type);
}
PyObject* list_type() {
  return reinterpret_cast<PyObject*>(&PyList_Type);
}

bool eq(PyObject* a, PyObject* b) {
  return ok(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

bool test(Func& f, PyObject* name, PyObject* arg) {
  Ref fn = f.global(name);
  return truth(call(fn.get(), arg).get());
}

[[noreturn]] void mismatch(const char* head, PyObject* first, PyObject* result_type) {
  Ref a = Ref::take(PyObject_Str(first));
  Ref b = Ref::take(PyObject_Str(result_type));
  Ref h = new_str(head);
  Ref mid = new_str(", resultType: ");
  Ref msg = concat({h.get(), a.get(), mid.get(), b.get()});
  PyErr_SetObject(PyExc_TypeError, msg.get());
  throw_error();
}

// The text Python puts before "argument after ** must be a mapping".
Ref function_str(PyObject* fn) {
  Ref qualname = Ref::steal(PyObject_GetAttr(fn, n.qualname));
  if (!qualname) {
    PyErr_Clear();
    return Ref::take(PyObject_Str(fn));
  }
  Ref module = Ref::steal(PyObject_GetAttr(fn, n.module));
  if (!module) PyErr_Clear();
  if (module && PyUnicode_Check(module.get()) && !eq(module.get(), n.builtins)) {
    return Ref::take(PyUnicode_FromFormat("%U.%U()", module.get(), qualname.get()));
  }
  return Ref::take(PyUnicode_FromFormat("%S()", qualname.get()));
}

// cls(**row)
Ref construct(PyObject* cls, PyObject* row) {
  Ref kwargs;
  if (PyDict_Check(row)) {
    kwargs = Ref::take(PyDict_Copy(row));
  } else {
    if (!PyMapping_Check(row) || !ok(PyObject_HasAttrString(row, "keys"))) {
      Ref where = function_str(cls);
      PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s",
                   where.get(), Py_TYPE(row)->tp_name);
      throw_error();
    }
    kwargs = Ref::take(PyDict_New());
    ok(PyDict_Merge(kwargs.get(), row, 1));
  }
  Ref empty = Ref::take(PyTuple_New(0));
  return Ref::take(PyObject_Call(cls, empty.get(), kwargs.get()));
}

// next(iter(row.values()))
Ref first_value(PyObject* row) {
  if (PyDict_CheckExact(row)) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    if (PyDict_Next(row, &pos, &key, &value)) return Ref::borrow(value);
    PyErr_SetNone(PyExc_StopIteration);
    throw_error();
  }
  Ref values = call_method(row, n.values);
  Ref it = Ref::take(PyObject_GetIter(values.get()));
  Ref v = Ref::steal(PyIter_Next(it.get()));
  if (!v) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    throw_error();
  }
  return v;
}

// [each(row) for row in results]
template <typename Each>
Ref map_rows(PyObject* results, Each&& each) {
  Ref out = Ref::take(PyList_New(0));
  if (PyList_CheckExact(results)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results); i++) {
      Ref row = Ref::borrow(PyList_GET_ITEM(results, i));
      Ref v = each(row.get());
      ok(PyList_Append(out.get(), v.get()));
    }
    return out;
  }
  Ref it = Ref::take(PyObject_GetIter(results));
  while (Ref row = Ref::steal(PyIter_Next(it.get()))) {
    Ref v = each(row.get());
    ok(PyList_Append(out.get(), v.get()));
  }
  if (PyErr_Occurred()) throw_error();
  return out;
}

// obj[0]
Ref item0(PyObject* obj) {
  if (PyList_CheckExact(obj) && PyList_GET_SIZE(obj) > 0)
    return Ref::borrow(PyList_GET_ITEM(obj, 0));
  if (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) > 0)
    return Ref::borrow(PyTuple_GET_ITEM(obj, 0));
  Ref zero = Ref::take(PyLong_FromLong(0));
  return Ref::take(PyObject_GetItem(obj, zero.get()));
}

}  // namespace

Ref results_handle(Func& f, PyObject* const* a) {
  PyObject *results = a[0], *result_type = a[1], *given_return_type = a[2];
  Py_ssize_t size = PyObject_Length(results);
  if (size < 0) throw_error();
  if (size == 0) return Ref::borrow(results);
  Ref f_return_type = Ref::borrow(given_return_type == Py_None ? list_type() : given_return_type);
  Ref get_base_type = f.global(n.get_base_type);
  Ref return_type = call(get_base_type.get(), f_return_type.get());
  PyObject* rt = return_type.get();
  Ref dict_alias = f.global(n.Dict);
  Ref list_alias = f.global(n.List);

  bool wants_list = false;
  if (eq(rt, dict_type()) || eq(rt, dict_alias.get())) {
    // A dict is made from a row class, or from a container type that is dict itself.
    bool accepted =
        test(f, n.is_container_type, result_type) || test(f, n.is_result_class, result_type);
    if (accepted && test(f, n.is_container_type, result_type)) {
      accepted = eq(result_type, dict_type()) || eq(result_type, dict_alias.get());
    }
    if (!accepted) mismatch("please check return_type: ", rt, result_type);
  } else if (eq(rt, list_type()) || eq(rt, list_alias.get())) {
    wants_list = true;
    if (truth(result_type)) {
      Ref get_args = f.global(n.get_args);
      // typing.get_args of a class that typing cannot take for an alias is ().
      bool plain = get_args.get() == orig.get_args && plain_class(f_return_type.get());
      Ref args = plain ? Ref() : call(get_args.get(), f_return_type.get());
      if (!plain && truth(args.get())) {
        Ref base_result_type = item0(args.get());
        if (base_result_type.get() != result_type) {
          mismatch("please check return_result_type: ", base_result_type.get(), result_type);
        }
      }
    }
  } else if (!test(f, n.is_container_type, rt) && rt != result_type) {
    mismatch("please check return_type: ", rt, result_type);
  }

  if (result_type == list_type() || result_type == list_alias.get()) {
    PyErr_SetString(PyExc_TypeError, "please check result type");
    throw_error();
  }

  if (wants_list) {
    if (result_type == dict_type()) return Ref::borrow(results);
    if (test(f, n.is_result_class, result_type)) {
      return map_rows(results, [&](PyObject* row) { return construct(result_type, row); });
    }
    return map_rows(results, [](PyObject* row) { return first_value(row); });
  }
  Ref first = item0(results);
  if (result_type == dict_type()) return first;
  if (test(f, n.is_result_class, rt)) return construct(result_type, first.get());
  return first_value(first.get());
}

}  // namespace verdin::txnfront
