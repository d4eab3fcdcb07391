// The statement log and the error notes of statements run by namespace and id, shared by the
// facades.
#pragma once

#include <exception>

#include "errors.hpp"

namespace verdin::statement_log {

// One DEBUG record on the "verdin.sql" logger: "<namespace>.<id>: <final SQL text>", with the
// three also as the record attributes `namespace`, `sql_id` and `sql`. Bind values are never
// logged. With DEBUG off for that logger this costs one isEnabledFor call.
void record(PyObject* namespace_, PyObject* sql_id, PyObject* sql);

// Adds "while running statement '<id>' of namespace '<namespace>'" to the pending exception.
void note_failure(PyObject* namespace_, PyObject* sql_id) noexcept;

// Around the run of one statement: records it on entry, and notes the exception that leaves the
// scope. The arguments are borrowed and must outlive the scope.
class Scope {
 public:
  Scope(PyObject* namespace_, PyObject* sql_id, PyObject* sql)
      : namespace_(namespace_), sql_id_(sql_id), unwinding_(std::uncaught_exceptions()) {
    record(namespace_, sql_id, sql);
  }
  ~Scope() {
    if (std::uncaught_exceptions() > unwinding_) note_failure(namespace_, sql_id_);
  }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  PyObject* namespace_;
  PyObject* sql_id_;
  int unwinding_;
};

}  // namespace verdin::statement_log
