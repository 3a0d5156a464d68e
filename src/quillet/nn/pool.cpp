// quillet.nn.pool: max and mean pooling over square windows, stride 1
// (MaxPool2d_stride1, MeanPool2d_stride1) and strided (MaxPool2d, MeanPool2d).
// Every window of every sample and channel is pooled separately; ties for a
// maximum all receive the window's gradient, overlapping windows add up.
#include "kernels/api.hpp"
#include "layer/layer.hpp"

using qb::Ref;

namespace {

PyObject* g_module = nullptr;

enum class Kind { Max, Mean };

long long kernel_of(PyObject* self, long long min) {
  return ql::factor(qb::getattr(self, QB_ID(kernel)).get(), "kernel", min);
}

long long stride_of(PyObject* self) {
  Ref v = qb::getattr(self, QB_ID(stride));
  if (!PyIndex_Check(v.get())) qb::fail(PyExc_TypeError, "stride must be an integer, got %R", v.get());
  if (qb::as_index(v.get()) == 0) qb::fail(PyExc_ZeroDivisionError, "integer division or modulo by zero");
  return ql::factor(v.get(), "stride", 1);
}

// (n - k) // s + 1 with Python's floor division.
npy_intp windows(npy_intp n, npy_intp k, npy_intp s) {
  const npy_intp d = n - k;
  const npy_intp q = d >= 0 ? d / s : -((-d + s - 1) / s);
  const npy_intp out = q + 1;
  if (out < 0) qb::fail(PyExc_ValueError, "negative dimensions are not allowed");
  return out;
}

[[noreturn]] void empty_max() {
  qb::fail(PyExc_ValueError, "zero-size array to reduction operation maximum which has no identity");
}

// Computes in R, the default dtype at the call (float64 or float32).
template <class R>
Ref run_forward_in(Kind kind, const Ref& A, npy_intp k, npy_intp s, npy_intp ho, npy_intp wo) {
  const npy_intp n = qb::dim(A, 0), c = qb::dim(A, 1);
  if ((k == 0 && kind == Kind::Max) || n == 0 || c == 0 || ho == 0 || wo == 0)
    return qb::zeros_of<R>({n, c, ho, wo});  // nothing to compute
  Ref Z = qb::empty_of<R>({n, c, ho, wo});   // the kernels write every entry
  Ref a = qb::to_real<R>(A, "A");
  qk::PoolShape shape{qb::mul_size(n, c), qb::dim(A, 2), qb::dim(A, 3), k, s, ho, wo};
  qb::NoGil nogil;
  if (kind == Kind::Max)
    qk::Of<R>::max_forward(shape, qb::data_of<R>(a), qb::data_of<R>(Z));
  else
    qk::Of<R>::mean_forward(shape, qb::data_of<R>(a), qb::data_of<R>(Z));
  return Z;
}

Ref run_forward(Kind kind, const Ref& A, npy_intp k, npy_intp s, npy_intp ho, npy_intp wo) {
  return QL_TYPED(run_forward_in, kind, A, k, s, ho, wo);
}

// Gradient of every window at (i*s, j*s) for i < hz, j < wz, added onto an
// array of the stored input's shape in the default dtype.  `G` has the stored
// input's batch and channel counts.
template <class R>
Ref run_backward_in(Kind kind, const Ref& A, const Ref& G, npy_intp k, npy_intp s) {
  const npy_intp h = qb::dim(A, 2), w = qb::dim(A, 3), hz = qb::dim(G, 2), wz = qb::dim(G, 3);
  // The kernels write every entry of dA.
  if (hz == 0 || wz == 0) return qb::zeros_of<R>(qb::dims(A));
  Ref dA = qb::empty_of<R>(qb::dims(A));
  // A window that starts past the input is empty: it has no maximum.
  if (kind == Kind::Max && (k == 0 || hz - 1 >= (h + s - 1) / s || wz - 1 >= (w + s - 1) / s)) empty_max();
  if (qb::size(dA) == 0) return dA;
  Ref g = qb::to_real<R>(G, "dLdZ");
  Ref a = kind == Kind::Max ? qb::to_real<R>(A, "A") : Ref();
  qk::PoolShape shape{qb::mul_size(qb::dim(A, 0), qb::dim(A, 1)), h, w, k, s, hz, wz};
  qb::NoGil nogil;
  if (kind == Kind::Max)
    qk::Of<R>::max_backward(shape, qb::data_of<R>(a), qb::data_of<R>(g), qb::data_of<R>(dA));
  else
    qk::Of<R>::mean_backward(shape, qb::data_of<R>(g), qb::data_of<R>(dA));
  return dA;
}

Ref run_backward(Kind kind, const Ref& A, const Ref& G, npy_intp k, npy_intp s) {
  return QL_TYPED(run_backward_in, kind, A, G, k, s);
}

// ---------------------------------------------------------------- stride 1

Ref s1_init(PyObject* self, PyObject* kernel) {
  ql::check_arg(kernel, "kernel", 0);  // windows of side 0 are empty, not invalid
  qb::setattr(self, QB_ID(kernel), kernel);
  return {};
}

Ref s1_forward(Kind kind, PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  qb::expect_axes(A, 4, "A");
  qb::setattr(self, QB_ID(A), A);
  const npy_intp k = static_cast<npy_intp>(kernel_of(self, 0));
  const npy_intp ho = qb::dim(A, 2) - k + 1, wo = qb::dim(A, 3) - k + 1;
  if (ho < 0 || wo < 0) qb::fail(PyExc_ValueError, "negative dimensions are not allowed");
  // Windows of side 0 are empty: their maximum does not exist, their mean is NaN.
  if (k == 0 && kind == Kind::Max) empty_max();
  return run_forward(kind, A, k, 1, ho, wo);
}

Ref s1_backward(Kind kind, PyObject* self, PyObject* arg) {
  Ref G = qb::as_array(arg);
  qb::expect_axes(G, 4, "dLdZ");
  Ref stored = ql::stored(self, QB_ID(A));
  Ref A = qb::as_array(stored.get());
  qb::expect_axes(A, 4, "the stored input A");
  const npy_intp k = static_cast<npy_intp>(kernel_of(self, 0));
  const npy_intp nz = qb::dim(G, 0), cz = qb::dim(G, 1), hz = qb::dim(G, 2), wz = qb::dim(G, 3);
  const npy_intp na = qb::dim(A, 0), ca = qb::dim(A, 1);
  if (hz > 0 && wz > 0 && nz > 0 && cz > 0) {
    // Windows are cut from the stored input sample by sample, channel by channel.
    if (nz > na)
      qb::fail(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", static_cast<Py_ssize_t>(na),
               static_cast<Py_ssize_t>(na));
    if (cz > ca)
      qb::fail(PyExc_IndexError, "index %zd is out of bounds for axis 1 with size %zd", static_cast<Py_ssize_t>(ca),
               static_cast<Py_ssize_t>(ca));
  }
  if (nz == na && cz == ca) return run_backward(kind, A, G, k, 1);
  // A gradient for fewer samples or channels covers the leading ones.
  Ref part = qb::slice(A.get(), {{0, 0, nz, 1}, {1, 0, cz, 1}});
  Ref sub = run_backward(kind, part, G, k, 1);
  std::vector<npy_intp> d = qb::dims(A);
  d[0] = nz;
  Ref dA = qb::typed_zeros(d, ql::default_type());
  Ref lead = qb::slice(dA.get(), {{1, 0, cz, 1}});
  qb::check(PyArray_CopyInto(qb::arr(lead), qb::arr(sub)));
  return dA;
}

// ---------------------------------------------------------------- strided

Ref strided_init(Kind kind, PyObject* self, PyObject* kernel, PyObject* stride) {
  // Before the parts are built, so that a bad stride is reported as the
  // caller's stride and not as the downsampler's factor.
  ql::check_arg(kernel, "kernel", 0);
  ql::check_arg(stride, "stride", 1);
  qb::setattr(self, QB_ID(kernel), kernel);
  qb::setattr(self, QB_ID(stride), stride);
  Ref pool = qb::call(
      qb::global(g_module, kind == Kind::Max ? QB_ID(MaxPool2d_stride1) : QB_ID(MeanPool2d_stride1)).get(), {kernel});
  qb::setattr(self, kind == Kind::Max ? QB_ID(maxpool2d_stride1) : QB_ID(meanpool2d_stride1), pool);
  qb::setattr(self, QB_ID(downsample2d), qb::call(qb::global(g_module, QB_ID(Downsample2d)).get(), {stride}));
  return {};
}

template <class R>
Ref max_forward_mask_in(const Ref& A, const Ref& mask, npy_intp k, npy_intp s, npy_intp ho, npy_intp wo) {
  const bool work = k > 0 && qb::dim(A, 0) > 0 && qb::dim(A, 1) > 0 && ho > 0 && wo > 0;
  // The kernel writes every entry of Z (and of the mask).
  Ref Z = work ? qb::empty_of<R>({qb::dim(A, 0), qb::dim(A, 1), ho, wo})
               : qb::zeros_of<R>({qb::dim(A, 0), qb::dim(A, 1), ho, wo});
  if (work) {
    Ref a = qb::to_real<R>(A, "A");
    qk::PoolShape shape{qb::mul_size(qb::dim(A, 0), qb::dim(A, 1)), qb::dim(A, 2), qb::dim(A, 3), k, s, ho, wo};
    qb::NoGil nogil;
    qk::Of<R>::max_forward_mask(shape, qb::data_of<R>(a), qb::data_of<R>(Z),
                                static_cast<bool*>(PyArray_DATA(qb::arr(mask))));
  }
  return Z;
}

Ref strided_forward(Kind kind, PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  qb::expect_axes(A, 4, "A");
  qb::setattr(self, QB_ID(A), A);
  const npy_intp k = static_cast<npy_intp>(kernel_of(self, 0));
  const npy_intp s = static_cast<npy_intp>(stride_of(self));
  const npy_intp ho = windows(qb::dim(A, 2), k, s), wo = windows(qb::dim(A, 3), k, s);
  if (kind == Kind::Mean) return run_forward(kind, A, k, s, ho, wo);
  Ref mask = qb::check(PyArray_Zeros(4, PyArray_DIMS(qb::arr(A)), PyArray_DescrFromType(NPY_BOOL), 0));
  Ref Z = QL_TYPED(max_forward_mask_in, A, mask, k, s, ho, wo);
  qb::setattr(self, QB_ID(max_indices), mask);
  return Z;
}

Ref strided_backward(Kind kind, PyObject* self, PyObject* arg) {
  Ref G = qb::as_array(arg);
  qb::expect_axes(G, 4, "dLdZ");
  const npy_intp k = static_cast<npy_intp>(kernel_of(self, 0));
  const npy_intp s = static_cast<npy_intp>(stride_of(self));
  Ref stored = ql::stored(self, QB_ID(A));
  Ref A = qb::as_array(stored.get());
  qb::expect_axes(A, 4, "the stored input A");
  if (qb::dim(G, 0) != qb::dim(A, 0) || qb::dim(G, 1) != qb::dim(A, 1)) {
    // Each window's gradient broadcasts over the batch and channels.
    Ref shape = qb::shape_tuple({qb::dim(A, 0), qb::dim(A, 1), qb::dim(G, 2), qb::dim(G, 3)});
    G = qb::call(qb::numpy_attr(QB_ID(broadcast_to)).get(), {G.get(), shape.get()});
  }
  // dLdA is like np.zeros_like(A): float32 for float32 input; float64 for
  // integers, whose in-place update used to fail.  Under float32 it is float32.
  if (ql::single_precision()) return run_backward(kind, A, G, k, s);
  return qb::in_float_dtype_of(run_backward(kind, A, G, k, s), A.get());
}

// ---------------------------------------------------------------- module

const char* const DOC_FWD = QB_DOC("A (np.array): (batch_size, in_channels, input_width, input_height)",
                                   "Z (np.array): (batch_size, out_channels, output_width, output_height)");
const char* const DOC_BWD = QB_DOC("dLdZ (np.array): (batch_size, out_channels, output_width, output_height)",
                                   "dLdA (np.array): (batch_size, in_channels, input_width, input_height)");

const char* const DOC_MAX1 = R"(2-D max pooling over square windows, stride 1.

Z[n, c, i, j] is the maximum of the kernel x kernel window of A[n, c] at
(i, j), for every position where the window fits.  backward gives each
window's gradient to every position that equals its maximum (ties all
receive it); overlapping windows add up.

Arguments:
    kernel (int): side of the windows (not negative).

Attributes:
    kernel: the window side.
    A: the last input, kept by forward for backward.

Example:
    >>> pool = MaxPool2d_stride1(kernel=2)
    >>> pool.forward(np.ones((4, 3, 8, 8))).shape
    (4, 3, 7, 7))";

const char* const DOC_MEAN1 = R"(2-D mean pooling over square windows, stride 1.

Z[n, c, i, j] is the mean of the kernel x kernel window of A[n, c] at (i, j),
for every position where the window fits.  backward spreads each window's
gradient evenly over it; overlapping windows add up.

Arguments:
    kernel (int): side of the windows (not negative).

Attributes:
    kernel: the window side.
    A: the last input, kept by forward for backward.

Example:
    >>> pool = MeanPool2d_stride1(kernel=2)
    >>> pool.forward(np.ones((4, 3, 8, 8))).shape
    (4, 3, 7, 7))";

const char* const DOC_MAX = R"(2-D max pooling over square windows moving by a stride.

Output extent on each axis: (n - kernel) // stride + 1.  forward also
records in max_indices, for every input position, whether it equals the
maximum of the last window that covers it.

Arguments:
    kernel (int): side of the windows (not negative).
    stride (int): distance between windows on both axes (at least 1).

Attributes:
    kernel, stride: the hyper-parameters.
    maxpool2d_stride1, downsample2d: parts built at construction (the
        strided computation is done directly).
    A, max_indices: kept by forward for backward.

Example:
    >>> pool = MaxPool2d(kernel=2, stride=2)
    >>> pool.forward(np.ones((4, 3, 8, 8))).shape
    (4, 3, 4, 4))";

const char* const DOC_MEAN = R"(2-D mean pooling over square windows moving by a stride.

Output extent on each axis: (n - kernel) // stride + 1.

Arguments:
    kernel (int): side of the windows (not negative).
    stride (int): distance between windows on both axes (at least 1).

Attributes:
    kernel, stride: the hyper-parameters.
    meanpool2d_stride1, downsample2d: parts built at construction (the
        strided computation is done directly).
    A: the last input, kept by forward for backward.

Example:
    >>> pool = MeanPool2d(kernel=3, stride=2)
    >>> pool.forward(np.ones((4, 3, 9, 9))).shape
    (4, 3, 4, 4))";

Ref s1_repr(PyObject* self) { return ql::repr_call(self, {{"kernel", "kernel"}}); }
Ref strided_repr(PyObject* self) { return ql::repr_call(self, {{"kernel", "kernel"}, {"stride", "stride"}}); }

template <Kind K>
Ref s1_forward_of(PyObject* self, PyObject* A) {
  return s1_forward(K, self, A);
}
template <Kind K>
Ref s1_backward_of(PyObject* self, PyObject* dLdZ) {
  return s1_backward(K, self, dLdZ);
}
template <Kind K>
Ref strided_init_of(PyObject* self, PyObject* kernel, PyObject* stride) {
  return strided_init(K, self, kernel, stride);
}
template <Kind K>
Ref strided_forward_of(PyObject* self, PyObject* A) {
  return strided_forward(K, self, A);
}
template <Kind K>
Ref strided_backward_of(PyObject* self, PyObject* dLdZ) {
  return strided_backward(K, self, dLdZ);
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.pool", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_pool() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::star_import(m, {"quillet.nn.resampling"});
    g_module = m;
    qb::make_class(m, "MaxPool2d_stride1", DOC_MAX1,
                   {{"__init__", "kernel", nullptr, s1_init},
                    {"forward", "A", DOC_FWD, s1_forward_of<Kind::Max>},
                    {"__call__", "A", DOC_FWD, s1_forward_of<Kind::Max>},
                    {"backward", "dLdZ", DOC_BWD, s1_backward_of<Kind::Max>},
                    {"__repr__", "", nullptr, s1_repr}});
    qb::make_class(m, "MeanPool2d_stride1", DOC_MEAN1,
                   {{"__init__", "kernel", nullptr, s1_init},
                    {"forward", "A", DOC_FWD, s1_forward_of<Kind::Mean>},
                    {"__call__", "A", DOC_FWD, s1_forward_of<Kind::Mean>},
                    {"backward", "dLdZ", DOC_BWD, s1_backward_of<Kind::Mean>},
                    {"__repr__", "", nullptr, s1_repr}});
    qb::make_class(m, "MaxPool2d", DOC_MAX,
                   {{"__init__", "kernel, stride", nullptr, strided_init_of<Kind::Max>},
                    {"forward", "A", DOC_FWD, strided_forward_of<Kind::Max>},
                    {"__call__", "A", DOC_FWD, strided_forward_of<Kind::Max>},
                    {"backward", "dLdZ", DOC_BWD, strided_backward_of<Kind::Max>},
                    {"__repr__", "", nullptr, strided_repr}});
    qb::make_class(m, "MeanPool2d", DOC_MEAN,
                   {{"__init__", "kernel, stride", nullptr, strided_init_of<Kind::Mean>},
                    {"forward", "A", DOC_FWD, strided_forward_of<Kind::Mean>},
                    {"__call__", "A", DOC_FWD, strided_forward_of<Kind::Mean>},
                    {"backward", "dLdZ", DOC_BWD, strided_backward_of<Kind::Mean>},
                    {"__repr__", "", nullptr, strided_repr}});
  });
}
