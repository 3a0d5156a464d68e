// The rules layers share, between the binding layer (src/bind) and the module
// files: how hyper-parameters are read, how parameters are made, read and
// checked, how gradients are stored, and when a composite layer may drive its
// parts with fused kernels.
#pragma once

#include <initializer_list>
#include <vector>

#include "bind/bind.hpp"

namespace ql {

using qb::Ref;

// ---------------------------------------------------------------- the computing dtype

// Whether calls compute in float32: the package's default dtype
// (quillet.set_default_dtype, quillet.default_dtype) as the running thread or
// task sees it.  The context variable is looked up once; reading it is cheap.
bool single_precision();
// The default dtype as a NumPy type number (NPY_DOUBLE or NPY_FLOAT).
inline int default_type() { return single_precision() ? NPY_FLOAT : NPY_DOUBLE; }
// An array the layer made in float64 (a default initialisation, np.zeros) in
// the default dtype: itself under float64, a float32 copy under float32.
Ref in_default_dtype(const Ref& made);

// body<float>(args…) or body<double>(args…), by the default dtype at the call.
#define QL_TYPED(body, ...) (::ql::single_precision() ? body<float>(__VA_ARGS__) : body<double>(__VA_ARGS__))

// ---------------------------------------------------------------- hyper-parameters

// An integer factor, kernel or stride: TypeError if it is not an integer,
// ValueError if it is below `min`.
long long factor(PyObject* value, const char* name, long long min);
// A hyper-parameter given to a constructor: TypeError "kernel_size must be an
// integer, got 2.5" if it is not an integer, ValueError "stride must be at
// least 1, got 0" if it is below `min`.  Sizes too large for an input are left
// to the computing methods, which read the attribute through factor().
void check_arg(PyObject* value, const char* name, long long min);
// obj.<name> through factor().
long long factor_attr(PyObject* obj, PyObject* name, long long min);
// An integer attribute (through __index__).
npy_intp int_attr(PyObject* obj, PyObject* name);
// An integer attribute (through __index__) of at least `min`: ValueError
// "kernel_size must be at least 1, got 0" naming it otherwise.
npy_intp int_attr(PyObject* obj, PyObject* name, npy_intp min);
// An integer attribute that must be an integer object: TypeError naming it
// otherwise (a padding of 1.5 is refused, not truncated).
npy_intp strict_int_attr(PyObject* obj, PyObject* name);
// `value == obj.name` with Python's comparison.
bool attr_equals(PyObject* obj, PyObject* name, npy_intp value);

// An attribute that `forward` stores for `backward` (A, w_in, …): when it is
// missing, AttributeError "Lintrel.backward was called before forward"
// naming the attribute and the object that lacks it.
Ref stored(PyObject* obj, PyObject* name);
// A stored size (w_in, input_height, …): a stored() non-negative integer.
npy_intp stored_size(PyObject* obj, PyObject* name);

// ---------------------------------------------------------------- parameters

// W from `weight_init_fn(*shape)` or `np.random.normal(0, 1.0, shape)`, b from
// `bias_init_fn(out_channels)` or `np.zeros(out_channels)`, then dLdW and dLdb
// as `np.zeros` of their shapes.  `shape` holds the caller's objects, and
// `names` their parameter names: the default weights need whole numbers
// (TypeError "kernel_size must be an integer, got 2.5" otherwise).
void init_params(PyObject* self, std::initializer_list<PyObject*> shape, std::initializer_list<const char*> names,
                 PyObject* out_channels, PyObject* weight_init_fn, PyObject* bias_init_fn);

// The weight array of a layer as float64, with a clear ValueError when its
// shape is not the expected one.
Ref param(PyObject* layer, PyObject* name, const std::vector<npy_intp>& shape);
// The same in R (param_as<double> is param).
Ref param_typed(PyObject* layer, PyObject* name, const std::vector<npy_intp>& shape, int type);
template <class R>
Ref param_as(PyObject* layer, PyObject* name, const std::vector<npy_intp>& shape) {
  return param_typed(layer, name, shape, qb::type_of<R>);
}
// A bias that broadcasts against (…, n): shape (n,), (1,) or ().  Returned as
// n float64 values.
std::vector<double> bias(PyObject* layer, PyObject* name, npy_intp n);
// The same values in R.
template <class R>
std::vector<R> bias_as(PyObject* layer, PyObject* name, npy_intp n) {
  const std::vector<double> b = bias(layer, name, n);
  return std::vector<R>(b.begin(), b.end());
}

// Stores a freshly computed gradient: replaced like np.zeros_like(param)
// would hold it (in the parameter's floating dtype), or added to the current
// one as `obj.name += value` does.
void replace_grad(PyObject* obj, PyObject* name, const Ref& value, PyObject* param_name);
void add_grad(PyObject* obj, PyObject* name, const Ref& value);

// ---------------------------------------------------------------- checks

// The channel checks of the one-dimensional convolution.  With assertions
// enabled a mismatch is an AssertionError; with `python -O` it is still
// refused, as ValueError.  The message names the method.
[[noreturn]] void channel_mismatch(const char* fmt, ...);

// ---------------------------------------------------------------- composites

// A class's forward and backward (or other pair of methods) as a module found
// them at import.  A composite layer drives its parts with fused kernels only
// while a part is exactly such an instance and nothing has replaced those
// methods, on the class or on the instance; otherwise it calls the methods.
class StockMethods {
 public:
  void capture(PyObject* cls, PyObject* first = nullptr, PyObject* second = nullptr);
  bool untouched(const Ref& obj) const;

 private:
  PyObject* cls_ = nullptr;
  PyObject* names_[2] = {nullptr, nullptr};
  PyObject* methods_[2] = {nullptr, nullptr};  // strong references, kept for the process
};

// An instance of a class with a __dict__: what a layer or a network is.
// Modules, classes, functions, arrays and built-in objects are not.
bool enterable(PyObject* o);

// ---------------------------------------------------------------- repr

// "Lintrel(in_channels=3, out_channels=8, kernel_size=5, stride=2, padding=1)":
// the class's name and, for each field, name=repr(value), the value read at a
// dotted attribute path from the object ("lintrel_stride1.in_channels").  A
// value that cannot be read shows as "?": a repr never fails.
Ref repr_call(PyObject* self, std::initializer_list<std::pair<const char*, const char*>> fields);
// "ReLU()", for classes without hyper-parameters.
Ref bare_repr(PyObject* self);

// "MLP(\n  (layers.0): Linear(in_features=192, out_features=8)\n  …\n)": the
// class's name and the repr of each part, one per line, labelled by its path.
// `paths` name attributes or sequences of parts (shown element by element).
Ref repr_parts(PyObject* self, std::initializer_list<const char*> paths);

// The bodies of train() and eval() for layers that behave differently while
// training: they set `train_mode`.
Ref train(PyObject* self);
Ref eval(PyObject* self);

// Passes x through every layer of a sequence with `method` (forward or
// backward), first to last or, with `reverse`, last to first.
Ref through_layers(PyObject* layers, PyObject* method, PyObject* x, bool reverse);

}  // namespace ql
