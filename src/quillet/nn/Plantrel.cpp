// quillet.nn.Plantrel: two-dimensional convolution.  Plantrel_stride1 is the
// stride-1, unpadded layer, whose backward adds to its parameter gradients;
// Plantrel pads, convolves and downsamples through its parts
// `plantrel_stride1` and `downsample2d`.
//
// When the parts are the stock classes, Plantrel computes only the positions
// its downsampler keeps and leaves on the parts the state their own forward
// would have left.
#include "bind/bind.hpp"
#include "kernels/conv.hpp"

using qb::Ref;

namespace {

PyObject* g_module = nullptr;
qb::StockMethods g_stride1;     // Plantrel_stride1
qb::StockMethods g_downsample;  // Downsample2d of quillet.nn.resampling

[[noreturn]] void negative_dimensions() { qb::raise(PyExc_ValueError, "negative dimensions are not allowed"); }

// ---------------------------------------------------------------- Plantrel_stride1

Ref s1_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size,
            PyObject* weight_init_fn, PyObject* bias_init_fn) {
  qb::setattr(self, QB_ID(in_channels), in_channels);
  qb::setattr(self, QB_ID(out_channels), out_channels);
  qb::setattr(self, QB_ID(kernel_size), kernel_size);
  qb::init_conv_params(self, {out_channels, in_channels, kernel_size, kernel_size}, out_channels, weight_init_fn,
                       bias_init_fn);
  return {};
}

// The forward pass of `s1` on A, computing only every `stride`-th row and
// column.  `full_h` and `full_w` receive the extents of the stride-1 output.
Ref s1_forward(PyObject* s1, PyObject* arg, npy_intp stride, npy_intp* full_h, npy_intp* full_w) {
  Ref A = qb::as_array(arg);
  qb::setattr(s1, QB_ID(A), A);
  qb::expect_ndim(A.arr(), 4);
  const npy_intp n = qb::dim(A, 0), c = qb::dim(A, 1), h = qb::dim(A, 2), w = qb::dim(A, 3);
  const npy_intp o = qb::int_attr(s1, QB_ID(out_channels)), k = qb::int_attr(s1, QB_ID(kernel_size));
  const npy_intp hf = h - k + 1, wf = w - k + 1;
  if (hf < 0 || wf < 0) negative_dimensions();
  if (full_h) *full_h = hf, *full_w = wf;
  const npy_intp ho = hf == 0 ? 0 : (hf - 1) / stride + 1, wo = wf == 0 ? 0 : (wf - 1) / stride + 1;
  Ref Z = qb::empty({n, o, ho, wo});
  if (ho == 0 || wo == 0) return Z;  // no window fits: nothing is read
  Ref Wv = qb::getattr(s1, QB_ID(W));
  Ref Wa = qb::as_array(Wv.get());
  if (PyArray_NDIM(Wa.arr()) == 4 && PyArray_DIM(Wa.arr(), 1) != c)
    qb::raise(PyExc_ValueError, "shape-mismatch for sum: the input has %zd channels but W has %zd",
              static_cast<Py_ssize_t>(c), static_cast<Py_ssize_t>(PyArray_DIM(Wa.arr(), 1)));
  Ref W = qb::param(s1, QB_ID(W), {o, c, k, k});
  std::vector<double> b = qb::bias(s1, QB_ID(b), o);
  Ref a = qb::to_f64(A.arr(), "A");
  qk::ConvShape s{n, c, h, w, o, k, k, stride, stride, ho, wo, h, w};
  {
    qb::NoGil nogil;
    qk::conv_forward(s, qb::data(a), qb::data(W), b.data(), qb::data(Z), qb::gemm);
  }
  return Z;
}

// The backward pass of `s1` for a gradient given at every `stride`-th row and
// column of a stride-1 output of extents (full_h, full_w), zero elsewhere.
// Adds to dLdW and dLdb.
Ref s1_backward(PyObject* s1, const Ref& G, npy_intp stride, npy_intp full_h, npy_intp full_w) {
  Ref stored = qb::getattr(s1, QB_ID(A));
  Ref A = qb::as_array(stored.get());
  qb::expect_ndim(A.arr(), 4);
  const npy_intp n = qb::dim(A, 0), h = qb::dim(A, 2), w = qb::dim(A, 3);
  const npy_intp nz = qb::dim(G, 0), oz = qb::dim(G, 1), hz = qb::dim(G, 2), wz = qb::dim(G, 3);
  const npy_intp c = qb::int_attr(s1, QB_ID(in_channels)), k = qb::int_attr(s1, QB_ID(kernel_size));
  if (n < 0 || c < 0) negative_dimensions();
  Ref dA = qb::zeros({n, c, h, w});
  if (full_h == 0 || full_w == 0 || hz == 0 || wz == 0) return dA;  // no window is visited
  if (nz != n || qb::dim(A, 1) != c || full_h > h - k + 1 || full_w > w - k + 1)
    qb::raise(PyExc_ValueError,
              "shape-mismatch: a gradient of shape (%zd, %zd, %zd, %zd) does not fit the stored input of shape "
              "(%zd, %zd, %zd, %zd) with kernel_size=%zd and in_channels=%zd",
              static_cast<Py_ssize_t>(nz), static_cast<Py_ssize_t>(oz), static_cast<Py_ssize_t>(full_h),
              static_cast<Py_ssize_t>(full_w), static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(qb::dim(A, 1)),
              static_cast<Py_ssize_t>(h), static_cast<Py_ssize_t>(w), static_cast<Py_ssize_t>(k),
              static_cast<Py_ssize_t>(c));
  Ref Wv = qb::getattr(s1, QB_ID(W));
  Ref Wa = qb::as_array(Wv.get());
  if (PyArray_NDIM(Wa.arr()) == 4 && PyArray_DIM(Wa.arr(), 0) != oz)
    qb::raise(PyExc_ValueError, "shape-mismatch for sum: the gradient has %zd channels but W has %zd filters",
              static_cast<Py_ssize_t>(oz), static_cast<Py_ssize_t>(PyArray_DIM(Wa.arr(), 0)));
  Ref W = qb::param(s1, QB_ID(W), {oz, c, k, k});
  Ref a = qb::to_f64(A.arr(), "A");
  Ref g = qb::to_f64(G.arr(), "dLdZ");
  Ref dW = qb::empty({oz, c, k, k});
  Ref db = qb::empty({oz});
  qk::ConvShape s{n, c, h, w, oz, k, k, stride, stride, hz, wz, h, w};
  {
    qb::NoGil nogil;
    qk::conv_backward(s, qb::data(a), qb::data(W), qb::data(g), qb::data(dA), qb::data(dW), qb::data(db), qb::gemm);
  }
  qb::add_into(s1, QB_ID(dLdW), dW);
  qb::add_into(s1, QB_ID(dLdb), db);
  return dA;
}

Ref s1_forward_method(PyObject* self, PyObject* A) { return s1_forward(self, A, 1, nullptr, nullptr); }

Ref s1_backward_method(PyObject* self, PyObject* arg) {
  // The stored input is read first, as its shape gives the gradient's.
  Ref stored = qb::getattr(self, QB_ID(A));
  Ref G = qb::as_array(arg);
  qb::expect_ndim(G.arr(), 4);
  return s1_backward(self, G, 1, qb::dim(G, 2), qb::dim(G, 3));
}

// ---------------------------------------------------------------- Plantrel

Ref pt_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size, PyObject* stride,
            PyObject* padding, PyObject* weight_init_fn, PyObject* bias_init_fn) {
  qb::setattr(self, QB_ID(stride), stride);
  Ref zero = qb::py_int(0);
  qb::setattr(self, QB_ID(pad), padding ? padding : zero.get());
  Ref cls = qb::global(g_module, QB_ID(Plantrel_stride1));
  Ref s1 = qb::call(cls.get(), {in_channels, out_channels, kernel_size, weight_init_fn ? weight_init_fn : Py_None,
                                bias_init_fn ? bias_init_fn : Py_None});
  qb::setattr(self, QB_ID(plantrel_stride1), s1);
  Ref ds_cls = qb::global(g_module, QB_ID(Downsample2d));
  qb::setattr(self, QB_ID(downsample2d), qb::call(ds_cls.get(), {stride}));
  return {};
}

// Parts that are the stock classes can be driven by the fused kernels.
bool stock_parts(const Ref& s1, const Ref& ds) { return g_stride1.untouched(s1) && g_downsample.untouched(ds); }

Ref pt_forward(PyObject* self, PyObject* arg) {
  const npy_intp p = qb::strict_int_attr(self, QB_ID(pad));
  Ref A = qb::as_array(arg);
  qb::expect_ndim(A.arr(), 4);
  A = qb::pad(A.arr(), p, 2);  // a new array even for no padding
  Ref s1 = qb::getattr(self, QB_ID(plantrel_stride1));
  Ref ds = qb::getattr(self, QB_ID(downsample2d));
  if (!stock_parts(s1, ds)) {
    Ref Z = qb::call_method(s1.get(), QB_ID(forward), {A.get()});
    return qb::call_method(ds.get(), QB_ID(forward), {Z.get()});
  }
  const long long k = qb::factor(qb::getattr(ds.get(), QB_ID(downsampling_factor)).get(), "downsampling_factor", 1);
  npy_intp hf = 0, wf = 0;
  Ref Z = s1_forward(s1.get(), A.get(), static_cast<npy_intp>(k), &hf, &wf);
  qb::setattr(ds.get(), QB_ID(input_width), qb::py_int(wf));
  qb::setattr(ds.get(), QB_ID(input_height), qb::py_int(hf));
  return Z;
}

Ref pt_backward(PyObject* self, PyObject* arg) {
  Ref s1 = qb::getattr(self, QB_ID(plantrel_stride1));
  Ref ds = qb::getattr(self, QB_ID(downsample2d));
  Ref dA;
  bool fused = stock_parts(s1, ds);
  npy_intp k = 1, hf = 0, wf = 0;
  Ref G;
  if (fused) {
    G = qb::as_array(arg);
    qb::expect_ndim(G.arr(), 4);
    k = static_cast<npy_intp>(
        qb::factor(qb::getattr(ds.get(), QB_ID(downsampling_factor)).get(), "downsampling_factor", 1));
    hf = static_cast<npy_intp>(qb::factor(qb::getattr(ds.get(), QB_ID(input_height)).get(), "input_height", 0));
    wf = static_cast<npy_intp>(qb::factor(qb::getattr(ds.get(), QB_ID(input_width)).get(), "input_width", 0));
    // Gradients that only broadcast onto the kept grid take the general route.
    fused = qb::dim(G, 2) == (hf == 0 ? 0 : (hf - 1) / k + 1) && qb::dim(G, 3) == (wf == 0 ? 0 : (wf - 1) / k + 1);
  }
  if (fused) {
    dA = s1_backward(s1.get(), G, k, hf, wf);
  } else {
    Ref full = qb::call_method(ds.get(), QB_ID(backward), {arg});
    dA = qb::call_method(s1.get(), QB_ID(backward), {full.get()});
  }
  const npy_intp p = qb::strict_int_attr(self, QB_ID(pad));
  if (p > 0) {
    const Py_ssize_t lo = static_cast<Py_ssize_t>(p);
    return qb::slice(dA.get(), {{2, lo, -lo, 1}, {3, lo, -lo, 1}});
  }
  return dA;
}

// ---------------------------------------------------------------- module

#define DOC_FWD QB_DOC("A (np.array): (batch_size, in_channels, input_height, input_width)", \
                       "Z (np.array): (batch_size, out_channels, output_height, output_width)")
#define DOC_BWD QB_DOC("dLdZ (np.array): (batch_size, out_channels, output_height, output_width)", \
                       "dLdA (np.array): (batch_size, in_channels, input_height, input_width)")

PyMethodDef stride1_methods[] = {
    QB_INIT(QB_FAST("Plantrel_stride1.__init__", 3, s1_init(self, arg[0], arg[1], arg[2], arg[3], arg[4]),
                    "in_channels", "out_channels", "kernel_size", "weight_init_fn", "bias_init_fn"),
            ", in_channels, out_channels, kernel_size, weight_init_fn=None, bias_init_fn=None"),
    QB_METHOD("forward", QB_FAST("Plantrel_stride1.forward", 1, s1_forward_method(self, arg[0]), "A"), ", A", DOC_FWD),
    QB_METHOD("backward", QB_FAST("Plantrel_stride1.backward", 1, s1_backward_method(self, arg[0]), "dLdZ"),
              ", dLdZ", DOC_BWD),
    {}};

PyMethodDef plantrel_methods[] = {
    QB_INIT(QB_FAST("Plantrel.__init__", 4, pt_init(self, arg[0], arg[1], arg[2], arg[3], arg[4], arg[5], arg[6]),
                    "in_channels", "out_channels", "kernel_size", "stride", "padding", "weight_init_fn",
                    "bias_init_fn"),
            ", in_channels, out_channels, kernel_size, stride, padding=0, weight_init_fn=None, bias_init_fn=None"),
    QB_METHOD("forward", QB_FAST("Plantrel.forward", 1, pt_forward(self, arg[0]), "A"), ", A", DOC_FWD),
    QB_METHOD("backward", QB_FAST("Plantrel.backward", 1, pt_backward(self, arg[0]), "dLdZ"), ", dLdZ", DOC_BWD),
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.Plantrel", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Plantrel() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::star_import(m, "quillet.nn.resampling");
    g_module = m;
    g_downsample.capture(qb::global(m, QB_ID(Downsample2d)).get());
    g_stride1.capture(qb::make_class(m, "Plantrel_stride1", stride1_methods));
    qb::make_class(m, "Plantrel", plantrel_methods);
  });
}
