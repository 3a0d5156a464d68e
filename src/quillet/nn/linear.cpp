// quillet.nn.linear: the fully connected layer, Z = A @ W.T + b.  It draws no
// random numbers: W and b start at zero unless initialisers are given.  It
// computes in the default dtype (float64, or float32 under
// quillet.default_dtype(np.float32)).
#include <type_traits>

#include "layer/layer.hpp"

using qb::Ref;

namespace {

Ref init(PyObject* self, PyObject* in_features, PyObject* out_features, PyObject* weight_init_fn,
         PyObject* bias_init_fn) {
  qb::setattr(self, QB_ID(in_features), in_features);
  qb::setattr(self, QB_ID(out_features), out_features);
  Ref zeros = qb::numpy_attr(QB_ID(zeros));
  Ref shape = qb::tuple({out_features, in_features});
  // Under float32 the parameters and their gradients are stored as float32.
  Ref W = ql::in_default_dtype(weight_init_fn != Py_None ? qb::call(weight_init_fn, {out_features, in_features})
                                                         : qb::call(zeros.get(), {shape.get()}));
  qb::setattr(self, QB_ID(W), W);
  Ref b = ql::in_default_dtype(bias_init_fn != Py_None ? qb::call(bias_init_fn, {out_features})
                                                       : qb::call(zeros.get(), {out_features}));
  qb::setattr(self, QB_ID(b), b);
  // Gradients exist from the start, so a gradient reset works before any pass.
  qb::setattr(self, QB_ID(dLdW),
              ql::in_default_dtype(qb::call(zeros.get(), {qb::getattr(W.get(), QB_ID(shape)).get()})));
  qb::setattr(self, QB_ID(dLdb),
              ql::in_default_dtype(qb::call(zeros.get(), {qb::getattr(b.get(), QB_ID(shape)).get()})));
  return {};
}

void expect_features(const Ref& a, npy_intp n, const char* what) {
  qb::expect_axes(a, 2, what);
  if (qb::dim(a, 1) != n)
    qb::fail(PyExc_ValueError, "%s has %zd features, but the layer needs %zd", what,
             static_cast<Py_ssize_t>(qb::dim(a, 1)), static_cast<Py_ssize_t>(n));
}

// W in R (out, in) with in == features of the input.
template <class R>
Ref weights(PyObject* self, npy_intp* out, npy_intp* in) {
  Ref w = qb::to_real<R>(qb::getattr(self, QB_ID(W)).get(), "W");
  if (qb::ndim(w) != 2) qb::fail(PyExc_ValueError, "W must have 2 axes, not %d", qb::ndim(w));
  *out = qb::dim(w, 0);
  *in = qb::dim(w, 1);
  return w;
}

// Each pass computes in R, the default dtype at the call (float64 or float32).
template <class R>
Ref forward_in(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  qb::setattr(self, QB_ID(A), A);
  npy_intp out, in;
  Ref W = weights<R>(self, &out, &in);
  Ref a = qb::to_real<R>(A, "A");
  expect_features(a, in, "A");
  std::vector<R> b = ql::bias_as<R>(self, QB_ID(b), out);
  const npy_intp n = qb::dim(a, 0);
  Ref Z = qb::empty_of<R>({n, out});
  qb::gemm<R>(false, true, 1, n, out, in, qb::data_of<R>(a), in, 0, qb::data_of<R>(W), in, 0, qb::data_of<R>(Z), out,
              0);
  R* z = qb::data_of<R>(Z);
  for (npy_intp i = 0; i < n; ++i)
    for (npy_intp o = 0; o < out; ++o) z[i * out + o] += b[static_cast<size_t>(o)];
  return Z;
}

template <class R>
Ref backward_in(PyObject* self, PyObject* arg) {
  npy_intp out, in;
  Ref W = weights<R>(self, &out, &in);
  Ref g = qb::to_real<R>(arg, "dLdZ");
  expect_features(g, out, "dLdZ");
  Ref a = qb::to_real<R>(ql::stored(self, QB_ID(A)).get(), "A");
  expect_features(a, in, "the stored input");
  const npy_intp n = qb::dim(g, 0);
  if (qb::dim(a, 0) != n)
    qb::fail(PyExc_ValueError, "dLdZ has %zd rows, but the last input had %zd", static_cast<Py_ssize_t>(n),
             static_cast<Py_ssize_t>(qb::dim(a, 0)));
  Ref dW = qb::zeros_of<R>({out, in}), db = qb::zeros_of<R>({out}), dA = qb::zeros_of<R>({n, in});
  qb::gemm<R>(true, false, 1, out, in, n, qb::data_of<R>(g), out, 0, qb::data_of<R>(a), in, 0, qb::data_of<R>(dW), in,
              0);
  qb::gemm<R>(false, false, 1, n, in, out, qb::data_of<R>(g), out, 0, qb::data_of<R>(W), in, 0, qb::data_of<R>(dA), in,
              0);
  // The bias gradient is summed over the batch in double.
  const R* gp = qb::data_of<R>(g);
  std::vector<double> sum(static_cast<size_t>(out), 0.0);
  for (npy_intp i = 0; i < n; ++i)
    for (npy_intp o = 0; o < out; ++o) sum[static_cast<size_t>(o)] += gp[i * out + o];
  R* dbp = qb::data_of<R>(db);
  for (npy_intp o = 0; o < out; ++o) dbp[o] = static_cast<R>(sum[static_cast<size_t>(o)]);
  if (std::is_same_v<R, double>) {
    qb::setattr(self, QB_ID(dLdW), dW);
    qb::setattr(self, QB_ID(dLdb), db);
  } else {
    // Parameters made under float64 keep float64 gradients.
    ql::replace_grad(self, QB_ID(dLdW), dW, QB_ID(W));
    ql::replace_grad(self, QB_ID(dLdb), db, QB_ID(b));
  }
  return dA;
}

Ref forward(PyObject* self, PyObject* arg) { return QL_TYPED(forward_in, self, arg); }
Ref backward(PyObject* self, PyObject* arg) { return QL_TYPED(backward_in, self, arg); }

const char* const FWD_DOC =
    QB_DOC("A (np.array): (batch_size, in_features)", "Z (np.array): (batch_size, out_features)");
const char* const BWD_DOC =
    QB_DOC("dLdZ (np.array): (batch_size, out_features)", "dLdA (np.array): (batch_size, in_features)");

const char* const DOC = R"(Fully connected layer: Z = A W.T + b.

Its default weights are zeros, not random: in a network of zero-weight
Linear layers every gradient that reaches a weight or an earlier layer is
zero, so only the last layer's bias ever learns.  Pass an initialiser, such
as weight_init_fn=quillet.init.kaiming_normal (ReLU networks) or
quillet.init.fan_in_uniform (PyTorch's default).

Arguments:
    in_features (int): features of each input row.
    out_features (int): features of each output row.
    weight_init_fn (callable, optional): W = weight_init_fn(out_features,
        in_features); zeros by default (no random numbers are drawn), see
        above.
    bias_init_fn (callable, optional): b = bias_init_fn(out_features); zeros
        by default.

Attributes:
    W (out_features, in_features) and b (out_features,): read afresh by every
        call, so they can be replaced at any time.
    dLdW, dLdb: their gradients, present from construction on and replaced
        by every backward.
    A: the last input, kept by forward for backward.

Example:
    >>> fc = Linear(4, 2)
    >>> fc(np.ones((8, 4))).shape
    (8, 2))";

Ref repr(PyObject* self) {
  return ql::repr_call(self, {{"in_features", "in_features"}, {"out_features", "out_features"}});
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.linear", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_linear() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::make_class(m, "Linear", DOC,
                   {{"__init__", "in_features, out_features, weight_init_fn=None, bias_init_fn=None", nullptr, init},
                    {"forward", "A", FWD_DOC, forward},
                    {"__call__", "A", FWD_DOC, forward},
                    {"backward", "dLdZ", BWD_DOC, backward},
                    {"__repr__", "", nullptr, repr}});
  });
}
