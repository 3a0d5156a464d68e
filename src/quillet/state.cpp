// quillet.state: a network's weights by name, in memory and in files.
//
// The names are dotted attribute paths ("convolutional_layers.0.lintrel_stride1.W")
// of every parameter quillet.optim.parameters finds, and of every buffer: by
// convention, a floating-point array attribute whose name starts with
// `running_` (running statistics, kept but not trained).
//
// Files are NumPy .npz archives of plain numeric arrays, written atomically
// (a temporary file in the same folder, flushed to disk, then renamed over the
// destination) and read with allow_pickle=False, so a file can never run code
// when it is loaded.  Loading validates every name, shape and dtype before it
// assigns anything.
#include <cstring>
#include <string>
#include <unordered_map>

#include "layer/walk.hpp"

using qb::Ref;

namespace {

Ref import(const char* name) { return qb::check(PyImport_ImportModule(name)); }

Ref attr(PyObject* o, const char* name) { return qb::check(PyObject_GetAttrString(o, name)); }

// ---------------------------------------------------------------- state_dict

Ref state_dict(PyObject*, PyObject* model) {
  Ref out = qb::check(PyDict_New());
  for (const ql::Found& f : ql::find_arrays(model, true)) {
    Ref value = qb::getattr(f.owner.get(), f.name.get());
    Ref copy = qb::check(PyArray_NewCopy(qb::arr(value), NPY_CORDER));
    qb::check(PyDict_SetItem(out.get(), ql::path_str(f).get(), copy.get()));
  }
  return out;
}

// ---------------------------------------------------------------- load_state_dict

bool real_dtype(PyArrayObject* a) {
  const int t = PyArray_TYPE(a);
  return PyTypeNum_ISBOOL(t) || PyTypeNum_ISINTEGER(t) || PyTypeNum_ISFLOAT(t);
}

// "'a.W', 'b.b'" for at most a few names.
std::string names_text(const std::vector<std::string>& names) {
  std::string s;
  const size_t shown = names.size() > 8 ? 6 : names.size();
  for (size_t i = 0; i < shown; ++i) s += (i ? ", '" : "'") + names[i] + "'";
  if (shown < names.size()) s += " and " + std::to_string(names.size() - shown) + " more";
  return s;
}

std::string utf8(PyObject* s) {
  Py_ssize_t n = 0;
  const char* text = PyUnicode_AsUTF8AndSize(s, &n);
  if (!text) throw qb::Error{};
  return std::string(text, static_cast<size_t>(n));
}

Ref load_state_dict(PyObject*, PyObject* model, PyObject* state, PyObject* strict_arg) {
  const int strict = PyObject_IsTrue(strict_arg);
  qb::check(strict);
  if (!PyDict_Check(state) && !(PyObject_HasAttrString(state, "keys") && PyObject_HasAttrString(state, "items")))
    qb::fail(PyExc_TypeError, "state must be a mapping of names to arrays (such as state_dict's dict), not %s",
             Py_TYPE(state)->tp_name);
  std::vector<ql::Found> found = ql::find_arrays(model, true);
  std::unordered_map<std::string, size_t> index;
  for (size_t i = 0; i < found.size(); ++i) index.emplace(found[i].path, i);

  // Every check first: names, then each value's dtype and shape.
  Ref items = qb::check(PyMapping_Items(state));
  std::vector<std::string> unexpected, missing;
  std::vector<Ref> values(found.size());
  std::vector<bool> given(found.size(), false);
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* kv = PyList_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(kv) || PyTuple_GET_SIZE(kv) != 2) qb::fail(PyExc_TypeError, "state.items() must give pairs");
    PyObject* key = PyTuple_GET_ITEM(kv, 0);
    if (!PyUnicode_Check(key))
      qb::fail(PyExc_TypeError, "state names must be str, not %s (%R)", Py_TYPE(key)->tp_name, key);
    const std::string name = utf8(key);
    auto it = index.find(name);
    if (it == index.end()) {
      unexpected.push_back(name);
      continue;
    }
    values[it->second] = Ref::borrow(PyTuple_GET_ITEM(kv, 1));
    given[it->second] = true;
  }
  for (size_t i = 0; i < found.size(); ++i)
    if (!given[i]) missing.push_back(found[i].path);
  if (strict && (!missing.empty() || !unexpected.empty())) {
    std::string msg = "the state does not match the model:";
    if (!missing.empty()) msg += " missing " + names_text(missing) + (unexpected.empty() ? "" : ";");
    if (!unexpected.empty()) msg += " unexpected " + names_text(unexpected);
    qb::fail(PyExc_ValueError, "%s (nothing was loaded)", msg.c_str());
  }
  std::vector<Ref> converted(found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    if (!given[i]) continue;
    const ql::Found& f = found[i];
    Ref a = qb::as_array(values[i].get());
    if (!real_dtype(qb::arr(a)))
      qb::fail(PyExc_TypeError, "'%s': the state holds an array of dtype %S, not real numbers (nothing was loaded)",
               f.path.c_str(), reinterpret_cast<PyObject*>(PyArray_DESCR(qb::arr(a))));
    Ref current = qb::as_array(qb::getattr(f.owner.get(), f.name.get()).get());
    if (qb::dims(a) != qb::dims(current))
      qb::fail(PyExc_ValueError,
               "'%s': the state's array has shape %s, but the model's has shape %s (nothing was loaded)",
               f.path.c_str(), qb::shape_text(qb::dims(a)).c_str(), qb::shape_text(qb::dims(current)).c_str());
    converted[i] = qb::check(PyArray_FromAny(
        a.get(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
        NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY | NPY_ARRAY_ENSUREARRAY | NPY_ARRAY_FORCECAST, nullptr));
  }

  // Then assignment: into the existing array where it is a writeable float64
  // one (references to it stay valid), else as a new float64 array.
  for (size_t i = 0; i < found.size(); ++i) {
    if (!converted[i]) continue;
    const ql::Found& f = found[i];
    Ref current = qb::getattr(f.owner.get(), f.name.get());
    if (ql::writable_f64(current.get())) {
      std::memcpy(qb::data(current), qb::data(converted[i]), static_cast<size_t>(qb::size(current)) * sizeof(double));
    } else {
      qb::setattr(f.owner.get(), f.name.get(), converted[i]);
    }
  }
  auto as_list = [](const std::vector<std::string>& names) {
    Ref l = qb::check(PyList_New(0));
    for (const std::string& s : names)
      qb::check(PyList_Append(
          l.get(), qb::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))).get()));
    return l;
  };
  Ref m = as_list(missing), u = as_list(unexpected);
  return qb::tuple({m.get(), u.get()});
}

// ---------------------------------------------------------------- save

// Runs `body`; on a Python error, calls `cleanup` with the error set aside
// (its own errors are dropped) and raises the original again.
template <class Body, class Cleanup>
void guarded(Body body, Cleanup cleanup) {
  try {
    body();
  } catch (...) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    try {
      cleanup();
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    throw;
  }
}

// Writes the arrays of `state` into the open binary file `f` as an .npz
// archive (what numpy.savez writes), never pickling.
void write_npz(PyObject* f, PyObject* state) {
  Ref zipfile = import("zipfile");
  Ref format = import("numpy.lib.format");
  Ref zf = qb::call_kw(attr(zipfile.get(), "ZipFile").get(), {{"file", f},
                                                              {"mode", qb::str("w").get()},
                                                              {"compression", attr(zipfile.get(), "ZIP_STORED").get()},
                                                              {"allowZip64", Py_True}});
  guarded(
      [&] {
        Ref items = qb::check(PyDict_Items(state));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
          PyObject* kv = PyList_GET_ITEM(items.get(), i);
          Ref member_name = qb::check(PyUnicode_FromFormat("%U.npy", PyTuple_GET_ITEM(kv, 0)));
          Ref open = attr(zf.get(), "open");
          Ref args = qb::tuple({member_name.get(), qb::str("w").get()});
          Ref kw = qb::check(PyDict_New());
          qb::check(PyDict_SetItemString(kw.get(), "force_zip64", Py_True));
          Ref member = qb::check(PyObject_Call(open.get(), args.get(), kw.get()));
          Ref write = attr(format.get(), "write_array");
          Ref wargs = qb::tuple({member.get(), PyTuple_GET_ITEM(kv, 1)});
          Ref wkw = qb::check(PyDict_New());
          qb::check(PyDict_SetItemString(wkw.get(), "allow_pickle", Py_False));
          guarded([&] { qb::check(PyObject_Call(write.get(), wargs.get(), wkw.get())); },
                  [&] { qb::call_method(member.get(), QB_ID(close), {}); });
          qb::call_method(member.get(), QB_ID(close), {});
        }
      },
      [&] { qb::call_method(zf.get(), QB_ID(close), {}); });
  qb::call_method(zf.get(), QB_ID(close), {});
}

Ref save(PyObject* module, PyObject* model, PyObject* path_arg) {
  Ref os = import("os");
  Ref path = qb::call(attr(os.get(), "fspath").get(), {path_arg});
  if (!PyUnicode_Check(path.get())) path = qb::call(attr(os.get(), "fsdecode").get(), {path.get()});
  Ref state = state_dict(module, model);
  Ref ospath = attr(os.get(), "path");
  Ref full = qb::call(attr(ospath.get(), "abspath").get(), {path.get()});
  Ref folder = qb::call(attr(ospath.get(), "dirname").get(), {full.get()});
  Ref base = qb::call(attr(ospath.get(), "basename").get(), {full.get()});

  // A new file beside the destination, created as open() would (the umask
  // applies), under a name no one else uses.
  long flags = PyLong_AsLong(attr(os.get(), "O_WRONLY").get()) | PyLong_AsLong(attr(os.get(), "O_CREAT").get()) |
               PyLong_AsLong(attr(os.get(), "O_EXCL").get());
  if (PyObject_HasAttrString(os.get(), "O_BINARY")) flags |= PyLong_AsLong(attr(os.get(), "O_BINARY").get());
  if (PyErr_Occurred()) throw qb::Error{};
  Ref flags_obj = qb::py_int(flags), mode = qb::py_int(0666);
  Ref tmp, fd;
  for (int attempt = 0;; ++attempt) {
    Ref token = qb::call_method(qb::call(attr(os.get(), "urandom").get(), {qb::py_int(6).get()}).get(), QB_ID(hex), {});
    Ref name = qb::check(PyUnicode_FromFormat(".%U.%U.tmp", base.get(), token.get()));
    tmp = qb::call(attr(ospath.get(), "join").get(), {folder.get(), name.get()});
    fd = Ref::steal(
        PyObject_CallFunctionObjArgs(attr(os.get(), "open").get(), tmp.get(), flags_obj.get(), mode.get(), nullptr));
    if (fd) break;
    if (attempt < 100 && PyErr_ExceptionMatches(PyExc_FileExistsError)) {
      PyErr_Clear();
      continue;
    }
    if (PyErr_ExceptionMatches(PyExc_OSError)) {  // the same error, naming the destination
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      PyErr_NormalizeException(&type, &value, &tb);
      Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
      Ref err = attr(v.get(), "errno"), text = attr(v.get(), "strerror");
      Ref named = qb::call(t.get(), {err.get(), text.get(), path.get()});
      PyErr_SetObject(t.get(), named.get());
    }
    throw qb::Error{};
  }

  guarded(
      [&] {
        Ref file;
        guarded([&] { file = qb::call(attr(os.get(), "fdopen").get(), {fd.get(), qb::str("wb").get()}); },
                [&] { qb::call(attr(os.get(), "close").get(), {fd.get()}); });
        guarded(
            [&] {
              write_npz(file.get(), state.get());
              qb::call_method(file.get(), QB_ID(flush), {});
              Ref fileno = qb::call_method(file.get(), QB_ID(fileno), {});
              qb::call(attr(os.get(), "fsync").get(), {fileno.get()});
            },
            [&] { qb::call_method(file.get(), QB_ID(close), {}); });
        qb::call_method(file.get(), QB_ID(close), {});
        qb::call(attr(os.get(), "replace").get(), {tmp.get(), path.get()});
      },
      [&] { qb::call(attr(os.get(), "unlink").get(), {tmp.get()}); });

  // The rename itself reaches the disk with the folder's entry (POSIX); where
  // a folder cannot be opened this way, the rename stands as it is.
  Ref rdonly = attr(os.get(), "O_RDONLY");
  Ref dir_fd =
      Ref::steal(PyObject_CallFunctionObjArgs(attr(os.get(), "open").get(), folder.get(), rdonly.get(), nullptr));
  if (dir_fd) {
    Ref synced = Ref::steal(PyObject_CallFunctionObjArgs(attr(os.get(), "fsync").get(), dir_fd.get(), nullptr));
    PyErr_Clear();
    Ref closed = Ref::steal(PyObject_CallFunctionObjArgs(attr(os.get(), "close").get(), dir_fd.get(), nullptr));
  }
  PyErr_Clear();
  return {};
}

// ---------------------------------------------------------------- load

Ref load(PyObject* module, PyObject* model, PyObject* path) {
  Ref np_load = qb::numpy_attr(QB_ID(load));
  Ref kw = qb::check(Py_BuildValue("{sO}", "allow_pickle", Py_False));
  Ref archive = Ref::steal(PyObject_Call(np_load.get(), qb::tuple({path}).get(), kw.get()));
  if (!archive) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw qb::Error{};  // OSError: as it is
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref t = Ref::steal(type), e = Ref::steal(value), b = Ref::steal(tb);
    qb::fail(PyExc_ValueError, "%R is not an .npz archive of plain arrays, the only kind load reads: %S", path,
             e.get() ? e.get() : Py_None);
  }
  if (PyArray_Check(archive.get()) || !PyObject_HasAttrString(archive.get(), "files"))
    qb::fail(PyExc_ValueError, "%R holds a single array, not a saved state (an .npz archive of named arrays)", path);
  Ref state = qb::check(PyDict_New());
  guarded(
      [&] {
        Ref files = qb::check(PySequence_List(attr(archive.get(), "files").get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
          PyObject* name = PyList_GET_ITEM(files.get(), i);
          Ref value = Ref::steal(PyObject_GetItem(archive.get(), name));
          if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw qb::Error{};
            PyObject *type, *err, *tb;
            PyErr_Fetch(&type, &err, &tb);
            Ref t = Ref::steal(type), e = Ref::steal(err), b = Ref::steal(tb);
            qb::fail(PyExc_ValueError, "'%U' in %R cannot be loaded safely (nothing was loaded): %S", name, path,
                     e.get() ? e.get() : Py_None);
          }
          qb::check(PyDict_SetItem(state.get(), name, value.get()));
        }
      },
      [&] { qb::call_method(archive.get(), QB_ID(close), {}); });
  qb::call_method(archive.get(), QB_ID(close), {});
  load_state_dict(module, model, state.get(), Py_True);
  return {};
}

// ---------------------------------------------------------------- docs

const char* const STATE_DICT_DOC =
    "Returns copies of the model's parameters and buffers, by dotted attribute path\n"
    "(\"layers.0.W\"), in the order quillet.optim.parameters finds them.  Buffers are\n"
    "floating-point array attributes whose name starts with `running_`.";

const char* const LOAD_STATE_DICT_DOC =
    "Loads the arrays of `state` (a mapping of dotted paths to arrays, as\n"
    "state_dict returns) into the model.  Everything is checked before anything is\n"
    "assigned: with `strict`, a name the model lacks or a parameter the state\n"
    "lacks raises ValueError; a wrong shape raises ValueError and an array that does\n"
    "not hold real numbers (object, string, complex) raises TypeError, both naming\n"
    "the parameter, and the model is left as it was.  Values are copied into the\n"
    "existing arrays when those are writeable float64 arrays (references stay\n"
    "valid), else set as new float64 arrays.  Returns the lists of missing and of\n"
    "unexpected names (both empty when strict).";

const char* const SAVE_DOC =
    "Writes state_dict(model) to `path` (used as given) as a NumPy .npz archive.\n"
    "The file is written under a temporary name in the same folder, flushed to\n"
    "disk and then renamed over `path`, so an interrupted save never leaves a\n"
    "truncated file where a good one was; the temporary file is removed on\n"
    "failure.";

const char* const LOAD_DOC =
    "Reads an archive written by save and loads it into the model as\n"
    "load_state_dict(model, state, strict=True) does.  The file is read with\n"
    "allow_pickle=False: it can hold only plain arrays, and loading it never runs\n"
    "code, so it is the safe way to take weights from others (a pickled model\n"
    "must only be unpickled from a trusted source).";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.state", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_state() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::add_functions(m, {{"state_dict", "model", STATE_DICT_DOC, state_dict},
                          {"load_state_dict", "model, state, strict=True", LOAD_STATE_DICT_DOC, load_state_dict},
                          {"save", "model, path", SAVE_DOC, save},
                          {"load", "model, path", LOAD_DOC, load}});
  });
}
