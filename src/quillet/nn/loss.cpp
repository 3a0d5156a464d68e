// quillet.nn.loss: softmax cross-entropy, averaged over the batch, and the
// mean squared error, averaged over every element.  Both compute in the default
// dtype (float64, or float32 under quillet.default_dtype(np.float32)) and
// accumulate the loss in double.
#include "kernels/api.hpp"
#include "layer/layer.hpp"

using qb::Ref;

namespace {

// Y as one-hot rows when it is a vector of integer class labels, one per row
// of A; any other Y in R.
template <class R>
Ref targets_of(PyObject* targets, const Ref& a) {
  Ref given = qb::as_array(targets);
  if (qb::ndim(given) != 1 || !PyArray_ISINTEGER(qb::arr(given)) || qb::ndim(a) != 2) return qb::to_real<R>(given, "Y");
  const npy_intp n = qb::dim(a, 0), classes = qb::dim(a, 1);
  if (qb::dim(given, 0) != n)
    qb::fail(PyExc_ValueError, "Y has %zd class labels, but A has %zd rows", static_cast<Py_ssize_t>(qb::dim(given, 0)),
             static_cast<Py_ssize_t>(n));
  Ref labels = qb::check(PyArray_FROMANY(given.get(), NPY_INT64, 1, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
  const auto* l = static_cast<const npy_int64*>(PyArray_DATA(qb::arr(labels)));
  Ref y = qb::zeros_of<R>({n, classes});
  R* yp = qb::data_of<R>(y);
  for (npy_intp i = 0; i < n; ++i) {
    if (l[i] < 0 || l[i] >= classes)
      qb::fail(PyExc_ValueError, "Y[%zd] is class %lld, but A has %zd classes (labels 0 to %zd)",
               static_cast<Py_ssize_t>(i), static_cast<long long>(l[i]), static_cast<Py_ssize_t>(classes),
               static_cast<Py_ssize_t>(classes - 1));
    yp[i * classes + l[i]] = 1;
  }
  return y;
}

// The loss, computed in double, as a 0-d array of R.
template <class R>
Ref scalar(double loss) {
  Ref out = qb::zeros_of<R>({});
  *qb::data_of<R>(out) = static_cast<R>(loss);
  return out;
}

// Each pass computes in R, the default dtype at the call (float64 or float32).
template <class R>
Ref forward_in(PyObject* self, PyObject* logits, PyObject* targets) {
  Ref a = qb::to_real<R>(logits, "A");
  Ref y = targets_of<R>(targets, a);
  qb::expect_axes(a, 2, "A", "batch, classes");
  if (qb::dims(y) != qb::dims(a))
    qb::fail(PyExc_ValueError, "Y has shape %R, but A has shape %R", qb::getattr(y.get(), QB_ID(shape)).get(),
             qb::getattr(a.get(), QB_ID(shape)).get());
  Ref p = qb::empty_of<R>(qb::dims(a));
  double loss;
  {
    qb::NoGil nogil;
    loss = qk::Of<R>::softmax_cross_entropy(qb::data_of<R>(a), qb::data_of<R>(y), qb::data_of<R>(p), qb::dim(a, 0),
                                            qb::dim(a, 1));
  }
  qb::setattr(self, QB_ID(A), a);
  qb::setattr(self, QB_ID(Y), y);
  qb::setattr(self, QB_ID(softmax), p);
  return scalar<R>(loss);
}

template <class R>
Ref backward_in(PyObject* self) {
  Ref p = qb::to_real<R>(ql::stored(self, QB_ID(softmax)).get(), "softmax");
  Ref y = qb::to_real<R>(ql::stored(self, QB_ID(Y)).get(), "Y");
  // Both are the layer's own state, but an owner may have replaced them.
  qb::expect_axes(p, 2, "softmax", "batch, classes");
  if (qb::dims(y) != qb::dims(p))
    qb::fail(PyExc_ValueError, "Y has shape %R, but softmax has shape %R", qb::getattr(y.get(), QB_ID(shape)).get(),
             qb::getattr(p.get(), QB_ID(shape)).get());
  Ref grad = qb::empty_of<R>(qb::dims(p));
  const npy_intp n = qb::size(p), rows = qb::ndim(p) ? qb::dim(p, 0) : 1;
  const R* pp = qb::data_of<R>(p);
  const R* yp = qb::data_of<R>(y);
  R* g = qb::data_of<R>(grad);
  for (npy_intp i = 0; i < n; ++i) g[i] = static_cast<R>((double(pp[i]) - double(yp[i])) / double(rows));
  return grad;
}

Ref forward(PyObject* self, PyObject* logits, PyObject* targets) { return QL_TYPED(forward_in, self, logits, targets); }
Ref backward(PyObject* self) { return QL_TYPED(backward_in, self); }

const char* const FWD_DOC = QB_DOC(
    "A (np.array): (batch_size, num_classes)\n    Y (np.array): (batch_size, num_classes), or (batch_size,) integer "
    "class labels",
    "loss (np.array): the mean cross-entropy over the batch, 0-d");

const char* const DOC = R"(Softmax cross-entropy, averaged over the batch.

forward(A, Y) takes the network's outputs A (batch, classes) and targets Y of
the same shape (one-hot rows, or any distributions) or a vector of integer
class labels, one per row (kept in Y as one-hot rows), and returns the mean of
-sum(Y log softmax(A)) over the rows, as a 0-d array; backward() returns its
gradient with respect to A, (softmax(A) - Y) / batch.  Calling the object is
forward.

Attributes:
    A, Y, softmax: kept by forward for backward.

Example:
    >>> loss = CrossEntropyLoss()
    >>> float(loss.forward(np.zeros((2, 4)), np.eye(4)[[0, 1]]))  # log 4
    1.3862943611198906)";

// ---------------------------------------------------------------- MSELoss

void same_shape(const Ref& y, const Ref& a) {
  if (qb::dims(y) != qb::dims(a))
    qb::fail(PyExc_ValueError, "Y has shape %R, but A has shape %R", qb::getattr(y.get(), QB_ID(shape)).get(),
             qb::getattr(a.get(), QB_ID(shape)).get());
}

template <class R>
Ref mse_forward_in(PyObject* self, PyObject* predictions, PyObject* targets) {
  Ref a = qb::to_real<R>(predictions, "A");
  Ref y = qb::to_real<R>(targets, "Y");
  same_shape(y, a);
  double loss;
  {
    qb::NoGil nogil;
    loss = qk::Of<R>::mean_squared_error(qb::data_of<R>(a), qb::data_of<R>(y), qb::size(a));
  }
  qb::setattr(self, QB_ID(A), a);
  qb::setattr(self, QB_ID(Y), y);
  return scalar<R>(loss);
}

template <class R>
Ref mse_backward_in(PyObject* self) {
  Ref a = qb::to_real<R>(ql::stored(self, QB_ID(A)).get(), "A");
  Ref y = qb::to_real<R>(ql::stored(self, QB_ID(Y)).get(), "Y");
  same_shape(y, a);  // the layer's own state, but an owner may have replaced it
  Ref grad = qb::empty_of<R>(qb::dims(a));
  {
    qb::NoGil nogil;
    qk::Of<R>::mean_squared_error_grad(qb::data_of<R>(a), qb::data_of<R>(y), qb::data_of<R>(grad), qb::size(a));
  }
  return grad;
}

Ref mse_forward(PyObject* self, PyObject* predictions, PyObject* targets) {
  return QL_TYPED(mse_forward_in, self, predictions, targets);
}
Ref mse_backward(PyObject* self) { return QL_TYPED(mse_backward_in, self); }

const char* const MSE_FWD_DOC =
    QB_DOC("A (np.array): predictions, any shape\n    Y (np.array): targets, the shape of A",
           "loss (np.array): the mean of (A - Y) ** 2 over every element, 0-d");
const char* const MSE_BWD_DOC = "Return:\n    dLdA (np.array): 2 * (A - Y) / A.size, the shape of A";

const char* const MSE_DOC = R"(Mean squared error, averaged over every element.

forward(A, Y) takes predictions A and targets Y of the same shape (any shape)
and returns the mean of (A - Y) ** 2 over all elements, as a 0-d array;
backward() returns its gradient with respect to A, 2 * (A - Y) / A.size.
Calling the object is forward.

Attributes:
    A, Y: kept by forward for backward (as arrays of the default dtype).

Example:
    >>> loss = MSELoss()
    >>> float(loss.forward(np.array([1.0, 2.0]), np.array([0.0, 0.0])))
    2.5)";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.loss", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_loss() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::make_class(m, "CrossEntropyLoss", DOC,
                   {{"forward", "A, Y", FWD_DOC, forward},
                    {"__call__", "A, Y", FWD_DOC, forward},
                    {"backward", "", "Return:\n    dLdA (np.array): (batch_size, num_classes)", backward},
                    {"__repr__", "", nullptr, ql::bare_repr}});
    qb::make_class(m, "MSELoss", MSE_DOC,
                   {{"forward", "A, Y", MSE_FWD_DOC, mse_forward},
                    {"__call__", "A, Y", MSE_FWD_DOC, mse_forward},
                    {"backward", "", MSE_BWD_DOC, mse_backward},
                    {"__repr__", "", nullptr, ql::bare_repr}});
  });
}
