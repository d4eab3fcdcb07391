// verdin.db.txnfront: the session facade and result mapping.
#include "txnfront.hpp"

namespace verdin::txnfront {

Names n;
Originals orig;

namespace {

const Param p_results[] = {{"results"}, {"result_type"}, {"f_return_type"}};
const FuncSpec s_results_handle = fn("results_handle", results_handle, p_results);

void init_names() {
  const std::pair<PyObject**, const char*> table[] = {
      {&n.get_base_type, "get_base_type"},
      {&n.is_container_type, "is_container_type"},
      {&n.is_result_class, "is_result_class"},
      {&n.get_args, "get_args"},
      {&n.Dict, "Dict"},
      {&n.List, "List"},
      {&n.values, "values"},
      {&n.module, "__module__"},
      {&n.qualname, "__qualname__"},
      {&n.builtins, "builtins"},
      {&n.mapper_dict, "mapper_dict"},
      {&n.data_source, "data_source"},
      {&n.querydeck, "querydeck"},
      {&n.connection_local, "connection_local"},
      {&n.con, "_VerdinSqlSession__con"},
      {&n.get, "get"},
      {&n.set, "set"},
      {&n.get_sql, "get_sql"},
      {&n.select_page, "select_page"},
      {&n.select_list, "select_list"},
      {&n.insert, "insert"},
      {&n.delete_, "delete"},
      {&n.update, "update"},
      {&n.results_handle, "results_handle"},
      {&n.select, "select"},
      {&n.list, "list"},
      {&n.commit, "commit"},
      {&n.rollback, "rollback"},
      {&n.close, "close"},
      {&n.SqlTemplate, "SqlTemplate"},
      {&n.sessionmaker, "sessionmaker"},
      {&n.not_found, "not found namespace: "},
      {&n.select_one, "select_one"},
      {&n.insert_list, "insert_list"},
      {&n.add, "add"},
      {&n.add_all, "add_all"},
      {&n.select_all_orm1, "select_all_orm1"},
      {&n.select_all_orm2, "select_all_orm2"},
      {&n.select_one_orm1, "select_one_orm1"},
      {&n.select_one_orm2, "select_one_orm2"},
      {&n.delete_orm2, "delete_orm2"},
      {&n.update_orm2, "update_orm2"},
      {&n.bulk_update_mappings, "bulk_update_mappings"},
      {&n.insert_orm2, "insert_orm2"},
      {&n.execute_in_connection, "execute_in_connection"},
  };
  for (auto& [slot, text] : table) *slot = intern(text);
  n.kw_get_sql = ok(Py_BuildValue("(ss)", "sql_id", "params"));
  n.kw_page = ok(Py_BuildValue("(ssss)", "sql", "page", "con", "args"));
  n.kw_select = ok(Py_BuildValue("(sss)", "sql", "con", "args"));
  n.kw_data = ok(Py_BuildValue("(ss)", "data", "con"));
  n.kw_con = ok(Py_BuildValue("(s)", "con"));
  n.kw_con_param = ok(Py_BuildValue("(ss)", "con", "sql_param"));
}

void populate(ModuleBuilder& m) {
  init_names();
  orig.globals = m.dict();
  m.import_from("typing", "Dict");
  m.import_from("typing", "Any");
  m.import_from("typing", "List");
  m.import_from("typing", "get_args");
  m.import_from("sqlalchemy", "Engine");
  m.import_from("sqlalchemy", "TextClause");
  orig.sessionmaker = m.import_from("sqlalchemy.orm", "sessionmaker").release();
  Ref orm = import("sqlalchemy.orm");
  orig.session_cls = getattr(orm.get(), "Session").release();
  m.import_from("verdin.db.querydeck", "Page");
  m.import_from("verdin.db.querydeck", "SqlTemplate");
  m.import_from("verdin.utils.kindprobe", "is_container_type");
  m.import_from("verdin.utils.kindprobe", "is_result_class");
  m.import_from("verdin.utils.kindprobe", "get_base_type");
  m.def(s_results_handle);
  define_transaction(m);
  define_facade(m);
}

}  // namespace
}  // namespace verdin::txnfront

VERDIN_MODULE(txnfront, "verdin.db.txnfront", verdin::txnfront::populate)
