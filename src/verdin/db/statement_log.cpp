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
PyObject* keys[5] = {};
PyObject* url_attr = nullptr;

void init() {
  Ref logging = import("logging");
  Ref get_logger = getattr(logging.get(), "getLogger");
  Ref name = new_str("verdin.sql");
  Ref found = call(get_logger.get(), name.get());
  debug_level = getattr(logging.get(), "DEBUG").release();
  is_enabled_for = intern("isEnabledFor");
  debug = intern("debug");
  text_attr = intern("text");
  format = intern("%s.%s (%.3f ms): %s");
  kw_extra = ok(Py_BuildValue("(s)", "extra"));
  url_attr = intern("url");
  const char* names[] = {"namespace", "sql_id", "sql", "duration_ms", "server"};
  for (int i = 0; i < 5; i++) keys[i] = intern(names[i]);
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

// Which server an engine reaches: its URL with the password hidden (as repr(URL) shows it), or
// None when it is not known.
Ref server_name(PyObject* engine) {
  if (engine == nullptr) return Ref::borrow(Py_None);
  PyObject* url = PyObject_GetAttr(engine, url_attr);
  if (url == nullptr) {
    PyErr_Clear();
    return Ref::take(PyObject_Repr(engine));
  }
  Ref held = Ref::steal(url);
  return Ref::take(PyObject_Repr(held.get()));
}

}  // namespace

bool wanted() {
  if (logger == nullptr) init();
  Ref on = call_method(logger, is_enabled_for, debug_level);
  return truth(on.get());
}

void finished(const Statement& s) {
  if (logger == nullptr) init();
  Ref text = sql_text(s.sql);
  Ref duration = Ref::take(PyFloat_FromDouble(s.duration_ms));
  Ref extra = Ref::take(PyDict_New());
  Ref server = server_name(s.server);
  PyObject* values[] = {s.namespace_, s.sql_id, text.get(), duration.get(), server.get()};
  for (int i = 0; i < 5; i++) ok(PyDict_SetItem(extra.get(), keys[i], values[i]));
  PyObject* args[] = {logger,         format,     s.namespace_, s.sql_id,
                      duration.get(), text.get(), extra.get()};
  Ref done = Ref::take(
      PyObject_VectorcallMethod(debug, args, 6 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_extra));
}

void note_failure(PyObject* namespace_, PyObject* sql_id) noexcept {
  note_pending([&] {
    return Ref::take(
        PyUnicode_FromFormat("while running statement %R of namespace %R", sql_id, namespace_));
  });
}

}  // namespace verdin::statement_log
