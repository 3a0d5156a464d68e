// quillet.nn.Lintrel: one-dimensional convolution.  Lintrel_stride1 is the
// stride-1, unpadded layer; Lintrel pads, convolves and downsamples through
// its parts `lintrel_stride1` and `downsample1d`.
//
// When the parts are the stock classes, Lintrel computes only the positions
// its downsampler keeps, and leaves on the parts exactly the state their own
// forward would have left (the padded input, the stride-1 width).
#include "bind/bind.hpp"
#include "kernels/conv.hpp"

using qb::Ref;

namespace {

PyObject* g_module = nullptr;
qb::StockMethods g_stride1;     // Lintrel_stride1
qb::StockMethods g_downsample;  // Downsample1d of quillet.nn.resampling

// ---------------------------------------------------------------- Lintrel_stride1

Ref s1_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size,
            PyObject* weight_init_fn, PyObject* bias_init_fn) {
  qb::setattr(self, QB_ID(in_channels), in_channels);
  qb::setattr(self, QB_ID(out_channels), out_channels);
  qb::setattr(self, QB_ID(kernel_size), kernel_size);
  qb::init_conv_params(self, {out_channels, in_channels, kernel_size}, out_channels, weight_init_fn, bias_init_fn);
  return {};
}

// The forward pass of `s1` on A, computing only every `stride`-th output
// position.  `full` receives the width of the whole stride-1 output.
Ref s1_forward(PyObject* s1, PyObject* arg, npy_intp stride, npy_intp* full) {
  Ref A = qb::as_array(arg);
  qb::setattr(s1, QB_ID(A), A);
  qb::expect_ndim(A.arr(), 3);
  const npy_intp n = qb::dim(A, 0), c = qb::dim(A, 1), w = qb::dim(A, 2);
  if (!qb::attr_equals(s1, QB_ID(in_channels), c))  // the message is only built for a mismatch
    qb::check_channels(false, "input has %zd channels, but the layer has in_channels=%S", static_cast<Py_ssize_t>(c),
                       qb::getattr(s1, QB_ID(in_channels)).get());
  const npy_intp o = qb::int_attr(s1, QB_ID(out_channels)), k = qb::int_attr(s1, QB_ID(kernel_size));
  const npy_intp wfull = w - k + 1;
  if (wfull < 0) qb::raise(PyExc_ValueError, "negative dimensions are not allowed");
  if (full) *full = wfull;
  const npy_intp wo = wfull == 0 ? 0 : (wfull - 1) / stride + 1;
  Ref W = qb::param(s1, QB_ID(W), {o, c, k});
  std::vector<double> b = qb::bias(s1, QB_ID(b), o);
  Ref a = qb::to_f64(A.arr(), "A");
  Ref Z = qb::empty({n, o, wo});
  qk::ConvShape s{n, c, 1, w, o, 1, k, 1, stride, 1, wo, 1, w};
  {
    qb::NoGil nogil;
    qk::conv_forward(s, qb::data(a), qb::data(W), b.data(), qb::data(Z), qb::gemm);
  }
  return Z;
}

// The backward pass of `s1` for a gradient given at every `stride`-th
// position of a stride-1 output of width `full` (the rest being zero).
// Replaces dLdW and dLdb.
Ref s1_backward(PyObject* s1, const Ref& G, npy_intp stride, npy_intp full) {
  const npy_intp n = qb::dim(G, 0), oz = qb::dim(G, 1), wz = qb::dim(G, 2);
  if (!qb::attr_equals(s1, QB_ID(out_channels), oz))
    qb::check_channels(false, "gradient has %zd channels, but the layer has out_channels=%S",
                       static_cast<Py_ssize_t>(oz), qb::getattr(s1, QB_ID(out_channels)).get());
  const npy_intp c = qb::int_attr(s1, QB_ID(in_channels)), k = qb::int_attr(s1, QB_ID(kernel_size));
  const npy_intp o = oz;
  if (full < 0) full = wz;
  const npy_intp wd = qb::add_size(full, k - 1);
  if (wd < 0) qb::raise(PyExc_ValueError, "negative dimensions are not allowed");
  Ref stored = qb::getattr(s1, QB_ID(A));
  Ref A = qb::as_array(stored.get());
  Ref W = qb::param(s1, QB_ID(W), {o, c, k});
  Ref dA = qb::empty({n, c, wd});
  Ref dW = qb::zeros({o, c, k});
  Ref db = qb::zeros({o});
  if (full > 0 && n > 0) {
    if (PyArray_NDIM(A.arr()) != 3)
      qb::raise(PyExc_ValueError, "the stored input A has %d axes, expected 3", PyArray_NDIM(A.arr()));
    if (qb::dim(A, 0) != n || qb::dim(A, 1) != c || qb::dim(A, 2) < wd)
      qb::raise(PyExc_ValueError,
                "shape-mismatch for sum: the gradient (%zd, %zd, %zd) does not fit the stored input (%zd, %zd, %zd)",
                static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(oz), static_cast<Py_ssize_t>(wz),
                static_cast<Py_ssize_t>(qb::dim(A, 0)), static_cast<Py_ssize_t>(qb::dim(A, 1)),
                static_cast<Py_ssize_t>(qb::dim(A, 2)));
    Ref a = qb::to_f64(A.arr(), "A");
    Ref g = qb::to_f64(G.arr(), "dLdZ");
    qk::ConvShape s{n, c, 1, qb::dim(a, 2), o, 1, k, 1, stride, 1, wz, 1, wd};
    qb::NoGil nogil;
    qk::conv_backward(s, qb::data(a), qb::data(W), qb::data(g), qb::data(dA), qb::data(dW), qb::data(db), qb::gemm);
  } else {
    std::fill(qb::data(dA), qb::data(dA) + PyArray_SIZE(dA.arr()), 0.0);
  }
  // The gradients are new arrays like np.zeros_like(W) and np.zeros_like(b).
  qb::setattr(s1, QB_ID(dLdW), qb::in_float_dtype_of(dW, qb::getattr(s1, QB_ID(W)).get()));
  qb::setattr(s1, QB_ID(dLdb), qb::in_float_dtype_of(db, qb::getattr(s1, QB_ID(b)).get()));
  return dA;
}

Ref s1_forward_method(PyObject* self, PyObject* A) { return s1_forward(self, A, 1, nullptr); }

Ref s1_backward_method(PyObject* self, PyObject* arg) {
  Ref G = qb::as_array(arg);
  qb::expect_ndim(G.arr(), 3);
  return s1_backward(self, G, 1, -1);
}

// ---------------------------------------------------------------- Lintrel

Ref lt_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size, PyObject* stride,
            PyObject* padding, PyObject* weight_init_fn, PyObject* bias_init_fn) {
  qb::setattr(self, QB_ID(stride), stride);
  Ref zero = qb::py_int(0);
  qb::setattr(self, QB_ID(pad), padding ? padding : zero.get());
  PyObject* none = Py_None;
  Ref cls = qb::global(g_module, QB_ID(Lintrel_stride1));
  Ref s1 = qb::call(cls.get(), {in_channels, out_channels, kernel_size, weight_init_fn ? weight_init_fn : none,
                                bias_init_fn ? bias_init_fn : none});
  qb::setattr(self, QB_ID(lintrel_stride1), s1);
  Ref ds_cls = qb::global(g_module, QB_ID(Downsample1d));
  qb::setattr(self, QB_ID(downsample1d), qb::call(ds_cls.get(), {stride}));
  return {};
}

// Parts that are the stock classes can be driven by the fused kernels.
bool stock_parts(const Ref& s1, const Ref& ds) { return g_stride1.untouched(s1) && g_downsample.untouched(ds); }

Ref lt_forward(PyObject* self, PyObject* arg) {
  const npy_intp p = qb::strict_int_attr(self, QB_ID(pad));
  Ref A = qb::as_array(arg);
  if (p > 0) {
    qb::expect_ndim(A.arr(), 3);
    A = qb::pad(A.arr(), p, 1);
  }
  Ref s1 = qb::getattr(self, QB_ID(lintrel_stride1));
  Ref ds = qb::getattr(self, QB_ID(downsample1d));
  if (!stock_parts(s1, ds)) {
    Ref Z = qb::call_method(s1.get(), QB_ID(forward), {A.get()});
    return qb::call_method(ds.get(), QB_ID(forward), {Z.get()});
  }
  const long long k = qb::factor(qb::getattr(ds.get(), QB_ID(downsampling_factor)).get(), "downsampling_factor", 1);
  npy_intp full = 0;
  Ref Z = s1_forward(s1.get(), A.get(), static_cast<npy_intp>(k), &full);
  qb::setattr(ds.get(), QB_ID(w_in), qb::py_int(full));
  return Z;
}

Ref lt_backward(PyObject* self, PyObject* arg) {
  Ref s1 = qb::getattr(self, QB_ID(lintrel_stride1));
  Ref ds = qb::getattr(self, QB_ID(downsample1d));
  Ref dA;
  if (!stock_parts(s1, ds)) {
    Ref G = qb::call_method(ds.get(), QB_ID(backward), {arg});
    dA = qb::call_method(s1.get(), QB_ID(backward), {G.get()});
  } else {
    Ref G = qb::as_array(arg);
    qb::expect_ndim(G.arr(), 3);
    const long long k =
        qb::factor(qb::getattr(ds.get(), QB_ID(downsampling_factor)).get(), "downsampling_factor", 1);
    const npy_intp full = static_cast<npy_intp>(qb::factor(qb::getattr(ds.get(), QB_ID(w_in)).get(), "w_in", 0));
    const npy_intp kept = full == 0 ? 0 : (full - 1) / k + 1;
    if (qb::dim(G, 2) > kept)
      qb::raise(PyExc_IndexError, "index %zd is out of bounds for axis 2 with size %zd",
                static_cast<Py_ssize_t>(kept * k), static_cast<Py_ssize_t>(full));
    dA = s1_backward(s1.get(), G, static_cast<npy_intp>(k), full);
  }
  const npy_intp p = qb::strict_int_attr(self, QB_ID(pad));
  if (p > 0) return qb::slice(dA.get(), {{2, static_cast<Py_ssize_t>(p), -static_cast<Py_ssize_t>(p), 1}});
  return dA;
}

// ---------------------------------------------------------------- module

#define DOC_FWD QB_DOC("A (np.array): (batch_size, in_channels, input_size)", \
                       "Z (np.array): (batch_size, out_channels, output_size)")
#define DOC_BWD QB_DOC("dLdZ (np.array): (batch_size, out_channels, output_size)", \
                       "dLdA (np.array): (batch_size, in_channels, input_size)")

PyMethodDef stride1_methods[] = {
    QB_INIT(QB_FAST("Lintrel_stride1.__init__", 3, s1_init(self, arg[0], arg[1], arg[2], arg[3], arg[4]),
                    "in_channels", "out_channels", "kernel_size", "weight_init_fn", "bias_init_fn"),
            ", in_channels, out_channels, kernel_size, weight_init_fn=None, bias_init_fn=None"),
    QB_METHOD("forward", QB_FAST("Lintrel_stride1.forward", 1, s1_forward_method(self, arg[0]), "A"), ", A", DOC_FWD),
    QB_METHOD("backward", QB_FAST("Lintrel_stride1.backward", 1, s1_backward_method(self, arg[0]), "dLdZ"), ", dLdZ",
              DOC_BWD),
    {}};

PyMethodDef lintrel_methods[] = {
    QB_INIT(QB_FAST("Lintrel.__init__", 4, lt_init(self, arg[0], arg[1], arg[2], arg[3], arg[4], arg[5], arg[6]),
                    "in_channels", "out_channels", "kernel_size", "stride", "padding", "weight_init_fn",
                    "bias_init_fn"),
            ", in_channels, out_channels, kernel_size, stride, padding=0, weight_init_fn=None, bias_init_fn=None"),
    QB_METHOD("forward", QB_FAST("Lintrel.forward", 1, lt_forward(self, arg[0]), "A"), ", A", DOC_FWD),
    QB_METHOD("backward", QB_FAST("Lintrel.backward", 1, lt_backward(self, arg[0]), "dLdZ"), ", dLdZ", DOC_BWD),
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.Lintrel", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Lintrel() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::star_import(m, "quillet.nn.resampling");
    g_module = m;
    g_downsample.capture(qb::global(m, QB_ID(Downsample1d)).get());
    g_stride1.capture(qb::make_class(m, "Lintrel_stride1", stride1_methods));
    qb::make_class(m, "Lintrel", lintrel_methods);
  });
}
