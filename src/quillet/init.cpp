// quillet.init: weight initialisers in the form every layer calls them,
// init(*shape) -> array, so each one is a ready `weight_init_fn` or
// `bias_init_fn` whatever the layer.  The numbers come from NumPy's global
// generator (np.random.normal / np.random.uniform, called through Python), so
// np.random.seed reproduces them.
#include <cmath>
#include <vector>

#include "layer/layer.hpp"

using qb::Ref;

namespace {

struct Fans {
  double in, out;
};

// The extents a layer passes, as Python ints: `shape` is the tuple of
// positional arguments, or one tuple or list of them (init((64, 32)) as well
// as init(64, 32)).
Ref extents(PyObject* shape) {
  Ref items = Ref::borrow(shape);
  if (PyTuple_GET_SIZE(shape) == 1 &&
      (PyTuple_Check(PyTuple_GET_ITEM(shape, 0)) || PyList_Check(PyTuple_GET_ITEM(shape, 0))))
    items = qb::check(PySequence_Tuple(PyTuple_GET_ITEM(shape, 0)));
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  if (n == 0) qb::fail(PyExc_TypeError, "needs the shape to fill, e.g. (out_features, in_features)");
  Ref out = qb::check(PyTuple_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* e = PyTuple_GET_ITEM(items.get(), i);
    if (!PyIndex_Check(e) || PyBool_Check(e))
      qb::fail(PyExc_TypeError, "every extent of the shape must be an integer, got %R", e);
    Ref v = qb::check(PyNumber_Index(e));
    if (PyLong_AsLongLong(v.get()) < 0) {
      if (PyErr_Occurred()) throw qb::Error{};
      qb::fail(PyExc_ValueError, "the extents of the shape must not be negative, got %R", e);
    }
    PyTuple_SET_ITEM(out.get(), i, v.release());
  }
  return out;
}

// fan_in = shape[1] * prod(shape[2:]) and fan_out = shape[0] * prod(shape[2:])
// for weights (out, in, *kernel); a vector (a bias, shape (n,)) counts n both
// ways.  An empty extent gives an empty array, whose scale does not matter.
Fans fans(const Ref& shape) {
  const Py_ssize_t n = PyTuple_GET_SIZE(shape.get());
  std::vector<double> e(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) e[static_cast<size_t>(i)] = PyLong_AsDouble(PyTuple_GET_ITEM(shape.get(), i));
  if (PyErr_Occurred()) throw qb::Error{};
  if (n == 1) return {e[0], e[0]};
  double field = 1;
  for (size_t i = 2; i < e.size(); ++i) field *= e[i];
  return {e[1] * field, e[0] * field};
}

double positive(double fan) { return fan > 0 ? fan : 1; }

Ref normal(const Ref& shape, double mean, double std) {
  Ref random = qb::numpy_attr(QB_ID(random));
  Ref fn = qb::getattr(random.get(), QB_ID(normal));
  return qb::call(fn.get(), {qb::py_float(mean).get(), qb::py_float(std).get(), shape.get()});
}

Ref uniform(const Ref& shape, double bound) {
  Ref random = qb::numpy_attr(QB_ID(random));
  Ref fn = qb::getattr(random.get(), QB_ID(uniform));
  return qb::call(fn.get(), {qb::py_float(-bound).get(), qb::py_float(bound).get(), shape.get()});
}

Ref kaiming_normal(PyObject*, PyObject* shape) {
  Ref s = extents(shape);
  return normal(s, 0, std::sqrt(2 / positive(fans(s).in)));
}

Ref kaiming_uniform(PyObject*, PyObject* shape) {
  Ref s = extents(shape);
  return uniform(s, std::sqrt(6 / positive(fans(s).in)));
}

Ref xavier_normal(PyObject*, PyObject* shape) {
  Ref s = extents(shape);
  const Fans f = fans(s);
  return normal(s, 0, std::sqrt(2 / positive(f.in + f.out)));
}

Ref xavier_uniform(PyObject*, PyObject* shape) {
  Ref s = extents(shape);
  const Fans f = fans(s);
  return uniform(s, std::sqrt(6 / positive(f.in + f.out)));
}

Ref fan_in_uniform(PyObject*, PyObject* shape) {
  Ref s = extents(shape);
  return uniform(s, 1 / std::sqrt(positive(fans(s).in)));
}

Ref zeros(PyObject*, PyObject* shape) {
  Ref s = extents(shape);
  return qb::call(qb::numpy_attr(QB_ID(zeros)).get(), {s.get()});
}

// ---------------------------------------------------------------- Normal

double finite(PyObject* value, const char* name, bool non_negative) {
  if (!PyFloat_Check(value) && !PyLong_Check(value)) {
    if (!PyNumber_Check(value) || PyUnicode_Check(value) || PyBool_Check(value))
      qb::fail(PyExc_TypeError, "%s must be a real number, got %R", name, value);
  }
  const double v = PyFloat_AsDouble(value);
  if (v == -1 && PyErr_Occurred()) throw qb::Error{};
  if (!std::isfinite(v) || (non_negative && v < 0))
    qb::fail(PyExc_ValueError, "%s must be a finite%s number, got %R", name, non_negative ? " non-negative" : "",
             value);
  return v;
}

Ref normal_init(PyObject* self, PyObject* std, PyObject* mean) {
  finite(std, "std", true);
  finite(mean, "mean", false);
  qb::setattr(self, QB_ID(std), std);
  qb::setattr(self, QB_ID(mean), mean);
  return {};
}

Ref normal_call(PyObject* self, PyObject* shape) {
  Ref s = extents(shape);
  const double std = finite(qb::getattr(self, QB_ID(std)).get(), "std", true);
  const double mean = finite(qb::getattr(self, QB_ID(mean)).get(), "mean", false);
  return normal(s, mean, std);
}

Ref normal_repr(PyObject* self) { return ql::repr_call(self, {{"std", "std"}, {"mean", "mean"}}); }

PyObject* g_module = nullptr;

Ref normal_factory(PyObject*, PyObject* std, PyObject* mean) {
  return qb::call_kw(qb::global(g_module, QB_ID(Normal)).get(), {{"std", std}, {"mean", mean}});
}

const char* const DOC =
    R"(Weight initialisers, each usable as a layer's weight_init_fn or bias_init_fn.

Every layer calls its initialisers with the extents of the array to fill:
weight_init_fn(out_features, in_features) for Linear,
weight_init_fn(out_channels, in_channels, kernel_size) for 1-D convolutions,
weight_init_fn(out_channels, in_channels, kernel_size, kernel_size) for 2-D
ones, and bias_init_fn(out) for every bias.  The functions here take those
extents (or one tuple of them) and return a new float64 array of that shape.

For a weight of shape (out, in, *kernel), fan_in = in * prod(kernel) and
fan_out = out * prod(kernel).  For a vector of n values (a bias) both fans
are n.

    kaiming_normal      N(0, 2 / fan_in)              (He; for ReLU networks)
    kaiming_uniform     U(-sqrt(6 / fan_in), +...)    (He)
    xavier_normal       N(0, 2 / (fan_in + fan_out))  (Glorot)
    xavier_uniform      U(-sqrt(6 / (fan_in + fan_out)), +...)  (Glorot)
    fan_in_uniform      U(-1 / sqrt(fan_in), +...)    (PyTorch's default)
    normal(std)         an initialiser drawing N(mean, std ** 2)
    zeros               all zeros

The random ones draw from NumPy's global generator, so np.random.seed makes
them repeat.

Example:
    >>> from quillet.nn.linear import Linear
    >>> np.random.seed(0)
    >>> fc = Linear(784, 256, weight_init_fn=kaiming_normal)
    >>> round(float(fc.W.std() * np.sqrt(784 / 2)), 1)
    1.0)";

#define SHAPE_ARGS                                                                                \
  "\n\nArgument:\n    *shape (int): the extents of the array, e.g. (out_features, in_features)\n" \
  "Return:\n    W (np.array): a new float64 array of that shape"
const char* const SHAPE_DOC = SHAPE_ARGS + 2;

const char* const NORMAL_DOC = R"(An initialiser drawing from N(mean, std ** 2) whatever the shape.

Arguments:
    std (float): the standard deviation, finite and not negative.
    mean (float, optional): the mean; 0 by default.

Attributes:
    std: the standard deviation, read on every call.
    mean: the mean, read on every call.

Example:
    >>> small = Normal(0.01)
    >>> small(3, 4).shape
    (3, 4))";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.init", DOC, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_init() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    g_module = m;
    qb::add_functions(
        m,
        {{"kaiming_normal", "*shape", "He's normal initialiser: N(0, 2 / fan_in)." SHAPE_ARGS, kaiming_normal},
         {"kaiming_uniform", "*shape", "He's uniform initialiser: U(-sqrt(6 / fan_in), sqrt(6 / fan_in))." SHAPE_ARGS,
          kaiming_uniform},
         {"xavier_normal", "*shape", "Glorot's normal initialiser: N(0, 2 / (fan_in + fan_out))." SHAPE_ARGS,
          xavier_normal},
         {"xavier_uniform", "*shape",
          "Glorot's uniform initialiser: U(-b, b) with b = sqrt(6 / (fan_in + fan_out))." SHAPE_ARGS, xavier_uniform},
         {"fan_in_uniform", "*shape",
          "U(-1 / sqrt(fan_in), 1 / sqrt(fan_in)), the default of PyTorch's linear and convolution layers." SHAPE_ARGS,
          fan_in_uniform},
         {"zeros", "*shape", "All zeros, as np.zeros(shape)." SHAPE_ARGS, zeros},
         {"normal", "std, mean=0.0",
          "An initialiser drawing N(mean, std ** 2): normal(0.01) is Normal(std=0.01, mean=0.0).", normal_factory}});
    qb::make_class(m, "Normal", NORMAL_DOC,
                   {{"__init__", "std, mean=0.0", nullptr, normal_init},
                    {"__call__", "*shape", SHAPE_DOC, normal_call},
                    {"__repr__", "", nullptr, normal_repr}});
  });
}
