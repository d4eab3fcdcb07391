// The statement log and the error notes of statements run by namespace and id.
#include "statement_log.hpp"

#include "module.hpp"

namespace verdin::statement_log {
namespace {

// Loggers live as long as the logging module, so the one looked up first stays the one that
// logging.getLogger returns; its isEnabledFor answer is cached by logging itself.
PyObject* logger = nullptr;
PyObject* debug_level = nullptr;
PyObject* is_enabled_for = nullptr;
PyObject* debug = nullptr;
PyObject* text_attr = nullptr;
PyObject* format = nullptr;
PyObject* kw_extra = nullptr;
PyObject* keys[3] = {};

void init() {
  Ref logging = import("logging");
  Ref get_logger = getattr(logging.get(), "getLogger");
  Ref name = new_str("verdin.sql");
  Ref found = call(get_logger.get(), name.get());
  debug_level = getattr(logging.get(), "DEBUG").release();
  is_enabled_for = intern("isEnabledFor");
  debug = intern("debug");
  text_attr = intern("text");
  format = intern("%s.%s: %s");
  kw_extra = ok(Py_BuildValue("(s)", "extra"));
  const char* names[] = {"namespace", "sql_id", "sql"};
  for (int i = 0; i < 3; i++) keys[i] = intern(names[i]);
  logger = found.release();
}

// The text a statement runs as: TextClause.text, or str() of anything else.
Ref sql_text(PyObject* sql) {
  PyObject* t = PyObject_GetAttr(sql, text_attr);
  if (t != nullptr && PyUnicode_Check(t)) return Ref::steal(t);
  Py_XDECREF(t);
  PyErr_Clear();
  return Ref::take(PyObject_Str(sql));
}

}  // namespace

void record(PyObject* namespace_, PyObject* sql_id, PyObject* sql) {
  if (logger == nullptr) init();
  Ref on = call_method(logger, is_enabled_for, debug_level);
  if (!truth(on.get())) return;
  Ref text = sql_text(sql);
  Ref extra = Ref::take(PyDict_New());
  PyObject* values[] = {namespace_, sql_id, text.get()};
  for (int i = 0; i < 3; i++) ok(PyDict_SetItem(extra.get(), keys[i], values[i]));
  PyObject* args[] = {logger, format, namespace_, sql_id, text.get(), extra.get()};
  Ref done = Ref::take(
      PyObject_VectorcallMethod(debug, args, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_extra));
}

void note_failure(PyObject* namespace_, PyObject* sql_id) noexcept {
  note_pending([&] {
    return Ref::take(
        PyUnicode_FromFormat("while running statement %R of namespace %R", sql_id, namespace_));
  });
}

}  // namespace verdin::statement_log
