// OpenTelemetry spans of statements run by id: the native side of verdin.db.otel.
#pragma once

#include "ref.hpp"

namespace verdin::tracing {

// The span of a statement about to run, current until `finish`; a null Ref when OpenTelemetry is
// not imported (then nothing is imported and nothing called) or no tracer provider is set. An
// error of the tracing machinery is reported as unraisable, never to the statement's caller.
Ref start(PyObject* facade, PyObject* namespace_, PyObject* sql_id) noexcept;

// Ends the span of `start` with the SQL sent and the result, or the exception, and the engine that
// ran it (all borrowed; result, error and server may be null). Keeps any exception pending.
void finish(const Ref& span, PyObject* sql, PyObject* result, PyObject* error,
            PyObject* server) noexcept;

}  // namespace verdin::tracing
