#define QUILLET_IMPORT_ARRAY
#include "bind/bind.hpp"

#include <cstdarg>
#include <cstring>
#include <exception>
#include <string>

namespace qb {

void init_numpy() {
  if (PyArray_API) return;
  if (_import_array() < 0) throw Error{};
}

void raise(PyObject* type, const char* fmt, ...) {
  va_list va;
  va_start(va, fmt);
  PyErr_FormatV(type, fmt, va);
  va_end(va);
  throw Error{};
}

void translate_exception() {
  try {
    throw;
  } catch (const Error&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

#if PY_VERSION_HEX >= 0x030D0000
extern "C" void _PyTraceback_Add(const char*, const char*, int);  // exported, header now internal
#endif

void add_traceback(const char* source, const char* qualname) {
#if PY_VERSION_HEX < 0x030E0000
  // "…/src/quillet/nn/Lintrel.cpp" gives the file "src/quillet/nn/Lintrel.cpp"
  // and the function "quillet.nn.Lintrel.Lintrel_stride1.forward".
  std::string path(source);
  const size_t at = path.rfind("/src/");
  if (at != std::string::npos) path = path.substr(at + 1);
  std::string module = path.substr(path.rfind("src/") == 0 ? 4 : 0);
  const size_t dot = module.rfind('.');
  if (dot != std::string::npos) module.resize(dot);
  for (char& ch : module)
    if (ch == '/') ch = '.';
  const std::string function = module + "." + qualname;
  _PyTraceback_Add(function.c_str(), path.c_str(), 0);
#else
  (void)source;
  (void)qualname;
#endif
}

Ref py_int(long long v) { return check(PyLong_FromLongLong(v)); }
Ref py_float(double v) { return check(PyFloat_FromDouble(v)); }

long long as_index(PyObject* o) {
  Ref i = check(PyNumber_Index(o));
  long long v = PyLong_AsLongLong(i.get());
  if (v == -1 && PyErr_Occurred()) throw Error{};
  return v;
}

Ref tuple(std::initializer_list<PyObject*> items) {
  Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* o : items) {
    Py_INCREF(o);
    PyTuple_SET_ITEM(t.get(), i++, o);
  }
  return t;
}

Ref shape_tuple(const std::vector<npy_intp>& dims) {
  Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(dims.size())));
  for (size_t i = 0; i < dims.size(); ++i)
    PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), py_int(dims[i]).release());
  return t;
}

Ref call(PyObject* fn, std::initializer_list<PyObject*> args) {
  return check(PyObject_Vectorcall(fn, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
  std::vector<PyObject*> v;
  v.reserve(args.size() + 1);
  v.push_back(obj);
  v.insert(v.end(), args.begin(), args.end());
  return check(PyObject_VectorcallMethod(name, v.data(), v.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

void print(std::initializer_list<PyObject*> args) {
  static PyObject* builtins = nullptr;
  if (!builtins) builtins = check(PyImport_ImportModule("builtins")).release();
  Ref fn = getattr(builtins, QB_ID(print));
  call(fn.get(), args);
}

// ---------------------------------------------------------------- arguments

namespace {

std::string function_name(const char* qualname) {
#if PY_VERSION_HEX >= 0x030A0000
  return qualname;
#else
  const char* dot = std::strrchr(qualname, '.');
  return dot ? dot + 1 : qualname;
#endif
}

}  // namespace

void parse_args(const char* qualname, const char* const* names, int nparams, int nrequired,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  for (int i = 0; i < nparams; ++i) out[i] = nullptr;
  for (Py_ssize_t i = 0; i < nargs && i < nparams; ++i) out[i] = args[i];
  const std::string fn = function_name(qualname);
  // Keyword problems are reported before surplus positionals, as CPython does.
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    int idx = -1;
    for (int i = 0; i < nparams; ++i)
      if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
        idx = i;
        break;
      }
    if (idx < 0) raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn.c_str(), key);
    if (out[idx]) raise(PyExc_TypeError, "%s() got multiple values for argument '%U'", fn.c_str(), key);
    out[idx] = args[nargs + j];
  }
  if (nargs > nparams) {
    // Counts include self, as in the messages of Python methods.
    Py_ssize_t given = nargs + 1;
    if (nrequired == nparams)
      raise(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", fn.c_str(), nparams + 1,
            nparams + 1 == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    raise(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given", fn.c_str(),
          nrequired + 1, nparams + 1, given, given == 1 ? "was" : "were");
  }
  std::vector<const char*> missing;
  for (int i = 0; i < nrequired; ++i)
    if (!out[i]) missing.push_back(names[i]);
  if (!missing.empty()) {
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      list += "'";
      list += missing[i];
      list += "'";
    }
    raise(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", fn.c_str(),
          static_cast<int>(missing.size()), missing.size() == 1 ? "" : "s", list.c_str());
  }
}

// ---------------------------------------------------------------- modules

PyObject* make_class(PyObject* module, const char* name, PyMethodDef* methods) {
  Ref modname = getattr(module, QB_ID(__name__));
  Ref pyname = check(PyUnicode_FromString(name));
  Ref ns = check(PyDict_New());
  check(PyDict_SetItemString(ns.get(), "__module__", modname.get()));
  check(PyDict_SetItemString(ns.get(), "__qualname__", pyname.get()));
  Ref bases = tuple({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {pyname.get(), bases.get(), ns.get()});
  for (PyMethodDef* m = methods; m->ml_name; ++m) {
    Ref d = check(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.get()), m));
    // Setting __init__ on the class also points its tp_init slot at it.
    check(PyObject_SetAttrString(cls.get(), m->ml_name, d.get()));
  }
  check(PyObject_SetAttr(module, pyname.get(), cls.get()));
  return cls.get();
}

void add_function(PyObject* module, PyMethodDef* def) {
  Ref modname = getattr(module, QB_ID(__name__));
  Ref fn = check(PyCFunction_NewEx(def, module, modname.get()));
  check(PyObject_SetAttrString(module, def->ml_name, fn.get()));
}

void bind_module(PyObject* module, const char* name, const char* as) {
  Ref m = check(PyImport_ImportModule(name));
  check(PyObject_SetAttrString(module, as, m.get()));
}

void bind_numpy(PyObject* module) { bind_module(module, "numpy", "np"); }

void star_import(PyObject* module, const char* name) {
  Ref src = check(PyImport_ImportModule(name));
  Ref all;
  if (PyObject_HasAttrString(src.get(), "__all__")) all = getattr(src.get(), QB_ID(__all__));
  PyObject* dst = PyModule_GetDict(module);
  if (all) {
    Ref it = check(PyObject_GetIter(all.get()));
    while (PyObject* key = PyIter_Next(it.get())) {
      Ref k = Ref::steal(key);
      Ref v = getattr(src.get(), k.get());
      check(PyDict_SetItem(dst, k.get(), v.get()));
    }
    if (PyErr_Occurred()) throw Error{};
    return;
  }
  Ref d = Ref::borrow(PyModule_GetDict(src.get()));
  Ref items = check(PyDict_Items(d.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* kv = PyList_GET_ITEM(items.get(), i);
    PyObject* k = PyTuple_GET_ITEM(kv, 0);
    if (!PyUnicode_Check(k) || PyUnicode_READ_CHAR(k, 0) == '_') continue;
    check(PyDict_SetItem(dst, k, PyTuple_GET_ITEM(kv, 1)));
  }
}

Ref global(PyObject* module, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), name);
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) throw Error{};
  raise(PyExc_NameError, "name '%U' is not defined", name);
}

Ref resolve(PyObject* module, const char* path) {
  const char* dot = std::strchr(path, '.');
  Ref head = check(dot ? PyUnicode_FromStringAndSize(path, dot - path) : PyUnicode_FromString(path));
  Ref v = global(module, head.get());
  while (dot) {
    const char* start = dot + 1;
    dot = std::strchr(start, '.');
    Ref name = check(dot ? PyUnicode_FromStringAndSize(start, dot - start) : PyUnicode_FromString(start));
    v = getattr(v.get(), name.get());
  }
  return v;
}

void set_global(PyObject* module, const char* name, const Ref& value) {
  check(PyObject_SetAttrString(module, name, value.get()));
}

Ref str(const char* text) { return check(PyUnicode_FromString(text)); }

void seed(PyObject* module, long long value) {
  Ref v = py_int(value);
  call(resolve(module, "np.random.seed").get(), {v.get()});
}

void show(const char* label, const Ref& value) { print({str(label).get(), value.get()}); }

// ---------------------------------------------------------------- arrays

void unpack_error(Py_ssize_t got, int expected) {
  if (got < expected) raise(PyExc_ValueError, "not enough values to unpack (expected %d, got %zd)", expected, got);
#if PY_VERSION_HEX >= 0x030E0000
  raise(PyExc_ValueError, "too many values to unpack (expected %d, got %zd)", expected, got);
#else
  raise(PyExc_ValueError, "too many values to unpack (expected %d)", expected);
#endif
}

Ref as_array(PyObject* o) {
  if (PyArray_Check(o)) return Ref::borrow(o);
  return check(PyArray_FromAny(o, nullptr, 0, 0, 0, nullptr));
}

namespace {
// numpy turns None into NaN when it casts object arrays to float; a None
// among the numbers is a mistake, not a missing value.
bool holds_none(PyArrayObject* a) {
  if (PyArray_SIZE(a) == 0) return false;
  Ref it = check(PyArray_IterNew(reinterpret_cast<PyObject*>(a)));
  auto* iter = reinterpret_cast<PyArrayIterObject*>(it.get());
  while (iter->index < iter->size) {
    PyObject* item = *reinterpret_cast<PyObject**>(iter->dataptr);
    if (!item || item == Py_None) return true;
    PyArray_ITER_NEXT(iter);
  }
  return false;
}
}  // namespace

Ref to_f64(PyArrayObject* a, const char* what) {
  const int t = PyArray_TYPE(a);
  if (t == NPY_OBJECT && holds_none(a))
    raise(PyExc_TypeError, "%s must hold real numbers, not None", what);
  if (PyTypeNum_ISCOMPLEX(t))
    raise(PyExc_TypeError, "%s: complex values are not supported (got dtype %R)", what,
          reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
  // Strings go through NumPy's own parsing ('1.5' is a number, 'a' a ValueError).
  if (!(PyTypeNum_ISBOOL(t) || PyTypeNum_ISINTEGER(t) || PyTypeNum_ISFLOAT(t) || t == NPY_OBJECT ||
        t == NPY_STRING || t == NPY_UNICODE))
    raise(PyExc_TypeError, "%s must hold real numbers, not dtype %R", what,
          reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
  if (t == NPY_DOUBLE && PyArray_ISCARRAY_RO(a) && PyArray_ISNOTSWAPPED(a))
    return Ref::borrow(reinterpret_cast<PyObject*>(a));
  OwnMemory memory(static_cast<size_t>(PyArray_SIZE(a)) * sizeof(double));
  return check(PyArray_FromArray(a, PyArray_DescrFromType(NPY_DOUBLE),
                                 NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST | NPY_ARRAY_ENSUREARRAY));
}

Ref in_float_dtype_of(const Ref& result, PyObject* like) {
  if (!PyArray_Check(like)) return result;
  const int t = PyArray_TYPE(reinterpret_cast<PyArrayObject*>(like));
  if (!PyTypeNum_ISFLOAT(t) || t == NPY_DOUBLE) return result;
  OwnMemory memory(static_cast<size_t>(PyArray_NBYTES(result.arr())));
  return check(PyArray_CastToType(result.arr(), PyArray_DescrFromType(t), 0));
}

npy_intp mul_size(npy_intp a, npy_intp b) {
  npy_intp r;
  if (__builtin_mul_overflow(a, b, &r))
    raise(PyExc_ValueError, "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.");
  return r;
}

npy_intp add_size(npy_intp a, npy_intp b) {
  npy_intp r;
  if (__builtin_add_overflow(a, b, &r))
    raise(PyExc_ValueError, "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.");
  return r;
}

namespace {
size_t nbytes(const std::vector<npy_intp>& d, size_t itemsize) {
  size_t n = itemsize;
  for (npy_intp e : d) n = e > 0 && n <= SIZE_MAX / static_cast<size_t>(e) ? n * static_cast<size_t>(e) : (e > 0 ? SIZE_MAX : 0);
  return n;
}
}  // namespace

Ref zeros(const std::vector<npy_intp>& d) {
  OwnMemory memory(nbytes(d, sizeof(double)));
  return check(PyArray_Zeros(static_cast<int>(d.size()), const_cast<npy_intp*>(d.data()),
                             PyArray_DescrFromType(NPY_DOUBLE), 0));
}

Ref empty(const std::vector<npy_intp>& d) {
  OwnMemory memory(nbytes(d, sizeof(double)));
  return check(PyArray_Empty(static_cast<int>(d.size()), const_cast<npy_intp*>(d.data()),
                             PyArray_DescrFromType(NPY_DOUBLE), 0));
}

Ref zeros_like_dtype(const std::vector<npy_intp>& d, PyArray_Descr* dtype) {
  OwnMemory memory(nbytes(d, static_cast<size_t>(PyDataType_ELSIZE(dtype))));
  Py_INCREF(dtype);
  return check(PyArray_Zeros(static_cast<int>(d.size()), const_cast<npy_intp*>(d.data()), dtype, 0));
}

std::vector<npy_intp> dims(PyArrayObject* a) {
  return std::vector<npy_intp>(PyArray_DIMS(a), PyArray_DIMS(a) + PyArray_NDIM(a));
}

namespace {
Ref bound(Py_ssize_t v, bool open) {
  if (open) return Ref::borrow(Py_None);
  return check(PyLong_FromSsize_t(v));
}
}  // namespace

Ref slice(PyObject* a, std::initializer_list<Slice> slices) {
  int n = 0;
  for (const Slice& s : slices) n = s.axis + 1 > n ? s.axis + 1 : n;
  Ref key = check(PyTuple_New(n));
  for (int i = 0; i < n; ++i) {
    Ref start = Ref::borrow(Py_None), stop = Ref::borrow(Py_None), step = Ref::borrow(Py_None);
    for (const Slice& s : slices)
      if (s.axis == i) {
        start = bound(s.start, s.start == OPEN_LO);
        stop = bound(s.stop, s.stop == OPEN_HI);
        step = bound(s.step, s.step == 1);
      }
    PyTuple_SET_ITEM(key.get(), i, check(PySlice_New(start.get(), stop.get(), step.get())).release());
  }
  return check(PyObject_GetItem(a, key.get()));
}

long long factor(PyObject* value, const char* name, long long min) {
  if (!PyIndex_Check(value))
    raise(PyExc_TypeError, "%s must be an integer, not %s", name, Py_TYPE(value)->tp_name);
  Ref i = check(PyNumber_Index(value));
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw Error{};
  if (overflow < 0 || (overflow == 0 && v < min))
    raise(PyExc_ValueError, "%s must be at least %lld, got %S", name, min, i.get());
  if (overflow > 0 || v > (1LL << 62)) raise(PyExc_ValueError, "%s is too large: %S", name, i.get());
  return v;
}

namespace {
std::string shape_text(const std::vector<npy_intp>& d) {
  std::string s = "(";
  for (size_t i = 0; i < d.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(d[i]);
  }
  if (d.size() == 1) s += ",";
  return s + ")";
}
}  // namespace

Ref param(PyObject* layer, PyObject* name, const std::vector<npy_intp>& shape) {
  Ref value = getattr(layer, name);
  Ref a = as_array(value.get());
  std::vector<npy_intp> got = dims(a.arr());
  if (got != shape)
    raise(PyExc_ValueError, "%U has shape %s, but the layer needs %s", name, shape_text(got).c_str(),
          shape_text(shape).c_str());
  return to_f64(a.arr(), PyUnicode_AsUTF8(name));
}

std::vector<double> bias(PyObject* layer, PyObject* name, npy_intp n) {
  Ref value = getattr(layer, name);
  Ref a = to_f64(value.get(), PyUnicode_AsUTF8(name));
  const int nd = PyArray_NDIM(a.arr());
  bool ok = true;
  for (int i = 0; i + 1 < nd; ++i) ok = ok && PyArray_DIM(a.arr(), i) == 1;
  const npy_intp last = nd ? PyArray_DIM(a.arr(), nd - 1) : 1;
  if (!ok || (last != n && last != 1))
    raise(PyExc_ValueError, "%U has shape %s, but the layer needs (%zd,)", name, shape_text(dims(a.arr())).c_str(),
          static_cast<Py_ssize_t>(n));
  std::vector<double> out(static_cast<size_t>(n));
  const double* p = data(a);
  for (npy_intp i = 0; i < n; ++i) out[static_cast<size_t>(i)] = last == 1 ? p[0] : p[i];
  return out;
}

Ref random_normal(const std::vector<npy_intp>& shape) {
  static PyObject* random = nullptr;
  if (!random) random = check(PyImport_ImportModule("numpy.random")).release();
  Ref normal = getattr(random, QB_ID(normal));
  Ref zero = py_int(0), one = py_float(1.0), size = shape_tuple(shape);
  return call(normal.get(), {zero.get(), one.get(), size.get()});
}

Ref numpy_attr(PyObject* name) {
  static PyObject* np = nullptr;
  if (!np) np = check(PyImport_ImportModule("numpy")).release();
  return getattr(np, name);
}

Ref pad(PyArrayObject* A, npy_intp p, int axes) {
  std::vector<npy_intp> d = dims(A);
  const int nd = static_cast<int>(d.size());
  if (nd < axes) unpack_error(nd, axes);
  if (p < 0) raise(PyExc_ValueError, "index can't contain negative values");
  for (int i = nd - axes; i < nd; ++i) d[static_cast<size_t>(i)] = add_size(d[static_cast<size_t>(i)], mul_size(p, 2));
  Ref out = zeros_like_dtype(d, PyArray_DESCR(A));
  const Py_ssize_t lo = static_cast<Py_ssize_t>(p);
  Ref center = axes == 1 ? slice(out.get(), {{nd - 1, lo, lo + PyArray_DIM(A, nd - 1), 1}})
                         : slice(out.get(), {{nd - 2, lo, lo + PyArray_DIM(A, nd - 2), 1},
                                             {nd - 1, lo, lo + PyArray_DIM(A, nd - 1), 1}});
  check(PyArray_CopyInto(center.arr(), A));
  return out;
}

namespace {
bool assertions_disabled() {
  static int optimize = -1;
  if (optimize < 0) {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    Ref o = flags ? Ref::steal(PyObject_GetAttrString(flags, "optimize")) : Ref();
    optimize = o ? static_cast<int>(PyLong_AsLong(o.get())) : 0;
    PyErr_Clear();
  }
  return optimize > 0;
}
}  // namespace

void check_channels(bool ok, const char* fmt, ...) {
  if (ok) return;
  if (!assertions_disabled()) {
    PyErr_SetNone(PyExc_AssertionError);
    throw Error{};
  }
  va_list va;
  va_start(va, fmt);
  PyErr_FormatV(PyExc_ValueError, fmt, va);
  va_end(va);
  throw Error{};
}

void add_into(PyObject* obj, PyObject* name, const Ref& value) {
  Ref cur = getattr(obj, name);
  if (PyArray_CheckExact(cur.get())) {
    PyArrayObject* c = cur.arr();
    if (PyArray_TYPE(c) == NPY_DOUBLE && PyArray_ISCARRAY(c) && PyArray_ISNOTSWAPPED(c) &&
        dims(c) == dims(value.arr())) {
      double* dst = static_cast<double*>(PyArray_DATA(c));
      const double* src = data(value);
      const npy_intp n = PyArray_SIZE(c);
      for (npy_intp i = 0; i < n; ++i) dst[i] += src[i];
      return;
    }
  }
  Ref sum = check(PyNumber_InPlaceAdd(cur.get(), value.get()));
  setattr(obj, name, sum);
}

npy_intp int_attr(PyObject* obj, PyObject* name) {
  return static_cast<npy_intp>(as_index(getattr(obj, name).get()));
}

npy_intp strict_int_attr(PyObject* obj, PyObject* name) {
  Ref v = getattr(obj, name);
  if (!PyIndex_Check(v.get()))
    raise(PyExc_TypeError, "%U must be an integer, not %s", name, Py_TYPE(v.get())->tp_name);
  return static_cast<npy_intp>(as_index(v.get()));
}

Ref through_layers(PyObject* layers, PyObject* method, PyObject* x, bool reverse) {
  Ref list = check(PySequence_List(layers));
  Ref value = Ref::borrow(x);
  const Py_ssize_t n = PyList_GET_SIZE(list.get());
  for (Py_ssize_t k = 0; k < n; ++k)
    value = call_method(PyList_GET_ITEM(list.get(), reverse ? n - 1 - k : k), method, {value.get()});
  return value;
}

void StockMethods::capture(PyObject* cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  cls_ = cls;
  forward_ = _PyType_Lookup(type, QB_ID(forward));
  backward_ = _PyType_Lookup(type, QB_ID(backward));
  Py_XINCREF(forward_);
  Py_XINCREF(backward_);
}

bool StockMethods::untouched(const Ref& obj) const {
  auto* type = Py_TYPE(obj.get());
  if (type != reinterpret_cast<PyTypeObject*>(cls_) || _PyType_Lookup(type, QB_ID(forward)) != forward_ ||
      _PyType_Lookup(type, QB_ID(backward)) != backward_)
    return false;
  Ref dict = check(PyObject_GenericGetDict(obj.get(), nullptr));
  for (PyObject* name : {QB_ID(forward), QB_ID(backward)}) {
    if (PyDict_GetItemWithError(dict.get(), name)) return false;
    if (PyErr_Occurred()) throw Error{};
  }
  return true;
}

bool attr_equals(PyObject* obj, PyObject* name, npy_intp value) {
  Ref v = getattr(obj, name);
  Ref i = py_int(value);
  int eq = PyObject_RichCompareBool(i.get(), v.get(), Py_EQ);
  check(eq);
  return eq == 1;
}

void init_conv_params(PyObject* self, std::initializer_list<PyObject*> shape, PyObject* out_channels,
                      PyObject* weight_init_fn, PyObject* bias_init_fn) {
  Ref W;
  if (!weight_init_fn || weight_init_fn == Py_None) {
    Ref normal = getattr(numpy_attr(QB_ID(random)).get(), QB_ID(normal));
    Ref zero = py_int(0), one = py_float(1.0), size = tuple(shape);
    W = call(normal.get(), {zero.get(), one.get(), size.get()});
  } else {
    W = call(weight_init_fn, shape);
  }
  setattr(self, QB_ID(W), W);
  Ref b;
  if (!bias_init_fn || bias_init_fn == Py_None)
    b = call(numpy_attr(QB_ID(zeros)).get(), {out_channels});
  else
    b = call(bias_init_fn, {out_channels});
  setattr(self, QB_ID(b), b);
  Ref zeros = numpy_attr(QB_ID(zeros));
  setattr(self, QB_ID(dLdW), call(zeros.get(), {getattr(W.get(), QB_ID(shape)).get()}));
  setattr(self, QB_ID(dLdb), call(zeros.get(), {getattr(b.get(), QB_ID(shape)).get()}));
}

// ---------------------------------------------------------------- BLAS

namespace {

// A (batch, rows, cols) float64 view of foreign memory; strides in elements.
Ref wrap(int64_t batch, int64_t rows, int64_t cols, int64_t batch_stride, int64_t row_stride, int64_t col_stride,
         const double* p, bool writeable) {
  constexpr npy_intp e = sizeof(double);
  npy_intp d[3] = {batch, rows, cols};
  npy_intp s[3] = {batch_stride * e, row_stride * e, col_stride * e};
  int flags = NPY_ARRAY_ALIGNED | (writeable ? NPY_ARRAY_WRITEABLE : 0);
  return check(PyArray_New(&PyArray_Type, 3, d, NPY_DOUBLE, s, const_cast<double*>(p), 0, flags, nullptr));
}

}  // namespace

void gemm(bool trans_a, bool trans_b, int64_t batch, int64_t m, int64_t n, int64_t k, const double* a, int64_t lda,
          int64_t stride_a, const double* b, int64_t ldb, int64_t stride_b, double* c, int64_t ldc,
          int64_t stride_c) {
  if (batch == 0 || m == 0 || n == 0) return;
  PyGILState_STATE g = PyGILState_Ensure();
  try {
    static PyObject* matmul = nullptr;
    static PyObject* kw = nullptr;
    if (!matmul) {
      Ref np = check(PyImport_ImportModule("numpy"));
      matmul = getattr(np.get(), QB_ID(matmul)).release();
      kw = tuple({QB_ID(out)}).release();
    }
    Ref A = trans_a ? wrap(batch, m, k, stride_a, 1, lda, a, false) : wrap(batch, m, k, stride_a, lda, 1, a, false);
    Ref B = trans_b ? wrap(batch, k, n, stride_b, 1, ldb, b, false) : wrap(batch, k, n, stride_b, ldb, 1, b, false);
    Ref C = wrap(batch, m, n, stride_c, ldc, 1, c, true);
    PyObject* argv[] = {A.get(), B.get(), C.get()};
    check(PyObject_Vectorcall(matmul, argv, 2, kw));
  } catch (...) {
    PyGILState_Release(g);
    throw;
  }
  PyGILState_Release(g);
}

}  // namespace qb
