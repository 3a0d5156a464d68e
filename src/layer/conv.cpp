#include "layer/conv.hpp"

#include <algorithm>
#include <string>

#include "kernels/api.hpp"

namespace ql {

namespace {

[[noreturn]] void negative_dimensions() { qb::fail(PyExc_ValueError, "negative dimensions are not allowed"); }

// Output positions kept by a downsampler of factor k from n positions.
npy_intp kept(npy_intp n, npy_intp k) { return n == 0 ? 0 : (n - 1) / k + 1; }

// Each pass computes in R, the default dtype at the call (float64 or float32).
template <class R>
void forward_kernel(const qk::ConvShape& s, const Ref& A, const Ref& W, const std::vector<R>& b, const Ref& Z) {
  qb::NoGil nogil;
  qk::Of<R>::conv_forward(s, qb::data_of<R>(A), qb::data_of<R>(W), b.data(), qb::data_of<R>(Z), &qb::gemm<R>);
}

template <class R>
void backward_kernel(const qk::ConvShape& s, const Ref& A, const Ref& W, const Ref& G, const Ref& dA, const Ref& dW,
                     const Ref& db) {
  qb::NoGil nogil;
  qk::Of<R>::conv_backward(s, qb::data_of<R>(A), qb::data_of<R>(W), qb::data_of<R>(G), qb::data_of<R>(dA),
                           qb::data_of<R>(dW), qb::data_of<R>(db), &qb::gemm<R>);
}

// ---------------------------------------------------------------- one dimension

// The forward pass of `s1` on A, computing only every `stride`-th output
// position.  `full` receives the width of the whole stride-1 output.
template <class R>
Ref forward_1d(PyObject* s1, PyObject* arg, npy_intp stride, npy_intp* full) {
  Ref A = qb::as_array(arg);
  qb::setattr(s1, QB_ID(A), A);
  qb::expect_axes(A, 3, "A");
  const npy_intp n = qb::dim(A, 0), c = qb::dim(A, 1), w = qb::dim(A, 2);
  if (!attr_equals(s1, QB_ID(in_channels), c))  // the message is only built for a mismatch
    channel_mismatch("input has %zd channels, but the layer has in_channels=%S", static_cast<Py_ssize_t>(c),
                     qb::getattr(s1, QB_ID(in_channels)).get());
  const npy_intp o = int_attr(s1, QB_ID(out_channels)), k = int_attr(s1, QB_ID(kernel_size), 1);
  const npy_intp wfull = w - k + 1;
  if (wfull < 0) negative_dimensions();
  full[0] = 1, full[1] = wfull;
  const npy_intp wo = kept(wfull, stride);
  Ref W = param_as<R>(s1, QB_ID(W), {o, c, k});
  std::vector<R> b = bias_as<R>(s1, QB_ID(b), o);
  Ref a = qb::to_real<R>(A, "A");
  Ref Z = qb::empty_of<R>({n, o, wo});
  forward_kernel({n, c, 1, w, o, 1, k, 1, stride, 1, wo, 1, w}, a, W, b, Z);
  return Z;
}

// The backward pass of `s1` for a gradient given at every `stride`-th position
// of a stride-1 output of width full[1] (the rest being zero; a negative width
// means the gradient's own).  Replaces dLdW and dLdb.
template <class R>
Ref backward_1d(PyObject* s1, const Ref& G, npy_intp stride, const npy_intp* full_in) {
  const npy_intp n = qb::dim(G, 0), oz = qb::dim(G, 1), wz = qb::dim(G, 2);
  if (!attr_equals(s1, QB_ID(out_channels), oz))
    channel_mismatch("gradient has %zd channels, but the layer has out_channels=%S", static_cast<Py_ssize_t>(oz),
                     qb::getattr(s1, QB_ID(out_channels)).get());
  const npy_intp c = int_attr(s1, QB_ID(in_channels)), k = int_attr(s1, QB_ID(kernel_size), 1);
  const npy_intp o = oz, full = full_in[1] < 0 ? wz : full_in[1];
  const npy_intp wd = qb::add_size(full, k - 1);
  if (wd < 0) negative_dimensions();
  Ref A = qb::as_array(stored(s1, QB_ID(A)).get());
  Ref W = param_as<R>(s1, QB_ID(W), {o, c, k});
  Ref dA = qb::empty_of<R>({n, c, wd});
  Ref dW = qb::zeros_of<R>({o, c, k});
  Ref db = qb::zeros_of<R>({o});
  if (full > 0 && n > 0) {
    if (qb::ndim(A) != 3) qb::fail(PyExc_ValueError, "the stored input A has %d axes, expected 3", qb::ndim(A));
    if (qb::dim(A, 0) != n || qb::dim(A, 1) != c || qb::dim(A, 2) < wd)
      qb::fail(PyExc_ValueError,
               "shape-mismatch for sum: the gradient (%zd, %zd, %zd) does not fit the stored input (%zd, %zd, %zd)",
               static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(oz), static_cast<Py_ssize_t>(wz),
               static_cast<Py_ssize_t>(qb::dim(A, 0)), static_cast<Py_ssize_t>(qb::dim(A, 1)),
               static_cast<Py_ssize_t>(qb::dim(A, 2)));
    Ref a = qb::to_real<R>(A, "A");
    Ref g = qb::to_real<R>(G, "dLdZ");
    backward_kernel<R>({n, c, 1, qb::dim(a, 2), o, 1, k, 1, stride, 1, wz, 1, wd}, a, W, g, dA, dW, db);
  } else {
    std::fill(qb::data_of<R>(dA), qb::data_of<R>(dA) + qb::size(dA), R(0));
  }
  // The gradients are new arrays like np.zeros_like(W) and np.zeros_like(b).
  replace_grad(s1, QB_ID(dLdW), dW, QB_ID(W));
  replace_grad(s1, QB_ID(dLdb), db, QB_ID(b));
  return dA;
}

// ---------------------------------------------------------------- two dimensions

// The forward pass of `s1` on A, computing only every `stride`-th row and
// column.  `full` receives the extents of the stride-1 output.
template <class R>
Ref forward_2d(PyObject* s1, PyObject* arg, npy_intp stride, npy_intp* full) {
  Ref A = qb::as_array(arg);
  qb::setattr(s1, QB_ID(A), A);
  qb::expect_axes(A, 4, "A");
  const npy_intp n = qb::dim(A, 0), c = qb::dim(A, 1), h = qb::dim(A, 2), w = qb::dim(A, 3);
  const npy_intp o = int_attr(s1, QB_ID(out_channels)), k = int_attr(s1, QB_ID(kernel_size), 1);
  const npy_intp hf = h - k + 1, wf = w - k + 1;
  if (hf < 0 || wf < 0) negative_dimensions();
  full[0] = hf, full[1] = wf;
  const npy_intp ho = kept(hf, stride), wo = kept(wf, stride);
  Ref Z = qb::empty_of<R>({n, o, ho, wo});
  if (ho == 0 || wo == 0) return Z;  // no window fits: nothing is read
  Ref Wa = qb::as_array(qb::getattr(s1, QB_ID(W)).get());
  if (qb::ndim(Wa) == 4 && qb::dim(Wa, 1) != c)
    qb::fail(PyExc_ValueError, "shape-mismatch for sum: the input has %zd channels but W has %zd",
             static_cast<Py_ssize_t>(c), static_cast<Py_ssize_t>(qb::dim(Wa, 1)));
  Ref W = param_as<R>(s1, QB_ID(W), {o, c, k, k});
  std::vector<R> b = bias_as<R>(s1, QB_ID(b), o);
  Ref a = qb::to_real<R>(A, "A");
  forward_kernel({n, c, h, w, o, k, k, stride, stride, ho, wo, h, w}, a, W, b, Z);
  return Z;
}

// The backward pass of `s1` for a gradient given at every `stride`-th row and
// column of a stride-1 output of extents `full` (zero elsewhere).  Adds to
// dLdW and dLdb.
template <class R>
Ref backward_2d(PyObject* s1, const Ref& G, npy_intp stride, const npy_intp* full) {
  Ref A = qb::as_array(stored(s1, QB_ID(A)).get());
  qb::expect_axes(A, 4, "the stored input A");
  const npy_intp n = qb::dim(A, 0), h = qb::dim(A, 2), w = qb::dim(A, 3);
  const npy_intp nz = qb::dim(G, 0), oz = qb::dim(G, 1), hz = qb::dim(G, 2), wz = qb::dim(G, 3);
  const npy_intp c = int_attr(s1, QB_ID(in_channels)), k = int_attr(s1, QB_ID(kernel_size), 1);
  if (n < 0 || c < 0) negative_dimensions();
  // Left uninitialised for the kernel, which writes every element (zeros
  // where no window reaches), on every worker: a zeroed array would be
  // cleared twice, the first time on this thread alone.
  Ref dA = qb::empty_of<R>({n, c, h, w});
  if (full[0] == 0 || full[1] == 0 || hz == 0 || wz == 0) {  // no window is visited
    std::fill(qb::data_of<R>(dA), qb::data_of<R>(dA) + qb::size(dA), R(0));
    return dA;
  }
  if (nz != n || qb::dim(A, 1) != c || full[0] > h - k + 1 || full[1] > w - k + 1)
    qb::fail(PyExc_ValueError,
             "shape-mismatch: a gradient of shape (%zd, %zd, %zd, %zd) does not fit the stored input of shape "
             "(%zd, %zd, %zd, %zd) with kernel_size=%zd and in_channels=%zd",
             static_cast<Py_ssize_t>(nz), static_cast<Py_ssize_t>(oz), static_cast<Py_ssize_t>(full[0]),
             static_cast<Py_ssize_t>(full[1]), static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(qb::dim(A, 1)),
             static_cast<Py_ssize_t>(h), static_cast<Py_ssize_t>(w), static_cast<Py_ssize_t>(k),
             static_cast<Py_ssize_t>(c));
  Ref Wa = qb::as_array(qb::getattr(s1, QB_ID(W)).get());
  if (qb::ndim(Wa) == 4 && qb::dim(Wa, 0) != oz)
    qb::fail(PyExc_ValueError, "shape-mismatch for sum: the gradient has %zd channels but W has %zd filters",
             static_cast<Py_ssize_t>(oz), static_cast<Py_ssize_t>(qb::dim(Wa, 0)));
  Ref W = param_as<R>(s1, QB_ID(W), {oz, c, k, k});
  Ref a = qb::to_real<R>(A, "A");
  Ref g = qb::to_real<R>(G, "dLdZ");
  Ref dW = qb::empty_of<R>({oz, c, k, k});
  Ref db = qb::empty_of<R>({oz});
  backward_kernel<R>({n, c, h, w, oz, k, k, stride, stride, hz, wz, h, w}, a, W, g, dA, dW, db);
  add_grad(s1, QB_ID(dLdW), dW);
  add_grad(s1, QB_ID(dLdb), db);
  return dA;
}

// The input padded with p zeros at both ends of its last `dims` axes, as
// qb::pad makes it: for a C-contiguous float64 or float32 array, by the
// kernel, on every worker; otherwise by NumPy's copy.
template <class R>
Ref pad_real(PyArrayObject* a, npy_intp p, int dims) {
  std::vector<npy_intp> d = qb::dims(a);
  const size_t nd = d.size();
  const npy_intp h = dims == 2 ? d[nd - 2] : 1, w = d[nd - 1];
  npy_intp planes = 1;
  for (size_t i = 0; i + static_cast<size_t>(dims) < nd; ++i) planes *= d[i];
  for (size_t i = nd - static_cast<size_t>(dims); i < nd; ++i) d[i] = qb::add_size(d[i], qb::mul_size(p, 2));
  Ref out = qb::empty_of<R>(d);
  qb::NoGil nogil;
  qk::Of<R>::pad_planes(static_cast<const R*>(PyArray_DATA(a)), qb::data_of<R>(out), planes, h, w, dims == 2 ? p : 0,
                        p);
  return out;
}

Ref pad_input(const Ref& A, npy_intp p, int dims) {
  PyArrayObject* a = qb::arr(A);
  const bool plain = p >= 0 && PyArray_ISCARRAY_RO(a) && PyArray_ISNOTSWAPPED(a);
  if (plain && PyArray_TYPE(a) == NPY_DOUBLE) return pad_real<double>(a, p, dims);
  if (plain && PyArray_TYPE(a) == NPY_FLOAT) return pad_real<float>(a, p, dims);
  return qb::pad(a, p, dims);
}

}  // namespace

// ---------------------------------------------------------------- the layers

void ConvLayer::capture(PyObject* m, PyObject* stride1_cls) {
  module = m;
  stride1.capture(stride1_cls);
  downsample.capture(qb::global(m, dims == 1 ? QB_ID(Downsample1d) : QB_ID(Downsample2d)).get());
  upsample.capture(qb::global(m, dims == 1 ? QB_ID(Upsample1d) : QB_ID(Upsample2d)).get());
}

PyObject* ConvLayer::stride1_attr() const { return dims == 1 ? QB_ID(lintrel_stride1) : QB_ID(plantrel_stride1); }
PyObject* ConvLayer::downsample_attr() const { return dims == 1 ? QB_ID(downsample1d) : QB_ID(downsample2d); }

Ref ConvLayer::stride1_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size,
                            PyObject* weight_init_fn, PyObject* bias_init_fn) const {
  check_arg(kernel_size, "kernel_size", 1);  // a kernel of 0 would make an output larger than its input
  qb::setattr(self, QB_ID(in_channels), in_channels);
  qb::setattr(self, QB_ID(out_channels), out_channels);
  qb::setattr(self, QB_ID(kernel_size), kernel_size);
  if (dims == 1)
    init_params(self, {out_channels, in_channels, kernel_size}, {"out_channels", "in_channels", "kernel_size"},
                out_channels, weight_init_fn, bias_init_fn);
  else
    init_params(self, {out_channels, in_channels, kernel_size, kernel_size},
                {"out_channels", "in_channels", "kernel_size", "kernel_size"}, out_channels, weight_init_fn,
                bias_init_fn);
  return {};
}

Ref ConvLayer::stride1_forward(PyObject* self, PyObject* A) const {
  npy_intp full[2];
  return dims == 1 ? QL_TYPED(forward_1d, self, A, 1, full) : QL_TYPED(forward_2d, self, A, 1, full);
}

Ref ConvLayer::stride1_backward(PyObject* self, PyObject* arg) const {
  if (dims == 2) stored(self, QB_ID(A));  // read first: its shape gives the gradient's
  Ref G = qb::as_array(arg);
  qb::expect_axes(G, dims + 2, "dLdZ");
  if (dims == 1) {
    const npy_intp full[2] = {1, -1};
    return QL_TYPED(backward_1d, self, G, 1, full);
  }
  const npy_intp full[2] = {qb::dim(G, 2), qb::dim(G, 3)};
  return QL_TYPED(backward_2d, self, G, 1, full);
}

Ref ConvLayer::strided_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size,
                            PyObject* stride, PyObject* padding, PyObject* weight_init_fn,
                            PyObject* bias_init_fn) const {
  // Checked here, under the names the caller used: the parts only see them
  // as their own kernel_size and downsampling_factor.
  check_arg(kernel_size, "kernel_size", 1);
  check_arg(stride, "stride", 1);
  // A negative padding pads nothing in 1-D; the 2-D layer refuses it.
  if (dims == 2)
    check_arg(padding, "padding", 0);
  else if (!PyIndex_Check(padding))
    qb::fail(PyExc_TypeError, "padding must be an integer, got %R", padding);
  qb::setattr(self, QB_ID(stride), stride);
  qb::setattr(self, QB_ID(pad), padding);
  Ref cls = qb::global(module, dims == 1 ? QB_ID(Lintrel_stride1) : QB_ID(Plantrel_stride1));
  qb::setattr(self, stride1_attr(),
              qb::call(cls.get(), {in_channels, out_channels, kernel_size, weight_init_fn, bias_init_fn}));
  Ref ds = qb::global(module, dims == 1 ? QB_ID(Downsample1d) : QB_ID(Downsample2d));
  qb::setattr(self, downsample_attr(), qb::call(ds.get(), {stride}));
  return {};
}

Ref ConvLayer::strided_forward(PyObject* self, PyObject* arg) const {
  const npy_intp p = strict_int_attr(self, QB_ID(pad));
  Ref A = qb::as_array(arg);
  // The 1-D layer pads only when asked; the 2-D one always makes a new array.
  if (dims == 2 || p > 0) {
    qb::expect_axes(A, dims + 2, "A");
    A = pad_input(A, p, dims);
  }
  Ref s1 = qb::getattr(self, stride1_attr());
  Ref ds = qb::getattr(self, downsample_attr());
  if (!stride1.untouched(s1) || !downsample.untouched(ds)) {
    Ref Z = qb::call_method(s1.get(), QB_ID(forward), {A.get()});
    return qb::call_method(ds.get(), QB_ID(forward), {Z.get()});
  }
  const npy_intp k = static_cast<npy_intp>(factor_attr(ds.get(), QB_ID(downsampling_factor), 1));
  npy_intp full[2];
  Ref Z =
      dims == 1 ? QL_TYPED(forward_1d, s1.get(), A.get(), k, full) : QL_TYPED(forward_2d, s1.get(), A.get(), k, full);
  // What the downsampler's own forward would have recorded.
  if (dims == 1) {
    qb::setattr(ds.get(), QB_ID(w_in), qb::py_int(full[1]));
  } else {
    qb::setattr(ds.get(), QB_ID(input_width), qb::py_int(full[1]));
    qb::setattr(ds.get(), QB_ID(input_height), qb::py_int(full[0]));
  }
  return Z;
}

Ref ConvLayer::strided_backward(PyObject* self, PyObject* arg) const {
  Ref s1 = qb::getattr(self, stride1_attr());
  Ref ds = qb::getattr(self, downsample_attr());
  Ref dA;
  bool fused = stride1.untouched(s1) && downsample.untouched(ds);
  if (fused) {
    Ref G = qb::as_array(arg);
    qb::expect_axes(G, dims + 2, "dLdZ");
    const npy_intp k = static_cast<npy_intp>(factor_attr(ds.get(), QB_ID(downsampling_factor), 1));
    if (dims == 1) {
      const npy_intp full[2] = {1, stored_size(ds.get(), QB_ID(w_in))};
      if (qb::dim(G, 2) > kept(full[1], k))
        qb::fail(PyExc_IndexError, "index %zd is out of bounds for axis 2 with size %zd",
                 static_cast<Py_ssize_t>(kept(full[1], k) * k), static_cast<Py_ssize_t>(full[1]));
      dA = QL_TYPED(backward_1d, s1.get(), G, k, full);
    } else {
      const npy_intp full[2] = {stored_size(ds.get(), QB_ID(input_height)), stored_size(ds.get(), QB_ID(input_width))};
      // Gradients that only broadcast onto the kept grid take the general route.
      fused = qb::dim(G, 2) == kept(full[0], k) && qb::dim(G, 3) == kept(full[1], k);
      if (fused) dA = QL_TYPED(backward_2d, s1.get(), G, k, full);
    }
  }
  if (!fused) {
    Ref G = qb::call_method(ds.get(), QB_ID(backward), {arg});
    dA = qb::call_method(s1.get(), QB_ID(backward), {G.get()});
  }
  const Py_ssize_t p = static_cast<Py_ssize_t>(strict_int_attr(self, QB_ID(pad)));
  if (p <= 0) return dA;
  if (dims == 1) return qb::slice(dA.get(), {{2, p, -p, 1}});
  return qb::slice(dA.get(), {{2, p, -p, 1}, {3, p, -p, 1}});
}

Ref ConvLayer::stride1_repr(PyObject* self) const {
  return repr_call(self,
                   {{"in_channels", "in_channels"}, {"out_channels", "out_channels"}, {"kernel_size", "kernel_size"}});
}

Ref ConvLayer::strided_repr(PyObject* self) const {
  const char* p = dims == 1 ? "lintrel_stride1." : "plantrel_stride1.";
  const std::string in = std::string(p) + "in_channels", out = std::string(p) + "out_channels",
                    k = std::string(p) + "kernel_size";
  return repr_call(self, {{"in_channels", in.c_str()},
                          {"out_channels", out.c_str()},
                          {"kernel_size", k.c_str()},
                          {"stride", "stride"},
                          {"padding", "pad"}});
}

}  // namespace ql
