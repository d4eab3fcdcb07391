// Read replicas: which server runs a read, and the back-off of replicas that cannot be reached.
#include <chrono>

#include "gc_fields.hpp"
#include "txnfront.hpp"

namespace verdin::txnfront {
namespace {

// The routing state of one facade. Under the GIL, as everything else here.
struct Router {
  PyObject_HEAD PyObject* engines;  // tuple of the replica engines
  PyObject* templates;              // tuple of one SqlTemplate per engine
  double* down_until;  // per replica: skipped until this steady-clock second; 0 when up
  Py_ssize_t next;     // where the round-robin goes next
};

PyTypeObject* router_type = nullptr;
// sqlalchemy.exc.OperationalError and InterfaceError: what a driver raises when it cannot reach
// its server.
PyObject* connect_errors = nullptr;

double now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

using RouterGc = GcFields<Router, &Router::engines, &Router::templates>;

void router_dealloc(PyObject* self) {
  PyMem_Free(reinterpret_cast<Router*>(self)->down_until);
  RouterGc::dealloc(self);
}

PyType_Slot router_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(router_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(RouterGc::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(RouterGc::clear)},
    {Py_tp_doc, const_cast<char*>("Where a VerdinSqlSession sends its reads.")},
    {0, nullptr},
};

PyType_Spec router_spec = {
    "verdin.db.txnfront.ReplicaRouter",
    sizeof(Router),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    router_slots,
};

[[noreturn]] void bad_replica(PyObject* type, Py_ssize_t i, const char* why) {
  PyErr_Format(type, "replicas[%zd] %s", i, why);
  throw_error();
}

// Whether `exc` says the statement never reached the server: the driver could not connect (or
// begin) there. SQLAlchemy leaves `statement` unset for exactly those failures; an error of the
// statement itself carries it and is never retried elsewhere.
bool unreachable(PyObject* exc) {
  int is = PyObject_IsInstance(exc, connect_errors);
  if (is <= 0) {
    if (is < 0) PyErr_Clear();
    return false;
  }
  PyObject* statement = PyObject_GetAttr(exc, n.statement);
  if (statement == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_DECREF(statement);
  return statement == Py_None;
}

// Puts replica `i` on back-off for self.replica_backoff seconds and says so on the
// "verdin.replicas" logger, with the error that made it.
void back_off(PyObject* self, Router* r, Py_ssize_t i, PyObject* exc) {
  Ref seconds = getattr(self, n.replica_backoff);
  double wait = PyFloat_AsDouble(seconds.get());
  if (wait == -1.0 && PyErr_Occurred()) throw_error();
  r->down_until[i] = wait > 0 ? now() + wait : 0;
  Ref logging = import("logging");
  Ref name = new_str("verdin.replicas");
  Ref logger = call_method(logging.get(), Ref(new_str("getLogger")).get(), name.get());
  Ref format = new_str("replica %r cannot be reached; reads skip it for %s s: %s");
  Ref url = getattr(PyTuple_GET_ITEM(r->engines, i), n.url);
  call_method(logger.get(), Ref(new_str("warning")).get(), format.get(), url.get(), seconds.get(),
              exc);
}

// obj.<name>, or empty when it has no such attribute; without raising and catching an
// AttributeError, which would cost more than the rest of the check.
Ref optional_attr(PyObject* obj, PyObject* name) {
  PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  ok(PyObject_GetOptionalAttr(obj, name, &value));
#else
  ok(_PyObject_LookupAttr(obj, name, &value));
#endif
  return Ref::steal(value);
}

}  // namespace

Ref replica_router(PyObject* self) {
  Ref out = optional_attr(self, n.replica_router);
  if (out && Py_TYPE(out.get()) != router_type) out.reset();
  return out;
}

bool is_dml(PyObject* statement) {
  Ref flag = optional_attr(statement, n.is_dml);
  return flag && truth(flag.get());
}

void set_replicas(Func& f, PyObject* self, PyObject* replicas) {
  if (replicas == Py_None) return;
  if (!PyList_CheckExact(replicas) && !PyTuple_CheckExact(replicas)) {
    raise_arg_type("replicas", "list", replicas);
  }
  Ref engines = Ref::take(PySequence_Tuple(replicas));
  Ref primary = getattr(self, n.data_source);
  Ref engine_cls = f.global(n.Engine);
  Py_ssize_t count = PyTuple_GET_SIZE(engines.get());
  for (Py_ssize_t i = 0; i < count; i++) {
    PyObject* item = PyTuple_GET_ITEM(engines.get(), i);
    if (ok(PyObject_IsInstance(item, engine_cls.get())) == 0) {
      // An AsyncEngine is told apart by what it wraps, so its module is not imported here.
      PyObject* sync = PyObject_GetAttr(item, n.sync_engine);
      bool is_async = sync != nullptr;
      Py_XDECREF(sync);
      PyErr_Clear();
      if (is_async) {
        bad_replica(PyExc_TypeError, i,
                    "is an AsyncEngine: VerdinSqlSession reads through Engine objects "
                    "(AsyncVerdinSqlSession takes AsyncEngine replicas)");
      }
      PyErr_Format(PyExc_TypeError,
                   "replicas[%zd] has incorrect type (expected Engine, got %.200s)", i,
                   Py_TYPE(item)->tp_name);
      throw_error();
    }
    if (item == primary.get()) {
      bad_replica(PyExc_ValueError, i,
                  "is the primary engine (data_source): a replica is another server");
    }
  }
  setattr(self, n.replicas, engines.get());
  if (count == 0) return;
  Ref templates = Ref::take(PyTuple_New(count));
  Ref cls = f.global(n.SqlTemplate);
  for (Py_ssize_t i = 0; i < count; i++) {
    PyTuple_SET_ITEM(templates.get(), i,
                     call(cls.get(), PyTuple_GET_ITEM(engines.get(), i)).release());
  }
  Router* r = PyObject_GC_New(Router, router_type);
  if (r == nullptr) throw_error();
  r->engines = engines.release();
  r->templates = templates.release();
  r->next = 0;
  r->down_until = static_cast<double*>(PyMem_Calloc(count, sizeof(double)));
  Ref router = Ref::steal(reinterpret_cast<PyObject*>(r));
  PyObject_GC_Track(router.get());
  if (r->down_until == nullptr) {
    PyErr_NoMemory();
    throw_error();
  }
  setattr(self, n.replica_router, router.get());
}

Ref read_on_replica(PyObject* self, PyObject* router, PyObject* method, PyObject* const* args,
                    size_t npos, PyObject* kwnames, PyObject* on_primary, Ref* server) {
  Ref hold = Ref::borrow(router);
  Router* r = reinterpret_cast<Router*>(router);
  Ref templates = Ref::borrow(r->templates);
  Py_ssize_t count = PyTuple_GET_SIZE(templates.get());
  Py_ssize_t start = r->next;
  r->next = start + 1 < count ? start + 1 : 0;
  double checked = -1;
  for (Py_ssize_t k = 0; k < count; k++) {
    Py_ssize_t i = (start + k) % count;
    if (r->down_until[i] != 0) {
      if (checked < 0) checked = now();
      if (checked < r->down_until[i]) continue;
      r->down_until[i] = 0;
    }
    Ref bound = getattr(PyTuple_GET_ITEM(templates.get(), i), method);
    if (server) *server = Ref::borrow(PyTuple_GET_ITEM(r->engines, i));
    Ref result = Ref::steal(PyObject_Vectorcall(bound.get(), args, npos, kwnames));
    if (result) return result;
    Ref exc = fetch_exception();
    if (!unreachable(exc.get())) {
      restore_exception(std::move(exc));
      throw_error();
    }
    back_off(self, r, i, exc.get());
  }
  if (server) *server = getattr(self, n.data_source);
  return call_kw(on_primary, args, npos, kwnames);
}

void define_replicas(ModuleBuilder&) {
  if (router_type != nullptr) return;
  Ref exc = import("sqlalchemy.exc");
  Ref operational = getattr(exc.get(), "OperationalError");
  Ref interface = getattr(exc.get(), "InterfaceError");
  connect_errors = ok(PyTuple_Pack(2, operational.get(), interface.get()));
  Ref type = Ref::take(PyType_FromSpec(&router_spec));
  router_type = reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace verdin::txnfront
