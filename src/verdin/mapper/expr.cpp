// Expressions of mapper files: exactly eval(source, globals), with compiled code cached.
#include "stmtloom.hpp"
#include "vocabulary.hpp"

namespace verdin::stmtloom {
namespace {

constexpr Py_ssize_t cache_limit = 4096;
PyObject* code_cache = nullptr;  // source text -> code object

Ref builtin_eval(PyObject* source, PyObject* globals) {
  return call(orig.eval, source, globals);
}

Ref evaluate(PyObject* source, PyObject* globals) {
  if (!PyUnicode_CheckExact(source)) return builtin_eval(source, globals);
  if (code_cache == nullptr) code_cache = ok(PyDict_New());
  Ref code = dict_get(code_cache, source);
  if (!code) {
    code = vocabulary::compile_expression(source);
    // NUL bytes: leave the exact error text to eval() itself.
    if (!code) return builtin_eval(source, globals);
    if (PyDict_GET_SIZE(code_cache) >= cache_limit) PyDict_Clear(code_cache);
    ok(PyDict_SetItem(code_cache, source, code.get()));
  }
  return Ref::take(PyEval_EvalCode(code.get(), globals, globals));
}

// Removes the builtins lent to `globals` (unless the expression replaced them), keeping the
// evaluation's pending exception, if any, as the one reported.
void take_back(PyObject* globals, PyObject* lent) {
  Ref pending = PyErr_Occurred() ? fetch_exception() : Ref();
  try {
    Ref now = dict_get(globals, n.builtins_key);
    if (now.get() == lent) ok(PyDict_DelItem(globals, n.builtins_key));
  } catch (PyErrorSet&) {
    if (!pending) throw;
    PyErr_Clear();
  }
  if (pending) restore_exception(std::move(pending));
}

}  // namespace

Ref eval_expr(PyObject* source, PyObject* globals) {
  if (!PyDict_Check(globals)) return builtin_eval(source, globals);
  // eval() provides the builtins through the globals; they are lent only for the evaluation,
  // so that the dict ends as the caller gave it.
  if (ok(PyDict_Contains(globals, n.builtins_key))) return evaluate(source, globals);
  Ref lent = Ref::borrow(PyEval_GetBuiltins());
  ok(PyDict_SetItem(globals, n.builtins_key, lent.get()));
  Ref result;
  try {
    result = evaluate(source, globals);
  } catch (PyErrorSet&) {
    take_back(globals, lent.get());
    throw;
  }
  take_back(globals, lent.get());
  return result;
}

}  // namespace verdin::stmtloom
