// Shared declarations of the querydeck module (session scope, rows, template methods).
#pragma once

#include "errors.hpp"
#include "module.hpp"
#include "text.hpp"

namespace verdin::querydeck {

struct Names {
  PyObject *data_source, *get_session, *execute, *commit, *rollback, *close, *lastrowid, *rowcount;
  PyObject *add, *add_all, *flush, *bulk_update_mappings, *first, *all, *scalar, *scalars;
  PyObject *scalar_one_or_none, *asdict, *parent, *data, *keys, *text_attr, *pageNum, *pageSize;
  PyObject *update, *update_orm2, *sessionmaker, *text_fn, *count_query, *limit_query;
  PyObject *enter, *exit, *total, *list, *empty_format;
  PyObject *count_head, *count_tail, *limit_head, *comma;
};
extern Names n;

// What the module installed or found at import, for identity-guarded fast paths.
struct Originals {
  PyObject *sessionmaker, *session_cls, *row_type, *row_asdict;
  PyObject* globals;  // the module dict
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
extern PyTypeObject scope_type;

Ref scope_new(PyObject* tmpl, PyObject* session);
// __enter__: the session to use.
Ref scope_enter(Scope* s);
// __exit__ without suppressing: `exc` is the body's exception or null. Throws when commit,
// rollback or close fails.
void scope_exit(Scope* s, PyObject* exc);
void init_scope(ModuleBuilder& m);

// [row._asdict() for row in rows], building the dictionaries natively where that gives the
// same result.
Ref rows_as_dicts(PyObject* rows);
// row._asdict()
Ref row_as_dict(PyObject* row);

void init_names();

// SqlTemplate methods.
#define VERDIN_TEMPLATE_METHODS(X)                                                    \
  X(init)                                                                             \
  X(get_session)                                                                      \
  X(insert)                                                                           \
  X(insert_list)                                                                      \
  X(insert_orm2) X(add) X(add_all) X(update) X(update_orm2) X(delete) X(delete_orm2)  \
      X(bulk_update_mappings) X(execute_in_connection) X(select_one) X(select_list)   \
          X(select_one_orm1) X(select_one_orm2) X(select_all_orm1) X(select_all_orm2) \
              X(select_page)
#define VERDIN_DECLARE(name) Ref t_##name(Func& f, PyObject* const* a);
VERDIN_TEMPLATE_METHODS(VERDIN_DECLARE)
#undef VERDIN_DECLARE

}  // namespace verdin::querydeck
