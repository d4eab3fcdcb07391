// VerdinSqlSession: statements by namespace and id, forwarding, and the context-bound session.
#include "sessions.hpp"
#include "statement_log.hpp"
#include "txnfront.hpp"

namespace verdin::txnfront {

Ref new_session(Func& f, PyObject* self) {
  Ref factory = f.global(n.sessionmaker);
  Ref bind = getattr(self, n.data_source);
  return open_session(factory.get(), orig.sessionmaker, orig.session_cls, bind.get());
}

namespace {

// self.__con(), through the instance so that an override is used.
Ref con_of(PyObject* self) {
  return call_method(self, n.con);
}

// A data_source the facade's sessions can be bound to: an Engine or a Connection, or anything
// that connects like one. An asyncio engine (or session, or factory) is refused here rather than
// at the first statement, with the facade it belongs to.
void check_data_source(PyObject* data_source) {
  if (PyObject_TypeCheck(data_source, reinterpret_cast<PyTypeObject*>(orig.engine_cls)) ||
      PyObject_TypeCheck(data_source, reinterpret_cast<PyTypeObject*>(orig.connection_cls))) {
    return;
  }
  Ref module = getattr(reinterpret_cast<PyObject*>(Py_TYPE(data_source)), n.module);
  bool async_kind = PyUnicode_Check(module.get()) &&
                    PyUnicode_Tailmatch(module.get(), Ref(new_str("sqlalchemy.ext.asyncio")).get(),
                                        0, PY_SSIZE_T_MAX, -1) == 1;
  if (async_kind) {
    PyErr_Format(PyExc_TypeError,
                 "Argument 'data_source' has incorrect type (expected Engine, got %.200s): an "
                 "asyncio engine goes to verdin.db.asyncfront.AsyncVerdinSqlSession",
                 Py_TYPE(data_source)->tp_name);
    throw_error();
  }
  Ref connect = Ref::steal(PyObject_GetAttr(data_source, n.connect));
  if (connect && PyCallable_Check(connect.get())) return;
  PyErr_Clear();
  raise_arg_type("data_source", "Engine", data_source);
}

Ref init(Func& f, PyObject* const* a) {
  PyObject *self = a[0], *mapper_dict = a[1], *data_source = a[2], *querydeck = a[3];
  PyObject* replicas = a[4];
  setattr(self, n.mapper_dict, mapper_dict);
  setattr(self, n.data_source, data_source);
  if (truth(querydeck)) {
    setattr(self, n.querydeck, querydeck);
    Ref ds = getattr(querydeck, n.data_source);
    setattr(self, n.data_source, ds.get());
  } else if (truth(data_source)) {
    check_data_source(data_source);
    Ref cls = f.global(n.SqlTemplate);
    Ref tmpl = call(cls.get(), data_source);
    setattr(self, n.querydeck, tmpl.get());
  } else {
    PyErr_SetString(PyExc_Exception, "querydeck can't init");
    throw_error();
  }
  set_replicas(f, self, replicas);
  return none();
}

Ref con(Func&, PyObject* const* a) {
  PyObject* self = a[0];
  Ref var = getattr(self, n.connection_local);
  return call_method(var.get(), n.get);
}

Ref get_ori_session(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  return new_session(f, self);
}

// Closes and unbinds the bound `connection`, if any.
void close_bound(PyObject* self, PyObject* connection) {
  if (!truth(connection)) return;
  // What still holds it (a stream opened before, a copied context) must not reopen it: a
  // transaction begun there would keep its connection, and its writes, with nobody to commit.
  mark_closed(connection);
  call_method(connection, n.close);
  Ref var = getattr(self, n.connection_local);
  call_method(var.get(), n.set, Py_None);
}

// A session replaced here could never be reached again, yet it would keep its connection (and on
// SQLite its write lock) until collected: close it, which rolls its work back, before binding.
Ref begin_tx(Func& f, PyObject* const* a) {
  PyObject* self = a[0];
  Ref connection = con_of(self);
  refuse_inside_transaction(connection.get(), Misuse::begin_tx);
  close_bound(self, connection.get());
  Ref session = new_session(f, self);
  Ref var = getattr(self, n.connection_local);
  call_method(var.get(), n.set, session.get());
  return none();
}

// A read may go to a replica: when the facade has replicas, no session is bound, the caller did
// not ask for the primary and `statement` (when given) is no INSERT/UPDATE/DELETE. `server`
// receives the replica being tried, and is left as it is when the primary runs the read.
struct Read {
  bool primary = false;
  PyObject* statement = nullptr;
  Ref* server = nullptr;
};

// One facade method's call of its template method. `self.querydeck.<name>` is read first, then
// `self.__con()` is called, as the expression `self.querydeck.<name>(..., con=self.__con(), ...)`
// evaluates them.
struct Forward {
  Forward(PyObject* self, PyObject* name)
      : self(self), name(name), method(template_method(self, name)), con(con_of(self)) {}

  // The template method called with `args`: `npos` positional values, then the values of the
  // keywords `kwnames`. A read goes to a replica instead when it may (see Read).
  Ref call(PyObject* const* args, size_t npos, PyObject* kwnames,
           const Read* read = nullptr) const {
    if (read && !read->primary && !truth(con.get())) {
      if (Ref router = replica_router(self)) {
        if (!read->statement || !is_dml(read->statement)) {
          return read_on_replica(self, router.get(), name, args, npos, kwnames, method.get(),
                                 read->server);
        }
      }
    }
    return call_kw(method.get(), args, npos, kwnames);
  }

  static Ref template_method(PyObject* self, PyObject* name) {
    Ref tmpl = getattr(self, n.querydeck);
    return getattr(tmpl.get(), name);
  }

  PyObject* self;
  PyObject* name;
  Ref method;  // self.querydeck.<name>, bound
  Ref con;     // what self.__con() returned: the bound session, or None
};

// self.querydeck.<name>(sql=sql, con=self.__con(), args=sql_param)
Ref forward_sql(PyObject* self, PyObject* name, PyObject* sql, PyObject* sql_param,
                const Read* read = nullptr) {
  Forward to(self, name);
  PyObject* args[] = {sql, to.con.get(), sql_param};
  return to.call(args, 0, kw.sql_con_args, read);
}

// self.querydeck.select_page(sql=sql, page=page, con=self.__con(), args=sql_param)
Ref forward_page(PyObject* self, PyObject* sql, PyObject* page, PyObject* sql_param,
                 const Read* read) {
  Forward to(self, n.select_page);
  PyObject* args[] = {sql, page, to.con.get(), sql_param};
  return to.call(args, 0, kw.sql_page_con_args, read);
}

// self.querydeck.<name>(statement, con=self.__con())
Ref forward_statement(PyObject* self, PyObject* name, PyObject* statement,
                      const Read* read = nullptr) {
  Forward to(self, name);
  PyObject* args[] = {statement, to.con.get()};
  return to.call(args, 1, kw.con, read);
}

// The bound get_sql of the mapper of `namespace_`.
Ref statement_source(PyObject* self, PyObject* namespace_) {
  Ref mappers = getattr(self, n.mapper_dict);
  if (!ok(PySequence_Contains(mappers.get(), namespace_))) {
    Ref shown = Ref::take(PyObject_Str(namespace_));
    Ref msg = concat({n.not_found, shown.get()});
    PyErr_SetObject(PyExc_Exception, msg.get());
    throw_error();
  }
  Ref mapper = Ref::take(PyObject_GetItem(mappers.get(), namespace_));
  return getattr(mapper.get(), n.get_sql);
}

// What a mapper's get_sql returns: the statement, its bind values, its kind ("select", "insert",
// "update" or "delete") and the type its rows map to.
struct Assembled {
  Ref sql, binds, kind, result_type;
};

// get_sql(sql_id=..., params=...)
Assembled assemble(PyObject* get_sql, PyObject* sql_id, PyObject* params) {
  PyObject* sql_args[] = {sql_id, params};
  Ref quad = call_kw(get_sql, sql_args, 0, kw.get_sql);
  Ref parts[4];
  unpack(quad.get(), 4, parts);
  return {std::move(parts[0]), std::move(parts[1]), std::move(parts[2]), std::move(parts[3])};
}

bool same(PyObject* a, PyObject* b) {
  return a == b || ok(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

Ref execute_sql(Func& f, PyObject* const* a) {
  PyObject *self = a[0], *sql_id = a[1], *namespace_ = a[2], *ori_params = a[3], *page = a[4];
  PyObject *return_type = a[5], *primary = a[6];
  // The primary, unless a replica takes the read.
  Ref server = getattr(self, n.data_source);
  Read read{primary == Py_True, nullptr, &server};
  Ref get_sql = statement_source(self, namespace_);
  Assembled st = assemble(get_sql.get(), sql_id, ori_params);
  PyObject *sql = st.sql.get(), *params = st.binds.get(), *sql_type = st.kind.get();
  PyObject* result_type = st.result_type.get();
  return statement_log::run(
      self, namespace_, sql_id, sql,
      [&]() -> Ref {
        auto kind_is = [&](PyObject* kind) {
          return ok(PyObject_RichCompareBool(sql_type, kind, Py_EQ)) != 0;
        };
        if (kind_is(n.select)) {
          if (truth(page)) {
            Ref results = forward_page(self, sql, page, params, &read);
            Ref rows = Ref::take(PyObject_GetItem(results.get(), n.list));
            Ref handler = f.global(n.results_handle);
            Ref mapped = call(handler.get(), rows.get(), result_type, return_type);
            ok(PyObject_SetItem(results.get(), n.list, mapped.get()));
            return results;
          }
          Ref results = forward_sql(self, n.select_list, sql, params, &read);
          Ref handler = f.global(n.results_handle);
          return call(handler.get(), results.get(), result_type, return_type);
        }
        for (PyObject* kind : {n.insert, n.delete_, n.update}) {
          if (kind_is(kind)) return forward_sql(self, kind, sql, params);
        }
        return none();
      },
      &server);
}

// The facade methods that pass their arguments on to the template method of the same name.

template <PyObject* Names::* name>
Ref by_text(Func&, PyObject* const* a) {
  PyObject *self = a[0], *sql = a[1], *sql_param = a[2];
  return forward_sql(self, n.*name, sql, sql_param);
}

template <PyObject* Names::* name>
Ref read_text(Func&, PyObject* const* a) {
  PyObject *self = a[0], *sql = a[1], *sql_param = a[2], *primary = a[3];
  Read read{primary == Py_True};
  return forward_sql(self, n.*name, sql, sql_param, &read);
}

Ref select_page(Func&, PyObject* const* a) {
  PyObject *self = a[0], *sql = a[1], *page = a[2], *sql_param = a[3], *primary = a[4];
  Read read{primary == Py_True};
  return forward_page(self, sql, page, sql_param, &read);
}

// self.querydeck.<name>(data=data, con=self.__con())
template <PyObject* Names::* name>
Ref by_data(Func&, PyObject* const* a) {
  PyObject *self = a[0], *data = a[1];
  Forward to(self, n.*name);
  PyObject* args[] = {data, to.con.get()};
  return to.call(args, 0, kw.data_con);
}

template <PyObject* Names::* name>
Ref by_statement(Func&, PyObject* const* a) {
  PyObject *self = a[0], *statement = a[1];
  return forward_statement(self, n.*name, statement);
}

// A DML statement (an INSERT, UPDATE or DELETE with RETURNING) read this way stays on the primary.
template <PyObject* Names::* name>
Ref read_statement(Func&, PyObject* const* a) {
  PyObject *self = a[0], *statement = a[1], *primary = a[2];
  Read read{primary == Py_True, statement};
  return forward_statement(self, n.*name, statement, &read);
}

// self.querydeck.update_orm2(statement, con=self.__con(), sql_param=sql_param)
Ref update_orm2(Func&, PyObject* const* a) {
  PyObject *self = a[0], *statement = a[1], *sql_param = a[2];
  Forward to(self, n.update_orm2);
  PyObject* args[] = {statement, to.con.get(), sql_param};
  return to.call(args, 1, kw.con_sql_param);
}

// self.querydeck.bulk_update_mappings(table_model, data_list, con=self.__con())
Ref bulk_update_mappings(Func&, PyObject* const* a) {
  PyObject *self = a[0], *table_model = a[1], *data_list = a[2];
  Forward to(self, n.bulk_update_mappings);
  PyObject* args[] = {table_model, data_list, to.con.get()};
  return to.call(args, 2, kw.con);
}

// self.querydeck.insert_orm2(statement, data_list, con=self.__con())
Ref insert_orm2(Func&, PyObject* const* a) {
  PyObject *self = a[0], *statement = a[1], *data_list = a[2];
  Forward to(self, n.insert_orm2);
  PyObject* args[] = {statement, data_list, to.con.get()};
  return to.call(args, 2, kw.con);
}

Ref execute_in_connection(Func&, PyObject* const* a) {
  PyObject *self = a[0], *fun = a[1];
  Ref tmpl = getattr(self, n.querydeck);
  return call_method(tmpl.get(), n.execute_in_connection, fun);
}

// connection = self.__con(); if connection: connection.<method>(), refused inside a
// transaction() block, which alone ends its session.
Ref on_bound(PyObject* self, PyObject* method, Misuse misuse) {
  Ref connection = con_of(self);
  refuse_inside_transaction(connection.get(), misuse);
  if (truth(connection.get())) call_method(connection.get(), method);
  return connection;
}

Ref commit(Func&, PyObject* const* a) {
  PyObject* self = a[0];
  on_bound(self, n.commit, Misuse::commit);
  return none();
}

Ref rollback(Func&, PyObject* const* a) {
  PyObject* self = a[0];
  on_bound(self, n.rollback, Misuse::rollback);
  return none();
}

Ref close(Func&, PyObject* const* a) {
  PyObject* self = a[0];
  Ref connection = con_of(self);
  refuse_inside_transaction(connection.get(), Misuse::close);
  close_bound(self, connection.get());
  return none();
}

// `with cm as session: body(session)`; false when the manager swallowed the body's exception.
template <typename Body>
bool within(PyObject* cm, Body&& body) {
  Ref session = call_method(cm, n.enter);
  try {
    body(session.get());
  } catch (PyErrorSet&) {
    Ref exc = fetch_exception();
    Ref suppress;
    {
      Handling handling(exc.get());
      Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
      suppress = call_method(cm, n.exit, reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                             tb ? tb.get() : Py_None);
    }
    if (truth(suppress.get())) return false;
    restore_exception(std::move(exc));
    throw;
  }
  call_method(cm, n.exit, Py_None, Py_None, Py_None);
  return true;
}

// A run of consecutive parameter sets whose final SQL is the same: the statement of its first
// set, which is what is sent, and the bind values of each set.
struct Run {
  Ref sql, binds;
};

// A module's pair of functions for execute_many, bound in its dict as `__bulk__`; `found` keeps
// it for the life of the process.
PyObject* bulk_pair(const char* module_name, PyObject*& found) {
  if (found == nullptr) {
    Ref module = import(module_name);
    Ref pair = getattr(module.get(), "__bulk__");
    if (!PyTuple_CheckExact(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_Format(PyExc_ImportError, "%s does not match verdin.db.txnfront", module_name);
      throw_error();
    }
    found = pair.release();
  }
  return found;
}

// stmtloom's side of execute_many: (_text_statement, _clause_for).
PyObject* text_functions() {
  static PyObject* found = nullptr;
  return bulk_pair("verdin.mapper.stmtloom", found);
}

// Every set assembled before anything is sent, so a bad one costs nothing on the database. Only
// the text of the other statements of a run is kept: thousands of clauses held to the end would
// cost the garbage collector more than making them did. Where the mapper's get_sql is
// stmtloom's own, stmtloom hands over the finished text of each set, and the clause is made
// only for the first set of a run, as get_sql would have made it.
std::vector<Run> assemble_all(PyObject* get_sql, PyObject* sql_id, PyObject* namespace_,
                              PyObject* sets) {
  PyObject* texts = text_functions();
  std::vector<Run> out;
  Ref last_text;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sets); i++) {
    PyObject* params = PyTuple_GET_ITEM(sets, i);
    if (!PyDict_CheckExact(params)) {
      PyErr_Format(PyExc_TypeError,
                   "Argument 'params_list[%zd]' has incorrect type (expected dict, got %.200s)", i,
                   Py_TYPE(params)->tp_name);
      throw_error();
    }
    Ref quad = call(PyTuple_GET_ITEM(texts, 0), get_sql, sql_id, params);
    Assembled st;
    bool finished = false;
    if (quad.get() == Py_None) {
      st = assemble(get_sql, sql_id, params);
    } else {
      Ref parts[5];
      unpack(quad.get(), 5, parts);
      finished = parts[4].get() == Py_True;
      st = {std::move(parts[0]), std::move(parts[1]), std::move(parts[2]), std::move(parts[3])};
    }
    if (i == 0) {
      bool writes = false;
      for (PyObject* kind : {n.insert, n.update, n.delete_})
        writes = writes || same(st.kind.get(), kind);
      if (!writes) {
        PyErr_Format(PyExc_ValueError,
                     "execute_many runs inserts, updates and deletes; statement %R of namespace "
                     "%R is a %S",
                     sql_id, namespace_, st.kind.get());
        throw_error();
      }
    }
    // A finished text stands for the clause get_sql would have made of it.
    Ref text = finished ? Ref::borrow(st.sql.get()) : getattr(st.sql.get(), n.text);
    if (out.empty() || !same(last_text.get(), text.get())) {
      Ref clause = finished ? call(PyTuple_GET_ITEM(texts, 1), text.get()) : std::move(st.sql);
      out.push_back({std::move(clause), Ref::take(PyList_New(0))});
      last_text = std::move(text);
    }
    ok(PyList_Append(out.back().binds.get(), st.binds.get()));
  }
  return out;
}

// querydeck's side of execute_many: (_many_scope, _run_many).
PyObject* bulk_functions() {
  static PyObject* found = nullptr;
  return bulk_pair("verdin.db.querydeck", found);
}

// `body(target)` in a scope that _many_scope entered; the scope commits or rolls back as it ends.
template <typename Body>
void within_entered(PyObject* scope, PyObject* target, Body&& body) {
  try {
    body(target);
  } catch (PyErrorSet&) {
    Ref exc = fetch_exception();
    {
      Handling handling(exc.get());
      Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
      call_method(scope, n.exit, reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                  tb ? tb.get() : Py_None);
    }
    restore_exception(std::move(exc));
    throw;
  }
  call_method(scope, n.exit, Py_None, Py_None, Py_None);
}

// Sets whose final SQL is the same, one after another, go to the database as one executemany: in
// the session of get_session(con), or on the connection the template's direct path would use.
Ref execute_many(Func&, PyObject* const* a) {
  PyObject *self = a[0], *sql_id = a[1], *namespace_ = a[2], *params_list = a[3];
  // A snapshot: the expressions of the mapper run Python code that could change the caller's list.
  Ref sets = Ref::take(PySequence_Tuple(params_list));
  if (PyTuple_GET_SIZE(sets.get()) == 0) return Ref::take(PyLong_FromLong(0));
  Ref get_sql = statement_source(self, namespace_);
  std::vector<Run> runs = assemble_all(get_sql.get(), sql_id, namespace_, sets.get());
  Ref tmpl = getattr(self, n.querydeck);
  Ref con = con_of(self);
  Ref bulk = Ref::borrow(bulk_functions());
  Ref statements = Ref::take(PyTuple_New(static_cast<Py_ssize_t>(runs.size())));
  for (size_t i = 0; i < runs.size(); i++) {
    PyTuple_SET_ITEM(statements.get(), i, Py_NewRef(runs[i].sql.get()));
  }
  Ref server = getattr(self, n.data_source);
  Ref total = Ref::take(PyLong_FromLong(0));
  auto body = [&](PyObject* target) {
    for (const Run& run : runs) {
      PyObject* sql = run.sql.get();
      Ref count = statement_log::run(
          self, namespace_, sql_id, sql,
          [&] {
            PyObject* args[] = {tmpl.get(), target, sql, run.binds.get()};
            return Ref::take(
                PyObject_Vectorcall(PyTuple_GET_ITEM(bulk.get(), 1), args, 4, nullptr));
          },
          &server);
      total = Ref::take(PyNumber_Add(total.get(), count.get()));
    }
  };
  Ref opened = call(PyTuple_GET_ITEM(bulk.get(), 0), tmpl.get(), con.get(), statements.get());
  if (opened.get() != Py_None) {
    Ref scope = Ref::borrow(PyTuple_GET_ITEM(opened.get(), 0));
    Ref connection = Ref::borrow(PyTuple_GET_ITEM(opened.get(), 1));
    within_entered(scope.get(), connection.get(), body);
    return total;
  }
  Ref cm = call_method(tmpl.get(), n.get_session, con.get());
  within(cm.get(), body);
  return total;
}

// What verdin.db.streams reports a stream's end through (below), kept for the life of the process.
PyObject* stream_finished_fn = nullptr;

// An iterator of the mapped rows of a query, fetched batch by batch; see verdin.db.streams.
Ref stream_sql(Func& f, PyObject* const* a) {
  PyObject *self = a[0], *sql_id = a[1], *namespace_ = a[2], *params = a[3];
  PyObject *return_type = a[4], *batch_size = a[5];
  Ref size = Ref::take(PyNumber_Index(batch_size));
  if (PyLong_AsSsize_t(size.get()) < 1) {
    if (PyErr_Occurred()) throw_error();
    PyErr_SetString(PyExc_ValueError, "batch_size must be at least 1");
    throw_error();
  }
  Ref get_sql = statement_source(self, namespace_);
  Ref no_params = params == Py_None ? Ref::take(PyDict_New()) : Ref();
  Assembled st = assemble(get_sql.get(), sql_id, no_params ? no_params.get() : params);
  if (!same(st.kind.get(), n.select)) {
    PyErr_Format(PyExc_ValueError,
                 "stream_sql reads the rows of a select; statement %R of namespace %R is a %S",
                 sql_id, namespace_, st.kind.get());
    throw_error();
  }
  Ref tmpl = getattr(self, n.querydeck);
  Ref con = con_of(self);
  Ref handler = f.global(n.results_handle);
  Ref streams = import("verdin.db.streams");
  Ref stream_rows = getattr(streams.get(), n.stream_rows);
  Ref server = getattr(self, n.data_source);
  Ref statement = Ref::take(PyTuple_Pack(4, stream_finished_fn, namespace_, sql_id, server.get()));
  PyObject* args[] = {tmpl.get(),  con.get(),  st.sql.get(),  st.binds.get(), st.result_type.get(),
                      return_type, size.get(), handler.get(), statement.get()};
  // Immutable, made once and kept for the life of the process.
  static PyObject* statement_kw = ok(Py_BuildValue("(s)", "statement"));
  return call_kw(stream_rows.get(), args, 8, statement_kw);
}

// stream_finished(namespace, sql_id, sql, server, duration_ms, error): a stream's statement has
// ended (its rows ran out, it was closed, or fetching failed with `error`). The stream is
// reported as every other statement is, and its error gets the same note.
Ref stream_finished(Func&, PyObject* const* a) {
  PyObject *namespace_ = a[0], *sql_id = a[1], *sql = a[2], *server = a[3];
  double ms = PyFloat_AsDouble(a[4]);
  if (ms == -1.0 && PyErr_Occurred()) throw_error();
  PyObject* error = PyExceptionInstance_Check(a[5]) ? a[5] : nullptr;
  if (error == nullptr) {
    if (statement_log::wanted())
      statement_log::finished({namespace_, sql_id, sql, ms, nullptr, server});
    return none();
  }
  try {
    Handling handling(error);
    if (statement_log::wanted())
      statement_log::finished({namespace_, sql_id, sql, ms, error, server});
  } catch (PyErrorSet&) {
    // The statement's own error is the one the caller must see.
    PyErr_Clear();
  }
  restore_exception(Ref::borrow(error));
  statement_log::note_failure(namespace_, sql_id);
  Ref noted = fetch_exception();
  return none();
}

const Param p_stream_finished[] = {{"namespace"}, {"sql_id"},      {"sql"},
                                   {"server"},    {"duration_ms"}, {"error"}};
const FuncSpec s_stream_finished = fn("stream_finished", stream_finished, p_stream_finished);

// Keyword-only: reads that must see the caller's own writes go to the primary.
constexpr Param primary_param = {"primary", "bool", Def::false_, nullptr, Check::bool_, true};

const Param p_init[] = {{"self"},
                        {"mapper_dict", "dict"},
                        {"data_source", "Engine", Def::none},
                        {"querydeck", "SqlTemplate", Def::none},
                        {"replicas", "list[Engine] | None", Def::none, nullptr, Check::any, true}};
const Param p_self[] = {{"self"}};
const Param p_execute_sql[] = {{"self"},
                               {"sql_id", "str"},
                               {"namespace", "str", Def::none},
                               {"ori_params", "dict", Def::none},
                               {"page", "Page", Def::none},
                               {"return_type", "Any", Def::none},
                               primary_param};
const Param p_sql_read[] = {
    {"self"}, {"sql", "TextClause"}, {"sql_param", nullptr, Def::none}, primary_param};
const Param p_sql_req[] = {{"self"}, {"sql", "TextClause"}, {"sql_param"}};
const Param p_page[] = {
    {"self"}, {"sql", "TextClause"}, {"page"}, {"sql_param", nullptr, Def::none}, primary_param};
const Param p_data[] = {{"self"}, {"data", "Any"}};
const Param p_datas[] = {{"self"}, {"datas", "Any"}};
const Param p_statement[] = {{"self"}, {"statement"}};
const Param p_read_statement[] = {{"self"}, {"statement"}, primary_param};
const Param p_update_orm2[] = {
    {"self"}, {"statement"}, {"sql_param", "dict | None", Def::none, nullptr, Check::dict}};
const Param p_bulk[] = {
    {"self"}, {"table_model"}, {"data_list", "list[dict] | None", Def::none, nullptr, Check::list}};
const Param p_insert_orm2[] = {{"self"}, {"statement"}, {"data_list", "list", Def::none}};
const Param p_fun[] = {{"self"}, {"fun"}};
const Param p_execute_many[] = {{"self"},
                                {"sql_id", "str"},
                                {"namespace", "str"},
                                {"params_list", "list[dict]", Def::required, nullptr, Check::any}};
const Param p_stream_sql[] = {{"self"},
                              {"sql_id", "str"},
                              {"namespace", "str", Def::none},
                              {"params", "dict", Def::none},
                              {"return_type", "Any", Def::none},
                              {"batch_size", "int", Def::int_, "1000", Check::any}};

const FuncSpec s_methods[] = {
    fn("__init__", init, p_init),
    fn("__con", con, p_self).stored_as("_VerdinSqlSession__con"),
    fn("get_ori_session", get_ori_session, p_self),
    fn("begin_tx", begin_tx, p_self),
    fn("execute_sql", execute_sql, p_execute_sql),
    fn("select_one", read_text<&Names::select_one>, p_sql_read),
    fn("select_list", read_text<&Names::select_list>, p_sql_read),
    fn("select_page", select_page, p_page),
    fn("insert", by_text<&Names::insert>, p_sql_req),
    fn("insert_list", by_text<&Names::insert_list>, p_sql_req),
    fn("delete", by_text<&Names::delete_>, p_sql_req),
    fn("update", by_text<&Names::update>, p_sql_req),
    fn("add", by_data<&Names::add>, p_data),
    fn("add_all", by_data<&Names::add_all>, p_datas),
    fn("select_all_orm1", read_statement<&Names::select_all_orm1>, p_read_statement),
    fn("select_all_orm2", read_statement<&Names::select_all_orm2>, p_read_statement),
    fn("select_one_orm1", read_statement<&Names::select_one_orm1>, p_read_statement),
    fn("select_one_orm2", read_statement<&Names::select_one_orm2>, p_read_statement),
    fn("delete_orm2", by_statement<&Names::delete_orm2>, p_statement),
    fn("update_orm2", update_orm2, p_update_orm2),
    fn("bulk_update_mappings", bulk_update_mappings, p_bulk),
    fn("insert_orm2", insert_orm2, p_insert_orm2),
    fn("execute_in_connection", execute_in_connection, p_fun),
    fn("commit", commit, p_self),
    fn("rollback", rollback, p_self),
    fn("close", close, p_self),
};

// After transaction(), which define_transaction makes.
const FuncSpec s_batch_methods[] = {
    fn("execute_many", execute_many, p_execute_many, nullptr,
       "Runs a write statement once per parameter set and returns the total row count. Sets\n"
       "whose final SQL is the same, one after another, go as one executemany; the call is one\n"
       "transaction, or joins the bound one."),
    fn("stream_sql", stream_sql, p_stream_sql, nullptr,
       "An iterator of the mapped rows of a query, fetched batch_size rows at a time (from a\n"
       "server-side cursor where the database has one). Its connection goes back to the pool\n"
       "when the rows run out or it is closed; a bound session is used as it is."),
};

}  // namespace

void define_facade(ModuleBuilder& m) {
  Ref context_var = m.import_from("contextvars", "ContextVar");
  Ref attrs = Ref::take(PyDict_New());
  Ref name = new_str("connection_local");
  PyObject* args[] = {name.get(), Py_None};
  Ref kw = Ref::take(Py_BuildValue("(s)", "default"));
  Ref var = call_kw(context_var.get(), args, 1, kw.get());
  ok(PyDict_SetItemString(attrs.get(), "connection_local", var.get()));
  std::vector<const FuncSpec*> methods;
  for (const FuncSpec& spec : s_methods) methods.push_back(&spec);
  methods.push_back(&s_transaction);
  for (const FuncSpec& spec : s_batch_methods) methods.push_back(&spec);
  Ref cls = m.def_class("VerdinSqlSession", methods, attrs.get());
  stream_finished_fn = m.function(s_stream_finished, "VerdinSqlSession").release();
  // After the methods, as additions: no replicas, and the seconds a replica that cannot be
  // reached is left out of the rotation.
  Ref no_replicas = Ref::take(PyTuple_New(0));
  setattr(cls.get(), n.replicas, no_replicas.get());
  Ref backoff = Ref::take(PyFloat_FromDouble(5.0));
  setattr(cls.get(), n.replica_backoff, backoff.get());
}

}  // namespace verdin::txnfront
