// verdin.db.txnfront: the session facade and result mapping.
#include "txnfront.hpp"

namespace verdin::txnfront {

Names n;
Keywords kw;
Originals orig;

namespace {

const Param p_results[] = {{"results"}, {"result_type"}, {"f_return_type"}};
const FuncSpec s_results_handle = fn("results_handle", results_handle, p_results);

// Keyword-name tuples of the calls the facade makes.
void init_keywords() {
  kw.get_sql = ok(Py_BuildValue("(ss)", "sql_id", "params"));
  kw.sql_page_con_args = ok(Py_BuildValue("(ssss)", "sql", "page", "con", "args"));
  kw.sql_con_args = ok(Py_BuildValue("(sss)", "sql", "con", "args"));
  kw.data_con = ok(Py_BuildValue("(ss)", "data", "con"));
  kw.con = ok(Py_BuildValue("(s)", "con"));
  kw.con_sql_param = ok(Py_BuildValue("(ss)", "con", "sql_param"));
}

void populate(ModuleBuilder& m) {
  n.init();
  init_keywords();
  orig.globals = m.dict();
  m.import_from("typing", "Dict");
  m.import_from("typing", "Any");
  m.import_from("typing", "List");
  orig.get_args = m.import_from("typing", "get_args").release();
  orig.engine_cls = m.import_from("sqlalchemy", "Engine").release();
  orig.connection_cls = getattr(Ref(import("sqlalchemy.engine")).get(), "Connection").release();
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
  define_replicas(m);
  define_transaction(m);
  define_facade(m);
}

}  // namespace
}  // namespace verdin::txnfront

VERDIN_MODULE(txnfront, "verdin.db.txnfront", verdin::txnfront::populate)
