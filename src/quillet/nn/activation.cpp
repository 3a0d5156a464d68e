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
void define(PyObject* m, const char* name) {
  qb::make_class(m, name, nullptr,
                 {{"forward", "Z", FWD_DOC, forward_of<F>},
                  {"__call__", "Z", FWD_DOC, forward_of<F>},
                  {"backward", "dLdA", BWD_DOC, backward_of<F>}});
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.activation", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_activation() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    define<qk::Activation::ReLU>(m, "ReLU");
    define<qk::Activation::Sigmoid>(m, "Sigmoid");
    define<qk::Activation::Tanh>(m, "Tanh");
  });
}
