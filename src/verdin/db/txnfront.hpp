// Shared declarations of the txnfront module (result mapping and the session facade).
#pragma once

#include "errors.hpp"
#include "module.hpp"
#include "sequence.hpp"
#include "text.hpp"

namespace verdin::txnfront {

// The module's interned names: X(field, "text").
#define TXNFRONT_NAMES(X)                           \
  X(get_base_type, "get_base_type")                 \
  X(is_container_type, "is_container_type")         \
  X(is_result_class, "is_result_class")             \
  X(get_args, "get_args")                           \
  X(Dict, "Dict")                                   \
  X(List, "List")                                   \
  X(values, "values")                               \
  X(module, "__module__")                           \
  X(qualname, "__qualname__")                       \
  X(builtins, "builtins")                           \
  X(mapper_dict, "mapper_dict")                     \
  X(data_source, "data_source")                     \
  X(querydeck, "querydeck")                         \
  X(connection_local, "connection_local")           \
  X(con, "_VerdinSqlSession__con")                  \
  X(get, "get")                                     \
  X(set, "set")                                     \
  X(get_sql, "get_sql")                             \
  X(select_page, "select_page")                     \
  X(select_list, "select_list")                     \
  X(insert, "insert")                               \
  X(delete_, "delete")                              \
  X(update, "update")                               \
  X(results_handle, "results_handle")               \
  X(select, "select")                               \
  X(list, "list")                                   \
  X(commit, "commit")                               \
  X(rollback, "rollback")                           \
  X(close, "close")                                 \
  X(SqlTemplate, "SqlTemplate")                     \
  X(sessionmaker, "sessionmaker")                   \
  X(not_found, "not found namespace: ")             \
  X(select_one, "select_one")                       \
  X(insert_list, "insert_list")                     \
  X(add, "add")                                     \
  X(add_all, "add_all")                             \
  X(select_all_orm1, "select_all_orm1")             \
  X(select_all_orm2, "select_all_orm2")             \
  X(select_one_orm1, "select_one_orm1")             \
  X(select_one_orm2, "select_one_orm2")             \
  X(delete_orm2, "delete_orm2")                     \
  X(update_orm2, "update_orm2")                     \
  X(bulk_update_mappings, "bulk_update_mappings")   \
  X(insert_orm2, "insert_orm2")                     \
  X(execute_in_connection, "execute_in_connection") \
  X(Engine, "Engine")                               \
  X(replicas, "replicas")                           \
  X(replica_backoff, "replica_backoff")             \
  X(replica_router, "_replica_router")              \
  X(sync_engine, "sync_engine")                     \
  X(statement, "statement")                         \
  X(url, "url")                                     \
  X(is_dml, "is_dml")                               \
  X(execute, "execute")                             \
  X(rowcount, "rowcount")                           \
  X(get_session, "get_session")                     \
  X(enter, "__enter__")                             \
  X(exit, "__exit__")                               \
  X(text, "text")                                   \
  X(connect, "connect")                             \
  X(stream_rows, "stream_rows")
VERDIN_NAMES(TXNFRONT_NAMES);
extern Names n;

// The keyword names of the calls the facade makes, as vectorcall takes them.
struct Keywords {
  PyObject *get_sql, *sql_page_con_args, *sql_con_args, *data_con, *con, *con_sql_param;
};
extern Keywords kw;

struct Originals {
  PyObject *sessionmaker, *session_cls;
  PyObject* globals;
  PyObject *engine_cls, *connection_cls;  // what a data_source is
  PyObject* get_args;                     // typing.get_args
};
extern Originals orig;

Ref results_handle(Func& f, PyObject* const* a);
void define_facade(ModuleBuilder& m);

// sessionmaker(bind=self.data_source, expire_on_commit=False)() for the facade `self`, through
// the module global read at call time.
Ref new_session(Func& f, PyObject* self);

// Read replicas (replicas.cpp). set_replicas checks the constructor's `replicas` argument against
// self.data_source and sets self.replicas and, when there is one at least, the router.
void set_replicas(Func& f, PyObject* self, PyObject* replicas);
// The router of a facade that has replicas, else empty.
Ref replica_router(PyObject* self);
// The template method `method` called with the arguments on the next replica that can be
// reached, else through `on_primary` (the method on the primary's template). `server` receives
// the engine being tried: the replica's, or self.data_source once the primary serves.
Ref read_on_replica(PyObject* self, PyObject* router, PyObject* method, PyObject* const* args,
                    size_t npos, PyObject* kwnames, PyObject* on_primary, Ref* server);
// Whether an SQLAlchemy statement is an INSERT, UPDATE or DELETE (which may return rows).
bool is_dml(PyObject* statement);
void define_replicas(ModuleBuilder& m);

// VerdinSqlSession.transaction and the class of the context manager it returns, built by
// define_transaction before the facade class.
extern const FuncSpec s_transaction;
void define_transaction(ModuleBuilder& m);

// What the facades refuse while a transaction() block runs, in the order of the messages.
enum class Misuse {
  begin_tx,
  close,
  commit,
  rollback,
  session_commit,
  session_rollback,
  session_close,
  session_begin
};
// RuntimeError when `session` (a bound session, possibly None) belongs to a running
// transaction() block, whose work the misuse would discard or split.
void refuse_inside_transaction(PyObject* session, Misuse misuse);

}  // namespace verdin::txnfront
