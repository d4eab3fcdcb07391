// Expressions of mapper files: exactly eval(source, globals), with compiled code cached.
#include <cstring>

#include "stmtloom.hpp"

namespace verdin::stmtloom {
namespace {

constexpr Py_ssize_t cache_limit = 4096;
PyObject* code_cache = nullptr;  // source text -> code object

Ref builtin_eval(PyObject* source, PyObject* globals) {
  return call(orig.eval, source, globals);
}

}  // namespace

Ref eval_expr(PyObject* source, PyObject* globals) {
  if (!PyUnicode_CheckExact(source) || !PyDict_Check(globals)) return builtin_eval(source, globals);
  if (code_cache == nullptr) code_cache = ok(PyDict_New());
  // eval() provides the builtins before it compiles.
  int has = ok(PyDict_Contains(globals, n.builtins_key));
  if (!has) ok(PyDict_SetItem(globals, n.builtins_key, PyEval_GetBuiltins()));
  Ref code = Ref::borrow(PyDict_GetItemWithError(code_cache, source));
  if (!code) {
    if (PyErr_Occurred()) throw_error();
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(source, &size);
    if (utf8 == nullptr) throw_error();
    // NUL bytes: leave the exact error text to eval() itself.
    if (std::strlen(utf8) != static_cast<size_t>(size)) return builtin_eval(source, globals);
    while (*utf8 == ' ' || *utf8 == '\t') utf8++;
    PyCompilerFlags flags = _PyCompilerFlags_INIT;
    flags.cf_flags = PyCF_SOURCE_IS_UTF8;
    code = Ref::take(Py_CompileStringExFlags(utf8, "<string>", Py_eval_input, &flags, -1));
    if (PyDict_GET_SIZE(code_cache) >= cache_limit) PyDict_Clear(code_cache);
    ok(PyDict_SetItem(code_cache, source, code.get()));
  }
  return Ref::take(PyEval_EvalCode(code.get(), globals, globals));
}

}  // namespace verdin::stmtloom
