// verdin.mapper.stmtloom: ParseMapper loads a mapper file and assembles its statements.
#include "stmtloom.hpp"

#include "vocabulary.hpp"

namespace verdin::stmtloom {

Names n;
Originals orig;
PyTypeObject* element_type = nullptr;

namespace {
// The type's own data descriptors for tag, text, tail and attrib (instances cannot shadow them),
// kept for the life of the process like the type itself.
PyObject* element_descrs[static_cast<int>(ElementField::count)];
PyObject* element_field_names[static_cast<int>(ElementField::count)];
}  // namespace

void init_element_fields() {
  const char* names[] = {"tag", "text", "tail", "attrib"};
  for (int i = 0; i < static_cast<int>(ElementField::count); i++) {
    element_field_names[i] = intern(names[i]);
    PyObject* type = reinterpret_cast<PyObject*>(element_type);
    Ref d = Ref::steal(PyObject_GetAttr(type, element_field_names[i]));
    if (!d) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
      PyErr_Clear();
    }
    bool usable =
        d && Py_TYPE(d.get()) == &PyGetSetDescr_Type && Py_TYPE(d.get())->tp_descr_get != nullptr;
    element_descrs[i] = usable ? d.release() : nullptr;
  }
}

Ref element_field(PyObject* element, ElementField field) {
  int i = static_cast<int>(field);
  PyObject* d = element_descrs[i];
  if (d != nullptr && Py_TYPE(element) == element_type) {
    return Ref::take(
        Py_TYPE(d)->tp_descr_get(d, element, reinterpret_cast<PyObject*>(element_type)));
  }
  return getattr(element, element_field_names[i]);
}

namespace {

bool str_eq(PyObject* a, PyObject* b) {
  return ok(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

[[noreturn]] void fail(const char* message) {
  PyErr_SetString(PyExc_Exception, message);
  throw_error();
}

// d.get(key, None) on a mapping attribute.
Ref mapping_get(PyObject* d, PyObject* key) {
  if (PyDict_CheckExact(d)) {
    Ref v = dict_get(d, key);
    return v ? std::move(v) : Ref::borrow(Py_None);
  }
  return call_method(d, n.get, key, Py_None);
}

// The file each live mapper was read from, for the notes of its errors. Kept beside the instance
// so that its attributes stay exactly the documented ones: id(mapper) -> path, an entry leaving
// with its mapper.
PyObject* loaded_from = nullptr;

void remember_file(PyObject* self, PyObject* path) {
  if (loaded_from == nullptr) loaded_from = ok(PyDict_New());
  Ref key = Ref::take(PyLong_FromVoidPtr(self));
  ok(PyDict_SetItem(loaded_from, key.get(), path));
  try {
    Ref weakref = import("weakref");
    Ref finalize = getattr(weakref.get(), "finalize");
    Ref pop = getattr(loaded_from, "pop");
    call(finalize.get(), self, pop.get(), key.get(), Py_None);
  } catch (PyErrorSet&) {
    // Without a weak reference the entry could outlive its mapper and name the file of a
    // stranger that reuses the address: better no file in the notes.
    PyErr_Clear();
    if (PyDict_DelItem(loaded_from, key.get()) < 0) PyErr_Clear();
  }
}

Ref file_of(PyObject* self) {
  if (loaded_from == nullptr) return Ref();
  Ref key = Ref::take(PyLong_FromVoidPtr(self));
  return Ref::borrow(PyDict_GetItemWithError(loaded_from, key.get()));
}

Ref load(Func& f, PyObject* const* a) {
  PyObject *self = a[0], *xml_path = a[1];
  for (PyObject* name : {n.id_2_element_map, n.result_type_map, n.sql_type_map}) {
    Ref d = Ref::take(PyDict_New());
    setattr(self, name, d.get());
  }
  Ref et = f.global(n.et);
  Ref tree = call_method(et.get(), n.parse, xml_path);
  Ref root = call_method(tree.get(), n.getroot);

  Ref walk = call_method(root.get(), n.iter);
  Ref it = Ref::take(PyObject_GetIter(walk.get()));
  while (Ref e = Ref::steal(PyIter_Next(it.get()))) {
    Ref tag = getattr(e.get(), n.tag);
    if (!str_eq(tag.get(), n.mapper)) continue;
    Ref attrib = getattr(e.get(), n.attrib);
    if (ok(PySequence_Contains(attrib.get(), n.namespace_))) {
      Ref ns = Ref::take(PyObject_GetItem(attrib.get(), n.namespace_));
      setattr(self, n.namespace_, ns.get());
    }
    break;
  }
  if (PyErr_Occurred()) throw_error();

  Ref children = Ref::take(PyObject_GetIter(root.get()));
  while (Ref child = Ref::steal(PyIter_Next(children.get()))) {
    Ref tag = getattr(child.get(), n.tag);
    Ref kinds = f.global(n.sql_id_type_list);
    if (!ok(PySequence_Contains(kinds.get(), tag.get()))) continue;
    Ref attrib = getattr(child.get(), n.attrib);
    Ref sql_id = mapping_get(attrib.get(), n.id);
    Ref result_type = Ref::borrow(Py_None);
    if (str_eq(tag.get(), n.select)) result_type = mapping_get(attrib.get(), n.resultType);
    if (result_type.get() == Py_None) {
      result_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
    } else {
      Ref resolve = f.global(n.get_type_from_string);
      Ref is_container = f.global(n.is_container_type_by_str);
      result_type =
          vocabulary::resolve_result_type(resolve.get(), is_container.get(), result_type.get());
    }
    if (sql_id.get() == Py_None) fail("Missing id");
    const std::pair<PyObject*, PyObject*> stores[] = {{n.id_2_element_map, child.get()},
                                                      {n.result_type_map, result_type.get()},
                                                      {n.sql_type_map, tag.get()}};
    for (auto& [attr, value] : stores) {
      Ref map = getattr(self, attr);
      ok(PyObject_SetItem(map.get(), sql_id.get(), value));
    }
  }
  if (PyErr_Occurred()) throw_error();
  return Ref::borrow(Py_None);
}

Ref init(Func& f, PyObject* const* a) {
  try {
    load(f, a);
  } catch (PyErrorSet&) {
    note_pending(
        [&] { return Ref::take(PyUnicode_FromFormat("while loading mapper file %R", a[1])); });
    throw;
  }
  remember_file(a[0], a[1]);
  return Ref::borrow(Py_None);
}

// "in statement 'find' of namespace 'user', mapper file 'mappers/user.xml'"
Ref statement_note(PyObject* self, PyObject* sql_id) {
  Ref ns = Ref::steal(PyObject_GetAttr(self, n.namespace_));
  if (!ns) PyErr_Clear();
  Ref where = ns ? Ref::take(PyUnicode_FromFormat("namespace %R", ns.get()))
                 : new_str("a mapper without namespace");
  Ref file = file_of(self);
  if (!file) {
    if (PyErr_Occurred()) throw_error();
    return Ref::take(PyUnicode_FromFormat("in statement %R of %U", sql_id, where.get()));
  }
  return Ref::take(PyUnicode_FromFormat("in statement %R of %U, mapper file %R", sql_id,
                                        where.get(), file.get()));
}

Ref call_self(PyObject* name, PyObject* self, PyObject* x, PyObject* y) {
  PyObject* args[] = {self, x, y};
  return Ref::take(
      PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref assemble(PyObject* const* a) {
  PyObject *self = a[0], *sql_id = a[1], *params = a[2];
  Ref result_types = getattr(self, n.result_type_map);
  Ref result_type = mapping_get(result_types.get(), sql_id);
  Ref kinds = getattr(self, n.sql_type_map);
  Ref sql_type = mapping_get(kinds.get(), sql_id);
  PyObject* method = n.delete_;
  for (PyObject* kind : {n.select, n.insert, n.update}) {
    if (str_eq(sql_type.get(), kind)) {
      method = kind;
      break;
    }
  }
  Ref pair = call_self(method, self, sql_id, params);
  Ref parts[2];
  unpack(pair.get(), 2, parts);
  return Ref::take(
      PyTuple_Pack(4, parts[0].get(), parts[1].get(), sql_type.get(), result_type.get()));
}

Ref get_sql(Func&, PyObject* const* a) {
  try {
    return assemble(a);
  } catch (PyErrorSet&) {
    note_pending([&] { return statement_note(a[0], a[1]); });
    throw;
  }
}

Ref list_statement(Func&, PyObject* const* a) {
  Ref map = getattr(a[0], n.id_2_element_map);
  return call_method(map.get(), n.keys);
}

// The steps shared by select, update, delete and insert.
Ref statement(PyObject* self, PyObject* id, PyObject* params, PyObject* kind, const char* mismatch,
              Ref parts[2]) {
  Ref map = getattr(self, n.id_2_element_map);
  Ref element;
  if (PyDict_CheckExact(map.get())) {
    element = dict_get(map.get(), id);
  } else if (ok(PySequence_Contains(map.get(), id))) {
    element = Ref::take(PyObject_GetItem(map.get(), id));
  }
  if (!element) fail("Missing id");
  Ref tag = element_field(element.get(), ElementField::tag);
  if (!str_eq(tag.get(), kind)) fail(mismatch);
  Ref param0 = Ref::take(PyDict_New());
  ok(PyDict_SetItem(param0.get(), n.params, params));
  Ref ret = body_text(self, element.get(), param0.get());
  ret = remove_comments(ret.get());
  Ref pair = call_self(n.to_prepared_statement, self, ret.get(), params);
  unpack(pair.get(), 2, parts);
  return Ref();
}

Ref pack(Ref parts[2]) {
  return Ref::take(PyTuple_Pack(2, parts[0].get(), parts[1].get()));
}

Ref select(Func&, PyObject* const* a) {
  Ref parts[2];
  statement(a[0], a[1], a[2], n.select, "Not a select", parts);
  return pack(parts);
}

Ref update(Func&, PyObject* const* a) {
  Ref parts[2];
  statement(a[0], a[1], a[2], n.update, "Not an update", parts);
  return pack(parts);
}

Ref delete_(Func&, PyObject* const* a) {
  Ref parts[2];
  statement(a[0], a[1], a[2], n.delete_, "Not a delete", parts);
  return pack(parts);
}

Ref insert(Func& f, PyObject* const* a) {
  Ref parts[2];
  statement(a[0], a[1], a[2], n.insert, "Not an insert", parts);
  PyObject* primary_key = a[3];
  if (truth(primary_key)) {
    Ref sql_text = getattr(parts[0].get(), n.text);
    // A comment on the last line would run on over the clause.
    Ref sep = PyUnicode_Check(sql_text.get()) && last_line_marked(sql_text.get())
                  ? new_str("\nRETURNING ")
                  : Ref::borrow(n.returning);
    Ref full = concat({sql_text.get(), sep.get(), primary_key});
    Ref text_fn = f.global(n.text_fn);
    parts[0] = call(text_fn.get(), full.get());
  }
  return pack(parts);
}

const Param p_init[] = {{"self"}, {"xml_path", "str", Def::none}};
const Param p_get_sql[] = {{"self"}, {"sql_id", "str"}, {"params", "dict", Def::none}};
const Param p_self[] = {{"self"}};
const Param p_trim_prefix[] = {{"s", "str"}, {"prefixes", "set[str]"}};
const Param p_trim_suffix[] = {{"s", "str"}, {"suffixes", "set[str]"}};
const Param p_parse_element[] = {
    {"self"}, {"element", "et.Element", Def::required, nullptr, Check::any}, {"param", "dict"}};
const Param p_format_sql[] = {{"sql"}};
const Param p_ret_param[] = {{"ret"}, {"param"}};
const Param p_statement[] = {{"self"}, {"id", "str"}, {"params", "dict"}};
const Param p_insert[] = {
    {"self"}, {"id", "str"}, {"params", "dict"}, {"primary_key", "str", Def::none}};

const FuncSpec s_init = fn("__init__", init, p_init);
const FuncSpec s_get_sql =
    fn("get_sql", get_sql, p_get_sql, "tuple",
       "Get SQL Statement By sql_id\nFormatting of SQL Statements\n:return:");
const FuncSpec s_list_statement = fn("list_statement", list_statement, p_self);
const FuncSpec s_trim_prefix = fn("_trim_prefix", trim_prefix, p_trim_prefix).as_static();
const FuncSpec s_trim_suffix = fn("_trim_suffix", trim_suffix, p_trim_suffix).as_static();
const FuncSpec s_parse_element = fn("parse_element", parse_element, p_parse_element);
const FuncSpec s_format_sql = fn("_format_sql", format_sql, p_format_sql).as_static();
const FuncSpec s_to_prepared_statement =
    fn("to_prepared_statement", to_prepared_statement, p_ret_param, "tuple[TextClause, dict]")
        .as_static();
const FuncSpec s_to_replace = fn("to_replace", to_replace, p_ret_param, "str").as_static();
const FuncSpec s_select = fn("select", select, p_statement);
const FuncSpec s_update = fn("update", update, p_statement);
const FuncSpec s_delete = fn("delete", delete_, p_statement);
const FuncSpec s_insert = fn("insert", insert, p_insert);

const Param p_load[] = {{"paths"}};
constexpr const char* load_doc =
    "Load mapper files into the dict of mappers by namespace that VerdinSqlSession takes.\n\n"
    "`paths` is a path (str or path-like) or an iterable of paths; a folder stands for every\n"
    "*.xml file below it, in sorted order. A file without a namespace, or two files with the\n"
    "same namespace, raise ValueError.";
const FuncSpec s_load_mappers = fn("load_mappers", load_mappers, p_load, nullptr, load_doc);

void populate(ModuleBuilder& m) {
  n.init();
  Ref re = m.import_module("re");
  Ref et = m.import_module("xml.etree.ElementTree", "et");
  element_type = reinterpret_cast<PyTypeObject*>(getattr(et.get(), "Element").release());
  init_element_fields();
  Ref text_fn = m.import_from("sqlalchemy", "text");
  m.import_from("sqlalchemy", "TextClause");
  m.import_from("verdin.utils.kindprobe", {"get_type_from_string", "is_container_type_by_str"});

  Ref kinds = Ref::take(Py_BuildValue("[sssss]", "sql", "select", "insert", "update", "delete"));
  m.set("sql_id_type_list", kinds.get());
  Ref compile = getattr(re.get(), "compile");
  Ref names = new_str("#{([a-zA-Z0-9_\\-]+)}");
  Ref param_pattern = call(compile.get(), names.get());
  m.set("param_pattern", param_pattern.get());
  Ref dollars = new_str("\\${([a-zA-Z0-9_\\-]+)}");
  Ref replace_pattern = call(compile.get(), dollars.get());
  m.set("replace_pattern", replace_pattern.get());

  Ref cls = m.def_class("ParseMapper",
                        {&s_init, &s_get_sql, &s_list_statement, &s_trim_prefix, &s_trim_suffix,
                         &s_parse_element, &s_format_sql, &s_to_prepared_statement, &s_to_replace,
                         &s_select, &s_update, &s_delete, &s_insert});

  m.def(s_load_mappers);

  orig.re = re.get();
  orig.re_sub = getattr(re.get(), n.sub).release();
  orig.param_pattern = param_pattern.get();
  orig.format_sql = getattr(cls.get(), n.format_sql).release();
  orig.trim_prefix = getattr(cls.get(), n.trim_prefix).release();
  orig.trim_suffix = getattr(cls.get(), n.trim_suffix).release();
  orig.text_fn = Py_NewRef(text_fn.get());
  init_clauses(orig.text_fn);
  Ref builtins = import("builtins");
  orig.eval = getattr(builtins.get(), "eval").release();
  // The module keeps the objects compared against alive for the life of the process.
  Py_INCREF(orig.re);
  Py_INCREF(orig.param_pattern);
}

}  // namespace
}  // namespace verdin::stmtloom

VERDIN_MODULE(stmtloom, "verdin.mapper.stmtloom", verdin::stmtloom::populate)
