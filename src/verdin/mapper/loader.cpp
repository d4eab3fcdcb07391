// load_mappers: mapper files (or folders of them) to the dict of mappers by namespace.
#include "stmtloom.hpp"

namespace verdin::stmtloom {
namespace {

// The mapper files a path names: the file itself, or the regular *.xml files below a folder,
// sorted.
void files_of(PyObject* path, PyObject* out) {
  Ref os = import("os");
  Ref text = call_method(os.get(), n.fspath, path);
  if (!PyUnicode_Check(text.get())) {
    PyErr_Format(PyExc_TypeError, "mapper paths must be text paths, not %.200s",
                 Py_TYPE(text.get())->tp_name);
    throw_error();
  }
  Ref os_path = getattr(os.get(), n.path);
  Ref is_dir = call_method(os_path.get(), n.isdir, text.get());
  if (!truth(is_dir.get())) {
    ok(PyList_Append(out, text.get()));
    return;
  }
  Ref pathlib = import("pathlib");
  Ref folder = call_method(pathlib.get(), n.Path, text.get());
  Ref found = call_method(folder.get(), n.rglob, n.xml_glob);
  Ref names = Ref::take(PyList_New(0));
  Ref it = Ref::take(PyObject_GetIter(found.get()));
  while (Ref p = Ref::steal(PyIter_Next(it.get()))) {
    // Only regular files: reading a FIFO (or a device) that happens to end in .xml would block.
    Ref regular = call_method(p.get(), n.is_file);
    if (!truth(regular.get())) continue;
    Ref s = Ref::take(PyObject_Str(p.get()));
    ok(PyList_Append(names.get(), s.get()));
  }
  if (PyErr_Occurred()) throw_error();
  ok(PyList_Sort(names.get()));
  ok(PyList_SetSlice(out, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, names.get()));  // out.extend(names)
}

// cls(file), with the options passed on by keyword only when they were given: a replacement of
// the class that knows no options still loads plain files.
Ref new_mapper(PyObject* cls, PyObject* file, PyObject* dialect, PyObject* strict) {
  PyObject* args[] = {file, dialect, strict};
  PyObject* names[2];
  Py_ssize_t nkw = 0;
  if (dialect != Py_None) names[nkw++] = n.dialect;
  if (strict == Py_True) {
    args[1 + nkw] = strict;
    names[nkw++] = n.strict;
  }
  if (nkw == 0) return call(cls, file);
  Ref kwnames =
      Ref::take(nkw == 1 ? PyTuple_Pack(1, names[0]) : PyTuple_Pack(2, names[0], names[1]));
  return call_kw(cls, args, 1, kwnames.get());
}

// Lets every mapper of one load_mappers call include the fragments of the others by
// "namespace.id": each keeps weak references, so none keeps another alive.
void join_group(PyObject* mappers) {
  Ref group = Ref::take(PyDict_New());
  Ref reserved;  // the reserved names of them all: a fragment brings its own into a statement
  Py_ssize_t pos = 0;
  PyObject *ns, *mapper;
  while (PyDict_Next(mappers, &pos, &ns, &mapper)) {
    const MapperInfo* info = mapper_info(mapper);
    if (info == nullptr) continue;
    if (info->reserved) {
      if (!reserved) reserved = Ref::take(PySet_New(nullptr));
      reserved = Ref::take(PyNumber_InPlaceOr(reserved.get(), info->reserved.get()));
    }
    Ref ref = Ref::take(PyWeakref_NewRef(mapper, nullptr));
    ok(PyDict_SetItem(group.get(), ns, ref.get()));
  }
  pos = 0;
  while (PyDict_Next(mappers, &pos, &ns, &mapper)) set_group(mapper, group.get(), reserved.get());
}

}  // namespace

Ref load_mappers(Func& f, PyObject* const* a) {
  PyObject *paths = a[0], *dialect = a[1], *strict = a[2];
  Ref files = Ref::take(PyList_New(0));
  Ref os = import("os");
  Ref path_like = getattr(os.get(), n.PathLike);
  if (PyUnicode_Check(paths) || ok(PyObject_IsInstance(paths, path_like.get()))) {
    files_of(paths, files.get());
  } else {
    Ref it = Ref::take(PyObject_GetIter(paths));
    while (Ref p = Ref::steal(PyIter_Next(it.get()))) files_of(p.get(), files.get());
    if (PyErr_Occurred()) throw_error();
  }
  Ref mappers = Ref::take(PyDict_New());
  Ref sources = Ref::take(PyDict_New());  // namespace -> the file that declared it
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); i++) {
    // Held: the mapper class is a global that anyone may replace, and it runs Python code.
    Ref file_ref = Ref::borrow(PyList_GET_ITEM(files.get(), i));
    PyObject* file = file_ref.get();
    Ref cls = f.global(n.ParseMapper);
    Ref mapper = new_mapper(cls.get(), file, dialect, strict);
    Ref ns = Ref::steal(PyObject_GetAttr(mapper.get(), n.namespace_));
    if (!ns) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
      PyErr_Clear();
      PyErr_Format(
          PyExc_ValueError,
          "mapper file %R has no namespace: its <mapper> element needs a namespace attribute",
          file);
      throw_error();
    }
    if (Ref earlier = dict_get(sources.get(), ns.get())) {
      PyErr_Format(PyExc_ValueError, "namespace %R is declared by both %R and %R", ns.get(),
                   earlier.get(), file);
      throw_error();
    }
    ok(PyDict_SetItem(sources.get(), ns.get(), file));
    ok(PyDict_SetItem(mappers.get(), ns.get(), mapper.get()));
  }
  join_group(mappers.get());
  return mappers;
}

}  // namespace verdin::stmtloom
