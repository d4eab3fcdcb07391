// verdin.utils.bindnote: finds #{...}, ${...} and $f{...} references and describes each one.
#include "module.hpp"
#include "text.hpp"

using namespace verdin;

namespace {

#define BINDNOTE_NAMES(X)                                                    \
  X(re, "re")                                                                \
  X(compile, "compile")                                                      \
  X(search, "search")                                                        \
  X(findall, "findall")                                                      \
  X(match, "match")                                                          \
  X(group, "group")                                                          \
  X(strip, "strip")                                                          \
  X(replace, "replace")                                                      \
  X(regex, "regex")                                                          \
  X(prefix, "prefix")                                                        \
  X(text, "text")                                                            \
  X(tail, "tail")                                                            \
  X(param_function_regex, "param_function_regex")                            \
  X(sql_regex_list, "sql_regex_list")                                        \
  X(SqlParam, "SqlParam")                                                    \
  X(MapperParam, "MapperParam")                                              \
  X(get_regex_value, "__get_regex_value")                                    \
  X(resolve_param, "resolve_param")                                          \
  X(is_function, "is_function")                                              \
  X(param_name, "param_name")                                                \
  X(function_expression, "function_expression")                              \
  X(function_name, "function_name")                                          \
  X(sql_param, "sql_param")                                                  \
  X(full_name, "full_name")                                                  \
  X(sql_type, "sql_type")                                                    \
  X(python_type, "python_type")                                              \
  X(type_handler, "type_handler")                                            \
  X(name, "name")                                                            \
  X(open_brace, "{")                                                         \
  X(close_brace, "}")                                                        \
  X(empty, "")                                                               \
  X(comma, ",")                                                              \
  X(lparen, "(")                                                             \
  X(non_space, "\\S")                                                        \
  X(sql_type_pattern, "(\\s*sql_type\\s*=\\s*)(?P<sql_type>\\w+)?")          \
  X(python_type_pattern, "(\\s*python_type\\s*=\\s*)(?P<python_type>\\w+)?") \
  X(type_handler_pattern, "(\\s*type_handler\\s*=\\s*)(?P<type_handler>\\w+)?")
VERDIN_NAMES(BINDNOTE_NAMES);
Names n;
PyObject *kw_function, *kw_param_name, *kw_mapper;

// --- SqlParamRegex -------------------------------------------------------------------

Ref regex_init(Func& f, PyObject* const* a) {
  PyObject *self = a[0], *regex = a[1], *prefix = a[2];
  Ref re = f.global(n.re);
  Ref compiled = call_method(re.get(), n.compile, regex);
  setattr(self, n.regex, compiled.get());
  setattr(self, n.prefix, prefix);
  return Ref::borrow(Py_None);
}

// The text before the first occurrence of `sep` (all of it when `sep` does not occur).
Ref before(PyObject* s, PyObject* sep) {
  Py_ssize_t i = PyUnicode_Find(s, sep, 0, PyUnicode_GET_LENGTH(s), 1);
  if (i == -2) throw_error();
  if (i < 0) return Ref::borrow(s);
  return Ref::take(PyUnicode_Substring(s, 0, i));
}

Ref regex_resolve_param(Func& f, PyObject* const* a) {
  PyObject *self = a[0], *param = a[1];
  Ref prefix = getattr(self, n.prefix);
  Ref opener = Ref::take(PyNumber_Add(prefix.get(), n.open_brace));
  Ref body = call_method(param, n.replace, opener.get(), n.empty);
  body = call_method(body.get(), n.replace, n.close_brace, n.empty);
  Ref func_regex = f.global(n.param_function_regex);
  Ref m = call_method(func_regex.get(), n.match, body.get());
  Ref sql_param_cls = f.global(n.SqlParam);
  if (truth(m.get())) {
    Ref name = before(body.get(), n.lparen);
    PyObject* args[] = {body.get(), Py_True, name.get()};
    return call_kw(sql_param_cls.get(), args, 0, kw_function);
  }
  Ref name = before(body.get(), n.comma);
  PyObject* args[] = {name.get()};
  return call_kw(sql_param_cls.get(), args, 0, kw_param_name);
}

// --- SqlParam / MapperParam ------------------------------------------------------------

Ref sql_param_init(Func&, PyObject* const* a) {
  PyObject *self = a[0], *param_name = a[1], *function_expression = a[2], *is_function = a[3];
  PyObject* function_name = a[4];
  setattr(self, n.is_function, is_function);
  setattr(self, n.param_name, param_name);
  setattr(self, n.function_expression, function_expression);
  setattr(self, n.function_name, function_name);
  return Ref::borrow(Py_None);
}

// Concatenates label/attribute pairs: label0 + str(self.attr0) + label1 + str(self.attr1) ...
Ref describe(PyObject* self, std::initializer_list<std::pair<const char*, PyObject*>> parts) {
  Ref out = Ref::take(PyUnicode_New(0, 0));
  for (auto& [label, attr] : parts) {
    Ref l = new_str(label);
    Ref v = getattr(self, attr);
    Ref s = Ref::take(PyObject_Str(v.get()));
    out = concat({out.get(), l.get(), s.get()});
  }
  return out;
}

Ref sql_param_str(Func&, PyObject* const* a) {
  return describe(a[0], {{"is_function:", n.is_function},
                         {" ,param_name:", n.param_name},
                         {",function_expression:", n.function_expression},
                         {",function_name:", n.function_name}});
}

Ref mapper_param_init(Func&, PyObject* const* a) {
  PyObject *self = a[0], *sql_param = a[1], *full_name = a[2], *sql_type = a[3];
  PyObject *python_type = a[4], *type_handler = a[5];
  setattr(self, n.sql_param, sql_param);
  setattr(self, n.full_name, full_name);
  setattr(self, n.sql_type, sql_type);
  setattr(self, n.python_type, python_type);
  setattr(self, n.type_handler, type_handler);
  Ref name = getattr(sql_param, n.param_name);
  setattr(self, n.param_name, name.get());
  return Ref::borrow(Py_None);
}

Ref mapper_param_str(Func&, PyObject* const* a) {
  return describe(a[0], {{"sql_param:", n.sql_param},
                         {" ,full_name:", n.full_name},
                         {",sql_type:", n.sql_type},
                         {",python_type:", n.python_type},
                         {",type_handler:", n.type_handler},
                         {",param_name:", n.param_name}});
}

// --- scanning --------------------------------------------------------------------------

Ref get_regex_value(Func& f, PyObject* const* a) {
  PyObject *regex = a[0], *param = a[1], *group = a[2];
  Ref re = f.global(n.re);
  Ref m = call_method(re.get(), n.search, regex, param);
  if (m.get() == Py_None) return m;
  Ref g = call_method(m.get(), n.group, group);
  return call_method(g.get(), n.strip);
}

// Steps 1 to 3 of the scan: every notation of sql_regex_list in turn, each distinct
// reference once, in order of first occurrence.
Ref scan(Func& f, PyObject* text) {
  Ref result = Ref::take(PyList_New(0));
  Ref regex_list = f.global(n.sql_regex_list);
  Ref it = Ref::take(PyObject_GetIter(regex_list.get()));
  while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
    Ref regex = getattr(entry.get(), n.regex);
    Ref found = call_method(regex.get(), n.findall, text);
    // dict.fromkeys keeps the first occurrence of each distinct match, in order.
    Ref distinct = Ref::take(PyDict_New());
    Ref fit = Ref::take(PyObject_GetIter(found.get()));
    while (Ref m = Ref::steal(PyIter_Next(fit.get())))
      ok(PyDict_SetItem(distinct.get(), m.get(), Py_None));
    if (PyErr_Occurred()) throw_error();
    PyObject *key, *unused;
    Py_ssize_t pos = 0;
    while (PyDict_Next(distinct.get(), &pos, &key, &unused)) {
      // Held: resolve_param may be overridden and reach (and change) the dict.
      Ref param_ref = Ref::borrow(key);
      PyObject* param = param_ref.get();
      Ref sql_param = call_method(entry.get(), n.resolve_param, param);
      Ref mapper_cls = f.global(n.MapperParam);
      PyObject* args[] = {param, sql_param.get()};
      Ref mapper_param = call_kw(mapper_cls.get(), args, 0, kw_mapper);
      Ref is_function = getattr(sql_param.get(), n.is_function);
      if (!truth(is_function.get())) {
        Ref name = getattr(sql_param.get(), n.param_name);
        setattr(mapper_param.get(), n.name, name.get());
        const std::pair<PyObject*, PyObject*> attrs[] = {{n.sql_type, n.sql_type_pattern},
                                                         {n.python_type, n.python_type_pattern},
                                                         {n.type_handler, n.type_handler_pattern}};
        for (auto& [attr, pattern] : attrs) {
          Ref lookup = f.global(n.get_regex_value);
          Ref v = call(lookup.get(), pattern, param, attr);
          setattr(mapper_param.get(), attr, v.get());
        }
      }
      ok(PyList_Append(result.get(), mapper_param.get()));
    }
  }
  if (PyErr_Occurred()) throw_error();
  return result;
}

Ref get_sql_param(Func& f, PyObject* const* a) {
  return scan(f, a[0]);
}

// `value` if it is truthy and has a non-space character, else "".
Ref meaningful(PyObject* value, PyObject* not_space) {
  if (!truth(value)) return Ref::borrow(n.empty);
  Ref m = call_method(not_space, n.search, value);
  return Ref::borrow(m.get() == Py_None ? n.empty : value);
}

Ref get_params(Func& f, PyObject* const* a) {
  Ref re = f.global(n.re);
  Ref p = call_method(re.get(), n.compile, n.non_space);
  PyObject* child = a[0];
  Ref text = getattr(child, n.text);
  Ref tail = getattr(child, n.tail);
  // Both attributes are read before either is searched.
  Ref child_text = truth(text.get()) ? text.copy() : Ref::borrow(n.empty);
  Ref child_tail = truth(tail.get()) ? tail.copy() : Ref::borrow(n.empty);
  child_text = meaningful(child_text.get(), p.get());
  child_tail = meaningful(child_tail.get(), p.get());
  Ref joined = Ref::take(PyNumber_Add(child_text.get(), child_tail.get()));
  return scan(f, joined.get());
}

const Param p_regex_init[] = {{"self"}, {"regex", "str"}, {"prefix", "str"}};
const Param p_resolve[] = {{"self"}, {"param", "str"}};
const Param p_sql_param_init[] = {{"self"},
                                  {"param_name", "str", Def::none},
                                  {"function_expression", "str", Def::none},
                                  {"is_function", "bool", Def::false_},
                                  {"function_name", "str", Def::none}};
const Param p_self[] = {{"self"}};
const Param p_mapper_init[] = {{"self"},
                               {"sql_param", "SqlParam"},
                               {"full_name", "str", Def::none},
                               {"sql_type", "str", Def::none},
                               {"python_type", "str", Def::none},
                               {"type_handler", "str", Def::none}};
const Param p_child[] = {{"child"}};
const Param p_param_text[] = {{"param_text"}};
const Param p_regex_value[] = {{"regex", "str"}, {"param", "str"}, {"group", "str"}};

const FuncSpec s_regex_init = fn("__init__", regex_init, p_regex_init);
const FuncSpec s_resolve = fn("resolve_param", regex_resolve_param, p_resolve);
const FuncSpec s_sql_param_init = fn("__init__", sql_param_init, p_sql_param_init);
const FuncSpec s_sql_param_str = fn("__str__", sql_param_str, p_self);
const FuncSpec s_mapper_init = fn("__init__", mapper_param_init, p_mapper_init);
const FuncSpec s_mapper_str = fn("__str__", mapper_param_str, p_self);
const FuncSpec s_get_params = fn("get_params", get_params, p_child);
const FuncSpec s_get_sql_param = fn("get_sql_param", get_sql_param, p_param_text);
const FuncSpec s_get_regex_value = fn("__get_regex_value", get_regex_value, p_regex_value);

Ref str_list(std::initializer_list<const char*> items) {
  Ref l = Ref::take(PyList_New(0));
  for (const char* s : items) {
    Ref v = new_str(s);
    ok(PyList_Append(l.get(), v.get()));
  }
  return l;
}

void populate(ModuleBuilder& m) {
  n.init();
  kw_function = ok(Py_BuildValue("(sss)", "function_expression", "is_function", "function_name"));
  kw_param_name = ok(Py_BuildValue("(s)", "param_name"));
  kw_mapper = ok(Py_BuildValue("(ss)", "full_name", "sql_param"));

  Ref re = m.import_module("regex", "re");

  Ref type_mapping = Ref::take(PyDict_New());
  const std::pair<const char*, Ref> groups[] = {
      {"NUM", str_list({"TINYINT", "SMALLINT", "INTEGER", "BIGINT", "BIT", "DECIMAL", "DOUBLE",
                        "FLOAT", "NUMERIC"})},
      {"BOOLEAN", str_list({"BOOLEAN"})},
      {"DATE", str_list({"DATE", "TIME", "TIMESTAMP"})},
      {"STRING", str_list({"CHAR", "VARCHAR", "NCHAR", "NVARCHAR", "LONGNVARCHAR", "LONGVARCHAR"})},
      {"BINARY", str_list({"BINARY", "VARBINARY", "LONGVARBINARY", "BLOB"})},
      {"OTHER",
       str_list({"ARRAY", "CLOB", "CURSOR", "DATALINK", "DATETIMEOFFSET", "DISTINCT", "NCLOB",
                 "NULL", "OTHER", "REAL", "REF", "ROWID", "SQLXML", "STRUCT", "UNDEFINED"})},
  };
  for (auto& [key, value] : groups) ok(PyDict_SetItemString(type_mapping.get(), key, value.get()));
  m.set("type_mapping", type_mapping.get());

  Ref pattern = new_str(".+?\\(.+?\\)");
  Ref func_regex = call_method(re.get(), n.compile, pattern.get());
  m.set("param_function_regex", func_regex.get());

  Ref regex_cls = m.def_class("SqlParamRegex", {&s_regex_init, &s_resolve});
  m.def_class("SqlParam", {&s_sql_param_init, &s_sql_param_str});
  m.def_class("MapperParam", {&s_mapper_init, &s_mapper_str});

  Ref regex_list = Ref::take(PyList_New(0));
  const std::pair<const char*, const char*> notations[] = {
      {"\\#\\{.+?\\}", "#"}, {"\\$\\{.+?\\}", "$"}, {"\\$f\\{.+?\\}", "$f"}};
  for (auto& [pat, prefix] : notations) {
    Ref p = new_str(pat);
    Ref pre = new_str(prefix);
    Ref entry = call(regex_cls.get(), p.get(), pre.get());
    ok(PyList_Append(regex_list.get(), entry.get()));
  }
  m.set("sql_regex_list", regex_list.get());

  m.def({&s_get_params, &s_get_sql_param, &s_get_regex_value});
}

}  // namespace

VERDIN_MODULE(bindnote, "verdin.utils.bindnote", populate)
