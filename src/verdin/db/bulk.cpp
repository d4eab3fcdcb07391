// The facade's execute_many, on the template's side: the scope its statements run in, and each
// run of equal SQL sent as one executemany.
//
// A run of sets goes to the database as `target.execute(clause, sets)`, or straight to the
// driver's executemany where nothing could tell (driver.cpp). A set that lacks a value for a
// bind, or is not an exact dict, sends the whole run down the generic path, which raises
// SQLAlchemy's error.

#include "querydeck.hpp"

namespace verdin::querydeck {
namespace {

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
Ref run_on(PyObject* target, PyObject* clause, PyObject* sets) {
  Ref result = driver_execute(target, clause, sets);
  if (!result) result = call_method(target, n.execute, clause, sets);
  return getattr(result.get(), n.rowcount);
}

// _run_many(template, target, clause, sets): target.execute(clause, sets).rowcount, for a
// session or a direct connection; in a session, on the session's own connection while its
// execute would do nothing more.
Ref run_many(Func&, PyObject* const* a) {
  PyObject *self = a[0], *given = a[1], *clause = a[2], *sets = a[3];
  Ref target = Ref::borrow(given);
  if (!is_connection(given)) {
    Ref get_session = getattr(self, n.get_session);
    if (Ref connection = direct_connection(self, get_session.get(), given, {clause})) {
      target = std::move(connection);
    }
  }
  return run_on(target.get(), clause, sets);
}

const Param p_many_scope[] = {{"template"}, {"con"}, {"statements"}};
const Param p_run_many[] = {{"template"}, {"target"}, {"clause"}, {"sets"}};
const FuncSpec s_many_scope = fn("_many_scope", many_scope, p_many_scope);
const FuncSpec s_run_many = fn("_run_many", run_many, p_run_many);

}  // namespace

void init_bulk(ModuleBuilder& m) {
  Ref scope_fn = m.function(s_many_scope);
  Ref run_fn = m.function(s_run_many);
  Ref pair = Ref::take(PyTuple_Pack(2, scope_fn.get(), run_fn.get()));
  ok(PyDict_SetItem(m.dict(), intern("__bulk__"), pair.get()));
}

}  // namespace verdin::querydeck
