// OpenTelemetry spans of statements run by id: the native side of verdin.db.otel.
#include "tracing.hpp"

#include "errors.hpp"
#include "module.hpp"

namespace verdin::tracing {
namespace {

PyObject* otel_trace_name = nullptr;  // "opentelemetry.trace"
PyObject* hooks = nullptr;            // verdin.db.otel, imported on the first span

// Whether a program may have set a tracer provider: only once it imported the API.
bool api_imported() {
  if (otel_trace_name == nullptr) otel_trace_name = intern("opentelemetry.trace");
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* found = PyDict_GetItemWithError(modules, otel_trace_name);
  if (found == nullptr && PyErr_Occurred()) PyErr_Clear();
  return found != nullptr && found != Py_None;
}

Ref hook(const char* name) {
  if (hooks == nullptr) hooks = import("verdin.db.otel").release();
  return getattr(hooks, name);
}

}  // namespace

Ref start(PyObject* facade, PyObject* namespace_, PyObject* sql_id) noexcept {
  if (!api_imported()) return Ref();
  try {
    Ref begin = hook("start");
    Ref span = call(begin.get(), facade, namespace_, sql_id);
    if (span.get() != Py_None) return span;
  } catch (PyErrorSet&) {
    PyErr_WriteUnraisable(nullptr);
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
    PyErr_WriteUnraisable(nullptr);
  }
  return Ref();
}

void finish(const Ref& span, PyObject* sql, PyObject* result, PyObject* error,
            PyObject* server) noexcept {
  if (!span) return;
  Ref pending = fetch_exception();
  try {
    Ref end = hook("finish");
    call(end.get(), span.get(), sql, result ? result : Py_None, error ? error : Py_None,
         server ? server : Py_None);
  } catch (PyErrorSet&) {
    PyErr_WriteUnraisable(nullptr);
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
    PyErr_WriteUnraisable(nullptr);
  }
  if (pending) restore_exception(std::move(pending));
}

}  // namespace verdin::tracing
