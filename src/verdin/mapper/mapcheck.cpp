// verdin.mapper.mapcheck: what the checker of mapper files asks the mapper itself.
#include "module.hpp"
#include "vocabulary.hpp"

using namespace verdin;

namespace {

PyObject* stmtloom_globals = nullptr;

Ref stmtloom_global(const char* name) {
  PyObject* v = PyDict_GetItemString(stmtloom_globals, name);
  if (v == nullptr) {
    PyErr_Format(PyExc_AttributeError, "verdin.mapper.stmtloom has no attribute '%s'", name);
    throw_error();
  }
  return Ref::borrow(v);
}

// How many elements deep the mapper can assemble a statement: every element it enters draws on
// the interpreter's C recursion budget, and a tenth of that is left for whoever calls get_sql.
// 3.13 counts far more C calls (10,000) than the native stack holds: there the mapper's own stack
// guard ends first, at about 4,000 levels on an 8 MiB thread stack (about 2 KiB a level).
long nesting_limit() {
#if defined(Py_C_RECURSION_LIMIT)
  long budget = Py_C_RECURSION_LIMIT;
#elif defined(C_RECURSION_LIMIT)
  long budget = C_RECURSION_LIMIT;
#else
  long budget = Py_GetRecursionLimit();
#endif
#if PY_VERSION_HEX >= 0x030D0000
  if (budget > 4000) budget = 4000;
#endif
  return budget - budget / 10;
}

Ref compile_source(PyObject* source) {
  if (Ref code = vocabulary::compile_expression(source)) return code;
  // NUL bytes: the error eval() would raise, from compile() itself.
  Ref builtins = import("builtins");
  Ref compile = getattr(builtins.get(), "compile");
  Ref file = new_str("<string>");
  Ref mode = new_str("eval");
  return call(compile.get(), source, file.get(), mode.get());
}

Ref compile_expression(Func&, PyObject* const* a) {
  return compile_source(a[0]);
}

Ref compile_collection(Func&, PyObject* const* a) {
  Ref test = vocabulary::collection_test(a[0]);
  return compile_source(test.get());
}

Ref resolve_result_type(Func&, PyObject* const* a) {
  Ref resolve = stmtloom_global("get_type_from_string");
  Ref is_container = stmtloom_global("is_container_type_by_str");
  return vocabulary::resolve_result_type(resolve.get(), is_container.get(), a[0]);
}

const Param p_source[] = {{"source", "str"}};
const Param p_collection[] = {{"collection", "str"}};
const Param p_type_str[] = {{"type_str", "str"}};

const FuncSpec s_compile_expression =
    fn("compile_expression", compile_expression, p_source, "CodeType",
       "Compile a test expression as the mapper evaluates it; errors as eval() raises them.");
const FuncSpec s_compile_collection =
    fn("compile_collection", compile_collection, p_collection, "CodeType",
       "Compile the list test that a foreach evaluates for its collection expression.");
const FuncSpec s_resolve_result_type =
    fn("resolve_result_type", resolve_result_type, p_type_str, "type",
       "The class a select's resultType names, resolved and refused as loading the mapper does.");

// The names of a rule's attribute list, up to its first empty slot.
template <size_t N>
Ref names_tuple(const char* const (&names)[N]) {
  Ref out = Ref::take(PyTuple_New(0));
  for (const char* attr : names) {
    if (attr == nullptr) break;
    Ref name = new_str(attr);
    Ref one = Ref::take(PyTuple_Pack(1, name.get()));
    out = Ref::take(PySequence_Concat(out.get(), one.get()));
  }
  return out;
}

void populate(ModuleBuilder& m) {
  Ref stmtloom = import("verdin.mapper.stmtloom");
  stmtloom_globals = Ref::borrow(PyModule_GetDict(stmtloom.get())).release();
  Ref rules = Ref::take(PyDict_New());
  Ref attributes = Ref::take(PyDict_New());
  for (const vocabulary::ElementRule& rule : vocabulary::elements) {
    Ref required = names_tuple(rule.required);
    Ref optional = names_tuple(rule.optional);
    Ref expression = rule.expression ? new_str(rule.expression) : Ref::borrow(Py_None);
    Ref entry = Ref::take(PyTuple_Pack(2, required.get(), expression.get()));
    ok(PyDict_SetItemString(rules.get(), rule.tag, entry.get()));
    Ref all = Ref::take(PySequence_Concat(required.get(), optional.get()));
    ok(PyDict_SetItemString(attributes.get(), rule.tag, all.get()));
  }
  m.set("element_rules", rules.get());
  m.set("element_attributes", attributes.get());
  Ref limit = Ref::take(PyLong_FromLong(nesting_limit()));
  m.set("nesting_limit", limit.get());
  m.def({&s_compile_expression, &s_compile_collection, &s_resolve_result_type});
}

}  // namespace

VERDIN_MODULE(mapcheck, "verdin.mapper.mapcheck", populate)
