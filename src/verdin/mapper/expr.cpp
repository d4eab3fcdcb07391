// Expressions of mapper files: exactly eval(source, globals), with compiled code cached.
#include <cstring>

#include "stmtloom.hpp"

namespace stmtloom {
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
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(source, &size);
    if (utf8 == nullptr) throw_error();
    // NUL bytes: leave the exact error text to eval() itself.
    if (std::strlen(utf8) != static_cast<size_t>(size)) return builtin_eval(source, globals);
    while (*utf8 == ' ' || *utf8 == '\t') utf8++;
    // As eval() compiles a str: the text is already decoded, so a coding cookie in it is
    // only a comment.
    PyCompilerFlags flags = _PyCompilerFlags_INIT;
    flags.cf_flags = PyCF_SOURCE_IS_UTF8 | PyCF_IGNORE_COOKIE;
    code = Ref::take(Py_CompileStringExFlags(utf8, "<string>", Py_eval_input, &flags, -1));
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

}  // namespace stmtloom
