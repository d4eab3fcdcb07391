// Shared declarations of the txnfront module (result mapping and the session facade).
#pragma once

#include "errors.hpp"
#include "module.hpp"
#include "sequence.hpp"
#include "text.hpp"

namespace verdin::txnfront {

struct Names {
  PyObject *get_base_type, *is_container_type, *is_result_class, *get_args, *Dict, *List;
  PyObject *values, *module, *qualname, *builtins;
  PyObject *mapper_dict, *data_source, *querydeck, *connection_local, *con, *get, *set;
  PyObject *get_sql, *select_page, *select_list, *insert, *delete_, *update, *results_handle;
  PyObject *select, *list, *commit, *rollback, *close, *SqlTemplate, *sessionmaker;
  PyObject *kw_get_sql, *kw_page, *kw_select, *kw_data, *kw_con, *kw_con_param;
  PyObject* not_found;
  PyObject *select_one, *insert_list, *add, *add_all, *select_all_orm1, *select_all_orm2;
  PyObject *select_one_orm1, *select_one_orm2, *delete_orm2, *update_orm2, *bulk_update_mappings;
  PyObject *insert_orm2, *execute_in_connection;
};
extern Names n;

struct Originals {
  PyObject *sessionmaker, *session_cls;
  PyObject* globals;
};
extern Originals orig;

Ref results_handle(Func& f, PyObject* const* a);
void define_facade(ModuleBuilder& m);

// sessionmaker(bind=self.data_source, expire_on_commit=False)() for the facade `self`, through
// the module global read at call time.
Ref new_session(Func& f, PyObject* self);

// VerdinSqlSession.transaction and the class of the context manager it returns, built by
// define_transaction before the facade class.
extern const FuncSpec s_transaction;
void define_transaction(ModuleBuilder& m);

}  // namespace verdin::txnfront
