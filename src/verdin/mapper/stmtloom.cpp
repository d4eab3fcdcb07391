// verdin.mapper.stmtloom: ParseMapper loads a mapper file and assembles its statements.
#include "stmtloom.hpp"

#include <unordered_map>

#include "vocabulary.hpp"

namespace verdin::stmtloom {

Names n;
Originals orig;
Py_ssize_t featured_mappers = 0;
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

// What each live mapper was loaded with, kept beside the instance so that its attributes stay
// exactly the documented ones; an entry leaves with its mapper. Never destroyed: the entries
// hold Python objects, which must not be released after the interpreter has gone.
auto& infos = *new std::unordered_map<PyObject*, MapperInfo>();

bool featured(const MapperInfo& info) {
  return info.strict || info.paths || info.reserved;
}

void forget_key(void* key) {
  auto it = infos.find(static_cast<PyObject*>(key));
  if (it == infos.end()) return;
  if (featured(it->second)) featured_mappers--;
  infos.erase(it);
}

PyObject* forget(PyObject*, PyObject* key) {
  void* p = PyLong_AsVoidPtr(key);
  if (p == nullptr && PyErr_Occurred()) return nullptr;
  forget_key(p);
  Py_RETURN_NONE;
}

PyMethodDef forget_def = {"_forget_mapper", forget, METH_O, nullptr};

}  // namespace

const MapperInfo* mapper_info(PyObject* mapper) {
  auto it = infos.find(mapper);
  return it == infos.end() ? nullptr : &it->second;
}

void set_group(PyObject* mapper, PyObject* group, PyObject* reserved) {
  auto it = infos.find(mapper);
  if (it == infos.end()) return;
  bool was = featured(it->second);
  it->second.group = Ref::borrow(group);
  if (reserved != nullptr) it->second.reserved = Ref::borrow(reserved);
  if (!was && featured(it->second)) featured_mappers++;
}

Ref dialect_of(PyObject* mapper) {
  const MapperInfo* info = mapper ? mapper_info(mapper) : nullptr;
  return info && info->dialect ? info->dialect.copy() : Ref::borrow(Py_None);
}

namespace {

void remember(PyObject* self, MapperInfo info) {
  forget_key(self);
  if (featured(info)) featured_mappers++;
  infos[self] = std::move(info);
  try {
    static PyObject* forget_fn = ok(PyCFunction_New(&forget_def, nullptr));
    Ref key = Ref::take(PyLong_FromVoidPtr(self));
    Ref weakref = import("weakref");
    Ref finalize = getattr(weakref.get(), "finalize");
    call(finalize.get(), self, forget_fn, key.get());
  } catch (PyErrorSet&) {
    // Without a weak reference the entry could outlive its mapper and describe a stranger that
    // reuses the address: better no entry.
    PyErr_Clear();
    forget_key(self);
  }
}

Ref file_of(PyObject* self) {
  const MapperInfo* info = mapper_info(self);
  return info ? info->file.copy() : Ref();
}

// The dialects a statement element is written for: the names of its comma-separated `dialect`
// attribute, or an empty list (written for every dialect).
Ref dialects_of(PyObject* attrib) {
  Ref out = Ref::take(PyList_New(0));
  Ref value = mapping_get(attrib, n.dialect);
  if (value.get() == Py_None) return out;
  Ref pieces = call_method(value.get(), n.split, n.comma);
  Ref it = Ref::take(PyObject_GetIter(pieces.get()));
  while (Ref piece = Ref::steal(PyIter_Next(it.get()))) {
    Ref name = call_method(piece.get(), n.strip);
    if (truth(name.get())) ok(PyList_Append(out.get(), name.get()));
  }
  if (PyErr_Occurred()) throw_error();
  return out;
}

// The ids that have a variant for `dialect`, after checking that no id gives a variant for one
// dialect twice (whichever dialect the file is loaded for).
Ref variant_ids(PyObject* statements, PyObject* dialect) {
  Ref chosen = Ref::take(PySet_New(nullptr));
  Ref seen = Ref::take(PyDict_New());  // id -> set of dialects with a variant
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(statements); i++) {
    Ref child = Ref::borrow(PyList_GET_ITEM(statements, i));
    Ref attrib = getattr(child.get(), n.attrib);
    Ref names = dialects_of(attrib.get());
    Ref sql_id = mapping_get(attrib.get(), n.id);
    if (PyList_GET_SIZE(names.get()) == 0 || sql_id.get() == Py_None) continue;
    Ref known = dict_get(seen.get(), sql_id.get());
    if (!known) {
      known = Ref::take(PySet_New(nullptr));
      ok(PyDict_SetItem(seen.get(), sql_id.get(), known.get()));
    }
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(names.get()); k++) {
      PyObject* name = PyList_GET_ITEM(names.get(), k);
      if (ok(PySet_Contains(known.get(), name))) {
        PyErr_Format(PyExc_ValueError, "statement %R has two variants for dialect %R", sql_id.get(),
                     name);
        throw_error();
      }
      ok(PySet_Add(known.get(), name));
      if (dialect != Py_None && str_eq(name, dialect)) ok(PySet_Add(chosen.get(), sql_id.get()));
    }
  }
  return chosen;
}

// Whether any text of the element or below it holds a #{name.field} reference.
bool reads_fields(PyObject* element) {
  Ref walk = call_method(element, n.iter);
  Ref it = Ref::take(PyObject_GetIter(walk.get()));
  while (Ref e = Ref::steal(PyIter_Next(it.get()))) {
    for (ElementField field : {ElementField::text, ElementField::tail}) {
      Ref text = element_field(e.get(), field);
      if (has_field_refs(text.get())) return true;
    }
  }
  if (PyErr_Occurred()) throw_error();
  return false;
}

// Adds to `out` (made when first needed) the names of the "#{name}" references in `s` that end
// in "__" and digits, as generated bind names do.
void add_reserved(PyObject* s, Ref& out) {
  if (!PyUnicode_Check(s)) return;
  Spans names;
  reference_names(s, names);
  auto at = [s](Py_ssize_t i) { return PyUnicode_READ_CHAR(s, i); };
  for (const Span& sp : names) {
    Py_ssize_t k = sp.end;
    while (k > sp.start && at(k - 1) >= '0' && at(k - 1) <= '9') k--;
    if (k == sp.end || k - 2 < sp.start || at(k - 1) != '_' || at(k - 2) != '_') continue;
    if (!out) out = Ref::take(PySet_New(nullptr));
    Ref name = Ref::take(PyUnicode_Substring(s, sp.start, sp.end));
    ok(PySet_Add(out.get(), name.get()));
  }
}

// The reserved names (see MapperInfo) of every text and attribute value under `root`.
Ref reserved_names(PyObject* root) {
  Ref out;
  Ref walk = call_method(root, n.iter);
  Ref it = Ref::take(PyObject_GetIter(walk.get()));
  while (Ref e = Ref::steal(PyIter_Next(it.get()))) {
    for (ElementField field : {ElementField::text, ElementField::tail}) {
      Ref text = element_field(e.get(), field);
      add_reserved(text.get(), out);
    }
    Ref attrib = getattr(e.get(), n.attrib);
    if (!PyDict_Check(attrib.get())) continue;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(attrib.get(), &pos, &key, &value)) {
      Ref v = Ref::borrow(value);
      add_reserved(v.get(), out);
    }
  }
  if (PyErr_Occurred()) throw_error();
  return out;
}

void load(Func& f, PyObject* self, PyObject* xml_path, MapperInfo& info) {
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

  Ref statements = Ref::take(PyList_New(0));
  Ref children = Ref::take(PyObject_GetIter(root.get()));
  while (Ref child = Ref::steal(PyIter_Next(children.get()))) {
    Ref tag = getattr(child.get(), n.tag);
    Ref kinds = f.global(n.sql_id_type_list);
    if (ok(PySequence_Contains(kinds.get(), tag.get())))
      ok(PyList_Append(statements.get(), child.get()));
  }
  if (PyErr_Occurred()) throw_error();
  // Per id, the variant for the mapper's dialect, else the one written for every dialect.
  Ref chosen = variant_ids(statements.get(), info.dialect.get());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(statements.get()); i++) {
    Ref child = Ref::borrow(PyList_GET_ITEM(statements.get(), i));
    Ref tag = getattr(child.get(), n.tag);
    Ref attrib = getattr(child.get(), n.attrib);
    Ref sql_id = mapping_get(attrib.get(), n.id);
    Ref dialects = dialects_of(attrib.get());
    if (PyList_GET_SIZE(dialects.get()) > 0) {
      if (info.dialect.get() == Py_None ||
          !ok(PySequence_Contains(dialects.get(), info.dialect.get()))) {
        continue;
      }
    } else if (sql_id.get() != Py_None && ok(PySet_Contains(chosen.get(), sql_id.get()))) {
      continue;
    }
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
    info.paths = info.paths || reads_fields(child.get());
  }
  info.reserved = reserved_names(root.get());
}

Ref init(Func& f, PyObject* const* a) {
  PyObject *self = a[0], *xml_path = a[1], *dialect = a[2], *strict = a[3];
  MapperInfo info;
  info.file = Ref::borrow(xml_path);
  info.dialect = Ref::borrow(dialect);
  info.strict = strict == Py_True;
  try {
    load(f, self, xml_path, info);
  } catch (PyErrorSet&) {
    note_pending(
        [&] { return Ref::take(PyUnicode_FromFormat("while loading mapper file %R", xml_path)); });
    throw;
  }
  remember(self, std::move(info));
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

Ref assemble(PyObject* self, PyObject* sql_id, PyObject* params) {
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
  PyObject *self = a[0], *sql_id = a[1], *params = a[2];
  try {
    return assemble(self, sql_id, params);
  } catch (PyErrorSet&) {
    note_pending([&] { return statement_note(self, sql_id); });
    throw;
  }
}

Ref list_statement(Func&, PyObject* const* a) {
  PyObject* self = a[0];
  Ref map = getattr(self, n.id_2_element_map);
  return call_method(map.get(), n.keys);
}

// Where the binds of an assembled statement take their values: the caller's parameters, or when
// the statement generated binds (or may read fields or must find every value) a new dict of the
// parameters and the generated binds, with the field references of `ret` rewritten to binds.
Ref bind_values(Assembly& as, Ref& ret) {
  if (!as.extras && !as.paths && !as.strict) return Ref::borrow(as.params);
  Ref values = Ref::take(PyDict_Copy(as.params));
  if (as.extras) ok(PyDict_Update(values.get(), as.extras.get()));
  if (as.paths && PyUnicode_CheckExact(ret.get())) {
    ret = rewrite_refs(ret.get(), values.get(), &as, Refs::statement);
    if (as.extras) ok(PyDict_Update(values.get(), as.extras.get()));
  }
  if (as.strict) require_values(ret.get(), values.get());
  return values;
}

// What execute_many's assembly (text_statement below) calls directly rather than through the
// instance, as installed on the class at import.
struct PlainMapper {
  PyObject* cls = nullptr;      // ParseMapper
  PyObject* get_sql = nullptr;  // its get_sql function
  PyObject* methods = nullptr;  // dict: method name -> the class dict's entry
} plain;

// Whether `self.<name>` finds the class's own entry, as installed: nothing in the instance's
// dict shadows it and the class dict still holds it.
bool plain_method(PyObject* self, PyObject* name) {
  PyObject* installed = PyDict_GetItemWithError(plain.methods, name);
  if (installed == nullptr) {
    if (PyErr_Occurred()) throw_error();
    return false;
  }
  PyObject* now =
      PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(plain.cls)->tp_dict, name);
  if (now != installed) {
    if (now == nullptr && PyErr_Occurred()) throw_error();
    return false;
  }
  Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
  if (!dict) throw_error();
  return !ok(PyDict_Contains(dict.get(), name));
}

// Whether every method get_sql reaches on `self` is the installed one (see plain_method).
bool plain_mapper(PyObject* self) {
  Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
  if (!dict) throw_error();
  PyObject* class_dict = reinterpret_cast<PyTypeObject*>(plain.cls)->tp_dict;
  Py_ssize_t pos = 0;
  PyObject *name, *installed;
  while (PyDict_Next(plain.methods, &pos, &name, &installed)) {
    PyObject* now = PyDict_GetItemWithError(class_dict, name);
    if (now != installed) {
      if (now == nullptr && PyErr_Occurred()) throw_error();
      return false;
    }
    if (ok(PyDict_Contains(dict.get(), name))) return false;
  }
  return true;
}

// The steps shared by select, update, delete and insert. With `text_only` (execute_many's
// assembly, see text_statement), parts[0] is the finished SQL text rather than its clause while
// to_prepared_statement and the module's `text` are the installed ones, and the result says so;
// otherwise the clause as usual.
bool statement(PyObject* self, PyObject* id, PyObject* params, PyObject* kind, const char* mismatch,
               Ref parts[2], Func* text_only = nullptr) {
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
  Assembly as{self, params, param0.get()};
  if (featured_mappers > 0) {
    if (const MapperInfo* info = mapper_info(self)) {
      as.strict = info->strict;
      as.paths = info->paths;
      as.reserved = info->reserved.copy();
    }
  }
  Ref ret;
  {
    Registered registered(param0.get(), &as);
    ret = body_text(self, element.get(), param0.get());
  }
  ret = remove_comments(ret.get());
  Ref values = bind_values(as, ret);
  // The expressions just run could have replaced the module's `text` (checked before them too).
  if (text_only && plain_method(self, n.to_prepared_statement) &&
      Ref(text_only->global(n.text_fn)).get() == orig.text_fn) {
    Prepared prepared = prepare_statement(*text_only, ret.get(), values.get());
    parts[0] = std::move(prepared.sql);
    parts[1] = std::move(prepared.binds);
    return true;
  }
  Ref pair = call_self(n.to_prepared_statement, self, ret.get(), values.get());
  unpack(pair.get(), 2, parts);
  return false;
}

Ref pack(Ref parts[2]) {
  return Ref::take(PyTuple_Pack(2, parts[0].get(), parts[1].get()));
}

// select, update and delete (self, id, params): the statement's (clause, binds).
Ref statement_method(PyObject* const* a, PyObject* kind, const char* mismatch) {
  PyObject *self = a[0], *id = a[1], *params = a[2];
  Ref parts[2];
  statement(self, id, params, kind, mismatch, parts);
  return pack(parts);
}

Ref select(Func&, PyObject* const* a) {
  return statement_method(a, n.select, "Not a select");
}

Ref update(Func&, PyObject* const* a) {
  return statement_method(a, n.update, "Not an update");
}

Ref delete_(Func&, PyObject* const* a) {
  return statement_method(a, n.delete_, "Not a delete");
}

Ref insert(Func& f, PyObject* const* a) {
  PyObject *self = a[0], *id = a[1], *params = a[2], *primary_key = a[3];
  Ref parts[2];
  statement(self, id, params, n.insert, "Not an insert", parts);
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

// __bulk__[0](get_sql, sql_id, params): for execute_many, what get_sql(sql_id, params) gives
// with the finished SQL text in place of the clause, for a bound get_sql of an exact ParseMapper
// whose methods on the way are the installed ones and while the module's `text` is SQLAlchemy's;
// None otherwise; a fifth item says whether the first is that text or (when the expressions
// replaced `text`) the clause. The caller makes the clauses it sends with __bulk__[1]. Texts
// equal to the one before them skip the clause, which get_sql would make only to have it dropped.
Ref text_statement(Func& f, PyObject* const* a) {
  PyObject *get_sql_fn = a[0], *sql_id = a[1], *params = a[2];
  // What get_sql's and the statement methods' own argument checks would refuse goes to them.
  if (plain.cls == nullptr || !PyMethod_Check(get_sql_fn) ||
      PyMethod_GET_FUNCTION(get_sql_fn) != plain.get_sql || !PyUnicode_CheckExact(sql_id) ||
      !PyDict_CheckExact(params)) {
    return none();
  }
  PyObject* self = PyMethod_GET_SELF(get_sql_fn);
  if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(plain.cls)) return none();
  Ref text_fn = f.global(n.text_fn);
  if (text_fn.get() != orig.text_fn || !plain_mapper(self)) return none();
  Ref held = Ref::borrow(self);
  try {
    Ref result_types = getattr(self, n.result_type_map);
    Ref result_type = mapping_get(result_types.get(), sql_id);
    Ref kinds = getattr(self, n.sql_type_map);
    Ref sql_type = mapping_get(kinds.get(), sql_id);
    PyObject* method = n.delete_;
    const char* mismatch = "Not a delete";
    const std::pair<PyObject*, const char*> choices[] = {
        {n.select, "Not a select"}, {n.insert, "Not an insert"}, {n.update, "Not an update"}};
    for (const auto& [kind, message] : choices) {
      if (str_eq(sql_type.get(), kind)) {
        method = kind;
        mismatch = message;
        break;
      }
    }
    Ref parts[2];
    bool finished = statement(self, sql_id, params, method, mismatch, parts, &f);
    return Ref::take(PyTuple_Pack(5, parts[0].get(), parts[1].get(), sql_type.get(),
                                  result_type.get(), finished ? Py_True : Py_False));
  } catch (PyErrorSet&) {
    note_pending([&] { return statement_note(self, sql_id); });
    throw;
  }
}

// __bulk__[1](sql): the clause to_prepared_statement makes of a finished text.
Ref clause_for(Func& f, PyObject* const* a) {
  Ref text_fn = f.global(n.text_fn);
  return clause_of(text_fn.get(), a[0]);
}

const Param p_text_statement[] = {{"get_sql"}, {"sql_id"}, {"params"}};
const Param p_clause_for[] = {{"sql"}};
const FuncSpec s_text_statement = fn("_text_statement", text_statement, p_text_statement);
const FuncSpec s_clause_for = fn("_clause_for", clause_for, p_clause_for);

const Param p_init[] = {{"self"},
                        {"xml_path", "str", Def::none},
                        {"dialect", "str", Def::none, nullptr, Check::from_annotation, true},
                        {"strict", "bool", Def::false_, nullptr, Check::from_annotation, true}};
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

const Param p_load[] = {{"paths"},
                        {"dialect", "str", Def::none, nullptr, Check::from_annotation, true},
                        {"strict", "bool", Def::false_, nullptr, Check::from_annotation, true}};
constexpr const char* load_doc =
    "Load mapper files into the dict of mappers by namespace that VerdinSqlSession takes.\n\n"
    "`paths` is a path (str or path-like) or an iterable of paths; a folder stands for every\n"
    "*.xml file below it, in sorted order. A file without a namespace, or two files with the\n"
    "same namespace, raise ValueError. `dialect` and `strict` are passed on to every\n"
    "ParseMapper; the mappers loaded together include each other's fragments by\n"
    "\"namespace.id\".";
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

  Ref kinds = Ref::take(Py_BuildValue("[OOOOO]", n.sql, n.select, n.insert, n.update, n.delete_));
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
  Ref bulk = Ref::take(PyTuple_Pack(2, Ref(m.function(s_text_statement)).get(),
                                    Ref(m.function(s_clause_for)).get()));
  ok(PyDict_SetItem(m.dict(), intern("__bulk__"), bulk.get()));
  if (fast_paths_allowed()) {
    PyObject* class_dict = reinterpret_cast<PyTypeObject*>(cls.get())->tp_dict;
    Ref methods = Ref::take(PyDict_New());
    for (PyObject* name :
         {n.select, n.insert, n.update, n.delete_, n.to_prepared_statement, intern("get_sql")}) {
      Ref entry = dict_get(class_dict, name);
      if (entry) ok(PyDict_SetItem(methods.get(), name, entry.get()));
    }
    Ref get_sql_fn = dict_get(class_dict, intern("get_sql"));
    if (get_sql_fn && PyDict_GET_SIZE(methods.get()) == 6) {
      plain.get_sql = get_sql_fn.release();
      plain.methods = methods.release();
      plain.cls = Py_NewRef(cls.get());
    }
  }
  Ref builtins = import("builtins");
  orig.eval = getattr(builtins.get(), "eval").release();
  // The module keeps the objects compared against alive for the life of the process.
  Py_INCREF(orig.re);
  Py_INCREF(orig.param_pattern);
}

}  // namespace
}  // namespace verdin::stmtloom

VERDIN_MODULE(stmtloom, "verdin.mapper.stmtloom", verdin::stmtloom::populate)
