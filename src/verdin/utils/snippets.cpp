// verdin.utils.snippets: quoting helpers and their registry by name.
#include "module.hpp"
#include "text.hpp"

using namespace verdin;

namespace {

#define SNIPPETS_NAMES(X) \
  X(time, "time")         \
  X(strftime, "strftime") \
  X(sql_string_format, "sql_string_format")
VERDIN_NAMES(SNIPPETS_NAMES);
Names n;

Ref like(Func& f, PyObject* const* a) {
  PyObject* value = a[0];
  if (PyUnicode_Check(value)) refuse_backslash(value);
  Ref format = f.global(n.sql_string_format);
  return call(format.get(), value);
}

Ref time_format(Func& f, PyObject* const* a) {
  PyObject *date_value = a[0], *format_text = a[1];
  Ref time = f.global(n.time);
  Ref text = call_method(time.get(), n.strftime, format_text, date_value);
  Ref format = f.global(n.sql_string_format);
  return call(format.get(), text.get());
}

const Param p_like[] = {{"value"}};
const Param p_time_format[] = {{"date_value"}, {"format", "str", Def::str, "%Y-%m-%d %H:%M:%S"}};

const FuncSpec s_like = fn("like", like, p_like);
const FuncSpec s_time_format = fn("time_format", time_format, p_time_format);

void populate(ModuleBuilder& m) {
  n.init();
  m.import_module("time");
  m.import_star("verdin.utils.cdatakit");
  Ref like_f = m.def(s_like);
  Ref time_format_f = m.def(s_time_format);
  Ref registry = Ref::take(PyDict_New());
  ok(PyDict_SetItemString(registry.get(), "like", like_f.get()));
  ok(PyDict_SetItemString(registry.get(), "time_format", time_format_f.get()));
  m.set("default_fun_dict", registry.get());
}

}  // namespace

VERDIN_MODULE(snippets, "verdin.utils.snippets", populate)
