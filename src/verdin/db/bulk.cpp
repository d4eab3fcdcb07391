// The facade's execute_many, on the template's side: the scope its statements run in, and each
// run of equal SQL sent as one executemany.
//
// A run of sets goes to the database as `target.execute(clause, sets)`. On a direct connection
// (see direct.cpp) that is Connection.execute of a text clause: compile (from the engine's cache),
// build each set's DBAPI parameters from the compiled statement (values by bind key, renamed
// where the dialect escapes a name, in the compiled order for positional styles), then the
// cursor's executemany, with the same events, logging and error wrapping as any statement. While
// nothing could make that differ from sending the compiled string with those parameters
// directly, the run goes through Connection.exec_driver_sql instead, which reaches the same
// cursor call through the same `_execute_context`: no listener on the connection, its engine or
// its dialect (they would see the string and not the clause), no echo, no execution options, no
// set-input-sizes dialect, Connection's and TextClause's execution methods the ones found at
// import, and a compiled statement without bind processors, post-compile, expanding or literal
// parameters, defaults to fetch or schema translation. A set that lacks a value for a bind, or is
// not an exact dict, sends the whole run down the generic path, which raises SQLAlchemy's error.

#include "querydeck.hpp"

namespace verdin::querydeck {
namespace {

struct Bulk {
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
      *literal_execute;
} b;

// Connection's and TextClause's methods on the way from `execute` and from `exec_driver_sql` to
// the cursor.
constexpr const char* connection_methods[] = {
    "execute",          "exec_driver_sql",  "_execute_clauseelement",
    "_exec_driver_sql", "_execute_context", "_exec_single_context"};

// Whether `obj`'s own dict holds `name`: an instance attribute that would shadow the method.
bool shadowed(PyObject* obj, PyObject* name) {
  Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
  if (!dict || !PyDict_Check(dict.get())) {
    PyErr_Clear();
    return true;
  }
  return ok(PyDict_Contains(dict.get(), name)) != 0;
}

// Whether the methods on the way are the ones found at import, on the classes and as `connection`
// and `clause` see them.
bool methods_original(PyObject* connection, PyObject* clause) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(b.methods); i++) {
    PyObject* entry = PyTuple_GET_ITEM(b.methods, i);
    PyObject* owner = PyTuple_GET_ITEM(entry, 0);
    PyObject* name = PyTuple_GET_ITEM(entry, 1);
    Ref now = getattr(owner, name);
    if (now.get() != PyTuple_GET_ITEM(entry, 2)) return false;
    bool on_connection = owner == reinterpret_cast<PyObject*>(b.connection_type);
    if (shadowed(on_connection ? connection : clause, name)) return false;
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
    Ref bind_held = Ref::borrow(bind);
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

// The plan of `clause` for this call: kept in `plans` under the clause's cache key, which equal
// clauses share (SQLAlchemy's own compiled cache rests on that), else made.
Ref plan_for(PyObject* clause, PyObject* dialect, PyObject* plans) {
  Ref key = call_method(clause, b.cache_key);
  PyObject* lookup = nullptr;
  if (key.get() != Py_None && PyTuple_Check(key.get()) && PyTuple_GET_SIZE(key.get()) >= 1) {
    lookup = PyTuple_GET_ITEM(key.get(), 0);
    if (PyObject_Hash(lookup) == -1) {
      PyErr_Clear();
      lookup = nullptr;
    }
  }
  if (lookup && PyDict_CheckExact(plans)) {
    if (Ref found = dict_get(plans, lookup)) return found;
  }
  Ref plan = driver_plan(clause, dialect);
  if (lookup && PyDict_CheckExact(plans)) ok(PyDict_SetItem(plans, lookup, plan.get()));
  return plan;
}

// The DBAPI parameters of every set, or empty when a set is not an exact dict or lacks a key.
Ref driver_rows(PyObject* plan, PyObject* sets) {
  PyObject* keys = PyTuple_GET_ITEM(plan, 1);
  PyObject* names = PyTuple_GET_ITEM(plan, 2);
  Py_ssize_t width = PyTuple_GET_SIZE(keys);
  Py_ssize_t count = PyList_GET_SIZE(sets);
  Ref rows = Ref::take(PyList_New(count));
  for (Py_ssize_t r = 0; r < count; r++) {
    PyObject* set = PyList_GET_ITEM(sets, r);
    if (!PyDict_CheckExact(set)) return Ref();
    if (names == Py_None) {
      Ref row = Ref::take(PyTuple_New(width));
      for (Py_ssize_t j = 0; j < width; j++) {
        Ref value = dict_get(set, PyTuple_GET_ITEM(keys, j));
        if (!value) return Ref();
        PyTuple_SET_ITEM(row.get(), j, value.release());
      }
      PyList_SET_ITEM(rows.get(), r, row.release());
    } else {
      Ref row = Ref::take(PyDict_New());
      for (Py_ssize_t j = 0; j < width; j++) {
        Ref value = dict_get(set, PyTuple_GET_ITEM(keys, j));
        if (!value) return Ref();
        ok(PyDict_SetItem(row.get(), PyTuple_GET_ITEM(names, j), value.get()));
      }
      PyList_SET_ITEM(rows.get(), r, row.release());
    }
  }
  return rows;
}

// _many_scope(template, con, statements): for execute_many, the scope these statements (exact
// text clauses) run in with this `con`, entered, and what they run on (a direct connection, or
// the session), as (scope, target); None when they have to run in get_session(con) as the
// facade calls it (an override, or the fast paths off).
Ref many_scope(Func&, PyObject* const* a) {
  PyObject *self = a[0], *con = a[1], *statements = a[2];
  if (!PyTuple_CheckExact(statements) || PyTuple_GET_SIZE(statements) == 0) return none();
  PyObject* first = PyTuple_GET_ITEM(statements, 0);
  for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(statements); i++) {
    if (Py_TYPE(PyTuple_GET_ITEM(statements, i)) != Py_TYPE(first)) return none();
  }
  Ref get_session = getattr(self, n.get_session);
  if (Ref engine = direct_engine(self, get_session.get(), con, {first})) {
    Ref scope = direct_scope(self, engine.get());
    PyObject* connection = reinterpret_cast<Scope*>(scope.get())->session;
    return Ref::take(PyTuple_Pack(2, scope.get(), connection));
  }
  // The template's own scope (bound or owned session), entered before anything else so that a
  // binding that outlived its transaction() is refused before a connection is taken. Each run
  // then picks its own target (see run_many): what one run sets off, an engine event listener
  // adding objects to the session say, may leave the session with changes to flush first.
  if (!own_get_session(self, get_session.get())) return none();
  Ref scope = scope_new(self, con);
  Ref session = scope_enter(reinterpret_cast<Scope*>(scope.get()));
  return Ref::take(PyTuple_Pack(2, scope.get(), session.get()));
}

// target.execute(clause, sets).rowcount, through the driver when nothing could tell.
Ref run_on(PyObject* target, PyObject* clause, PyObject* sets, PyObject* plans) {
  if (PyList_CheckExact(sets)) {
    Ref plan;
    try {
      if (connection_plain(target, clause)) {
        Ref dialect = getattr(target, n.dialect);
        plan = plan_for(clause, dialect.get(), plans);
      }
    } catch (PyErrorSet&) {
      // The generic path meets the same problem and reports it its own way; an interrupt or a
      // SystemExit is not a problem of the statement.
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
      PyErr_Clear();
      plan = Ref();
    }
    if (plan && plan.get() != Py_None) {
      if (Ref rows = driver_rows(plan.get(), sets)) {
        Ref result =
            call_method(target, b.exec_driver_sql, PyTuple_GET_ITEM(plan.get(), 0), rows.get());
        return getattr(result.get(), n.rowcount);
      }
    }
  }
  Ref result = call_method(target, n.execute, clause, sets);
  return getattr(result.get(), n.rowcount);
}

// _run_many(template, target, clause, sets, plans): target.execute(clause, sets).rowcount, for a
// session or a direct connection; in a session, on the session's own connection while its
// execute would do nothing more. `plans` (a dict the caller keeps for one call) holds what the
// driver path found per statement.
Ref run_many(Func&, PyObject* const* a) {
  PyObject *self = a[0], *given = a[1], *clause = a[2], *sets = a[3], *plans = a[4];
  Ref target = Ref::borrow(given);
  if (Py_TYPE(given) != b.connection_type) {
    Ref get_session = getattr(self, n.get_session);
    if (Ref connection = direct_connection(self, get_session.get(), given, {clause})) {
      target = std::move(connection);
    }
  }
  return run_on(target.get(), clause, sets, plans);
}

const Param p_many_scope[] = {{"template"}, {"con"}, {"statements"}};
const Param p_run_many[] = {{"template"}, {"target"}, {"clause"}, {"sets"}, {"plans"}};
const FuncSpec s_many_scope = fn("_many_scope", many_scope, p_many_scope);
const FuncSpec s_run_many = fn("_run_many", run_many, p_run_many);

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
  b.connection_type = reinterpret_cast<PyTypeObject*>(connection.release());
  b.text_type = reinterpret_cast<PyTypeObject*>(text_clause.release());
  b.usable = true;
}

}  // namespace

void init_bulk(ModuleBuilder& m) {
  Ref scope_fn = m.function(s_many_scope);
  Ref run_fn = m.function(s_run_many);
  Ref pair = Ref::take(PyTuple_Pack(2, scope_fn.get(), run_fn.get()));
  ok(PyDict_SetItem(m.dict(), intern("__bulk__"), pair.get()));
  if (!fast_paths_allowed()) return;
  try {
    setup();
  } catch (PyErrorSet&) {
    // Another SQLAlchemy than the one this was written against: every run takes execute().
    PyErr_Clear();
  }
}

}  // namespace verdin::querydeck
