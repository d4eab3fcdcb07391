// verdin.utils.cdatakit: CDATA sections, XML entities and SQL string literals.
#include "module.hpp"
#include "text.hpp"

using namespace verdin;

namespace {

#define CDATAKIT_NAMES(X)                                  \
  X(re, "re")                                              \
  X(compile, "compile")                                    \
  X(search, "search")                                      \
  X(group, "group")                                        \
  X(replace, "replace")                                    \
  X(convert_cdata, "convert_cdata")                        \
  X(sql_string_format, "sql_string_format")                \
  X(cdata_pattern, "(<!\\[CDATA\\[)([\\s\\S]*?)(\\]\\]>)") \
  X(quote, "'")                                            \
  X(two_quotes, "''")                                      \
  X(null, "null")                                          \
  X(amp, "&")                                              \
  X(amp_e, "&amp;")                                        \
  X(lt, "<")                                               \
  X(lt_e, "&lt;")                                          \
  X(gt, ">")                                               \
  X(gt_e, "&gt;")                                          \
  X(dq, "\"")                                              \
  X(dq_e, "&quot;")
VERDIN_NAMES(CDATAKIT_NAMES);
Names n;
PyObject* numbers_number;  // numbers.Number

// string.replace(old, new), straight to str.replace for an exact str.
Ref replace(PyObject* s, PyObject* old, PyObject* with) {
  if (PyUnicode_CheckExact(s)) return Ref::take(PyUnicode_Replace(s, old, with, -1));
  return call_method(s, n.replace, old, with);
}

Ref convert_cdata(Func&, PyObject* const* a) {
  PyObject *string = a[0], *reverse = a[1];
  Ref s = Ref::borrow(string);
  if (truth(reverse)) {
    s = replace(s.get(), n.amp, n.amp_e);
    s = replace(s.get(), n.lt, n.lt_e);
    s = replace(s.get(), n.gt, n.gt_e);
    s = replace(s.get(), n.dq, n.dq_e);
  } else {
    // "&amp;" is decoded last, so every entity is decoded exactly once.
    s = replace(s.get(), n.lt_e, n.lt);
    s = replace(s.get(), n.gt_e, n.gt);
    s = replace(s.get(), n.dq_e, n.dq);
    s = replace(s.get(), n.amp_e, n.amp);
  }
  return s;
}

Ref replace_cdata(Func& f, PyObject* const* a) {
  PyObject* raw_text = a[0];
  Ref re = f.global(n.re);
  Ref cdata_regex = call_method(re.get(), n.compile, n.cdata_pattern);
  Ref m = call_method(cdata_regex.get(), n.search, raw_text);
  if (m.get() == Py_None) return Ref::borrow(raw_text);
  Ref two = Ref::take(PyLong_FromLong(2));
  Ref zero = Ref::take(PyLong_FromLong(0));
  Ref content = call_method(m.get(), n.group, two.get());
  Ref convert = f.global(n.convert_cdata);
  Ref escaped = call(convert.get(), content.get(), Py_True);
  Ref whole = call_method(m.get(), n.group, zero.get());
  return call_method(raw_text, n.replace, whole.get(), escaped.get());
}

// One well-formed SQL string literal: an outer pair of quotes already present is dropped,
// every remaining quote is doubled, and the body is wrapped in quotes.
Ref sql_string_format(Func&, PyObject* const* a) {
  PyObject* v = a[0];
  refuse_backslash(v);
  Py_ssize_t len = PyUnicode_GET_LENGTH(v);
  Py_ssize_t start = 0, end = len;
  if (len >= 1 && PyUnicode_READ_CHAR(v, 0) == '\'') start = 1;
  if (len >= 2 && PyUnicode_READ_CHAR(v, len - 1) == '\'') end = len - 1;
  Ref body = Ref::take(PyUnicode_Substring(v, start, end));
  body = Ref::take(PyUnicode_Replace(body.get(), n.quote, n.two_quotes, -1));
  return concat({n.quote, body.get(), n.quote});
}

bool is_number(PyObject* v) {
  if (PyLong_Check(v) || PyFloat_Check(v) || PyComplex_Check(v)) return true;
  return ok(PyObject_IsInstance(v, numbers_number)) != 0;
}

Ref param_str(Func& f, PyObject* const* a) {
  PyObject* v = a[0];
  if (v == Py_None) return Ref::borrow(n.null);
  if (PyUnicode_Check(v)) {
    Ref text = Ref::take(PyObject_Str(v));
    refuse_backslash(text.get());
    Ref format = f.global(n.sql_string_format);
    return call(format.get(), text.get());
  }
  if (is_number(v)) return Ref::take(PyObject_Str(v));
  if (!truth(v)) return Ref::borrow(n.null);
  return Ref::take(PyObject_Str(v));
}

const Param p_raw_text[] = {{"raw_text"}};
const Param p_convert[] = {{"string"}, {"reverse", nullptr, Def::false_}};
const Param p_sql_str_value[] = {{"sql_str_value", "str"}};
const Param p_param_value[] = {{"param_value"}};

const FuncSpec s_replace_cdata = fn("replace_cdata", replace_cdata, p_raw_text);
const FuncSpec s_convert_cdata = fn("convert_cdata", convert_cdata, p_convert);
const FuncSpec s_sql_string_format = fn("sql_string_format", sql_string_format, p_sql_str_value);
const FuncSpec s_param_str = fn("param_str", param_str, p_param_value);

void populate(ModuleBuilder& m) {
  n.init();
  Ref numbers = import("numbers");
  numbers_number = getattr(numbers.get(), "Number").release();

  m.import_module("regex", "re");
  m.def({&s_replace_cdata, &s_convert_cdata, &s_sql_string_format, &s_param_str});
}

}  // namespace

VERDIN_MODULE(cdatakit, "verdin.utils.cdatakit", populate)
