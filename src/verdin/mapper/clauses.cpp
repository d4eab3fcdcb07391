// text() of a finished statement, copied from a bounded cache of clauses built once per text.
//
// A new TextClause costs its construction and, when executed, its cache key (tens of
// microseconds for a long IN list); a text() constant pays both once. get_sql has to return a
// new clause each time, so it returns a copy of the cached clause of the same text: the copy
// shares the parsed bind parameters (SQLAlchemy's generative methods copy before changing
// anything) and the memoised cache key, which describes exactly those parameters.
#include <cstdlib>

#include "stmtloom.hpp"

namespace verdin::stmtloom {
namespace {

// Room for every statement of a large application; beyond that the oldest entries go.
constexpr Py_ssize_t clause_limit = 2048;

struct Clauses {
  bool usable = false;
  PyObject* cache = nullptr;  // final SQL text (exact str) -> TextClause built by text()
  PyObject* memo_name = nullptr;
  PyObject* dict_name = nullptr;
} c;

// A new clause of the same class whose attributes are a copy of `clause`'s.
Ref copy_clause(PyObject* clause, PyObject* attrs) {
  PyTypeObject* type = Py_TYPE(clause);
  Ref empty = Ref::take(PyTuple_New(0));
  Ref copy = Ref::take(type->tp_new(type, empty.get(), nullptr));
  Ref fresh = Ref::take(PyDict_Copy(attrs));
  ok(PyObject_SetAttr(copy.get(), c.dict_name, fresh.get()));
  return copy;
}

Ref attrs_of(PyObject* clause) {
  Ref attrs = getattr(clause, c.dict_name);
  if (!PyDict_CheckExact(attrs.get())) {
    PyErr_SetString(PyExc_TypeError, "a clause without a plain __dict__");
    throw_error();
  }
  return attrs;
}

// The copy of a clause whose cache key is memoised must give that key, equal to the one
// SQLAlchemy computes afresh, lose it on a generative change, and compile to the same SQL.
bool copies_verified(PyObject* text_fn) {
  Ref source = new_str("select :a from t where b = :b");
  Ref clause = call(text_fn, source.get());
  Ref key = call_method(clause.get(), c.memo_name);
  Ref attrs = attrs_of(clause.get());
  if (!ok(PyDict_Contains(attrs.get(), c.memo_name))) return false;
  Ref copy = copy_clause(clause.get(), attrs.get());
  if (Py_TYPE(copy.get()) != Py_TYPE(clause.get()) || copy.get() == clause.get()) return false;
  Ref copy_key = call_method(copy.get(), c.memo_name);
  if (copy_key.get() != key.get()) return false;
  Ref cache_key = import("sqlalchemy.sql.cache_key");
  Ref has_cache_key = getattr(cache_key.get(), "HasCacheKey");
  Ref compute = getattr(has_cache_key.get(), c.memo_name);
  Ref fresh = call(compute.get(), copy.get());
  if (!ok(PyObject_RichCompareBool(fresh.get(), key.get(), Py_EQ))) return false;
  // A generative change of a copy must not keep the copied key.
  Ref bindparams = getattr(copy.get(), "bindparams");
  Ref kw = Ref::take(Py_BuildValue("{si}", "a", 1));
  Ref empty = Ref::take(PyTuple_New(0));
  Ref changed = Ref::take(PyObject_Call(bindparams.get(), empty.get(), kw.get()));
  Ref changed_attrs = attrs_of(changed.get());
  if (ok(PyDict_Contains(changed_attrs.get(), c.memo_name))) return false;
  Ref text_a = getattr(clause.get(), "text");
  Ref text_b = getattr(copy.get(), "text");
  Ref compiled_a = call_method(clause.get(), Ref(new_str("compile")).get());
  Ref compiled_b = call_method(copy.get(), Ref(new_str("compile")).get());
  Ref sql_a = Ref::take(PyObject_Str(compiled_a.get()));
  Ref sql_b = Ref::take(PyObject_Str(compiled_b.get()));
  return ok(PyObject_RichCompareBool(text_a.get(), text_b.get(), Py_EQ)) &&
         ok(PyObject_RichCompareBool(sql_a.get(), sql_b.get(), Py_EQ));
}

// Drops the oldest entry. Its clause is released only after the cache is consistent again.
void evict_oldest() {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  if (!PyDict_Next(c.cache, &pos, &key, &value)) return;
  Ref old_key = Ref::borrow(key);
  Ref old_value = Ref::borrow(value);
  ok(PyDict_DelItem(c.cache, old_key.get()));
}

}  // namespace

void init_clauses(PyObject* text_fn) {
  c.memo_name = intern("_generate_cache_key");
  c.dict_name = intern("__dict__");
  const char* off = std::getenv("VERDIN_NO_FAST_PATHS");
  if (off != nullptr && *off != '\0') return;
  try {
    if (!copies_verified(text_fn)) return;
    c.cache = ok(PyDict_New());
    c.usable = true;
  } catch (PyErrorSet&) {
    // Another SQLAlchemy than the one this was written against: text() per call serves.
    PyErr_Clear();
  }
}

Ref clause_of(PyObject* text_fn, PyObject* sql) {
  if (!c.usable || text_fn != orig.text_fn || !PyUnicode_CheckExact(sql)) return call(text_fn, sql);
  // Thread safety: the cache is only touched with the GIL held, and between reading an entry
  // and using it nothing runs Python code on the cache (exact str keys hash and compare
  // natively). Another thread may build the same clause meanwhile; the later one wins.
  Ref clause = Ref::borrow(PyDict_GetItemWithError(c.cache, sql));
  if (!clause) {
    if (PyErr_Occurred()) throw_error();
    // A text seen once stays a plain text(): only a repeated one earns a stored cache key.
    clause = call(text_fn, sql);
    if (PyDict_GET_SIZE(c.cache) >= clause_limit) evict_oldest();
    ok(PyDict_SetItem(c.cache, sql, clause.get()));
    Ref attrs = attrs_of(clause.get());
    return copy_clause(clause.get(), attrs.get());
  }
  Ref attrs = attrs_of(clause.get());
  if (!ok(PyDict_Contains(attrs.get(), c.memo_name))) {
    call_method(clause.get(), c.memo_name);
    attrs = attrs_of(clause.get());
  }
  return copy_clause(clause.get(), attrs.get());
}

}  // namespace verdin::stmtloom
