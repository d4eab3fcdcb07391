// Rows to dictionaries: what Row._asdict() returns, built natively where that is the same.
#include "querydeck.hpp"

namespace verdin::querydeck {
namespace {

// The labels of one result, shared by its rows (their `_parent`).
class Labels {
 public:
  // The labels when a row of `parent` maps label i to value i (exact str labels, no repeats);
  // null when _asdict() has to decide.
  PyObject* for_parent(PyObject* parent) {
    if (parent != parent_.get()) {
      parent_ = Ref::borrow(parent);
      keys_.reset();
      Ref view = getattr(parent, n.keys);
      Ref keys = Ref::take(PySequence_Tuple(view.get()));
      Ref seen = Ref::take(PySet_New(nullptr));
      bool usable = true;
      for (Py_ssize_t i = 0; usable && i < PyTuple_GET_SIZE(keys.get()); i++) {
        PyObject* k = PyTuple_GET_ITEM(keys.get(), i);
        usable = PyUnicode_CheckExact(k) && !ok(PySet_Contains(seen.get(), k));
        if (usable) ok(PySet_Add(seen.get(), k));
      }
      if (usable) keys_ = std::move(keys);
    }
    return keys_.get();
  }

 private:
  Ref parent_;
  Ref keys_;
};

Ref as_dict(PyObject* row, Labels& labels, bool native) {
  if (native && Py_TYPE(row) == reinterpret_cast<PyTypeObject*>(orig.row_type)) {
    Ref parent = getattr(row, n.parent);
    if (PyObject* keys = labels.for_parent(parent.get())) {
      Ref data = getattr(row, n.data);
      Py_ssize_t count = PyTuple_GET_SIZE(keys);
      if (PyTuple_CheckExact(data.get()) && PyTuple_GET_SIZE(data.get()) == count) {
        Ref d = Ref::take(PyDict_New());
        for (Py_ssize_t i = 0; i < count; i++) {
          ok(PyDict_SetItem(d.get(), PyTuple_GET_ITEM(keys, i), PyTuple_GET_ITEM(data.get(), i)));
        }
        return d;
      }
    }
  }
  return call_method(row, n.asdict);
}

// Row._asdict is still SQLAlchemy's own.
bool native_rows() {
  Ref method = getattr(orig.row_type, n.asdict);
  return method.get() == orig.row_asdict;
}

}  // namespace

Ref rows_as_dicts(PyObject* rows) {
  Labels labels;
  bool native = native_rows();
  Ref out = Ref::take(PyList_New(0));
  if (PyList_CheckExact(rows)) {
    // as a list iterator does: the length is read again at every step
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); i++) {
      Ref row = Ref::borrow(PyList_GET_ITEM(rows, i));
      Ref d = as_dict(row.get(), labels, native);
      ok(PyList_Append(out.get(), d.get()));
    }
    return out;
  }
  Ref it = Ref::take(PyObject_GetIter(rows));
  while (Ref row = Ref::steal(PyIter_Next(it.get()))) {
    Ref d = as_dict(row.get(), labels, native);
    ok(PyList_Append(out.get(), d.get()));
  }
  if (PyErr_Occurred()) throw_error();
  return out;
}

Ref row_as_dict(PyObject* row) {
  Labels labels;
  return as_dict(row, labels, native_rows());
}

}  // namespace verdin::querydeck
