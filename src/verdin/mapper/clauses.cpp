// text() of a finished statement, built from a size-bounded cache of what text() made of the
// same text before.
//
// A new TextClause costs its construction and, when executed, its cache key (tens of
// microseconds for a long IN list); a text() constant pays both once. get_sql has to return a
// new clause each time, one that its caller may change. So the cache keeps, per repeated text,
// a private template (the attributes of its bind parameters and its cache key), and each call
// gets a clause with its own bind parameters made from it. The clause's memoised cache key is a
// KeyMemo that decides once, when SQLAlchemy first asks: a clause still exactly as handed out
// gets the template's key over its own bind parameters; a changed one gets the key SQLAlchemy
// computes for what it holds then, as a new text() would.
//
// SQLAlchemy internals this relies on, checked by `copies_verified` at import (text() per call
// when anything differs):
//  - a TextClause and a BindParameter are made by object.__new__ and keep all their state in
//    their __dict__: the clause its `text` and `_bindparams` (name -> BindParameter);
//  - TextClause memoises its key as the instance attribute `_generate_cache_key`, listed in
//    `_memoized_keys`, which generative copies (_generate, _clone) and __getstate__ leave out;
//  - HasCacheKey._generate_cache_key computes the key without memoising it;
//  - CacheKey is a tuple (key, bindparams, ...) whose fields after bindparams are None for text.
#include <cstdint>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "gc_fields.hpp"
#include "stmtloom.hpp"

namespace verdin::stmtloom {
namespace {

// A few MiB: every statement of a large application, or a few long IN lists. The estimate
// counts what an entry keeps alive: its text and slot, and for a template its parts and per
// bind parameter its attribute dict, its name and its part of the cache key (measured at about
// 400 bytes and 530 bytes a parameter on CPython 3.12).
constexpr Py_ssize_t cache_budget = 8 << 20;
constexpr Py_ssize_t slot_cost = 128;
constexpr Py_ssize_t template_cost = 256;
constexpr Py_ssize_t bind_cost = 576;
// A larger template would push out a good part of the rest; it is built per call instead.
constexpr Py_ssize_t largest_entry = cache_budget / 4;

// What a repeated text gives every clause made of it. Never handed out, never changed.
struct Template {
  Ref text;                         // the clause's text
  Ref names;                        // tuple: bind names, in the order of `_bindparams`
  Ref slots;                        // dict: the same names, each to None, copied per clause
  Ref attrs;                        // tuple: each bind parameter's __dict__, in key order
  std::vector<Py_ssize_t> key_pos;  // per name, the index of its parameter in the key
  Ref key;                          // the CacheKey text() gave, over the template's parameters
  Py_ssize_t cost = 0;
};

struct Clauses {
  bool usable = false;
  // final SQL text (exact str) -> None while seen once, then a capsule holding its Template
  OldestFirst cache;
  PyTypeObject* text_type = nullptr;
  PyTypeObject* bind_type = nullptr;
  PyTypeObject* key_type = nullptr;  // CacheKey
  PyTypeObject* memo_type = nullptr;
  PyObject* compute_key = nullptr;    // HasCacheKey._generate_cache_key
  PyObject* memoized_keys = nullptr;  // frozenset({"_generate_cache_key"})
  PyObject* empty = nullptr;
  PyObject* memo_name = nullptr;
  PyObject* dict_name = nullptr;
  PyObject* text_name = nullptr;
  PyObject* binds_name = nullptr;
  PyObject* keys_name = nullptr;
} c;

const char* const capsule_name = "verdin.clause_template";

Template* template_of(PyObject* capsule) {
  return static_cast<Template*>(PyCapsule_GetPointer(capsule, capsule_name));
}

void drop_template(PyObject* capsule) {
  delete static_cast<Template*>(PyCapsule_GetPointer(capsule, capsule_name));
}

Ref dict_of(PyObject* o) {
  return Ref::take(PyObject_GenericGetDict(o, nullptr));
}

// --- the memoised key of a handed-out clause ---------------------------------------------

struct KeyMemo {
  PyObject_HEAD PyObject* clause;  // weak reference, until the key is settled
  PyObject* tmpl;                  // capsule of the Template, until the key is settled
  PyObject* result;                // the key, once asked for
};

// Same keys and the very same values in the same order: nothing set, deleted or replaced.
bool same_entries(PyObject* a, PyObject* b) {
  if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b)) return false;
  Py_ssize_t i = 0, j = 0;
  PyObject *ka, *va, *kb, *vb;
  while (PyDict_Next(a, &i, &ka, &va)) {
    if (!PyDict_Next(b, &j, &kb, &vb) || ka != kb || va != vb) return false;
  }
  return true;
}

// The template's key for `clause` if it still holds exactly what the template describes: the
// same class and attributes, and under the template's names, in its order, parameters whose
// attributes are the very objects the template's have. The key lists the clause's own
// parameters, the ones execution takes values from. Empty when anything differs.
Ref template_key(PyObject* clause, const Template& t) {
  if (Py_TYPE(clause) != c.text_type) return Ref();
  Ref attrs = dict_of(clause);
  if (PyDict_GET_SIZE(attrs.get()) != 4) return Ref();
  Ref text = dict_get(attrs.get(), c.text_name);
  Ref binds = dict_get(attrs.get(), c.binds_name);
  Ref keys = dict_get(attrs.get(), c.keys_name);
  Py_ssize_t count = PyTuple_GET_SIZE(t.names.get());
  if (text.get() != t.text.get() || keys.get() != c.memoized_keys || !binds ||
      !PyDict_CheckExact(binds.get()) || PyDict_GET_SIZE(binds.get()) != count) {
    return Ref();
  }
  Ref keyed = Ref::take(PyList_New(count));
  Py_ssize_t pos = 0, j = 0;
  PyObject *name, *bind;
  while (PyDict_Next(binds.get(), &pos, &name, &bind)) {
    if (j >= count || name != PyTuple_GET_ITEM(t.names.get(), j) || Py_TYPE(bind) != c.bind_type) {
      return Ref();
    }
    Py_ssize_t k = t.key_pos[j++];
    Ref held = Ref::borrow(bind);
    Ref bound = dict_of(bind);
    if (!same_entries(bound.get(), PyTuple_GET_ITEM(t.attrs.get(), k)) ||
        PyList_GET_ITEM(keyed.get(), k) != nullptr) {
      return Ref();
    }
    PyList_SET_ITEM(keyed.get(), k, held.release());
  }
  if (j != count) return Ref();
  PyObject* proto = t.key.get();
  Py_ssize_t size = PyTuple_GET_SIZE(proto);
  Ref key = Ref::take(c.key_type->tp_alloc(c.key_type, size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = i == 1 ? keyed.get() : PyTuple_GET_ITEM(proto, i);
    PyTuple_SET_ITEM(key.get(), i, Py_NewRef(item));
  }
  return key;
}

PyObject* memo_call(PyObject* self, PyObject*, PyObject*) {
  KeyMemo* m = reinterpret_cast<KeyMemo*>(self);
  try {
    if (m->result == nullptr) {
      Ref clause = referent(m->clause);
      // Taken out of a clause that is gone: nothing left to describe, so nothing to cache.
      if (!clause) return Py_NewRef(Py_None);
      // Held here: computing a key runs Python code, which may call this memo again.
      Ref tmpl = Ref::borrow(m->tmpl);
      Ref key = tmpl ? template_key(clause.get(), *template_of(tmpl.get())) : Ref();
      if (!key) key = call(c.compute_key, clause.get());
      if (m->result == nullptr) m->result = key.release();
      Py_CLEAR(m->clause);
      Py_CLEAR(m->tmpl);
    }
    return Py_NewRef(m->result);
  } catch (PyErrorSet&) {
    return nullptr;
  } catch (std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

using MemoGc = GcFields<KeyMemo, &KeyMemo::clause, &KeyMemo::tmpl, &KeyMemo::result>;

PyType_Slot memo_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(memo_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(MemoGc::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(MemoGc::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(MemoGc::clear)},
    {Py_tp_doc, const_cast<char*>("The memoised cache key of a clause made by get_sql.")},
    {0, nullptr},
};

PyType_Spec memo_spec = {
    "verdin.mapper.stmtloom.KeyMemo", sizeof(KeyMemo), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, memo_slots};

// --- templates and the clauses made from them --------------------------------------------

// What object.__new__ (the types' tp_new, checked at import) makes, minus the room it lays out
// for attributes that the given dict replaces at once. The dict goes in through the type's own
// `__dict__` setter: on 3.13 PyObject_GenericSetDict leaves an object's inline attributes in
// charge, so that it would not see the dict.
Ref new_instance(PyTypeObject* type, PyObject* attrs) {
  Ref o = Ref::take(type->tp_alloc(type, 0));
  if (attrs != nullptr) setattr(o.get(), c.dict_name, attrs);
  return o;
}

// A clause of its own for the caller: new bind parameters with the template's attributes, and
// a memo that hands out the template's key only if nothing has changed meanwhile.
Ref clause_from(PyObject* capsule) {
  const Template& t = *template_of(capsule);
  // A copy of a dict with the same keys takes its table whole, and every name then replaces a
  // value where building the dict afresh would grow and rehash it.
  Ref binds = Ref::take(PyDict_Copy(t.slots.get()));
  for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(t.names.get()); ++j) {
    Ref attrs = Ref::take(PyDict_Copy(PyTuple_GET_ITEM(t.attrs.get(), t.key_pos[j])));
    Ref bind = new_instance(c.bind_type, attrs.get());
    ok(PyDict_SetItem(binds.get(), PyTuple_GET_ITEM(t.names.get(), j), bind.get()));
  }
  Ref clause = new_instance(c.text_type, nullptr);
  Ref memo_ref = Ref::take(c.memo_type->tp_alloc(c.memo_type, 0));
  KeyMemo* memo = reinterpret_cast<KeyMemo*>(memo_ref.get());
  memo->clause = ok(PyWeakref_NewRef(clause.get(), nullptr));
  memo->tmpl = Py_NewRef(capsule);
  Ref attrs = Ref::take(PyDict_New());
  ok(PyDict_SetItem(attrs.get(), c.binds_name, binds.get()));
  ok(PyDict_SetItem(attrs.get(), c.text_name, t.text.get()));
  ok(PyDict_SetItem(attrs.get(), c.memo_name, memo_ref.get()));
  ok(PyDict_SetItem(attrs.get(), c.keys_name, c.memoized_keys));
  setattr(clause.get(), c.dict_name, attrs.get());
  return clause;
}

Py_ssize_t text_cost(PyObject* sql) {
  return slot_cost + PyUnicode_GET_LENGTH(sql) * PyUnicode_KIND(sql);
}

// The template of a fresh `proto` clause from text(), or empty when its key cannot be shared.
Ref make_template(PyObject* proto, Py_ssize_t cost) {
  Ref attrs = dict_of(proto);
  Ref binds = dict_get(attrs.get(), c.binds_name);
  Ref text = dict_get(attrs.get(), c.text_name);
  if (!binds || !PyDict_CheckExact(binds.get()) || !text || !PyUnicode_CheckExact(text.get())) {
    return Ref();
  }
  Ref key = call(c.compute_key, proto);
  if (Py_TYPE(key.get()) != c.key_type || PyTuple_GET_SIZE(key.get()) < 2) return Ref();
  for (Py_ssize_t i = 2; i < PyTuple_GET_SIZE(key.get()); ++i) {
    if (PyTuple_GET_ITEM(key.get(), i) != Py_None) return Ref();
  }
  PyObject* keyed = PyTuple_GET_ITEM(key.get(), 1);
  Py_ssize_t count = PyDict_GET_SIZE(binds.get());
  if (!PyList_CheckExact(keyed) || PyList_GET_SIZE(keyed) != count) return Ref();
  auto t = std::make_unique<Template>();
  t->text = std::move(text);
  t->names = Ref::take(PyTuple_New(count));
  t->attrs = Ref::take(PyTuple_New(count));
  t->key_pos.assign(count, -1);
  std::unordered_map<PyObject*, Py_ssize_t> index;
  for (Py_ssize_t k = 0; k < count; ++k) index.emplace(PyList_GET_ITEM(keyed, k), k);
  if (static_cast<Py_ssize_t>(index.size()) != count) return Ref();
  Py_ssize_t pos = 0, j = 0;
  PyObject *name, *bind;
  while (PyDict_Next(binds.get(), &pos, &name, &bind)) {
    auto found = index.find(bind);
    if (!PyUnicode_CheckExact(name) || Py_TYPE(bind) != c.bind_type || found == index.end()) {
      return Ref();
    }
    PyTuple_SET_ITEM(t->names.get(), j, Py_NewRef(name));
    t->key_pos[j] = found->second;
    PyTuple_SET_ITEM(t->attrs.get(), t->key_pos[j], dict_of(bind).release());
    ++j;
  }
  t->slots = Ref::take(PyDict_New());
  for (Py_ssize_t i = 0; i < count; ++i) {
    ok(PyDict_SetItem(t->slots.get(), PyTuple_GET_ITEM(t->names.get(), i), Py_None));
  }
  t->key = std::move(key);
  t->cost = cost;
  Ref capsule = Ref::take(PyCapsule_New(t.get(), capsule_name, drop_template));
  t.release();
  return capsule;
}

Py_ssize_t cost_of(PyObject* sql, PyObject* value) {
  return value == Py_None ? text_cost(sql) : template_of(value)->cost;
}

// Drops the oldest entries until the cache fits its budget. No Python code runs meanwhile: an
// entry's parts are plain dicts, strings and SQLAlchemy's own text() parameters.
void shrink() {
  c.cache.shrink(cache_budget, SIZE_MAX, cost_of);
}

// The template for a text requested the second time; a plain text() when none is kept.
Ref second_request(PyObject* text_fn, PyObject* sql) {
  Ref proto = call(text_fn, sql);
  Ref attrs = dict_of(proto.get());
  Ref binds = dict_get(attrs.get(), c.binds_name);
  if (!binds || !PyDict_CheckExact(binds.get())) return proto;
  // The template's text and its key hold two more copies of the text.
  Py_ssize_t cost = 3 * text_cost(sql) + template_cost + PyDict_GET_SIZE(binds.get()) * bind_cost;
  if (cost > largest_entry) return proto;
  Ref capsule = make_template(proto.get(), cost);
  // Making the key ran Python code: another thread may have stored or dropped the entry.
  if (!capsule) return proto;
  Ref seen = c.cache.get(sql);
  if (seen.get() == Py_None) {
    ok(PyDict_SetItem(c.cache.dict, sql, capsule.get()));
    c.cache.size += cost - text_cost(sql);
    shrink();
  }
  return clause_from(capsule.get());
}

// Whether the parameters listed in `key` are exactly `binds`' values, by identity.
bool lists_exactly(PyObject* key, PyObject* binds) {
  PyObject* keyed = PyTuple_GET_ITEM(key, 1);
  if (!PyList_CheckExact(keyed) || PyList_GET_SIZE(keyed) != PyDict_GET_SIZE(binds)) return false;
  Py_ssize_t pos = 0;
  PyObject *name, *bind;
  while (PyDict_Next(binds, &pos, &name, &bind)) {
    bool found = false;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keyed); ++k)
      found |= PyList_GET_ITEM(keyed, k) == bind;
    if (!found) return false;
  }
  return true;
}

// A clause made from a template must give the key SQLAlchemy computes for a new text() (over
// its own parameters, shared with no other clause), drop it on a generative change or a pickle,
// compile to the same SQL, and once its text has changed give the key of the new text.
bool copies_verified(PyObject* text_fn) {
  Ref source = new_str("select :a from t where b = :b and c = :a2");
  Ref sample = call(text_fn, source.get());
  call_method(sample.get(), c.memo_name);
  Ref sample_attrs = dict_of(sample.get());
  Ref keys = dict_get(sample_attrs.get(), c.keys_name);
  if (!keys || !ok(PyObject_RichCompareBool(keys.get(), c.memoized_keys, Py_EQ))) return false;
  Ref state = call_method(sample.get(), Ref(new_str("__getstate__")).get());
  if (!PyDict_Check(state.get()) || ok(PyDict_Contains(state.get(), c.memo_name))) return false;

  Ref capsule = make_template(Ref(call(text_fn, source.get())).get(), 0);
  if (!capsule) return false;
  Ref copy = clause_from(capsule.get());
  Ref other = clause_from(capsule.get());
  Ref fresh = call(c.compute_key, sample.get());
  Ref copy_key = call_method(copy.get(), c.memo_name);
  if (Py_TYPE(copy_key.get()) != c.key_type || PyTuple_GET_SIZE(copy_key.get()) < 2 ||
      !ok(PyObject_RichCompareBool(copy_key.get(), fresh.get(), Py_EQ))) {
    return false;
  }
  Ref again = call_method(copy.get(), c.memo_name);
  Ref copy_binds = getattr(copy.get(), c.binds_name);
  Ref other_binds = getattr(other.get(), c.binds_name);
  if (again.get() != copy_key.get() || !PyDict_CheckExact(copy_binds.get()) ||
      !PyDict_CheckExact(other_binds.get()) || !lists_exactly(copy_key.get(), copy_binds.get())) {
    return false;
  }
  Ref name = new_str("a");
  Ref a_copy = Ref::take(PyObject_GetItem(copy_binds.get(), name.get()));
  Ref a_other = Ref::take(PyObject_GetItem(other_binds.get(), name.get()));
  if (a_copy.get() == a_other.get() || copy_binds.get() == other_binds.get()) return false;
  Ref bindparams = getattr(other.get(), "bindparams");
  Ref kw = Ref::take(Py_BuildValue("{si}", "a", 1));
  Ref changed = Ref::take(PyObject_Call(bindparams.get(), c.empty, kw.get()));
  Ref changed_attrs = dict_of(changed.get());
  if (ok(PyDict_Contains(changed_attrs.get(), c.memo_name))) return false;
  Ref retext = new_str("select :a from t where b = :b and c = :a2 and 1 = 1");
  setattr(other.get(), c.text_name, retext.get());
  Ref other_key = call_method(other.get(), c.memo_name);
  Ref retext_key = call(c.compute_key, Ref(call(text_fn, retext.get())).get());
  if (!ok(PyObject_RichCompareBool(other_key.get(), retext_key.get(), Py_EQ))) return false;
  Ref compile = new_str("compile");
  Ref sql_a = Ref::take(PyObject_Str(Ref(call_method(sample.get(), compile.get())).get()));
  Ref sql_b = Ref::take(PyObject_Str(Ref(call_method(copy.get(), compile.get())).get()));
  return ok(PyObject_RichCompareBool(sql_a.get(), sql_b.get(), Py_EQ));
}

}  // namespace

void init_clauses(PyObject* text_fn) {
  c.memo_name = intern("_generate_cache_key");
  c.dict_name = intern("__dict__");
  c.text_name = intern("text");
  c.binds_name = intern("_bindparams");
  c.keys_name = intern("_memoized_keys");
  if (!fast_paths_allowed()) return;
  try {
    Ref elements = import("sqlalchemy.sql.elements");
    Ref cache_key = import("sqlalchemy.sql.cache_key");
    Ref text_type = getattr(elements.get(), "TextClause");
    Ref bind_type = getattr(elements.get(), "BindParameter");
    Ref key_type = getattr(cache_key.get(), "CacheKey");
    Ref has_cache_key = getattr(cache_key.get(), "HasCacheKey");
    for (PyObject* type : {text_type.get(), bind_type.get()}) {
      if (!PyType_Check(type) ||
          reinterpret_cast<PyTypeObject*>(type)->tp_new != PyBaseObject_Type.tp_new) {
        return;
      }
    }
    if (!PyType_Check(key_type.get()) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(key_type.get()), &PyTuple_Type)) {
      return;
    }
    c.text_type = reinterpret_cast<PyTypeObject*>(text_type.release());
    c.bind_type = reinterpret_cast<PyTypeObject*>(bind_type.release());
    c.key_type = reinterpret_cast<PyTypeObject*>(key_type.release());
    c.compute_key = getattr(has_cache_key.get(), c.memo_name).release();
    Ref names = Ref::take(PyTuple_Pack(1, c.memo_name));
    c.memoized_keys = Ref::take(PyFrozenSet_New(names.get())).release();
    c.empty = Ref::take(PyTuple_New(0)).release();
    c.memo_type = reinterpret_cast<PyTypeObject*>(Ref::take(PyType_FromSpec(&memo_spec)).release());
    c.cache.dict = ok(PyDict_New());
    if (!copies_verified(text_fn)) return;
    c.usable = true;
  } catch (PyErrorSet&) {
    // Another SQLAlchemy than the one this was written against: text() per call serves.
    PyErr_Clear();
  }
}

Ref clause_of(PyObject* text_fn, PyObject* sql) {
  if (!c.usable || text_fn != orig.text_fn || !PyUnicode_CheckExact(sql)) return call(text_fn, sql);
  // Thread safety: the cache is only touched with the GIL held, and between reading an entry
  // and using it nothing runs Python code on the cache (exact str keys hash and compare
  // natively). Another thread may build the same clause meanwhile; the first one stored wins.
  Ref seen = c.cache.get(sql);
  if (!seen) {
    // A text seen once stays a plain text(): only a repeated one earns a template.
    c.cache.add(sql, Py_None, text_cost(sql));
    shrink();
    return call(text_fn, sql);
  }
  if (seen.get() == Py_None) return second_request(text_fn, sql);
  return clause_from(seen.get());
}

}  // namespace verdin::stmtloom
