// One statement being assembled: the evaluation contexts that belong to it, the binds it
// generates for loop items, indexes, <bind> values and field paths, and how their names are
// chosen.
#include <string>
#include <vector>

#include "stmtloom.hpp"

namespace verdin::stmtloom {
namespace {

inline bool ref_char(Py_UCS4 c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         (c >= 128 && Py_UNICODE_ISALNUM(c));
}

// A reference "#{name}" or "#{name.field...}": positions of "#", of the name's end and of "}".
struct RefSpan {
  Py_ssize_t start, name_end, close;
};

// Calls found(span) for each reference, left to right, until it returns false.
template <typename Char, typename Found>
void scan_refs(const Char* d, Py_ssize_t len, Found&& found) {
  for (Py_ssize_t i = 0; i + 3 < len; i++) {
    if (d[i] != '#' || d[i + 1] != '{') continue;
    Py_ssize_t j = i + 2, name_end = -1;
    for (;;) {
      Py_ssize_t seg = j;
      while (j < len && ref_char(d[j])) j++;
      if (j == seg) break;  // an empty name or field
      if (name_end < 0) name_end = j;
      if (j < len && d[j] == '.') {
        j++;
        continue;
      }
      if (j < len && d[j] == '}') {
        if (!found(RefSpan{i, name_end, j})) return;
        i = j;
      }
      break;
    }
  }
}

// The generated name's readable part: the reference with "." as "_" and only ASCII letters,
// digits and "_" kept, so that every binder (and SQLAlchemy's ":name") reads it whole.
Ref name_stem(PyObject* path) {
  std::string stem;
  with_code_points(path, [&](auto* d, Py_ssize_t len) {
    for (Py_ssize_t i = 0; i < len && stem.size() < 40; i++) {
      Py_UCS4 c = d[i];
      if (c == '.') c = '_';
      if (c < 128 && ref_char(c)) stem += static_cast<char>(c);
    }
  });
  // A leading digit or an indexed-name marker would change how the binder reads the name.
  if (stem.empty() || (stem[0] >= '0' && stem[0] <= '9') ||
      stem.find("_for_index_") != std::string::npos) {
    stem.insert(0, "v");
    size_t at;
    while ((at = stem.find("_for_index_")) != std::string::npos) stem.erase(at, 1);
  }
  return Ref::take(PyUnicode_FromStringAndSize(stem.data(), static_cast<Py_ssize_t>(stem.size())));
}

Py_ssize_t unowned_counter = 0;  // names made outside any statement (parse_element called directly)

[[noreturn]] void missing_value(PyObject* path) {
  PyErr_SetObject(PyExc_KeyError, path);
  throw_error();
}

// value.field: a dict by key, anything else by attribute; null when there is none.
Ref field_of(PyObject* value, PyObject* field) {
  if (PyDict_CheckExact(value)) return dict_get(value, field);
  if (PyDict_Check(value)) {
    Ref v = Ref::steal(PyObject_GetItem(value, field));
    if (!v && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
    if (!v && PyErr_Occurred()) throw_error();
    return v;
  }
  Ref v = Ref::steal(PyObject_GetAttr(value, field));
  if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  if (!v && PyErr_Occurred()) throw_error();
  return v;
}

// The value of reference `path` (its text without the braces) whose root value is `root` (null
// when the root has no value): follows the fields; a missing one gives None, or KeyError naming
// the path when the statement is strict.
Ref follow(PyObject* root, PyObject* path, Py_ssize_t name_len, bool strict) {
  Ref value = Ref::borrow(root);
  if (value && PyUnicode_GET_LENGTH(path) > name_len) {
    Ref fields_text = Ref::take(PyUnicode_Substring(path, name_len + 1, PY_SSIZE_T_MAX));
    Ref dot = new_str(".");
    Ref fields = Ref::take(PyUnicode_Split(fields_text.get(), dot.get(), -1));
    for (Py_ssize_t k = 0; value && k < PyList_GET_SIZE(fields.get()); k++) {
      value = field_of(value.get(), PyList_GET_ITEM(fields.get(), k));
    }
  }
  if (value) return value;
  if (strict) missing_value(path);
  return Ref::borrow(Py_None);
}

}  // namespace

// Never destroyed: it may be in use until the interpreter ends.
std::vector<std::pair<PyObject*, Assembly*>>& active_contexts =
    *new std::vector<std::pair<PyObject*, Assembly*>>();

Assembly* assembly_of(PyObject* context) {
  for (auto it = active_contexts.rbegin(); it != active_contexts.rend(); ++it) {
    if (it->first == context) return it->second;
  }
  return nullptr;
}

Ref generate_bind(Assembly* as, PyObject* path, PyObject* value) {
  Ref stem = name_stem(path);
  for (;;) {
    Py_ssize_t k = as ? as->counter++ : unowned_counter++;
    Ref name = Ref::take(PyUnicode_FromFormat("%U__%zd", stem.get(), k));
    if (as == nullptr) return name;
    // A caller's parameter of the same name keeps its own meaning.
    if (PyDict_Check(as->params) && ok(PyDict_Contains(as->params, name.get()))) continue;
    // Nor does a reference of the mapper text that is no generated bind.
    if (as->reserved && ok(PySet_Contains(as->reserved.get(), name.get()))) continue;
    if (!as->extras) as->extras = Ref::take(PyDict_New());
    ok(PyDict_SetItem(as->extras.get(), name.get(), value));
    return name;
  }
}

Ref rewrite_refs(PyObject* text, PyObject* targets, Assembly* as, Refs which) {
  std::vector<RefSpan> refs;
  with_code_points(text, [&](auto* d, Py_ssize_t len) {
    scan_refs(d, len, [&](const RefSpan& r) {
      refs.push_back(r);
      return true;
    });
  });
  if (refs.empty()) return Ref::borrow(text);
  bool strict = as != nullptr && as->strict;
  TextBuilder out;
  Py_ssize_t from = 0;
  for (const RefSpan& r : refs) {
    bool has_fields = r.name_end < r.close;
    if (which == Refs::statement && !has_fields) continue;
    Ref name = Ref::take(PyUnicode_Substring(text, r.start + 2, r.name_end));
    Ref root = PyDict_Check(targets) ? dict_get(targets, name.get())
                                     : Ref::steal(PyObject_GetItem(targets, name.get()));
    if (!root && which == Refs::entry) {
      if (PyErr_Occurred()) throw_error();
      continue;
    }
    if (!root && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
      PyErr_Clear();
    }
    Ref path = Ref::take(PyUnicode_Substring(text, r.start + 2, r.close));
    Ref value = follow(root.get(), path.get(), r.name_end - r.start - 2, strict);
    Ref bind = generate_bind(as, path.get(), value.get());
    Ref before = Ref::take(PyUnicode_Substring(text, from, r.start + 2));
    out.add(before.get());
    out.add(bind.get());
    from = r.close;
  }
  if (from == 0) return Ref::borrow(text);
  Ref rest = Ref::take(PyUnicode_Substring(text, from, PY_SSIZE_T_MAX));
  out.add(rest.get());
  return out.result();
}

bool has_field_refs(PyObject* text) {
  if (!PyUnicode_CheckExact(text)) return false;
  bool fields = false;
  with_code_points(text, [&](auto* d, Py_ssize_t len) {
    scan_refs(d, len, [&](const RefSpan& r) { return !(fields = r.name_end < r.close); });
  });
  return fields;
}

}  // namespace verdin::stmtloom
