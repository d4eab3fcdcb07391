// Sessions shared by the db modules: how they are made, and the mark a transaction() leaves on
// the session it owns.
#pragma once

#include "ref.hpp"

namespace verdin {

// sessionmaker(bind=bind, expire_on_commit=False)() through `factory` (the module's global
// `sessionmaker`, read by the caller at call time). While that global is still SQLAlchemy's own
// `original`, the Session is made directly with the arguments the factory would pass, without
// the new Session subclass that every factory builds.
Ref open_session(PyObject* factory, PyObject* original, PyObject* session_cls, PyObject* bind);

// A transaction() keeps its state in its session's `info` under "verdin.transaction" (the async
// facade writes the same key): True while the block runs, the exception of the first statement
// that failed and rolled the session back, False once the block has ended. A session that
// begin_tx() bound holds "closed" once the sync facade has closed it (close(), or begin_tx()
// again). Every other session is untracked, and so is an object without an `info` dict.
enum class TxState { untracked, open, failed, ended, closed };

// The state of `session`; `failure` receives the exception when the state is `failed`.
TxState tx_state(PyObject* session, Ref* failure = nullptr);
// Sets the state: Py_True, Py_False or the failing statement's exception. Does nothing on an
// untracked object without an `info` dict.
void set_tx_state(PyObject* session, PyObject* value);
// Marks `session`, which the facade is closing, as closed; unless a transaction() tracks it.
void mark_closed(PyObject* session);

namespace sent_sql {

// A call by id whose template rewrites its statement (a page of a query) sends another SQL text
// than the one the facade assembled. While the statement log wants it, the facade collects what
// the template reports, in a ContextVar (so concurrent tasks and threads keep theirs apart) that
// querydeck creates at import as its global `__sent_sql__`.
void create(PyObject* module_dict);

// The template's report: `sql` (a statement) is what it sends. Nothing unless collected.
void report(PyObject* sql);

// Collects the reports of the calls made while it lives.
class Collector {
 public:
  Collector();
  ~Collector();
  // The last statement reported, or `assembled` when none was.
  Ref last(PyObject* assembled) const;
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

 private:
  Ref box_, token_;
};

}  // namespace sent_sql
}  // namespace verdin
