// quillet.nn.batchnorm: batch normalisation of (batch, features) and
// (batch, channels, width) inputs (BatchNorm1d) and of (batch, channels,
// height, width) ones (BatchNorm2d).  In training mode a forward normalises
// with the batch's statistics and moves the running ones towards them; in
// evaluation mode it uses the running ones.  Both compute in the default dtype
// (float64, or float32 under quillet.default_dtype(np.float32)); the batch
// statistics are accumulated in double either way.
#include <cmath>

#include "kernels/api.hpp"
#include "layer/layer.hpp"

using qb::Ref;

namespace {

double real_attr(PyObject* self, PyObject* name) {
  Ref v = qb::getattr(self, name);
  const double x = PyFloat_AsDouble(v.get());
  if (x == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    qb::fail(PyExc_TypeError, "%U must be a real number, got %R", name, v.get());
  }
  return x;
}

// eps and momentum, checked wherever they are read: they are attributes a
// user may set at any time, and eps = 0 divides a constant channel by zero.
double eps_of(PyObject* self) {
  const double e = real_attr(self, QB_ID(eps));
  if (!(e > 0.0) || !std::isfinite(e))
    qb::fail(PyExc_ValueError, "eps must be a positive number, got %R", qb::getattr(self, QB_ID(eps)).get());
  return e;
}

double momentum_of(PyObject* self) {
  const double m = real_attr(self, QB_ID(momentum));
  if (!(m >= 0.0 && m <= 1.0))
    qb::fail(PyExc_ValueError, "momentum must be between 0 and 1, got %R", qb::getattr(self, QB_ID(momentum)).get());
  return m;
}

Ref init(PyObject* self, PyObject* num_features, PyObject* eps, PyObject* momentum) {
  const long long c = ql::factor(num_features, "num_features", 1);
  qb::setattr(self, QB_ID(num_features), num_features);
  qb::setattr(self, QB_ID(eps), eps);
  qb::setattr(self, QB_ID(momentum), momentum);
  eps_of(self);
  momentum_of(self);
  Ref ones = qb::numpy_attr(QB_ID(ones)), zeros = qb::numpy_attr(QB_ID(zeros)), n = qb::py_int(c);
  // Under float32 the parameters, gradients and running statistics are float32.
  auto made = [&](const Ref& fn) { return ql::in_default_dtype(qb::call(fn.get(), {n.get()})); };
  qb::setattr(self, QB_ID(W), made(ones));
  qb::setattr(self, QB_ID(b), made(zeros));
  qb::setattr(self, QB_ID(dLdW), made(zeros));
  qb::setattr(self, QB_ID(dLdb), made(zeros));
  qb::setattr(self, QB_ID(running_mean), made(zeros));
  qb::setattr(self, QB_ID(running_var), made(ones));
  qb::setattr(self, QB_ID(train_mode), Py_True);
  return {};
}

// (batch, channels, positions) of an input, checked against the layer.
qk::NormShape shape_of(int dims, PyObject* self, const Ref& A, const char* what) {
  const int nd = qb::ndim(A);
  if (dims == 1 ? nd != 2 && nd != 3 : nd != 4)
    qb::fail(PyExc_ValueError, "%s must have %s, got shape %s", what,
             dims == 1 ? "2 axes (batch, features) or 3 (batch, channels, width)"
                       : "4 axes (batch, channels, height, width)",
             qb::shape_text(qb::dims(A)).c_str());
  const npy_intp c = qb::dim(A, 1), features = ql::int_attr(self, QB_ID(num_features));
  if (c != features)
    qb::fail(PyExc_ValueError, "%s has %zd channels, but the layer has num_features=%zd", what,
             static_cast<Py_ssize_t>(c), static_cast<Py_ssize_t>(features));
  npy_intp l = 1;
  for (int i = 2; i < nd; ++i) l = qb::mul_size(l, qb::dim(A, i));
  return {qb::dim(A, 0), c, l};
}

// A running statistic (stored as S) moved towards a batch's (in double): in
// place when it is an array of S of its own, replaced otherwise.
template <class S>
void update_running_as(PyObject* self, PyObject* name, const Ref& current, const Ref& batch, double momentum,
                       double correction) {
  Ref cur = ql::param_as<S>(self, name, qb::dims(batch));
  const npy_intp c = qb::size(batch);
  const bool in_place = cur.get() == current.get() && PyArray_ISWRITEABLE(qb::arr(cur));
  Ref out = in_place ? cur : qb::empty_of<S>(qb::dims(batch));
  const S* r = qb::data_of<S>(cur);
  const double* s = qb::data(batch);
  S* o = qb::data_of<S>(out);
  for (npy_intp i = 0; i < c; ++i) o[i] = static_cast<S>((1.0 - momentum) * r[i] + momentum * s[i] * correction);
  if (!in_place) qb::setattr(self, name, out);
}

// Running statistics stay float64 unless they are float32 and the call
// computes in float32 (they were made under float32).
void update_running(PyObject* self, PyObject* name, const Ref& batch, double momentum, double correction) {
  Ref current = qb::getattr(self, name);
  if (ql::single_precision() && PyArray_Check(current.get()) && PyArray_TYPE(qb::arr(current)) == NPY_FLOAT)
    update_running_as<float>(self, name, current, batch, momentum, correction);
  else
    update_running_as<double>(self, name, current, batch, momentum, correction);
}

// Each pass computes in R, the default dtype at the call (float64 or float32);
// mean and var are float64.
template <int D, class R>
Ref forward_in(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  const qk::NormShape s = shape_of(D, self, A, "A");
  const double eps = eps_of(self);
  Ref W = ql::param_as<R>(self, QB_ID(W), {s.c});
  Ref b = ql::param_as<R>(self, QB_ID(b), {s.c});
  Ref a = qb::to_real<R>(A, "A");
  const int train = PyObject_IsTrue(qb::getattr(self, QB_ID(train_mode)).get());
  qb::check(train);
  const double momentum = train ? momentum_of(self) : 0.0;  // refused before any statistic moves
  Ref mean, var;
  if (train) {
    if (s.count() <= 1)
      qb::fail(PyExc_ValueError,
               "a batch of %zd value%s per channel has no variance to normalise with; train with more samples, or "
               "call eval() to use the running statistics",
               static_cast<Py_ssize_t>(s.count()), s.count() == 1 ? "" : "s");
    mean = qb::empty({s.c});
    var = qb::empty({s.c});
    {
      qb::NoGil nogil;
      qk::Of<R>::batchnorm_stats(s, qb::data_of<R>(a), qb::data(mean), qb::data(var));
    }
    // The running variance follows the unbiased estimate, the batch is
    // normalised with the biased one.
    update_running(self, QB_ID(running_mean), mean, momentum, 1.0);
    update_running(self, QB_ID(running_var), var, momentum, double(s.count()) / double(s.count() - 1));
  } else {
    mean = qb::check(PyArray_NewCopy(qb::arr(ql::param(self, QB_ID(running_mean), {s.c})), NPY_CORDER));
    var = qb::check(PyArray_NewCopy(qb::arr(ql::param(self, QB_ID(running_var), {s.c})), NPY_CORDER));
  }
  Ref Z = qb::empty_of<R>(qb::dims(a));
  {
    qb::NoGil nogil;
    qk::Of<R>::batchnorm_forward(s, qb::data_of<R>(a), qb::data(mean), qb::data(var), eps, qb::data_of<R>(W),
                                 qb::data_of<R>(b), qb::data_of<R>(Z));
  }
  qb::setattr(self, QB_ID(A), A);
  qb::setattr(self, QB_ID(mean), mean);
  qb::setattr(self, QB_ID(var), var);
  qb::setattr(self, QB_ID(batch_statistics), train ? Py_True : Py_False);
  return Z;
}

template <int D, class R>
Ref backward_in(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(ql::stored(self, QB_ID(A)).get());
  const qk::NormShape s = shape_of(D, self, A, "the stored input A");
  Ref a = qb::to_real<R>(A, "A");
  Ref g = qb::to_real<R>(arg, "dLdZ");
  if (qb::dims(g) != qb::dims(a))
    qb::fail(PyExc_ValueError, "dLdZ has shape %s, but the last input had shape %s",
             qb::shape_text(qb::dims(g)).c_str(), qb::shape_text(qb::dims(a)).c_str());
  Ref mean = ql::param(self, QB_ID(mean), {s.c});
  Ref var = ql::param(self, QB_ID(var), {s.c});
  const int batch_stats = PyObject_IsTrue(ql::stored(self, QB_ID(batch_statistics)).get());
  qb::check(batch_stats);
  const double eps = eps_of(self);
  Ref W = ql::param_as<R>(self, QB_ID(W), {s.c});
  Ref dA = qb::empty_of<R>(qb::dims(a)), dW = qb::empty_of<R>({s.c}), db = qb::empty_of<R>({s.c});
  {
    qb::NoGil nogil;
    qk::Of<R>::batchnorm_backward(s, qb::data_of<R>(a), qb::data(mean), qb::data(var), eps, qb::data_of<R>(W),
                                  qb::data_of<R>(g), batch_stats != 0, qb::data_of<R>(dA), qb::data_of<R>(dW),
                                  qb::data_of<R>(db));
  }
  ql::replace_grad(self, QB_ID(dLdW), dW, QB_ID(W));
  ql::replace_grad(self, QB_ID(dLdb), db, QB_ID(b));
  return dA;
}

template <int D>
Ref forward(PyObject* self, PyObject* arg) {
  return ql::single_precision() ? forward_in<D, float>(self, arg) : forward_in<D, double>(self, arg);
}

template <int D>
Ref backward(PyObject* self, PyObject* arg) {
  return ql::single_precision() ? backward_in<D, float>(self, arg) : backward_in<D, double>(self, arg);
}

Ref repr(PyObject* self) {
  return ql::repr_call(self, {{"num_features", "num_features"}, {"eps", "eps"}, {"momentum", "momentum"}});
}

const char* const DOC_1D = R"(Batch normalisation of (batch, features) or (batch, channels, width) inputs.

Every feature (channel) is normalised with a mean and variance, then scaled
and shifted: Z = W (A - mean) / sqrt(var + eps) + b.  In training mode (the
default) the statistics are the batch's own (over the batch and the width;
biased variance), and the running statistics move towards them:
running = (1 - momentum) running + momentum batch, with the unbiased variance.
In evaluation mode (after eval()) the running statistics are used.  backward
replaces dLdW and dLdb.  Calling the object is forward.

Arguments:
    num_features (int): features or channels of the input.
    eps (float): added to the variance (1e-5 by default).
    momentum (float): weight of a batch in the running statistics (0.1).

Attributes:
    W (ones) and b (zeros), (num_features,): scale and shift, read afresh.
    dLdW, dLdb: their gradients.
    running_mean (zeros), running_var (ones): the running statistics, saved
        and loaded by quillet.state with the parameters.
    train_mode: True in training mode; train() and eval() set it.
    A, mean, var, batch_statistics: kept by forward for backward.

Example:
    >>> bn = BatchNorm1d(3)
    >>> Z = bn.forward(np.arange(12.0).reshape(4, 3))
    >>> bool(abs(Z.mean(axis=0)).max() < 1e-12), bn.running_mean
    (True, array([0.45, 0.55, 0.65])))";

const char* const DOC_2D = R"(Batch normalisation of (batch, channels, height, width) inputs.

Every channel is normalised with statistics over the batch and both spatial
axes, then scaled and shifted: Z = W (A - mean) / sqrt(var + eps) + b.  In
training mode (the default) the statistics are the batch's own (biased
variance) and the running statistics move towards them (unbiased variance);
in evaluation mode (after eval()) the running statistics are used.  backward
replaces dLdW and dLdb.  Calling the object is forward.

Arguments:
    num_features (int): channels of the input.
    eps (float): added to the variance (1e-5 by default).
    momentum (float): weight of a batch in the running statistics (0.1).

Attributes:
    W (ones) and b (zeros), (num_features,): scale and shift, read afresh.
    dLdW, dLdb: their gradients.
    running_mean (zeros), running_var (ones): the running statistics, saved
        and loaded by quillet.state with the parameters.
    train_mode: True in training mode; train() and eval() set it.
    A, mean, var, batch_statistics: kept by forward for backward.

Example:
    >>> bn = BatchNorm2d(16)
    >>> float(bn.forward(np.random.default_rng(0).normal(5, 2, (8, 16, 4, 4))).std().round(3))
    1.0)";

const char* const FWD_DOC = QB_DOC("A (np.array): (batch_size, num_features, ...)",
                                   "Z (np.array): (batch_size, num_features, ...), the shape of A");
const char* const BWD_DOC =
    QB_DOC("dLdZ (np.array): (batch_size, num_features, ...)", "dLdA (np.array): (batch_size, num_features, ...)");

template <int D>
void define(PyObject* m, const char* name, const char* doc) {
  qb::make_class(
      m, name, doc,
      {{"__init__", "num_features, eps=1e-05, momentum=0.1", nullptr, init},
       {"forward", "A", FWD_DOC, forward<D>},
       {"__call__", "A", FWD_DOC, forward<D>},
       {"backward", "dLdZ", BWD_DOC, backward<D>},
       {"train", "", "Training mode: normalise with each batch's statistics and update the running ones.", ql::train},
       {"eval", "", "Evaluation mode: normalise with the running statistics.", ql::eval},
       {"__repr__", "", nullptr, repr}});
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.batchnorm", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_batchnorm() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    define<1>(m, "BatchNorm1d", DOC_1D);
    define<2>(m, "BatchNorm2d", DOC_2D);
  });
}
