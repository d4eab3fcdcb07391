// verdin.db.querydeck: the execution layer (SqlTemplate, Page, PageInfo, paging rewriters).
#include "querydeck.hpp"

#include "sessions.hpp"

namespace verdin::querydeck {

Names n;
Originals orig;

namespace {

Ref page_init(Func&, PyObject* const* a) {
  PyObject *self = a[0], *page_num = a[1], *page_size = a[2];
  setattr(self, n.pageSize, page_size);
  setattr(self, n.pageNum, page_num);
  return Ref::borrow(Py_None);
}

// text("select count(*) from ( " + sql.text + " ) temp")
Ref count_query(Func& f, PyObject* const* a) {
  PyObject* sql = a[0];
  Ref sql_text = paged_text(sql);
  Ref full = concat({n.count_head, sql_text.get(), n.count_tail});
  Ref text_fn = f.global(n.text_fn);
  return call(text_fn.get(), full.get());
}

// text(sql.text + " limit {},{}".format((page.pageNum - 1) * page.pageSize, page.pageSize))
Ref limit_query(Func& f, PyObject* const* a) {
  PyObject *sql = a[0], *page = a[1];
  PageWindow w = page_window(page);
  Ref suffix = limit_comma_suffix(w);
  Ref sql_text = paged_text(sql);
  Ref full = Ref::take(PyNumber_Add(sql_text.get(), suffix.get()));
  Ref text_fn = f.global(n.text_fn);
  return call(text_fn.get(), full.get());
}

constexpr const char* bulk_doc =
    "\n        orm2.0 core or origin_sql\n        :param table_model:\n        :param bindnote:\n"
    "        :param con:\n        :return:\n        ";

const Param p_page[] = {{"self"}, {"page_num", "int"}, {"page_size", "int"}};
const Param p_count[] = {{"sql", "TextClause"}};
const Param p_limit[] = {{"sql", "TextClause"}, {"page", "Page"}};

const Param p_init[] = {{"self"}, {"data_source"}};
const Param p_get_session[] = {{"self"}, {"session", nullptr, Def::none}};
const Param p_sql_con_args[] = {
    {"self"}, {"sql", "TextClause"}, {"con", nullptr, Def::none}, {"args", nullptr, Def::none}};
const Param p_insert_orm2[] = {{"self"}, {"statement"}, {"data_list"}, {"con", nullptr, Def::none}};
const Param p_data_con[] = {{"self"}, {"data", "Any"}, {"con", nullptr, Def::none}};
const Param p_orm2_param[] = {
    {"self"}, {"statement"}, {"con", nullptr, Def::none}, {"sql_param", nullptr, Def::none}};
const Param p_bulk[] = {{"self"},
                        {"table_model"},
                        {"bindnote", "list[dict] | None", Def::none, nullptr, Check::list},
                        {"con", nullptr, Def::none}};
const Param p_fun[] = {{"self"}, {"fun"}};
const Param p_statement_con[] = {{"self"}, {"statement"}, {"con", nullptr, Def::none}};
const Param p_page_query[] = {{"self"},
                              {"sql", "TextClause"},
                              {"page", "Page"},
                              {"con", nullptr, Def::none},
                              {"args", nullptr, Def::none}};

const FuncSpec s_page_init = fn("__init__", page_init, p_page);
const FuncSpec s_count_query = fn("count_query", count_query, p_count);
const FuncSpec s_limit_query = fn("limit_query", limit_query, p_limit);

const FuncSpec s_methods[] = {
    fn("__init__", t_init, p_init),
    fn("get_session", t_get_session, p_get_session),
    fn("insert", t_insert, p_sql_con_args),
    fn("insert_list", t_insert_list, p_sql_con_args),
    fn("insert_orm2", t_insert_orm2, p_insert_orm2),
    fn("add", t_add, p_data_con),
    fn("add_all", t_add_all, p_data_con),
    fn("update", t_update, p_sql_con_args),
    fn("update_orm2", t_update, p_orm2_param),
    fn("delete", t_delete, p_sql_con_args),
    fn("delete_orm2", t_delete_orm2, p_orm2_param),
    fn("bulk_update_mappings", t_bulk_update_mappings, p_bulk, nullptr, bulk_doc),
    fn("execute_in_connection", t_execute_in_connection, p_fun),
    fn("select_one", t_select_one, p_sql_con_args),
    fn("select_list", t_select_list, p_sql_con_args),
    fn("select_one_orm1", t_select_one_orm1, p_statement_con),
    fn("select_one_orm2", t_select_one_orm2, p_statement_con),
    fn("select_all_orm1", t_select_all_orm1, p_statement_con),
    fn("select_all_orm2", t_select_all_orm2, p_statement_con),
    fn("select_page", t_select_page, p_page_query),
};

}  // namespace

namespace {

void populate(ModuleBuilder& m) {
  n.init();
  orig.globals = m.dict();
  init_scope(m);
  m.import_module("contextlib");
  m.import_from("typing", "Any");
  m.import_from("sqlalchemy", "TextClause");
  orig.text_fn = m.import_from("sqlalchemy", "text").release();
  orig.sessionmaker = m.import_from("sqlalchemy.orm", "sessionmaker").release();
  Ref dataclass = m.import_from("dataclasses", "dataclass");

  Ref orm = import("sqlalchemy.orm");
  orig.session_cls = getattr(orm.get(), "Session").release();
  Ref row_module = import("sqlalchemy.engine.row");
  orig.row_type = getattr(row_module.get(), "Row").release();
  orig.row_asdict = getattr(orig.row_type, n.asdict).release();
  Ref exc_module = import("sqlalchemy.exc");
  orig.unbound_error = getattr(exc_module.get(), "UnboundExecutionError").release();

  // PageInfo: a dataclass of four fields, each defaulting to None.
  Ref attrs = Ref::take(PyDict_New());
  Ref annotations = Ref::take(Py_BuildValue("{ssssssss}", "pageSize", "int", "pageNum", "int",
                                            "total", "int", "list", "list"));
  ok(PyDict_SetItemString(attrs.get(), "__annotations__", annotations.get()));
  for (const char* field : {"pageSize", "pageNum", "total", "list"}) {
    ok(PyDict_SetItemString(attrs.get(), field, Py_None));
  }
  Ref page_info = m.def_class("PageInfo", {}, attrs.get());
  Ref decorated = call(dataclass.get(), page_info.get());
  m.set("PageInfo", decorated.get());

  m.def_class("Page", {&s_page_init});
  std::vector<const FuncSpec*> methods;
  for (const FuncSpec& spec : s_methods) methods.push_back(&spec);
  Ref template_cls = m.def_class("SqlTemplate", methods);
  init_direct(template_cls.get());
  orig.count_query = m.def(s_count_query).release();
  orig.limit_query = m.def(s_limit_query).release();
  sent_sql::create(m.dict());
  init_driver();
  init_bulk(m);
}

}  // namespace
}  // namespace verdin::querydeck

VERDIN_MODULE(querydeck, "verdin.db.querydeck", verdin::querydeck::populate)
