// The statement log and the error notes of statements run by namespace and id, shared by the
// facades.
#pragma once

#include <chrono>
#include <utility>

#include "errors.hpp"
#include "sessions.hpp"
#include "tracing.hpp"

namespace verdin::statement_log {

// One statement run by namespace and id, once it has finished (borrowed references).
struct Statement {
  PyObject* namespace_;
  PyObject* sql_id;
  PyObject* sql;               // what was sent: the page statement of a paged call
  double duration_ms;          // from sending it to the mapped result
  PyObject* error;             // the exception it ended with, or null
  PyObject* server = nullptr;  // the engine it ran on, when the caller knows it
};

// Whether anything listens for finished statements; without a listener a statement is neither
// timed nor reported, and costs one isEnabledFor call.
bool wanted();

// The one place a finished statement is reported: a DEBUG record on the "verdin.sql" logger,
// "<namespace>.<id> (<duration> ms): <SQL sent>", with namespace, sql_id, sql and duration_ms
// as record attributes. Bind values are never reported.
void finished(const Statement& s);

// Adds "while running statement '<id>' of namespace '<namespace>'" to the pending exception.
void note_failure(PyObject* namespace_, PyObject* sql_id) noexcept;

// Runs `body()` (returning a Ref) as the statement `sql_id` of `namespace_`, assembled as `sql`,
// for `facade` (borrowed, may be null): reports it when it ends, to the log and as a span, and
// notes the exception that leaves it. `server`, when given, holds the engine the body ran the
// statement on by the time it ends.
template <typename Body>
Ref run(PyObject* facade, PyObject* namespace_, PyObject* sql_id, PyObject* sql, Body&& body,
        const Ref* server = nullptr) {
  Ref span = tracing::start(facade, namespace_, sql_id);
  bool logged = wanted();
  if (!logged && !span) {
    try {
      return body();
    } catch (PyErrorSet&) {
      note_failure(namespace_, sql_id);
      throw;
    }
  }
  sent_sql::Collector sent;
  auto started = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
        .count();
  };
  Ref out;
  try {
    out = body();
  } catch (PyErrorSet&) {
    double ms = elapsed();
    Ref exc = fetch_exception();
    Ref shown = Ref::borrow(sql);
    try {
      Handling handling(exc.get());
      shown = sent.last(sql);
      if (logged) {
        finished(
            {namespace_, sql_id, shown.get(), ms, exc.get(), server ? server->get() : nullptr});
      }
    } catch (PyErrorSet&) {
      // The statement's own error is the one the caller must see.
      PyErr_Clear();
    }
    tracing::finish(span, shown.get(), nullptr, exc.get(), server ? server->get() : nullptr);
    restore_exception(std::move(exc));
    note_failure(namespace_, sql_id);
    throw;
  }
  double ms = elapsed();
  Ref shown = sent.last(sql);
  tracing::finish(span, shown.get(), out.get(), nullptr, server ? server->get() : nullptr);
  if (logged)
    finished({namespace_, sql_id, shown.get(), ms, nullptr, server ? server->get() : nullptr});
  return out;
}

template <typename Body>
Ref run(PyObject* namespace_, PyObject* sql_id, PyObject* sql, Body&& body,
        const Ref* server = nullptr) {
  return run(nullptr, namespace_, sql_id, sql, std::forward<Body>(body), server);
}

}  // namespace verdin::statement_log
