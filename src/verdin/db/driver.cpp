// Text statements straight to the driver, when nothing could tell.
//
// A text clause executed on a Connection goes through Connection.execute: its cache key, a lookup
// in the engine's compiled cache, the DBAPI parameters built from the compiled statement (values
// by bind key, renamed where the dialect escapes a name, in the compiled order for positional
// styles), then the cursor's execute (or executemany for a list of sets), with the same events,
// logging and error wrapping as any statement. While nothing could make that differ from sending
// the compiled string with those parameters, the statement goes through
// Connection.exec_driver_sql instead, which reaches the same cursor call through the same
// `_execute_context` and gives a result read the same way (a text statement's columns carry no
// types either way): no listener on the connection, its engine or its dialect (they would see
// the string and not the clause), no echo, no execution options, no set-input-sizes dialect,
// Connection's and TextClause's execution methods the ones found at import, and a compiled
// statement without bind processors, post-compile, expanding or literal parameters, defaults to
// fetch or schema translation. Parameters that are not an exact dict (or list of them) holding
// a value for every bind, or whose first set has a key that is not a str, send the statement
// down the generic path, which raises SQLAlchemy's error.
//
// What the compiled statement gives is kept per dialect and cache key, as SQLAlchemy keeps the
// compiled statement itself, so a statement is compiled here once.

#include "oldest_first.hpp"
#include "querydeck.hpp"

namespace verdin::querydeck {
namespace {

struct Driver {
  bool usable = false;
  PyTypeObject* connection_type = nullptr;
  PyTypeObject* text_type = nullptr;
  PyObject* methods = nullptr;  // tuple of (owner class, name, the function found at import)
  PyObject* set_input_sizes = nullptr;  // BindTyping.SETINPUTSIZES
  PyObject* tuple_type = nullptr;
  // Attribute names.
  PyObject *has_events, *echo, *execution_options, *engine, *bind_typing, *compile, *cache_key,
      *positional, *positiontup, *bind_names, *escaped_bind_names, *bind_processors,
      *literal_execute_params, *post_compile_params, *render_postcompile, *insert_prefetch,
      *update_prefetch, *schema_translate_map, *has_out_parameters, *collect_params, *isinsert,
      *isupdate, *isdelete, *key, *string, *exec_driver_sql, *execute_sequence_format, *expanding,
      *literal_execute, *execution_ctx_cls, *module, *sqlalchemy_prefix;
} b;

// Connection's and TextClause's methods on the way from `execute` and from `exec_driver_sql` to
// the cursor.
constexpr const char* connection_methods[] = {
    "execute",          "exec_driver_sql",  "_execute_clauseelement",
    "_exec_driver_sql", "_execute_context", "_exec_single_context"};

// `obj`'s own dict, where an instance attribute would shadow a method; empty when it has none
// that can be read.
Ref own_dict(PyObject* obj) {
  Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
  if (!dict || !PyDict_Check(dict.get())) {
    PyErr_Clear();
    return Ref();
  }
  return dict;
}

// Whether the methods on the way are the ones found at import, on the classes and as `connection`
// and `clause` see them. Each instance dict is read once.
bool methods_original(PyObject* connection, PyObject* clause) {
  Ref connection_dict = own_dict(connection);
  Ref clause_dict = own_dict(clause);
  if (!connection_dict || !clause_dict) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(b.methods); i++) {
    PyObject* entry = PyTuple_GET_ITEM(b.methods, i);
    PyObject* owner = PyTuple_GET_ITEM(entry, 0);
    PyObject* name = PyTuple_GET_ITEM(entry, 1);
    Ref now = getattr(owner, name);
    if (now.get() != PyTuple_GET_ITEM(entry, 2)) return false;
    bool on_connection = owner == reinterpret_cast<PyObject*>(b.connection_type);
    PyObject* dict = on_connection ? connection_dict.get() : clause_dict.get();
    if (ok(PyDict_Contains(dict, name))) return false;
  }
  return true;
}

// Whether `obj.<name>` is false (absent counts as false when `absent_ok`).
bool attr_false(PyObject* obj, PyObject* name, bool absent_ok = false) {
  Ref value = Ref::steal(PyObject_GetAttr(obj, name));
  if (!value) {
    if (!absent_ok || !PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    return true;
  }
  return !truth(value.get());
}

bool empty_sized(PyObject* obj) {
  Py_ssize_t size = PyObject_Size(obj);
  if (size < 0) throw_error();
  return size == 0;
}

// Whether the class `cls` is defined in SQLAlchemy itself.
bool from_sqlalchemy(PyObject* cls) {
  if (!PyType_Check(cls)) return false;
  Ref module = getattr(cls, b.module);
  if (!PyUnicode_Check(module.get())) return false;
  Py_ssize_t starts = PyUnicode_Tailmatch(module.get(), b.sqlalchemy_prefix, 0, PY_SSIZE_T_MAX, -1);
  if (starts < 0) throw_error();
  return starts == 1;
}

// Whether a run on `connection` of `clause` can go straight to the driver, as far as the
// connection, its engine and dialect and the clause tell.
bool connection_plain(PyObject* connection, PyObject* clause) {
  if (!b.usable || Py_TYPE(connection) != b.connection_type || Py_TYPE(clause) != b.text_type) {
    return false;
  }
  if (!methods_original(connection, clause)) return false;
  if (!attr_false(connection, b.has_events) || !attr_false(connection, b.echo)) return false;
  Ref engine = getattr(connection, b.engine);
  Ref dialect = getattr(connection, n.dialect);
  if (!attr_false(engine.get(), b.has_events) || !attr_false(dialect.get(), b.has_events, true)) {
    return false;
  }
  // A dialect from elsewhere may treat a compiled statement otherwise than a string (its
  // execution context reading `compiled`, say): its statements keep Connection.execute. Checked
  // per call, as the context class can be replaced on a dialect that has plans already.
  Ref dialect_cls = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(dialect.get())));
  Ref context_cls = getattr(dialect.get(), b.execution_ctx_cls);
  if (!from_sqlalchemy(dialect_cls.get()) || !from_sqlalchemy(context_cls.get())) {
    return false;
  }
  Ref options = getattr(connection, b.execution_options);
  Ref clause_options = getattr(clause, b.execution_options);
  if (!empty_sized(options.get()) || !empty_sized(clause_options.get())) return false;
  Ref typing = getattr(dialect.get(), b.bind_typing);
  return typing.get() != b.set_input_sizes;
}

// How a run of `clause` goes to the driver on `dialect`: (SQL string, the bind keys to read from
// each set in order, the parameter names to write them under or None for a positional tuple),
// or None when the compiled statement does anything more with the values.
Ref driver_plan(PyObject* clause, PyObject* dialect) {
  Ref compile = getattr(clause, b.compile);
  Ref kwnames = Ref::take(Py_BuildValue("(s)", "dialect"));
  PyObject* args[] = {dialect};
  Ref compiled = call_kw(compile.get(), args, 0, kwnames.get());
  for (PyObject* name :
       {b.bind_processors, b.literal_execute_params, b.post_compile_params, b.render_postcompile,
        b.insert_prefetch, b.update_prefetch, b.schema_translate_map, b.has_out_parameters,
        b.isinsert, b.isupdate, b.isdelete}) {
    if (!attr_false(compiled.get(), name)) return none();
  }
  if (!attr_false(compiled.get(), b.collect_params, true)) return none();
  Ref sql = getattr(compiled.get(), b.string);
  Ref bind_names = getattr(compiled.get(), b.bind_names);
  Ref escaped = getattr(compiled.get(), b.escaped_bind_names);
  if (!PyUnicode_CheckExact(sql.get()) || !PyDict_CheckExact(bind_names.get()) ||
      PyDict_GET_SIZE(bind_names.get()) == 0 || !PyDict_Check(escaped.get())) {
    return none();
  }
  // Bind name -> key, and the keys and (escaped) names in the compiled order.
  Py_ssize_t count = PyDict_GET_SIZE(bind_names.get());
  Ref key_of = Ref::take(PyDict_New());
  Ref keys = Ref::take(PyTuple_New(count));
  Ref out_names = Ref::take(PyTuple_New(count));
  Py_ssize_t pos = 0, i = 0;
  PyObject *bind, *name;
  Ref held = Ref::borrow(bind_names.get());
  while (PyDict_Next(bind_names.get(), &pos, &bind, &name)) {
    Ref bind_held = Ref::borrow(bind), name_held = Ref::borrow(name);
    if (!PyUnicode_CheckExact(name)) return none();
    if (!attr_false(bind, b.expanding) || !attr_false(bind, b.literal_execute)) return none();
    Ref key = getattr(bind, b.key);
    if (!PyUnicode_CheckExact(key.get()) || ok(PyDict_Contains(key_of.get(), name))) return none();
    ok(PyDict_SetItem(key_of.get(), name, key.get()));
    Ref out = dict_get(escaped.get(), name);
    if (!out) out = Ref::borrow(name);
    if (!PyUnicode_CheckExact(out.get()) || i >= count) return none();
    PyTuple_SET_ITEM(keys.get(), i, key.release());
    PyTuple_SET_ITEM(out_names.get(), i, out.release());
    i++;
  }
  if (i != count || PyDict_GET_SIZE(bind_names.get()) != count) return none();
  if (!truth(Ref(getattr(compiled.get(), b.positional)).get())) {
    return Ref::take(PyTuple_Pack(3, sql.get(), keys.get(), out_names.get()));
  }
  Ref format = getattr(dialect, b.execute_sequence_format);
  if (format.get() != b.tuple_type) return none();
  Ref order = getattr(compiled.get(), b.positiontup);
  Ref seq = Ref::take(PySequence_Tuple(order.get()));
  Ref ordered = Ref::take(PyTuple_New(PyTuple_GET_SIZE(seq.get())));
  for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(seq.get()); j++) {
    Ref key = dict_get(key_of.get(), PyTuple_GET_ITEM(seq.get(), j));
    if (!key) return none();
    PyTuple_SET_ITEM(ordered.get(), j, key.release());
  }
  return Ref::take(PyTuple_Pack(3, sql.get(), ordered.get(), Py_None));
}

// (weak reference to the dialect, cache key) -> the plan, or None where the generic path
// serves. Plans are small: the compiled string and two tuples of names.
OldestFirst plans;
constexpr size_t most_plans = 2048;
constexpr Py_ssize_t plans_budget = 4 << 20;
constexpr Py_ssize_t plan_cost = 320;

Py_ssize_t cost_of_plan(PyObject*, PyObject* plan) {
  if (plan == Py_None) return plan_cost;
  PyObject* sql = PyTuple_GET_ITEM(plan, 0);
  return plan_cost + PyUnicode_GET_LENGTH(sql) * PyUnicode_KIND(sql) +
         64 * PyTuple_GET_SIZE(PyTuple_GET_ITEM(plan, 1));
}

// The plan of `clause` on `dialect`, from the plans made before under its cache key (which equal
// clauses share: SQLAlchemy's own compiled cache rests on that), else made and kept. None for a
// clause without a cache key.
Ref plan_for(PyObject* clause, PyObject* dialect) {
  Ref key = call_method(clause, b.cache_key);
  if (key.get() == Py_None || !PyTuple_Check(key.get()) || PyTuple_GET_SIZE(key.get()) < 1) {
    return none();
  }
  // The dialect is held weakly: the plans do not keep a disposed engine's dialect alive, and
  // those of a dialect that is gone are never found again (they leave as the oldest).
  Ref weak = Ref::take(PyWeakref_NewRef(dialect, nullptr));
  Ref lookup = Ref::take(PyTuple_Pack(2, weak.get(), PyTuple_GET_ITEM(key.get(), 0)));
  if (Ref found = plans.get(lookup.get())) return found;
  Ref plan = driver_plan(clause, dialect);
  // Compiling ran Python code: another thread may have kept a plan for the same key meanwhile.
  if (!plans.get(lookup.get())) {
    plans.add(lookup.get(), plan.get(), cost_of_plan(nullptr, plan.get()));
    plans.shrink(plans_budget, most_plans, cost_of_plan);
  }
  return plan;
}

// The DBAPI parameters of one set, or empty when it is not an exact dict or lacks a key.
Ref driver_row(PyObject* plan, PyObject* set) {
  if (!PyDict_CheckExact(set)) return Ref();
  PyObject* keys = PyTuple_GET_ITEM(plan, 1);
  PyObject* names = PyTuple_GET_ITEM(plan, 2);
  Py_ssize_t width = PyTuple_GET_SIZE(keys);
  if (names == Py_None) {
    Ref row = Ref::take(PyTuple_New(width));
    for (Py_ssize_t j = 0; j < width; j++) {
      Ref value = dict_get(set, PyTuple_GET_ITEM(keys, j));
      if (!value) return Ref();
      PyTuple_SET_ITEM(row.get(), j, value.release());
    }
    return row;
  }
  Ref row = Ref::take(PyDict_New());
  for (Py_ssize_t j = 0; j < width; j++) {
    Ref value = dict_get(set, PyTuple_GET_ITEM(keys, j));
    if (!value) return Ref();
    ok(PyDict_SetItem(row.get(), PyTuple_GET_ITEM(names, j), value.get()));
  }
  return row;
}

// Whether every key of `set` is an exact str. Connection.execute sorts the keys of the first set
// (the column keys it compiles with), which other keys can make raise.
bool str_keys(PyObject* set) {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(set, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

// The DBAPI parameters of a dict or of a non-empty list of them; empty where a set does not do.
Ref driver_values(PyObject* plan, PyObject* params) {
  if (!PyList_CheckExact(params)) {
    if (!PyDict_CheckExact(params) || !str_keys(params)) return Ref();
    return driver_row(plan, params);
  }
  Py_ssize_t count = PyList_GET_SIZE(params);
  if (count == 0) return Ref();
  PyObject* first = PyList_GET_ITEM(params, 0);
  if (!PyDict_CheckExact(first) || !str_keys(first)) return Ref();
  Ref rows = Ref::take(PyList_New(count));
  for (Py_ssize_t r = 0; r < count; r++) {
    // A key's __eq__, run by a lookup, can change the list: each set is held while it is read,
    // and a list that changed takes the generic path.
    if (PyList_GET_SIZE(params) != count) return Ref();
    Ref set = Ref::borrow(PyList_GET_ITEM(params, r));
    Ref row = driver_row(plan, set.get());
    if (!row) return Ref();
    PyList_SET_ITEM(rows.get(), r, row.release());
  }
  if (PyList_GET_SIZE(params) != count) return Ref();
  return rows;
}

void setup() {
  Ref base = import("sqlalchemy.engine.base");
  Ref interfaces = import("sqlalchemy.engine.interfaces");
  Ref elements = import("sqlalchemy.sql.elements");
  Ref connection = getattr(base.get(), "Connection");
  Ref text_clause = getattr(elements.get(), "TextClause");
  Ref typing = getattr(interfaces.get(), "BindTyping");
  if (!PyType_Check(connection.get()) || !PyType_Check(text_clause.get())) return;
  constexpr Py_ssize_t count = sizeof connection_methods / sizeof *connection_methods;
  Ref methods = Ref::take(PyList_New(0));
  for (Py_ssize_t i = 0; i <= count; i++) {
    PyObject* owner = i < count ? connection.get() : text_clause.get();
    PyObject* name = intern(i < count ? connection_methods[i] : "_execute_on_connection");
    // A method this SQLAlchemy does not have (they differ between versions) is not on its way.
    Ref found = Ref::steal(PyObject_GetAttr(owner, name));
    if (!found) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
      PyErr_Clear();
      continue;
    }
    Ref entry = Ref::take(PyTuple_Pack(3, owner, name, found.get()));
    ok(PyList_Append(methods.get(), entry.get()));
  }
  for (const char* needed : {"execute", "exec_driver_sql", "_execute_on_connection"}) {
    bool present = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(methods.get()); i++) {
      PyObject* name = PyTuple_GET_ITEM(PyList_GET_ITEM(methods.get(), i), 1);
      present = present || PyUnicode_CompareWithASCIIString(name, needed) == 0;
    }
    if (!present) return;
  }
  methods = Ref::take(PyList_AsTuple(methods.get()));
  b.set_input_sizes = getattr(typing.get(), "SETINPUTSIZES").release();
  b.methods = methods.release();
  b.tuple_type = reinterpret_cast<PyObject*>(&PyTuple_Type);
  b.has_events = intern("_has_events");
  b.echo = intern("_echo");
  b.execution_options = intern("_execution_options");
  b.engine = intern("engine");
  b.bind_typing = intern("bind_typing");
  b.compile = intern("compile");
  b.cache_key = intern("_generate_cache_key");
  b.positional = intern("positional");
  b.positiontup = intern("positiontup");
  b.bind_names = intern("bind_names");
  b.escaped_bind_names = intern("escaped_bind_names");
  b.bind_processors = intern("_bind_processors");
  b.literal_execute_params = intern("literal_execute_params");
  b.post_compile_params = intern("post_compile_params");
  b.render_postcompile = intern("_render_postcompile");
  b.insert_prefetch = intern("insert_prefetch");
  b.update_prefetch = intern("update_prefetch");
  b.schema_translate_map = intern("schema_translate_map");
  b.has_out_parameters = intern("has_out_parameters");
  b.collect_params = intern("_collected_params");
  b.isinsert = intern("isinsert");
  b.isupdate = intern("isupdate");
  b.isdelete = intern("isdelete");
  b.key = intern("key");
  b.string = intern("string");
  b.exec_driver_sql = intern("exec_driver_sql");
  b.execute_sequence_format = intern("execute_sequence_format");
  b.expanding = intern("expanding");
  b.literal_execute = intern("literal_execute");
  b.execution_ctx_cls = intern("execution_ctx_cls");
  b.module = intern("__module__");
  b.sqlalchemy_prefix = intern("sqlalchemy.");
  b.connection_type = reinterpret_cast<PyTypeObject*>(connection.release());
  b.text_type = reinterpret_cast<PyTypeObject*>(text_clause.release());
  b.usable = true;
}

}  // namespace

bool is_connection(PyObject* obj) {
  return b.usable && Py_TYPE(obj) == b.connection_type;
}

Ref driver_execute(PyObject* target, PyObject* clause, PyObject* params) {
  if (!b.usable || Py_TYPE(target) != b.connection_type || params == nullptr ||
      (!PyDict_CheckExact(params) && !PyList_CheckExact(params))) {
    return Ref();
  }
  Ref plan, values;
  try {
    if (!connection_plain(target, clause)) return Ref();
    Ref dialect = getattr(target, n.dialect);
    plan = plan_for(clause, dialect.get());
    if (plan.get() == Py_None) return Ref();
    values = driver_values(plan.get(), params);
  } catch (PyErrorSet&) {
    // The generic path meets the same problem and reports it its own way; an interrupt or a
    // SystemExit is not a problem of the statement.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    return Ref();
  }
  if (!values) return Ref();
  return call_method(target, b.exec_driver_sql, PyTuple_GET_ITEM(plan.get(), 0), values.get());
}

void init_driver() {
  if (!fast_paths_allowed()) return;
  try {
    setup();
  } catch (PyErrorSet&) {
    // Another SQLAlchemy than the one this was written against: every statement takes execute().
    PyErr_Clear();
  }
}

}  // namespace verdin::querydeck
