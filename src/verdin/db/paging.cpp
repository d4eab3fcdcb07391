// Paging and insert ids across dialects: the page window as integers, the two page forms, and
// what the session's bind says about its database.
#include "querydeck.hpp"

namespace verdin::querydeck {
namespace {

// page.<name> as an exact int. Anything that is not an int is refused, because the value is
// written into the SQL text: a string there would be SQL. An int subclass (bool included, as
// isinstance() says) counts by its integer value, so its own __format__ never reaches the text.
Ref page_int(PyObject* page, PyObject* name) {
  Ref value = getattr(page, name);
  if (PyLong_CheckExact(value.get())) return value;
  if (!PyLong_Check(value.get())) {
    PyErr_Format(PyExc_TypeError, "%U must be an int, not %.200s", name,
                 Py_TYPE(value.get())->tp_name);
    throw_error();
  }
  return Ref::take(PyNumber_Index(value.get()));
}

Ref decimal(PyObject* integer) {
  return Ref::take(PyObject_Str(integer));
}

}  // namespace

Ref paged_text(PyObject* sql) {
  Ref text = getattr(sql, n.text_attr);
  if (!PyUnicode_Check(text.get())) return text;
  bool marked = with_code_points(text.get(), [](auto* d, Py_ssize_t len) {
    // Only '\n' ends the line here: SQLite and MySQL read a comment on past a lone '\r'.
    Py_ssize_t i = len;
    while (i > 0 && d[i - 1] != '\n') i--;
    for (; i < len; i++) {
      if (d[i] == '#' || (d[i] == '-' && i + 1 < len && d[i + 1] == '-')) return true;
    }
    return false;
  });
  if (!marked) return text;
  Ref brk = Ref::take(PyUnicode_FromString("\n"));
  return concat({text.get(), brk.get()});
}

PageWindow page_window(PyObject* page) {
  Ref num = page_int(page, n.pageNum);
  Ref size = page_int(page, n.pageSize);
  Ref one = Ref::take(PyLong_FromLong(1));
  Ref before = Ref::take(PyNumber_Subtract(num.get(), one.get()));
  Ref start = Ref::take(PyNumber_Multiply(before.get(), size.get()));
  return {std::move(start), std::move(size)};
}

Ref limit_comma_suffix(const PageWindow& w) {
  Ref start = decimal(w.start.get());
  Ref size = decimal(w.size.get());
  return concat({n.limit_head, start.get(), n.comma, size.get()});
}

// PostgreSQL rejects a negative OFFSET, which page 0 and below would give; SQLite reads such
// an offset as 0, and so does this form, on every database.
Ref offset_query(Func& f, PyObject* sql, PyObject* page) {
  PageWindow w = page_window(page);
  Ref zero = Ref::take(PyLong_FromLong(0));
  PyObject* start =
      ok(PyObject_RichCompareBool(w.start.get(), zero.get(), Py_LT)) ? zero.get() : w.start.get();
  Ref start_text = decimal(start);
  Ref size_text = decimal(w.size.get());
  Ref suffix = concat({n.limit_head, size_text.get(), n.offset_head, start_text.get()});
  Ref sql_text = paged_text(sql);
  Ref full = Ref::take(PyNumber_Add(sql_text.get(), suffix.get()));
  Ref text_fn = f.global(n.text_fn);
  return call(text_fn.get(), full.get());
}

Ref session_dialect(PyObject* session, bool direct) {
  // A direct connection stands for a session bound to its engine: the same dialect.
  if (direct) return getattr(session, n.dialect);
  Ref get_bind = Ref::steal(PyObject_GetAttr(session, n.get_bind));
  if (!get_bind) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    return Ref();
  }
  Ref bind = Ref::steal(PyObject_CallNoArgs(get_bind.get()));
  if (!bind) {
    if (!PyErr_ExceptionMatches(orig.unbound_error)) throw_error();
    PyErr_Clear();
    return Ref();
  }
  return getattr(bind.get(), n.dialect);
}

bool pages_with_limit_comma(PyObject* dialect) {
  Ref name = getattr(dialect, n.name);
  for (PyObject* family : {n.mysql, n.mariadb, n.sqlite}) {
    if (ok(PyObject_RichCompareBool(name.get(), family, Py_EQ))) return true;
  }
  return false;
}

Ref inserted_id(PyObject* session, PyObject* result, bool direct) {
  Ref returns_rows = Ref::steal(PyObject_GetAttr(result, n.returns_rows));
  if (!returns_rows) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
  } else if (truth(returns_rows.get())) {
    return call_method(result, n.scalar);
  } else if (Ref dialect = session_dialect(session, direct)) {
    Ref reports = getattr(dialect.get(), n.postfetch_lastrowid);
    if (!truth(reports.get())) return Ref::borrow(Py_None);
  }
  return getattr(result, n.lastrowid);
}

}  // namespace verdin::querydeck
