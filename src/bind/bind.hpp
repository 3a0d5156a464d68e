// The one place that knows how a module of this package talks to Python.
//
// Every class is a genuine Python class made by calling `type(name, (object,),
// ns)`, whose methods are C method descriptors.  So a layer is indistinguishable
// from one written in Python: `__bases__ == (object,)`, state in the instance
// `__dict__`, default pickling and deep copies, `inspect.signature` from the
// text signature.  Errors travel as C++ exceptions (`qb::Error`) once the Python
// error indicator is set; the method trampolines turn them back into NULL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL quillet_ARRAY_API
#ifndef QUILLET_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cstdint>
#include <initializer_list>
#include <new>
#include <vector>

namespace qb {

// ---------------------------------------------------------------- references

// Owning reference.  Default-constructed means "no object".
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { Ref r; r.p_ = p; return r; }
  static Ref borrow(PyObject* p) { Py_XINCREF(p); return steal(p); }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyArrayObject* arr() const { return reinterpret_cast<PyArrayObject*>(p_); }
  PyObject* release() { PyObject* p = p_; p_ = nullptr; return p; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Thrown once a Python exception is set.
struct Error {};

// Throws Error if p is NULL, otherwise takes ownership.
inline Ref check(PyObject* p) {
  if (!p) throw Error{};
  return Ref::steal(p);
}
inline void check(int status) {
  if (status < 0) throw Error{};
}
// len(o)
inline Py_ssize_t len(PyObject* o) {
  const Py_ssize_t n = PyObject_Length(o);
  if (n < 0) throw Error{};
  return n;
}

[[noreturn]] void raise(PyObject* type, const char* fmt, ...);

// Interned attribute and keyword names: QB_ID(W) is the str "W".
#define QB_ID(name)                                                   \
  ([]() -> PyObject* {                                                \
    static PyObject* s = PyUnicode_InternFromString(#name);           \
    return s;                                                         \
  }())

// ---------------------------------------------------------------- attributes

inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check(PyObject_SetAttr(o, name, v)); }
inline void setattr(PyObject* o, PyObject* name, const Ref& v) { setattr(o, name, v.get()); }

Ref py_int(long long v);
Ref py_float(double v);
// A Python int as a C++ integer through __index__ (TypeError otherwise).
long long as_index(PyObject* o);
Ref tuple(std::initializer_list<PyObject*> items);   // borrowed items
Ref shape_tuple(const std::vector<npy_intp>& dims);

// Calls
Ref call(PyObject* fn, std::initializer_list<PyObject*> args);
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args);

// Python's print(*args).
void print(std::initializer_list<PyObject*> args);

// ---------------------------------------------------------------- arguments

// Parses positional-or-keyword arguments the way a Python function does,
// including its TypeError messages.  `qualname` is like "Lintrel.__init__";
// `names` lists the parameters after self; the first `nrequired` have no
// default.  Missing optional arguments come back as nullptr.  Borrowed.
void parse_args(const char* qualname, const char* const* names, int nparams, int nrequired,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Converts a C++ exception in flight into a pending Python exception.
void translate_exception();

// Adds an entry for the method to the pending exception's traceback, so that
// a traceback names the module, class and method that raised (as it would for
// Python code): `source` is the module's source file (__FILE__), `qualname`
// like "Lintrel_stride1.forward".
void add_traceback(const char* source, const char* qualname);

using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Builds the trampoline of a method: parses arguments, calls BODY with `self`
// and `arg[i]`, turns exceptions into NULL.  BODY returns a Ref; an empty Ref
// means None.
#define QB_FAST(QUALNAME, NREQ, BODY, ...)                                                   \
  [](PyObject* self, PyObject* const* args_, Py_ssize_t nargs_, PyObject* kw_) -> PyObject* { \
    (void)self;                                                                              \
    static const char* const names_[] = {__VA_OPT__(__VA_ARGS__, ) nullptr};                 \
    constexpr int n_ = sizeof(names_) / sizeof(names_[0]) - 1;                               \
    PyObject* arg[n_ > 0 ? n_ : 1] = {};                                                     \
    try {                                                                                    \
      ::qb::parse_args(QUALNAME, names_, n_, NREQ, args_, nargs_, kw_, arg);                 \
      ::qb::Ref r_ = BODY;                                                                   \
      if (!r_) Py_RETURN_NONE;                                                               \
      return r_.release();                                                                   \
    } catch (...) {                                                                          \
      ::qb::translate_exception();                                                           \
      ::qb::add_traceback(__FILE__, QUALNAME);                                               \
      return nullptr;                                                                        \
    }                                                                                        \
  }

// A method table entry; SIG is the Python-style parameter list after self.
#define QB_METHOD(NAME, FN, SIG, DOC) \
  { NAME, reinterpret_cast<PyCFunction>(static_cast<::qb::Fast>(FN)), METH_FASTCALL | METH_KEYWORDS, NAME "($self" SIG ")\n--\n\n" DOC }

// Methods without a docstring of their own (constructors) still get a signature.
#define QB_INIT(FN, SIG) \
  { "__init__", reinterpret_cast<PyCFunction>(static_cast<::qb::Fast>(FN)), METH_FASTCALL | METH_KEYWORDS, "__init__($self" SIG ")\n--\n\n" }

// The docstring of a layer method: one argument line, one return line.
#define QB_DOC(ARG, RET) "Argument:\n    " ARG "\nReturn:\n    " RET

// ---------------------------------------------------------------- modules

// Creates a plain class `module.name` with the given methods (terminated by a
// zeroed entry), binds it in the module and returns it (borrowed: the module
// keeps it alive).
PyObject* make_class(PyObject* module, const char* name, PyMethodDef* methods);

// Module-level function, a builtin bound to the module.
void add_function(PyObject* module, PyMethodDef* def);

// `import numpy as np` into the module.
void bind_numpy(PyObject* module);
// `import <name>` bound under `as` in the module (e.g. os).
void bind_module(PyObject* module, const char* name, const char* as);
// `from <name> import *`: every public name, as no module here defines __all__.
void star_import(PyObject* module, const char* name);
// The same for several modules, in order.
inline void star_import(PyObject* module, std::initializer_list<const char*> names) {
  for (const char* name : names) star_import(module, name);
}

// Looks a name up in the module's globals, as a Python function body would.
Ref global(PyObject* module, PyObject* name);

// For modules that run a script when imported: `resolve(m, "np.random.seed")`
// looks the first name up in the module's globals and the rest as attributes;
// `set_global(m, "x", v)` binds a global.
Ref resolve(PyObject* module, const char* path);
void set_global(PyObject* module, const char* name, const Ref& value);
Ref str(const char* text);
// `np.random.seed(seed)` through the module's own np.
void seed(PyObject* module, long long seed);
// print(label, value)
void show(const char* label, const Ref& value);

// Wraps module initialisation: runs `body` and returns the module or NULL.
void init_numpy();

template <class F>
PyObject* init_module(PyModuleDef* def, F body) {
  try {
    init_numpy();
    Ref m = check(PyModule_Create(def));
    body(m.get());
    return m.release();
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

// ---------------------------------------------------------------- arrays

// Exactly Python's messages for `a, b, c = A.shape`.
void unpack_error(Py_ssize_t got, int expected);

// An ndarray for the object (the object itself if it is one).
Ref as_array(PyObject* o);

// Raises ValueError like tuple unpacking unless `a` has `ndim` axes.
inline void expect_ndim(PyArrayObject* a, int ndim) {
  if (PyArray_NDIM(a) != ndim) unpack_error(PyArray_NDIM(a), ndim);
}

// A C-contiguous, aligned, native-order float64 array holding the values of
// `a` (which is returned itself when it already is one).  Booleans, integers,
// floats and numeric object arrays convert; complex and non-numeric dtypes
// raise TypeError naming `what`.
Ref to_f64(PyArrayObject* a, const char* what);
inline Ref to_f64(PyObject* o, const char* what) {
  Ref a = as_array(o);
  return to_f64(a.arr(), what);
}

// While one exists, arrays NumPy creates take their memory from a cache that
// keeps large freed blocks for reuse (see memory.cpp).
class OwnMemory {
 public:
  // For an allocation of about `bytes` (small ones are left to NumPy).
  explicit OwnMemory(size_t bytes);
  ~OwnMemory();
  OwnMemory(const OwnMemory&) = delete;
  OwnMemory& operator=(const OwnMemory&) = delete;

 private:
  PyObject* previous_ = nullptr;
};

// `result` (float64) in the floating dtype of `like` when that is another
// floating type (float16, float32, longdouble), as np.zeros_like(like) would
// hold it; float64 otherwise (integers included: their gradients are real).
Ref in_float_dtype_of(const Ref& result, PyObject* like);

// New float64 C-contiguous arrays; ValueError "array is too big" on overflow.
Ref zeros(const std::vector<npy_intp>& dims);
Ref empty(const std::vector<npy_intp>& dims);
// New array of the given dtype (borrowed descriptor) filled with zeros.
Ref zeros_like_dtype(const std::vector<npy_intp>& dims, PyArray_Descr* dtype);

// Overflow-checked size arithmetic for shapes (ValueError "array is too big").
npy_intp mul_size(npy_intp a, npy_intp b);
npy_intp add_size(npy_intp a, npy_intp b);

inline double* data(const Ref& a) { return static_cast<double*>(PyArray_DATA(a.arr())); }
inline npy_intp dim(const Ref& a, int i) { return PyArray_DIM(a.arr(), i); }
std::vector<npy_intp> dims(PyArrayObject* a);

// Numpy basic slicing from C: `a[..., start:stop:step]` along the given axes
// (every other axis whole).  Exactly the view Python slicing makes.
struct Slice {
  int axis;
  Py_ssize_t start, stop, step;  // PY_SSIZE_T_MIN / MAX for "open"
};
constexpr Py_ssize_t OPEN_LO = PY_SSIZE_T_MIN;
constexpr Py_ssize_t OPEN_HI = PY_SSIZE_T_MAX;
Ref slice(PyObject* a, std::initializer_list<Slice> slices);

// An integer factor, kernel or stride read from a layer: TypeError if it is not
// an integer, ValueError if it is below `min`.
long long factor(PyObject* value, const char* name, long long min);

// The weight or bias array of a layer as float64, with a clear ValueError when
// its shape is not the expected one.
Ref param(PyObject* layer, PyObject* name, const std::vector<npy_intp>& shape);
// A bias that broadcasts against (…, n): shape (n,), (1,) or ().  Returned as a
// float64 array of n values.
std::vector<double> bias(PyObject* layer, PyObject* name, npy_intp n);

// `np.random.normal(0, 1.0, shape)` through numpy's global generator.
Ref random_normal(const std::vector<npy_intp>& shape);

// `np.<name>` (looked up on every call, like a Python module would).
Ref numpy_attr(PyObject* name);

// np.pad(A, …, "constant") of the last `axes` axes by `pad` zeros at both ends:
// a new array of A's dtype and order-independent layout (C order).
Ref pad(PyArrayObject* A, npy_intp pad, int axes);

// The channel checks of the layers.  With assertions enabled a mismatch is a
// bare AssertionError; with `python -O` it is still refused, as ValueError.
void check_channels(bool ok, const char* fmt, ...);

// `obj.name += value` as Python runs it: in place for a float64 array of the
// same shape, numpy's in-place add (and rebinding) otherwise.
void add_into(PyObject* obj, PyObject* name, const Ref& value);

// ---------------------------------------------------------------- layer helpers

// An integer attribute (through __index__).
npy_intp int_attr(PyObject* obj, PyObject* name);
// An integer attribute that must be an integer object: TypeError naming it
// otherwise (a padding of 1.5 is refused, not truncated).
npy_intp strict_int_attr(PyObject* obj, PyObject* name);
// A class's forward and backward as a module found them at import.  A
// composite layer drives its parts with fused kernels only while a part is
// exactly such an instance and nothing has replaced those methods, on the
// class or on the instance; otherwise it calls the methods.
class StockMethods {
 public:
  void capture(PyObject* cls);
  bool untouched(const Ref& obj) const;

 private:
  PyObject* cls_ = nullptr;
  PyObject* forward_ = nullptr;  // strong references, kept for the process
  PyObject* backward_ = nullptr;
};

// Passes x through every layer of a sequence with `method` (forward or
// backward), first to last or, with `reverse`, last to first.
Ref through_layers(PyObject* layers, PyObject* method, PyObject* x, bool reverse);
// `value == obj.name` with Python's comparison.
bool attr_equals(PyObject* obj, PyObject* name, npy_intp value);

// The parameter set-up shared by the convolution layers: W from
// `weight_init_fn(*shape)` or `np.random.normal(0, 1.0, shape)`, b from
// `bias_init_fn(out_channels)` or `np.zeros(out_channels)`, then dLdW and
// dLdb as `np.zeros` of their shapes.  `shape` holds the caller's objects.
void init_conv_params(PyObject* self, std::initializer_list<PyObject*> shape, PyObject* out_channels,
                      PyObject* weight_init_fn, PyObject* bias_init_fn);

// ---------------------------------------------------------------- the GIL

class NoGil {
 public:
  NoGil() : state_(PyEval_SaveThread()) {}
  ~NoGil() { PyEval_RestoreThread(state_); }
  NoGil(const NoGil&) = delete;
  NoGil& operator=(const NoGil&) = delete;

 private:
  PyThreadState* state_;
};

// Batched row-major GEMM through numpy's matmul, i.e. the BLAS numpy ships
// (see qk::GemmFn for the meaning of the arguments).  May be called without
// the GIL: it takes the GIL for the call, and numpy releases it again while
// the BLAS runs.  A Python error (MemoryError) comes back as qb::Error.
void gemm(bool trans_a, bool trans_b, int64_t batch, int64_t m, int64_t n, int64_t k, const double* a, int64_t lda,
          int64_t stride_a, const double* b, int64_t ldb, int64_t stride_b, double* c, int64_t ldc,
          int64_t stride_c);

}  // namespace qb
