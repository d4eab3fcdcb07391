// What a mapper file may say, shared by the mapper and the checker.
#include "vocabulary.hpp"

#include <cstring>

namespace verdin::vocabulary {

Ref compile_expression(PyObject* source) {
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(source, &size);
  if (utf8 == nullptr) throw_error();
  if (std::strlen(utf8) != static_cast<size_t>(size)) return Ref();
  while (*utf8 == ' ' || *utf8 == '\t') utf8++;
  // As eval() compiles a str: the text is already decoded, so a coding cookie in it is only a
  // comment.
  PyCompilerFlags flags{};
  flags.cf_flags = PyCF_SOURCE_IS_UTF8 | PyCF_IGNORE_COOKIE;
  flags.cf_feature_version = PY_MINOR_VERSION;
  return Ref::take(Py_CompileStringExFlags(utf8, "<string>", Py_eval_input, &flags, -1));
}

Ref collection_test(PyObject* collection) {
  return Ref::take(PyUnicode_FromFormat("isinstance(%U,list)", collection));
}

Ref resolve_result_type(PyObject* get_type_from_string, PyObject* is_container_type_by_str,
                        PyObject* text) {
  Ref resolved = call(get_type_from_string, text);
  Ref container = call(is_container_type_by_str, text);
  if (truth(container.get()) && resolved.get() != reinterpret_cast<PyObject*>(&PyDict_Type)) {
    Ref message =
        Ref::take(PyUnicode_FromFormat("please check result_type: can`t set type: %S", text));
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw_error();
  }
  return resolved;
}

}  // namespace verdin::vocabulary
