// Shared declarations of the querydeck module (session scope, rows, template methods).
#pragma once

#include "errors.hpp"
#include "module.hpp"
#include "text.hpp"

namespace verdin::querydeck {

// The module's interned names: X(field, "text").
#define QUERYDECK_NAMES(X)                        \
  X(data_source, "data_source")                   \
  X(get_session, "get_session")                   \
  X(execute, "execute")                           \
  X(commit, "commit")                             \
  X(rollback, "rollback")                         \
  X(close, "close")                               \
  X(lastrowid, "lastrowid")                       \
  X(rowcount, "rowcount")                         \
  X(add, "add")                                   \
  X(add_all, "add_all")                           \
  X(flush, "flush")                               \
  X(bulk_update_mappings, "bulk_update_mappings") \
  X(first, "first")                               \
  X(all, "all")                                   \
  X(scalar, "scalar")                             \
  X(scalars, "scalars")                           \
  X(scalar_one_or_none, "scalar_one_or_none")     \
  X(asdict, "_asdict")                            \
  X(parent, "_parent")                            \
  X(data, "_data")                                \
  X(keys, "keys")                                 \
  X(text_attr, "text")                            \
  X(pageNum, "pageNum")                           \
  X(pageSize, "pageSize")                         \
  X(update, "update")                             \
  X(update_orm2, "update_orm2")                   \
  X(sessionmaker, "sessionmaker")                 \
  X(text_fn, "text")                              \
  X(count_query, "count_query")                   \
  X(limit_query, "limit_query")                   \
  X(enter, "__enter__")                           \
  X(exit, "__exit__")                             \
  X(total, "total")                               \
  X(list, "list")                                 \
  X(count_head, "select count(*) from ( ")        \
  X(count_tail, " ) temp")                        \
  X(limit_head, " limit ")                        \
  X(comma, ",")                                   \
  X(offset_head, " offset ")                      \
  X(get_bind, "get_bind")                         \
  X(dialect, "dialect")                           \
  X(name, "name")                                 \
  X(mysql, "mysql")                               \
  X(mariadb, "mariadb")                           \
  X(sqlite, "sqlite")                             \
  X(returns_rows, "returns_rows")                 \
  X(postfetch_lastrowid, "postfetch_lastrowid")   \
  X(connect, "connect")                           \
  X(begin, "begin")                               \
  X(in_transaction, "in_transaction")
VERDIN_NAMES(QUERYDECK_NAMES);
extern Names n;

// What the module installed or found at import, for identity-guarded fast paths.
struct Originals {
  PyObject *sessionmaker, *session_cls, *row_type, *row_asdict;
  PyObject* unbound_error;  // sqlalchemy.exc.UnboundExecutionError
  PyObject* globals;        // the module dict
  PyObject *count_query, *limit_query, *text_fn;
};
extern Originals orig;

// The session scope of `get_session`: a context manager whose target is the session.
struct Scope {
  PyObject_HEAD PyObject* tmpl;  // the SqlTemplate
  PyObject* given;               // the session argument
  PyObject* session;             // the session in use, once entered
  bool auto_close;
  bool entered;
};
extern PyTypeObject* scope_type;  // a heap type, made by init_scope

Ref scope_new(PyObject* tmpl, PyObject* session);
// __enter__: the session to use.
Ref scope_enter(Scope* s);
// __exit__ without suppressing: `exc` is the body's exception or null. Throws when commit,
// rollback or close fails.
void scope_exit(Scope* s, PyObject* exc);
void init_scope(ModuleBuilder& m);

// The direct-connection path (see direct.cpp). `init_direct` verifies, once, that the running
// SQLAlchemy keeps its Session listeners where the per-call check looks for them.
void init_direct(PyObject* template_cls);
// The Engine to connect to directly for these statements with this `con` and the bound
// `get_session` of self, or null when the call has to go through a Session.
Ref direct_engine(PyObject* self, PyObject* get_session, PyObject* con,
                  std::initializer_list<PyObject*> statements);
// The connection a bound `session` (`con`) would run these statements on, when running them
// there directly cannot be told apart from session.execute; null otherwise.
Ref direct_connection(PyObject* self, PyObject* get_session, PyObject* session,
                      std::initializer_list<PyObject*> statements);
// Whether the fast paths are on and `get_session` is the template's own method, bound to self.
bool own_get_session(PyObject* self, PyObject* get_session);
// An entered scope that owns a new connection of `engine` with its transaction begun.
Ref direct_scope(PyObject* self, PyObject* engine);

// Text statements straight to the driver (driver.cpp). `init_driver` finds, once, what the check
// compares against. driver_execute: target.execute(clause, params) for a Connection `target` and
// a dict (or non-empty list of dicts) `params`, sent through exec_driver_sql where nothing could
// tell the two apart; empty when the caller has to take execute().
void init_driver();
Ref driver_execute(PyObject* target, PyObject* clause, PyObject* params);
// Whether `obj` is an exact SQLAlchemy Connection (always false with the fast paths off).
bool is_connection(PyObject* obj);

// execute_many's side of the template (bulk.cpp): binds `__bulk__` in the module dict, the pair
// (_many_scope, _run_many) that the facade's execute_many calls.
void init_bulk(ModuleBuilder& m);

// [row._asdict() for row in rows], building the dictionaries natively where that gives the
// same result.
Ref rows_as_dicts(PyObject* rows);
// row._asdict()
Ref row_as_dict(PyObject* row);

// Paging. The window of a page: the offset (pageNum - 1) * pageSize and the size, both exact
// ints; TypeError when pageNum or pageSize is not an int.
struct PageWindow {
  Ref start, size;
};
PageWindow page_window(PyObject* page);
// " limit <start>,<size>"
Ref limit_comma_suffix(const PageWindow& w);
// text(sql.text + " limit <size> offset <start>"), for databases without "limit a,b".
Ref offset_query(Func& f, PyObject* sql, PyObject* page);
// sql.text, to which paging appends: ended by a line break when a comment mark is on its last
// line, which would otherwise run on over what is appended.
Ref paged_text(PyObject* sql);
// The dialect of the session's bind; empty when the session has no bind (or no get_bind).
// `direct`: `session` is a direct connection (see direct.cpp), which carries its dialect.
Ref session_dialect(PyObject* session, bool direct = false);
// Whether the dialect takes "limit <start>,<size>": the MySQL family and SQLite.
bool pages_with_limit_comma(PyObject* dialect);
// The id an insert reports: the first value of its first row when it returns rows, else the
// lastrowid where the dialect has one, else None.
Ref inserted_id(PyObject* session, PyObject* result, bool direct = false);

// SqlTemplate methods (template.cpp), in the order of the class.
Ref t_init(Func& f, PyObject* const* a);
Ref t_get_session(Func& f, PyObject* const* a);
Ref t_insert(Func& f, PyObject* const* a);
Ref t_insert_list(Func& f, PyObject* const* a);
Ref t_insert_orm2(Func& f, PyObject* const* a);
Ref t_add(Func& f, PyObject* const* a);
Ref t_add_all(Func& f, PyObject* const* a);
Ref t_update(Func& f, PyObject* const* a);
Ref t_delete(Func& f, PyObject* const* a);
Ref t_delete_orm2(Func& f, PyObject* const* a);
Ref t_bulk_update_mappings(Func& f, PyObject* const* a);
Ref t_execute_in_connection(Func& f, PyObject* const* a);
Ref t_select_one(Func& f, PyObject* const* a);
Ref t_select_list(Func& f, PyObject* const* a);
Ref t_select_one_orm1(Func& f, PyObject* const* a);
Ref t_select_one_orm2(Func& f, PyObject* const* a);
Ref t_select_all_orm1(Func& f, PyObject* const* a);
Ref t_select_all_orm2(Func& f, PyObject* const* a);
Ref t_select_page(Func& f, PyObject* const* a);

}  // namespace verdin::querydeck
