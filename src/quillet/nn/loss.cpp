// quillet.nn.loss: softmax cross-entropy, averaged over the batch.
#include "bind/bind.hpp"
#include "kernels/activation.hpp"

using qb::Ref;

namespace {

Ref forward(PyObject* self, PyObject* logits, PyObject* targets) {
  Ref a = qb::to_f64(logits, "A");
  Ref y = qb::to_f64(targets, "Y");
  qb::expect_ndim(a.arr(), 2);
  if (qb::dims(y.arr()) != qb::dims(a.arr()))
    qb::raise(PyExc_ValueError, "Y has shape %R, but A has shape %R", qb::getattr(y.get(), QB_ID(shape)).get(),
              qb::getattr(a.get(), QB_ID(shape)).get());
  Ref p = qb::empty(qb::dims(a.arr()));
  double loss;
  {
    qb::NoGil nogil;
    loss = qk::softmax_cross_entropy(qb::data(a), qb::data(y), qb::data(p), qb::dim(a, 0), qb::dim(a, 1));
  }
  qb::setattr(self, QB_ID(A), a);
  qb::setattr(self, QB_ID(Y), y);
  qb::setattr(self, QB_ID(softmax), p);
  Ref out = qb::zeros({});
  *qb::data(out) = loss;
  return out;
}

Ref backward(PyObject* self) {
  Ref p = qb::to_f64(qb::getattr(self, QB_ID(softmax)).get(), "softmax");
  Ref y = qb::to_f64(qb::getattr(self, QB_ID(Y)).get(), "Y");
  // Both are the layer's own state, but an owner may have replaced them.
  qb::expect_ndim(p.arr(), 2);
  if (qb::dims(y.arr()) != qb::dims(p.arr()))
    qb::raise(PyExc_ValueError, "Y has shape %R, but softmax has shape %R", qb::getattr(y.get(), QB_ID(shape)).get(),
              qb::getattr(p.get(), QB_ID(shape)).get());
  Ref grad = qb::empty(qb::dims(p.arr()));
  const npy_intp n = PyArray_SIZE(p.arr()), rows = PyArray_NDIM(p.arr()) ? qb::dim(p, 0) : 1;
  const double* pp = qb::data(p);
  const double* yp = qb::data(y);
  double* g = qb::data(grad);
  for (npy_intp i = 0; i < n; ++i) g[i] = (pp[i] - yp[i]) / double(rows);
  return grad;
}

PyMethodDef loss_methods[] = {
    QB_METHOD("forward", QB_FAST("CrossEntropyLoss.forward", 2, forward(self, arg[0], arg[1]), "A", "Y"), ", A, Y",
              QB_DOC("A (np.array): (batch_size, num_classes)\n    Y (np.array): (batch_size, num_classes)",
                     "loss (np.array): the mean cross-entropy over the batch, 0-d")),
    QB_METHOD("__call__", QB_FAST("CrossEntropyLoss.__call__", 2, forward(self, arg[0], arg[1]), "A", "Y"),
              ", A, Y",
              QB_DOC("A (np.array): (batch_size, num_classes)\n    Y (np.array): (batch_size, num_classes)",
                     "loss (np.array): the mean cross-entropy over the batch, 0-d")),
    QB_METHOD("backward", QB_FAST("CrossEntropyLoss.backward", 0, backward(self)), "",
              "Return:\n    dLdA (np.array): (batch_size, num_classes)"),
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.loss", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_loss() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::make_class(m, "CrossEntropyLoss", loss_methods);
  });
}
