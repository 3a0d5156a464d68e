// quillet.nn.activation: elementwise activations (ReLU, Sigmoid, Tanh) for
// inputs of any shape, (batch, features) or (batch, channels, width) alike.
// forward keeps its input Z and output A; backward reads them.
#include "kernels/api.hpp"
#include "layer/layer.hpp"

using qb::Ref;

namespace {

Ref forward(qk::Activation f, PyObject* self, PyObject* arg) {
  Ref Z = qb::as_array(arg);
  Ref z = qb::to_f64(Z, "Z");
  Ref A = qb::empty(qb::dims(z));
  {
    qb::NoGil nogil;
    qk::kernels().activate(f, qb::data(z), qb::data(A), qb::size(z));
  }
  qb::setattr(self, QB_ID(Z), Z);
  qb::setattr(self, QB_ID(A), A);
  return A;
}

Ref backward(qk::Activation f, PyObject* self, PyObject* arg) {
  Ref z = qb::to_f64(ql::stored(self, QB_ID(Z)).get(), "Z");
  Ref a = qb::to_f64(ql::stored(self, QB_ID(A)).get(), "A");
  Ref g = qb::to_f64(arg, "dLdA");
  if (qb::dims(g) != qb::dims(z) || qb::dims(a) != qb::dims(z))
    qb::fail(PyExc_ValueError, "dLdA has shape %R, but the last input had shape %R",
             qb::getattr(g.get(), QB_ID(shape)).get(), qb::getattr(z.get(), QB_ID(shape)).get());
  Ref dZ = qb::empty(qb::dims(z));
  {
    qb::NoGil nogil;
    qk::kernels().activate_grad(f, qb::data(z), qb::data(a), qb::data(g), qb::data(dZ), qb::size(z));
  }
  return dZ;
}

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
  });
}
