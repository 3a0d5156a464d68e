// quillet.nn.activation: elementwise activations (ReLU, Sigmoid, Tanh) for
// inputs of any shape, (batch, features) or (batch, channels, width) alike.
// forward keeps its input Z and output A; backward reads them.
#include "bind/bind.hpp"
#include "kernels/activation.hpp"

using qb::Ref;

namespace {

Ref forward(qk::Activation f, PyObject* self, PyObject* arg) {
  Ref Z = qb::as_array(arg);
  Ref z = qb::to_f64(Z.arr(), "Z");
  Ref A = qb::empty(qb::dims(z.arr()));
  {
    qb::NoGil nogil;
    qk::activate(f, qb::data(z), qb::data(A), PyArray_SIZE(z.arr()));
  }
  qb::setattr(self, QB_ID(Z), Z);
  qb::setattr(self, QB_ID(A), A);
  return A;
}

Ref backward(qk::Activation f, PyObject* self, PyObject* arg) {
  Ref z = qb::to_f64(qb::getattr(self, QB_ID(Z)).get(), "Z");
  Ref a = qb::to_f64(qb::getattr(self, QB_ID(A)).get(), "A");
  Ref g = qb::to_f64(arg, "dLdA");
  if (qb::dims(g.arr()) != qb::dims(z.arr()) || qb::dims(a.arr()) != qb::dims(z.arr()))
    qb::raise(PyExc_ValueError, "dLdA has shape %R, but the last input had shape %R",
              qb::getattr(g.get(), QB_ID(shape)).get(), qb::getattr(z.get(), QB_ID(shape)).get());
  Ref dZ = qb::empty(qb::dims(z.arr()));
  {
    qb::NoGil nogil;
    qk::activate_grad(f, qb::data(z), qb::data(a), qb::data(g), qb::data(dZ), PyArray_SIZE(z.arr()));
  }
  return dZ;
}

#define FWD_DOC QB_DOC("Z (np.array): (batch_size, ...)", "A (np.array): (batch_size, ...), the shape of Z")
#define BWD_DOC QB_DOC("dLdA (np.array): (batch_size, ...)", "dLdZ (np.array): (batch_size, ...), the shape of dLdA")

#define ACTIVATION_METHODS(NAME, KIND)                                                                        \
  {QB_METHOD("forward", QB_FAST(NAME ".forward", 1, forward(KIND, self, arg[0]), "Z"), ", Z", FWD_DOC),     \
   QB_METHOD("__call__", QB_FAST(NAME ".__call__", 1, forward(KIND, self, arg[0]), "Z"), ", Z", FWD_DOC),   \
   QB_METHOD("backward", QB_FAST(NAME ".backward", 1, backward(KIND, self, arg[0]), "dLdA"), ", dLdA",      \
             BWD_DOC),                                                                                       \
   {}}

PyMethodDef relu_methods[] = ACTIVATION_METHODS("ReLU", qk::Activation::ReLU);
PyMethodDef sigmoid_methods[] = ACTIVATION_METHODS("Sigmoid", qk::Activation::Sigmoid);
PyMethodDef tanh_methods[] = ACTIVATION_METHODS("Tanh", qk::Activation::Tanh);

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.activation", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_activation() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::make_class(m, "ReLU", relu_methods);
    qb::make_class(m, "Sigmoid", sigmoid_methods);
    qb::make_class(m, "Tanh", tanh_methods);
  });
}
