// NumPy arrays from C++: conversion of inputs, new results, views made the way
// NumPy slicing makes them, and the few NumPy functions the layers call.
//
// Built against the NumPy 2 headers with a target of 1.22, so one build runs
// with any NumPy from 1.22 on.
#pragma once

#include "bind/ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL quillet_ARRAY_API
#ifndef QUILLET_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <string>
#include <vector>

namespace qb {

inline PyArrayObject* arr(const Ref& a) { return reinterpret_cast<PyArrayObject*>(a.get()); }
inline double* data(const Ref& a) { return static_cast<double*>(PyArray_DATA(arr(a))); }
// The NumPy type number of double or float.
template <class R>
constexpr int type_of = sizeof(R) == sizeof(double) ? NPY_DOUBLE : NPY_FLOAT;
// The data of an array of R.
template <class R>
R* data_of(const Ref& a) {
  return static_cast<R*>(PyArray_DATA(arr(a)));
}
inline npy_intp dim(const Ref& a, int i) { return PyArray_DIM(arr(a), i); }
inline int ndim(const Ref& a) { return PyArray_NDIM(arr(a)); }
inline npy_intp size(const Ref& a) { return PyArray_SIZE(arr(a)); }
std::vector<npy_intp> dims(PyArrayObject* a);
inline std::vector<npy_intp> dims(const Ref& a) { return dims(arr(a)); }
// A shape as a tuple of ints.
Ref shape_tuple(const std::vector<npy_intp>& dims);
// "(2, 3)", "(5,)", as Python prints a shape.
std::string shape_text(const std::vector<npy_intp>& d);

// An ndarray for the object (the object itself if it is one).
Ref as_array(PyObject* o);

// ValueError unless `a` has `n` axes: "Lintrel.forward: A must have 3 axes
// (batch, channels, width), got shape (3, 100)".  `axes` names them; by
// default (batch, features), (batch, channels, width) or (batch, channels,
// height, width).
void expect_axes(const Ref& a, int n, const char* what, const char* axes = nullptr);

// A C-contiguous, aligned, native-order float64 array holding the values of
// `a` (which is returned itself when it already is one).  Booleans, integers,
// floats and numeric object arrays convert; complex and non-numeric dtypes
// raise TypeError naming `what`.
Ref to_f64(PyArrayObject* a, const char* what);
inline Ref to_f64(const Ref& a, const char* what) { return to_f64(arr(a), what); }
inline Ref to_f64(PyObject* o, const char* what) { return to_f64(as_array(o), what); }
// The same in R: to_real<double> is to_f64, to_real<float> (to_f32) gives
// float32 under the same rules.
Ref to_typed(PyArrayObject* a, const char* what, int type);
template <class R>
Ref to_real(PyObject* o, const char* what) {
  Ref a = as_array(o);
  return to_typed(arr(a), what, type_of<R>);
}
template <class R>
Ref to_real(const Ref& a, const char* what) {
  return to_typed(arr(a), what, type_of<R>);
}
inline Ref to_f32(PyObject* o, const char* what) { return to_real<float>(o, what); }

// A new writeable C-contiguous float64 array with the values of `o`, with the
// checks of to_f64 (TypeError naming `what` for complex or non-numeric values).
Ref f64_copy(PyObject* o, const char* what);

// `result` (float64) in the floating dtype of `like` when that is another
// floating type (float16, float32, longdouble), as np.zeros_like(like) would
// hold it; float64 otherwise (integers included: their gradients are real).
Ref in_float_dtype_of(const Ref& result, PyObject* like);

// New float64 C-contiguous arrays; ValueError "array is too big" on overflow.
// Their memory comes from the reuse cache (memory.hpp).
Ref zeros(const std::vector<npy_intp>& dims);
Ref empty(const std::vector<npy_intp>& dims);
// New array of the given dtype (borrowed descriptor) filled with zeros.
Ref zeros_like_dtype(const std::vector<npy_intp>& dims, PyArray_Descr* dtype);
// The same in R (float64 or float32).
Ref typed_zeros(const std::vector<npy_intp>& dims, int type);
Ref typed_empty(const std::vector<npy_intp>& dims, int type);
template <class R>
Ref zeros_of(const std::vector<npy_intp>& dims) {
  return typed_zeros(dims, type_of<R>);
}
template <class R>
Ref empty_of(const std::vector<npy_intp>& dims) {
  return typed_empty(dims, type_of<R>);
}

// Overflow-checked size arithmetic for shapes (ValueError "array is too big").
npy_intp mul_size(npy_intp a, npy_intp b);
npy_intp add_size(npy_intp a, npy_intp b);

// Numpy basic slicing from C: `a[..., start:stop:step]` along the given axes
// (every other axis whole).  Exactly the view Python slicing makes.
struct Slice {
  int axis;
  Py_ssize_t start, stop, step;  // OPEN_LO / OPEN_HI for "open"
};
constexpr Py_ssize_t OPEN_LO = PY_SSIZE_T_MIN;
constexpr Py_ssize_t OPEN_HI = PY_SSIZE_T_MAX;
Ref slice(PyObject* a, std::initializer_list<Slice> slices);

// np.pad(A, …, "constant") of the last `axes` axes by `pad` zeros at both ends:
// a new C-order array of A's dtype.
Ref pad(PyArrayObject* A, npy_intp pad, int axes);

// `np.<name>` (looked up on every call, like a Python module would).
Ref numpy_attr(PyObject* name);
// `np.random.normal(0, 1.0, shape)` through numpy's global generator; `shape`
// holds the caller's objects.
Ref random_normal(std::initializer_list<PyObject*> shape);

}  // namespace qb
