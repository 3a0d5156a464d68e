// quillet.nn.activation: activations for inputs of any shape, (batch,
// features) or (batch, channels, width) alike: the elementwise ReLU, LeakyReLU,
// Sigmoid, Tanh, GELU and Identity, and Softmax over axis 1.  forward keeps
// its input Z and output A; backward reads them.  They compute in the default
// dtype (float64, or float32 under quillet.default_dtype(np.float32)).
#include <algorithm>

#include "kernels/api.hpp"
#include "layer/layer.hpp"

using qb::Ref;

namespace {

// LeakyReLU's slope, read afresh like every hyper-parameter.
double slope_of(qk::Activation f, PyObject* self) {
  if (f != qk::Activation::LeakyReLU) return 0.0;
  Ref v = qb::getattr(self, QB_ID(negative_slope));
  const double slope = PyFloat_AsDouble(v.get());
  if (slope == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    qb::fail(PyExc_TypeError, "negative_slope must be a real number, got %R", v.get());
  }
  return slope;
}

// Each pass computes in R, the default dtype at the call (float64 or float32).
template <class R>
Ref forward_in(qk::Activation f, PyObject* self, PyObject* arg) {
  Ref Z = qb::as_array(arg);
  Ref z = qb::to_real<R>(Z, "Z");
  const double slope = slope_of(f, self);
  Ref A = qb::empty_of<R>(qb::dims(z));
  {
    qb::NoGil nogil;
    qk::Of<R>::activate(f, slope, qb::data_of<R>(z), qb::data_of<R>(A), qb::size(z));
  }
  qb::setattr(self, QB_ID(Z), Z);
  qb::setattr(self, QB_ID(A), A);
  return A;
}

// The gradient in R, of the shape of the last input or output `like`.
template <class R>
Ref gradient_like(PyObject* arg, const Ref& like) {
  Ref g = qb::to_real<R>(arg, "dLdA");
  if (qb::dims(g) != qb::dims(like))
    qb::fail(PyExc_ValueError, "dLdA has shape %s, but the last input had shape %s",
             qb::shape_text(qb::dims(g)).c_str(), qb::shape_text(qb::dims(like)).c_str());
  return g;
}

template <class R>
Ref backward_in(qk::Activation f, PyObject* self, PyObject* arg) {
  Ref z = qb::to_real<R>(ql::stored(self, QB_ID(Z)).get(), "Z");
  Ref a = qb::to_real<R>(ql::stored(self, QB_ID(A)).get(), "A");
  Ref g = gradient_like<R>(arg, z);
  const double slope = slope_of(f, self);
  if (qb::dims(a) != qb::dims(z))
    qb::fail(PyExc_ValueError, "the stored output A has shape %s, but the stored input Z has %s",
             qb::shape_text(qb::dims(a)).c_str(), qb::shape_text(qb::dims(z)).c_str());
  Ref dZ = qb::empty_of<R>(qb::dims(z));
  {
    qb::NoGil nogil;
    qk::Of<R>::activate_grad(f, slope, qb::data_of<R>(z), qb::data_of<R>(a), qb::data_of<R>(g), qb::data_of<R>(dZ),
                             qb::size(z));
  }
  return dZ;
}

Ref forward(qk::Activation f, PyObject* self, PyObject* arg) { return QL_TYPED(forward_in, f, self, arg); }
Ref backward(qk::Activation f, PyObject* self, PyObject* arg) { return QL_TYPED(backward_in, f, self, arg); }

// ---------------------------------------------------------------- Softmax

// (outer, classes, inner) of an array of two or more axes, softmax along axis 1.
void blocks(const Ref& a, const char* what, npy_intp* outer, npy_intp* classes, npy_intp* inner) {
  if (qb::ndim(a) < 2)
    qb::fail(PyExc_ValueError, "%s must have at least 2 axes (batch, classes, ...), got shape %s", what,
             qb::shape_text(qb::dims(a)).c_str());
  *outer = qb::dim(a, 0);
  *classes = qb::dim(a, 1);
  *inner = qb::size(a) / std::max<npy_intp>(1, *outer * *classes);
  if (*outer * *classes == 0) *inner = 0;
}

template <class R>
Ref softmax_forward_in(PyObject* self, PyObject* arg) {
  Ref Z = qb::as_array(arg);
  Ref z = qb::to_real<R>(Z, "Z");
  npy_intp outer, classes, inner;
  blocks(z, "Z", &outer, &classes, &inner);
  Ref A = qb::empty_of<R>(qb::dims(z));
  {
    qb::NoGil nogil;
    qk::Of<R>::softmax(qb::data_of<R>(z), qb::data_of<R>(A), outer, classes, inner);
  }
  qb::setattr(self, QB_ID(Z), Z);
  qb::setattr(self, QB_ID(A), A);
  return A;
}

template <class R>
Ref softmax_backward_in(PyObject* self, PyObject* arg) {
  Ref a = qb::to_real<R>(ql::stored(self, QB_ID(A)).get(), "A");
  Ref g = gradient_like<R>(arg, a);
  npy_intp outer, classes, inner;
  blocks(a, "the stored output A", &outer, &classes, &inner);
  Ref dZ = qb::empty_of<R>(qb::dims(a));
  {
    qb::NoGil nogil;
    qk::Of<R>::softmax_grad(qb::data_of<R>(a), qb::data_of<R>(g), qb::data_of<R>(dZ), outer, classes, inner);
  }
  return dZ;
}

Ref softmax_forward(PyObject* self, PyObject* arg) { return QL_TYPED(softmax_forward_in, self, arg); }
Ref softmax_backward(PyObject* self, PyObject* arg) { return QL_TYPED(softmax_backward_in, self, arg); }

// ---------------------------------------------------------------- Identity

// Under float32 an input of another dtype passes as a float32 copy; float32
// arrays (and everything under float64) pass unchanged.
Ref in_call_dtype(PyObject* arg, const char* what) {
  Ref Z = qb::as_array(arg);
  if (!ql::single_precision() || PyArray_TYPE(qb::arr(Z)) == NPY_FLOAT) return Z;
  return qb::to_real<float>(Z, what);
}

Ref identity_forward(PyObject* self, PyObject* arg) {
  Ref Z = in_call_dtype(arg, "Z");
  qb::setattr(self, QB_ID(Z), Z);
  qb::setattr(self, QB_ID(A), Z);
  return Z;
}

Ref identity_backward(PyObject* self, PyObject* arg) {
  ql::stored(self, QB_ID(Z));
  return in_call_dtype(arg, "dLdA");
}

// ---------------------------------------------------------------- LeakyReLU

Ref leaky_init(PyObject* self, PyObject* negative_slope) {
  qb::setattr(self, QB_ID(negative_slope), negative_slope);
  slope_of(qk::Activation::LeakyReLU, self);  // a slope that is no number is refused here, not at the first call
  return {};
}

Ref leaky_repr(PyObject* self) { return ql::repr_call(self, {{"negative_slope", "negative_slope"}}); }

const char* const FWD_DOC =
    QB_DOC("Z (np.array): (batch_size, ...)", "A (np.array): (batch_size, ...), the shape of Z");
const char* const BWD_DOC =
    QB_DOC("dLdA (np.array): (batch_size, ...)", "dLdZ (np.array): (batch_size, ...), the shape of dLdA");

template <qk::Activation F>
Ref forward_of(PyObject* self, PyObject* Z) {
  return forward(F, self, Z);
}
template <qk::Activation F>
Ref backward_of(PyObject* self, PyObject* dLdA) {
  return backward(F, self, dLdA);
}

template <qk::Activation F>
void define(PyObject* m, const char* name, const char* doc) {
  qb::make_class(m, name, doc,
                 {{"forward", "Z", FWD_DOC, forward_of<F>},
                  {"__call__", "Z", FWD_DOC, forward_of<F>},
                  {"backward", "dLdA", BWD_DOC, backward_of<F>},
                  {"__repr__", "", nullptr, ql::bare_repr}});
}

const char* const DOC_LEAKY =
    R"(Leaky rectified linear unit, elementwise: A = Z where Z > 0, negative_slope Z elsewhere.

Works on inputs of any shape.  Calling the object is forward.

Arguments:
    negative_slope (float): the slope for negative inputs (0.01 by default).

Attributes:
    negative_slope: the slope, read afresh by every call.
    Z, A: the last input and output, kept by forward for backward.

Example:
    >>> LeakyReLU(0.1)(np.array([[-1.0, 2.0]]))
    array([[-0.1,  2. ]]))";

const char* const DOC_GELU = R"(Gaussian error linear unit, elementwise, in its exact form: A = Z Phi(Z).

Phi is the standard normal distribution function, Phi(z) = (1 + erf(z / sqrt 2)) / 2;
backward multiplies the gradient by Phi(Z) + Z phi(Z).  Works on inputs of any
shape.  Calling the object is forward.

Attributes:
    Z, A: the last input and output, kept by forward for backward.

Example:
    >>> GELU()(np.array([[0.0, 1.0]])).round(6)
    array([[0.      , 0.841345]]))";

const char* const DOC_SOFTMAX = R"(Softmax over axis 1: A[:, k] = exp(Z[:, k]) / sum over j of exp(Z[:, j]).

Inputs have two or more axes, (batch, classes) or (batch, classes, ...); the
scores of each sample (the values along axis 1) are shifted by their maximum
first, so large logits do not overflow.
backward is the full Jacobian-vector product, dLdZ = A (dLdA - sum(dLdA A)).
Calling the object is forward.

Attributes:
    Z, A: the last input and output, kept by forward for backward.

Example:
    >>> Softmax()(np.array([[1000.0, 1000.0]]))
    array([[0.5, 0.5]]))";

const char* const DOC_IDENTITY = R"(The identity: forward returns its input, backward its gradient.

A placeholder where a network's structure wants a layer (no activation, say).
Calling the object is forward.

Attributes:
    Z, A: the last input (and output, the same object).

Example:
    >>> x = np.ones((2, 3))
    >>> Identity()(x) is x
    True)";

const char* const DOC_RELU = R"(Rectified linear unit, elementwise: A = max(Z, 0).

Works on inputs of any shape.  backward passes the gradient where Z > 0.
Calling the object is forward.

Attributes:
    Z, A: the last input and output, kept by forward for backward.

Example:
    >>> ReLU()(np.array([[-1.0, 2.0]]))
    array([[0., 2.]]))";

const char* const DOC_SIGMOID = R"(Logistic sigmoid, elementwise: A = 1 / (1 + exp(-Z)).

Works on inputs of any shape and never overflows.  backward multiplies the
gradient by A (1 - A).  Calling the object is forward.

Attributes:
    Z, A: the last input and output, kept by forward for backward.

Example:
    >>> Sigmoid()(np.array([[0.0]]))
    array([[0.5]]))";

const char* const DOC_TANH = R"(Hyperbolic tangent, elementwise: A = tanh(Z).

Works on inputs of any shape.  backward multiplies the gradient by 1 - A².
Calling the object is forward.

Attributes:
    Z, A: the last input and output, kept by forward for backward.

Example:
    >>> Tanh()(np.array([[0.0]]))
    array([[0.]]))";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.activation", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_activation() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    define<qk::Activation::ReLU>(m, "ReLU", DOC_RELU);
    define<qk::Activation::Sigmoid>(m, "Sigmoid", DOC_SIGMOID);
    define<qk::Activation::Tanh>(m, "Tanh", DOC_TANH);
    qb::make_class(m, "LeakyReLU", DOC_LEAKY,
                   {{"__init__", "negative_slope=0.01", nullptr, leaky_init},
                    {"forward", "Z", FWD_DOC, forward_of<qk::Activation::LeakyReLU>},
                    {"__call__", "Z", FWD_DOC, forward_of<qk::Activation::LeakyReLU>},
                    {"backward", "dLdA", BWD_DOC, backward_of<qk::Activation::LeakyReLU>},
                    {"__repr__", "", nullptr, leaky_repr}});
    define<qk::Activation::GELU>(m, "GELU", DOC_GELU);
    qb::make_class(m, "Softmax", DOC_SOFTMAX,
                   {{"forward", "Z", FWD_DOC, softmax_forward},
                    {"__call__", "Z", FWD_DOC, softmax_forward},
                    {"backward", "dLdA", BWD_DOC, softmax_backward},
                    {"__repr__", "", nullptr, ql::bare_repr}});
    qb::make_class(m, "Identity", DOC_IDENTITY,
                   {{"forward", "Z", FWD_DOC, identity_forward},
                    {"__call__", "Z", FWD_DOC, identity_forward},
                    {"backward", "dLdA", BWD_DOC, identity_backward},
                    {"__repr__", "", nullptr, ql::bare_repr}});
  });
}
