// Sessions as sessionmaker(bind=..., expire_on_commit=False)() makes them, shared by the db
// modules.
#pragma once

#include "ref.hpp"

namespace verdin {

// sessionmaker(bind=bind, expire_on_commit=False)() through `factory` (the module's global
// `sessionmaker`, read by the caller at call time). While that global is still SQLAlchemy's own
// `original`, the Session is made directly with the arguments the factory would pass, without
// the new Session subclass that every factory builds.
Ref open_session(PyObject* factory, PyObject* original, PyObject* session_cls, PyObject* bind);

}  // namespace verdin
