// Expressions of mapper files: exactly eval(source, globals), with compiled code cached.
#include "stmtloom.hpp"
#include "vocabulary.hpp"

namespace verdin::stmtloom {
namespace {

constexpr Py_ssize_t cache_limit = 4096;
// source text -> code object, or a 1-tuple holding the code when it reads the name `dialect`
PyObject* code_cache = nullptr;
PyObject* dialect_name = nullptr;

Ref builtin_eval(PyObject* source, PyObject* globals) {
  return call(orig.eval, source, globals);
}

bool is_dialect(PyObject* name, void*) {
  return name == dialect_name || PyUnicode_Compare(name, dialect_name) == 0;
}

// The cache entry of an exact str; empty when it holds NUL bytes.
Ref cached(PyObject* source) {
  if (code_cache == nullptr) {
    code_cache = ok(PyDict_New());
    dialect_name = intern("dialect");
  }
  if (Ref entry = dict_get(code_cache, source)) return entry;
  Ref code = vocabulary::compile_expression(source);
  if (!code) return code;
  Ref entry = reads_name(code.get(), is_dialect, nullptr) ? Ref::take(PyTuple_Pack(1, code.get()))
                                                          : std::move(code);
  if (PyDict_GET_SIZE(code_cache) >= cache_limit) PyDict_Clear(code_cache);
  ok(PyDict_SetItem(code_cache, source, entry.get()));
  return entry;
}

// Removes what was lent to `globals` under `key` (unless the expression replaced it), keeping
// the evaluation's pending exception, if any, as the one reported.
void take_back(PyObject* globals, PyObject* key, PyObject* lent) {
  Ref pending = PyErr_Occurred() ? fetch_exception() : Ref();
  try {
    Ref now = dict_get(globals, key);
    if (now.get() == lent) ok(PyDict_DelItem(globals, key));
  } catch (PyErrorSet&) {
    if (!pending) throw;
    PyErr_Clear();
  }
  if (pending) restore_exception(std::move(pending));
}

// Runs `code` with `value` lent to `globals` under `key` when it has none.
template <typename Run>
Ref lending(PyObject* globals, PyObject* key, PyObject* value, Run&& run) {
  if (ok(PyDict_Contains(globals, key))) return run();
  Ref lent = Ref::borrow(value);
  ok(PyDict_SetItem(globals, key, lent.get()));
  Ref result;
  try {
    result = run();
  } catch (PyErrorSet&) {
    take_back(globals, key, lent.get());
    throw;
  }
  take_back(globals, key, lent.get());
  return result;
}

}  // namespace

Ref expression_code(PyObject* source) {
  Ref entry = cached(source);
  if (entry && PyTuple_Check(entry.get())) return Ref::borrow(PyTuple_GET_ITEM(entry.get(), 0));
  return entry;
}

bool reads_name(PyObject* code, bool (*wanted)(PyObject*, void*), void* data) {
  Ref names = getattr(code, "co_names");
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); i++) {
    if (wanted(PyTuple_GET_ITEM(names.get(), i), data)) return true;
  }
  Ref consts = getattr(code, "co_consts");
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); i++) {
    PyObject* c = PyTuple_GET_ITEM(consts.get(), i);
    if (PyCode_Check(c) && reads_name(c, wanted, data)) return true;
  }
  return false;
}

Ref eval_expr(PyObject* source, PyObject* globals, PyObject* mapper) {
  if (!PyDict_Check(globals)) return builtin_eval(source, globals);
  Ref entry = PyUnicode_CheckExact(source) ? cached(source) : Ref();
  PyObject* code = entry.get();
  auto run = [&] {
    // NUL bytes (or a source that is not a str): the exact errors only eval() itself gives.
    if (code == nullptr) return builtin_eval(source, globals);
    return Ref::take(PyEval_EvalCode(code, globals, globals));
  };
  // eval() provides the builtins through the globals; they are lent only for the evaluation,
  // so that the dict ends as the caller gave it.
  auto with_builtins = [&] { return lending(globals, n.builtins_key, PyEval_GetBuiltins(), run); };
  if (code == nullptr || !PyTuple_Check(code)) return with_builtins();
  code = PyTuple_GET_ITEM(code, 0);
  Ref dialect = dialect_of(mapper);
  return lending(globals, dialect_name, dialect.get(), with_builtins);
}

}  // namespace verdin::stmtloom
