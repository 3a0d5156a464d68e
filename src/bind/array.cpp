#define QUILLET_IMPORT_ARRAY
#include "bind/array.hpp"

#include "bind/args.hpp"
#include "bind/memory.hpp"

namespace qb {

void init_numpy() {
  if (PyArray_API) return;
  if (_import_array() < 0) throw Error{};
}

std::vector<npy_intp> dims(PyArrayObject* a) {
  return std::vector<npy_intp>(PyArray_DIMS(a), PyArray_DIMS(a) + PyArray_NDIM(a));
}

Ref shape_tuple(const std::vector<npy_intp>& d) {
  Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(d.size())));
  for (size_t i = 0; i < d.size(); ++i) PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), py_int(d[i]).release());
  return t;
}

std::string shape_text(const std::vector<npy_intp>& d) {
  std::string s = "(";
  for (size_t i = 0; i < d.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(d[i]);
  }
  if (d.size() == 1) s += ",";
  return s + ")";
}

void expect_axes(const Ref& a, int n, const char* what, const char* axes) {
  if (ndim(a) == n) return;
  if (!axes) axes = n == 2 ? "batch, features" : n == 3 ? "batch, channels, width" : "batch, channels, height, width";
  fail(PyExc_ValueError, "%s must have %d axes (%s), got shape %s", what, n, axes, shape_text(dims(a)).c_str());
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

Ref to_f64(PyArrayObject* a, const char* what) { return to_typed(a, what, NPY_DOUBLE); }

Ref to_typed(PyArrayObject* a, const char* what, int type) {
  const int t = PyArray_TYPE(a);
  if (t == NPY_OBJECT && holds_none(a)) fail(PyExc_TypeError, "%s must hold real numbers, not None", what);
  if (PyTypeNum_ISCOMPLEX(t))
    fail(PyExc_TypeError, "%s: complex values are not supported (got dtype %R)", what,
         reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
  // Strings go through NumPy's own parsing ('1.5' is a number, 'a' a ValueError).
  if (!(PyTypeNum_ISBOOL(t) || PyTypeNum_ISINTEGER(t) || PyTypeNum_ISFLOAT(t) || t == NPY_OBJECT || t == NPY_STRING ||
        t == NPY_UNICODE))
    fail(PyExc_TypeError, "%s must hold real numbers, not dtype %R", what,
         reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
  if (t == type && PyArray_ISCARRAY_RO(a) && PyArray_ISNOTSWAPPED(a))
    return Ref::borrow(reinterpret_cast<PyObject*>(a));
  OwnMemory memory(static_cast<size_t>(PyArray_SIZE(a)) * (type == NPY_FLOAT ? sizeof(float) : sizeof(double)));
  return check(PyArray_FromArray(a, PyArray_DescrFromType(type),
                                 NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST | NPY_ARRAY_ENSUREARRAY));
}

Ref f64_copy(PyObject* o, const char* what) {
  Ref a = as_array(o);
  Ref values = to_f64(a, what);
  return check(PyArray_FromAny(values.get(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                               NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY | NPY_ARRAY_ENSUREARRAY, nullptr));
}

Ref in_float_dtype_of(const Ref& result, PyObject* like) {
  if (!PyArray_Check(like)) return result;
  const int t = PyArray_TYPE(reinterpret_cast<PyArrayObject*>(like));
  if (!PyTypeNum_ISFLOAT(t) || t == PyArray_TYPE(arr(result))) return result;
  OwnMemory memory(static_cast<size_t>(PyArray_NBYTES(arr(result))));
  return check(PyArray_CastToType(arr(result), PyArray_DescrFromType(t), 0));
}

namespace {
[[noreturn]] void too_big() {
  raise(PyExc_ValueError,
        "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.");
}

size_t nbytes(const std::vector<npy_intp>& d, size_t itemsize) {
  size_t n = itemsize;
  for (npy_intp e : d)
    n = e > 0 && n <= SIZE_MAX / static_cast<size_t>(e) ? n * static_cast<size_t>(e) : (e > 0 ? SIZE_MAX : 0);
  return n;
}
}  // namespace

npy_intp mul_size(npy_intp a, npy_intp b) {
  npy_intp r;
  if (__builtin_mul_overflow(a, b, &r)) too_big();
  return r;
}

npy_intp add_size(npy_intp a, npy_intp b) {
  npy_intp r;
  if (__builtin_add_overflow(a, b, &r)) too_big();
  return r;
}

Ref zeros(const std::vector<npy_intp>& d) {
  OwnMemory memory(nbytes(d, sizeof(double)));
  return check(
      PyArray_Zeros(static_cast<int>(d.size()), const_cast<npy_intp*>(d.data()), PyArray_DescrFromType(NPY_DOUBLE), 0));
}

Ref empty(const std::vector<npy_intp>& d) {
  OwnMemory memory(nbytes(d, sizeof(double)));
  return check(
      PyArray_Empty(static_cast<int>(d.size()), const_cast<npy_intp*>(d.data()), PyArray_DescrFromType(NPY_DOUBLE), 0));
}

Ref typed_zeros(const std::vector<npy_intp>& d, int type) {
  if (type == NPY_DOUBLE) return zeros(d);
  OwnMemory memory(nbytes(d, sizeof(float)));
  return check(
      PyArray_Zeros(static_cast<int>(d.size()), const_cast<npy_intp*>(d.data()), PyArray_DescrFromType(type), 0));
}

Ref typed_empty(const std::vector<npy_intp>& d, int type) {
  if (type == NPY_DOUBLE) return empty(d);
  OwnMemory memory(nbytes(d, sizeof(float)));
  return check(
      PyArray_Empty(static_cast<int>(d.size()), const_cast<npy_intp*>(d.data()), PyArray_DescrFromType(type), 0));
}

Ref zeros_like_dtype(const std::vector<npy_intp>& d, PyArray_Descr* dtype) {
  OwnMemory memory(nbytes(d, static_cast<size_t>(PyDataType_ELSIZE(dtype))));
  Py_INCREF(dtype);
  return check(PyArray_Zeros(static_cast<int>(d.size()), const_cast<npy_intp*>(d.data()), dtype, 0));
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

Ref pad(PyArrayObject* A, npy_intp p, int axes) {
  std::vector<npy_intp> d = dims(A);
  const int nd = static_cast<int>(d.size());
  if (nd < axes) fail(PyExc_ValueError, "A must have at least %d axes to pad, got %d", axes, nd);
  if (p < 0) fail(PyExc_ValueError, "padding must not be negative, got %zd", static_cast<Py_ssize_t>(p));
  for (int i = nd - axes; i < nd; ++i) d[static_cast<size_t>(i)] = add_size(d[static_cast<size_t>(i)], mul_size(p, 2));
  Ref out = zeros_like_dtype(d, PyArray_DESCR(A));
  const Py_ssize_t lo = static_cast<Py_ssize_t>(p);
  Ref center = axes == 1 ? slice(out.get(), {{nd - 1, lo, lo + PyArray_DIM(A, nd - 1), 1}})
                         : slice(out.get(), {{nd - 2, lo, lo + PyArray_DIM(A, nd - 2), 1},
                                             {nd - 1, lo, lo + PyArray_DIM(A, nd - 1), 1}});
  check(PyArray_CopyInto(arr(center), A));
  return out;
}

Ref numpy_attr(PyObject* name) {
  static PyObject* np = nullptr;
  if (!np) np = check(PyImport_ImportModule("numpy")).release();
  return getattr(np, name);
}

Ref random_normal(std::initializer_list<PyObject*> shape) {
  Ref normal = getattr(numpy_attr(QB_ID(random)).get(), QB_ID(normal));
  Ref zero = py_int(0), one = py_float(1.0), size = tuple(shape);
  return call(normal.get(), {zero.get(), one.get(), size.get()});
}

}  // namespace qb
