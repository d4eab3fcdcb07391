// SqlTemplate: statements and ORM operations inside the session scope.
#include "querydeck.hpp"
#include "sessions.hpp"
#include "with_session.hpp"

namespace verdin::querydeck {
namespace {

// The value a method returns from inside its scope; None when an override's context manager
// swallowed the exception.
template <typename Body>
Ref scoped(PyObject* self, PyObject* con, Body&& body) {
  Ref out;
  if (!with_session(self, &con, body, out)) return none();
  return out;
}

// As scoped(), for a body that executes only `statements` (text statements).
template <typename Body>
Ref scoped_text(PyObject* self, PyObject* con, std::initializer_list<PyObject*> statements,
                Body&& body) {
  Ref out;
  if (!with_text(self, con, statements, body, out)) return none();
  return out;
}

// session.execute(statement[, params]); on a plain connection, straight to the driver where
// nothing could tell.
Ref execute(PyObject* session, PyObject* statement, PyObject* params) {
  if (!params) return call_method(session, n.execute, statement);
  if (Ref result = driver_execute(session, statement, params)) return result;
  return call_method(session, n.execute, statement, params);
}

[[noreturn]] void unbound(const char* name) {
  PyErr_Format(PyExc_UnboundLocalError,
               "cannot access local variable '%s' where it is not associated with a value", name);
  throw_error();
}

// The arguments of the text-statement methods, (self, sql, con=None, args=None); update_orm2
// and delete_orm2 take theirs in the same places, (self, statement, con=None, sql_param=None).
struct SqlCall {
  explicit SqlCall(PyObject* const* a) : self(a[0]), sql(a[1]), con(a[2]), args(a[3]) {}
  PyObject *self, *sql, *con, *args;
};

// The arguments of the ORM reads, (self, statement, con=None).
struct StatementCall {
  explicit StatementCall(PyObject* const* a) : self(a[0]), statement(a[1]), con(a[2]) {}
  PyObject *self, *statement, *con;
};

}  // namespace

Ref t_init(Func&, PyObject* const* a) {
  PyObject *self = a[0], *data_source = a[1];
  setattr(self, n.data_source, data_source);
  return none();
}

Ref t_get_session(Func&, PyObject* const* a) {
  PyObject *self = a[0], *session = a[1];
  return scope_new(self, session);
}

Ref t_insert(Func&, PyObject* const* a) {
  SqlCall c(a);
  Ref out;
  bool done = with_text(
      c.self, c.con, {c.sql},
      [&](PyObject* session, bool direct) {
        Ref result = execute(session, c.sql, c.args);
        return inserted_id(session, result.get(), direct);
      },
      out);
  if (!done) unbound("last_rowid");
  return out;
}

Ref t_insert_list(Func&, PyObject* const* a) {
  SqlCall c(a);
  scoped_text(c.self, c.con, {c.sql},
              [&](PyObject* session) { return execute(session, c.sql, c.args); });
  return none();
}

Ref t_insert_orm2(Func&, PyObject* const* a) {
  PyObject *self = a[0], *statement = a[1], *data_list = a[2], *con = a[3];
  return scoped(self, con,
                [&](PyObject* session) { return execute(session, statement, data_list); });
}

namespace {

// session.<add or add_all>(data); session.flush(), in the scope: (self, data, con=None).
Ref added(PyObject* const* a, PyObject* method) {
  PyObject *self = a[0], *data = a[1], *con = a[2];
  scoped(self, con, [&](PyObject* session) {
    call_method(session, method, data);
    call_method(session, n.flush);
    return none();
  });
  return none();
}

}  // namespace

Ref t_add(Func&, PyObject* const* a) {
  return added(a, n.add);
}

Ref t_add_all(Func&, PyObject* const* a) {
  return added(a, n.add_all);
}

Ref t_update(Func&, PyObject* const* a) {
  SqlCall c(a);
  return scoped_text(c.self, c.con, {c.sql}, [&](PyObject* session) {
    Ref result = execute(session, c.sql, c.args);
    return getattr(result.get(), n.rowcount);
  });
}

Ref t_delete(Func&, PyObject* const* a) {
  SqlCall c(a);
  return call_method(c.self, n.update, c.sql, c.con, c.args);
}

Ref t_delete_orm2(Func&, PyObject* const* a) {
  SqlCall c(a);
  return call_method(c.self, n.update_orm2, c.sql, c.con, c.args);
}

Ref t_bulk_update_mappings(Func&, PyObject* const* a) {
  PyObject *self = a[0], *table_model = a[1], *mappings = a[2], *con = a[3];
  scoped(self, con, [&](PyObject* session) {
    return call_method(session, n.bulk_update_mappings, table_model, mappings);
  });
  return none();
}

Ref t_execute_in_connection(Func&, PyObject* const* a) {
  PyObject *self = a[0], *fun = a[1];
  Ref out;
  if (!with_session(self, nullptr, [&](PyObject* session) { return call(fun, session); }, out)) {
    return none();
  }
  return out;
}

// count_query, limit_query and text are still the module's own.
bool plain_rewriters(Func& f) {
  Ref count = f.global(n.count_query);
  Ref limit = f.global(n.limit_query);
  Ref text_fn = f.global(n.text_fn);
  return count.get() == orig.count_query && limit.get() == orig.limit_query &&
         text_fn.get() == orig.text_fn;
}

// --- reading ---------------------------------------------------------------------------------

Ref first_as_dict(PyObject* result) {
  Ref data = call_method(result, n.first);
  if (truth(data.get())) return row_as_dict(data.get());
  return data;
}

Ref t_select_one(Func&, PyObject* const* a) {
  SqlCall c(a);
  return scoped_text(c.self, c.con, {c.sql}, [&](PyObject* session) {
    Ref result = execute(session, c.sql, c.args);
    return first_as_dict(result.get());
  });
}

Ref t_select_list(Func&, PyObject* const* a) {
  SqlCall c(a);
  return scoped_text(c.self, c.con, {c.sql}, [&](PyObject* session) {
    Ref result = execute(session, c.sql, c.args);
    Ref rows = call_method(result.get(), n.all);
    return rows_as_dicts(rows.get());
  });
}

Ref t_select_one_orm1(Func&, PyObject* const* a) {
  StatementCall c(a);
  return scoped(c.self, c.con, [&](PyObject* session) {
    Ref result = execute(session, c.statement, nullptr);
    return first_as_dict(result.get());
  });
}

Ref t_select_one_orm2(Func&, PyObject* const* a) {
  StatementCall c(a);
  return scoped(c.self, c.con, [&](PyObject* session) {
    Ref result = execute(session, c.statement, nullptr);
    return call_method(result.get(), n.scalar_one_or_none);
  });
}

Ref t_select_all_orm1(Func&, PyObject* const* a) {
  StatementCall c(a);
  return scoped(c.self, c.con, [&](PyObject* session) {
    Ref result = execute(session, c.statement, nullptr);
    return call_method(result.get(), n.all);
  });
}

Ref t_select_all_orm2(Func&, PyObject* const* a) {
  StatementCall c(a);
  return scoped(c.self, c.con, [&](PyObject* session) {
    Ref result = execute(session, c.statement, nullptr);
    Ref scalars = call_method(result.get(), n.scalars);
    return call_method(scalars.get(), n.all);
  });
}

Ref t_select_page(Func& f, PyObject* const* a) {
  PyObject *self = a[0], *sql = a[1], *page = a[2], *con = a[3], *args = a[4];
  Ref out;
  // The count and page statements are text statements when the rewriters are the module's
  // own; otherwise the statement handed in stands for neither.
  PyObject* rewritten = plain_rewriters(f) ? sql : Py_None;
  bool done = with_text(
      self, con, {sql, rewritten},
      [&](PyObject* session, bool direct, const NextTarget& next) {
        Ref page_result = Ref::take(PyDict_New());
        Ref num = getattr(page, n.pageNum);
        ok(PyDict_SetItem(page_result.get(), n.pageNum, num.get()));
        Ref size = getattr(page, n.pageSize);
        ok(PyDict_SetItem(page_result.get(), n.pageSize, size.get()));
        Ref count_query = f.global(n.count_query);
        Ref count_sql = call(count_query.get(), sql);
        Ref counted = execute(session, count_sql.get(), args);
        Ref total = call_method(counted.get(), n.scalar);
        ok(PyDict_SetItem(page_result.get(), n.total, total.get()));
        // A supplied session without a bind says nothing of its database: it keeps the
        // module's limit_query, as do the databases that take "limit a,b".
        Ref sql_str;
        Ref dialect = session_dialect(session, direct);
        if (!dialect || pages_with_limit_comma(dialect.get())) {
          Ref limit_query = f.global(n.limit_query);
          sql_str = call(limit_query.get(), sql, page);
        } else {
          sql_str = offset_query(f, sql, page);
        }
        sent_sql::report(sql_str.get());
        // An engine event of the count may have left the session with changes to flush first.
        Ref target = next();
        Ref result = execute(target.get(), sql_str.get(), args);
        Ref rows = call_method(result.get(), n.all);
        Ref list = rows_as_dicts(rows.get());
        ok(PyDict_SetItem(page_result.get(), n.list, list.get()));
        return page_result;
      },
      out);
  if (!done) unbound("page_result");
  return out;
}

}  // namespace verdin::querydeck
