// verdin.utils.clausetrim: replacing a leading or trailing SQL keyword.
#include "module.hpp"
#include "text.hpp"

using namespace verdin;

namespace {

#define CLAUSETRIM_NAMES(X)                                                        \
  X(re, "re")                                                                      \
  X(sub, "sub")                                                                    \
  X(strip, "strip")                                                                \
  X(IGNORECASE, "IGNORECASE")                                                      \
  /* the templates "^[\s]*?({})" and "({})(\s+--.+)?$", split around their slot */ \
  X(first_head, "^[\\s]*?(")                                                       \
  X(first_tail, ")")                                                               \
  X(last_head, "(")                                                                \
  X(last_tail, ")(\\s+--.+)?$")
VERDIN_NAMES(CLAUSETRIM_NAMES);
Names n;
PyObject* kw_sub;

// re.sub(head + overrides + tail, replace, string.strip(), count=1, flags=re.IGNORECASE)
Ref replace_keyword(Func& f, PyObject* const* a, PyObject* head, PyObject* tail) {
  PyObject *string_arg = a[0], *overrides = a[1], *replace = a[2];
  Ref string = call_method(string_arg, n.strip);
  Ref regex = concat({head, overrides, tail});
  Ref re = f.global(n.re);
  Ref flags = getattr(re.get(), n.IGNORECASE);
  Ref sub = getattr(re.get(), n.sub);
  Ref one = Ref::take(PyLong_FromLong(1));
  PyObject* args[] = {regex.get(), replace, string.get(), one.get(), flags.get()};
  return call_kw(sub.get(), args, 3, kw_sub);
}

Ref replace_sql_first(Func& f, PyObject* const* a) {
  return replace_keyword(f, a, n.first_head, n.first_tail);
}

Ref replace_sql_last(Func& f, PyObject* const* a) {
  return replace_keyword(f, a, n.last_head, n.last_tail);
}

const Param p_first[] = {{"string", "str"}, {"prefix_overrides", "str"}, {"replace", "str"}};
const Param p_last[] = {{"string", "str"}, {"suffix_overrides", "str"}, {"replace", "str"}};

const FuncSpec s_first = fn("replace_sql_first", replace_sql_first, p_first);
const FuncSpec s_last = fn("replace_sql_last", replace_sql_last, p_last);

void populate(ModuleBuilder& m) {
  n.init();
  kw_sub = ok(Py_BuildValue("(ss)", "count", "flags"));
  m.import_module("regex", "re");
  m.def({&s_first, &s_last});
}

}  // namespace

VERDIN_MODULE(clausetrim, "verdin.utils.clausetrim", populate)
