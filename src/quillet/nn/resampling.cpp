// quillet.nn.resampling: integer-factor up- and downsampling in one and two
// dimensions.  Downsampling forward and the 2-D upsampling backward are numpy
// views of their argument; everything else returns new arrays in the default
// dtype (float64, or float32 under quillet.default_dtype(np.float32)).
#include "kernels/api.hpp"
#include "layer/layer.hpp"

using qb::Ref;

namespace {

long long upsampling_factor(PyObject* self) { return ql::factor_attr(self, QB_ID(upsampling_factor), 1); }
long long downsampling_factor(PyObject* self) { return ql::factor_attr(self, QB_ID(downsampling_factor), 1); }

// (n - 1) * k + 1 with overflow checked; an empty axis upsampled by k > 1
// would have 1 - k samples, which NumPy refuses.
npy_intp upsampled(npy_intp n, long long k) {
  if (n == 0) {
    if (k > 1) qb::fail(PyExc_ValueError, "negative dimensions are not allowed");
    return 0;
  }
  return qb::add_size(qb::mul_size(n - 1, static_cast<npy_intp>(k)), 1);
}
npy_intp kept(npy_intp n, long long k) { return n == 0 ? 0 : (n - 1) / static_cast<npy_intp>(k) + 1; }

[[noreturn]] void out_of_bounds(npy_intp index, int axis, npy_intp size) {
  qb::fail(PyExc_IndexError, "index %zd is out of bounds for axis %d with size %zd", static_cast<Py_ssize_t>(index),
           axis, static_cast<Py_ssize_t>(size));
}

// ---------------------------------------------------------------- Upsample1d

Ref up_init(PyObject* self, PyObject* k) {
  ql::check_arg(k, "upsampling_factor", 1);
  qb::setattr(self, QB_ID(upsampling_factor), k);
  return {};
}

template <class R>
Ref up1_forward_in(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  qb::setattr(self, QB_ID(A), A);
  qb::expect_axes(A, 3, "A");
  const long long k = upsampling_factor(self);
  Ref a = qb::to_real<R>(A, "A");
  const npy_intp n = qb::dim(a, 0), c = qb::dim(a, 1), w = qb::dim(a, 2);
  Ref Z = qb::empty_of<R>({n, c, upsampled(w, k)});
  {
    qb::NoGil nogil;
    qk::Of<R>::spread(qb::data_of<R>(a), qb::data_of<R>(Z), n * c, 1, w, 1, qb::dim(Z, 2), k);
  }
  return Z;
}
Ref up1_forward(PyObject* self, PyObject* arg) { return QL_TYPED(up1_forward_in, self, arg); }

template <class R>
Ref up1_backward_in(PyObject* self, PyObject* arg) {
  Ref G = qb::as_array(arg);
  qb::expect_axes(G, 3, "dLdZ");
  const long long k = upsampling_factor(self);
  // input_width = self.A.shape[2]
  Ref stored = ql::stored(self, QB_ID(A));
  Ref shape = qb::getattr(stored.get(), QB_ID(shape));
  Ref width = qb::check(PySequence_GetItem(shape.get(), 2));
  const npy_intp w = static_cast<npy_intp>(ql::factor(width.get(), "input width", 0));
  Ref g = qb::to_real<R>(G, "dLdZ");
  const npy_intp n = qb::dim(g, 0), c = qb::dim(g, 1), wz = qb::dim(g, 2);
  // Column i*k of dLdZ must exist for every input column i.
  if (w > 0 && (w - 1) > (wz - 1) / k) out_of_bounds(((wz + k - 1) / k) * k, 2, wz);
  if (w > 0 && wz == 0) out_of_bounds(0, 2, 0);
  Ref dA = qb::empty_of<R>({n, c, w});
  {
    qb::NoGil nogil;
    qk::Of<R>::pick(qb::data_of<R>(g), qb::data_of<R>(dA), n * c, 1, wz, 1, w, k);
  }
  return dA;
}
Ref up1_backward(PyObject* self, PyObject* arg) { return QL_TYPED(up1_backward_in, self, arg); }

// ---------------------------------------------------------------- Downsample1d

Ref down_init(PyObject* self, PyObject* k) {
  ql::check_arg(k, "downsampling_factor", 1);
  qb::setattr(self, QB_ID(downsampling_factor), k);
  return {};
}

Ref down1_forward(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  qb::expect_axes(A, 3, "A");
  const long long k = downsampling_factor(self);
  qb::setattr(self, QB_ID(w_in), qb::py_int(qb::dim(A, 2)));
  return qb::slice(A.get(), {{2, qb::OPEN_LO, qb::OPEN_HI, static_cast<Py_ssize_t>(k)}});
}

template <class R>
Ref down1_backward_in(PyObject* self, PyObject* arg) {
  Ref G = qb::as_array(arg);
  qb::expect_axes(G, 3, "dLdZ");
  const long long k = downsampling_factor(self);
  const npy_intp w = ql::stored_size(self, QB_ID(w_in));
  Ref g = qb::to_real<R>(G, "dLdZ");
  const npy_intp n = qb::dim(g, 0), c = qb::dim(g, 1), wz = qb::dim(g, 2);
  if (wz > kept(w, k)) out_of_bounds(kept(w, k) * k, 2, w);
  Ref dA = qb::empty_of<R>({n, c, w});
  {
    qb::NoGil nogil;
    qk::Of<R>::spread(qb::data_of<R>(g), qb::data_of<R>(dA), n * c, 1, wz, 1, w, k);
  }
  return dA;
}
Ref down1_backward(PyObject* self, PyObject* arg) { return QL_TYPED(down1_backward_in, self, arg); }

// ---------------------------------------------------------------- Upsample2d

template <class R>
Ref up2_forward_in(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  qb::expect_axes(A, 4, "A");
  const long long k = upsampling_factor(self);
  Ref a = qb::to_real<R>(A, "A");
  const npy_intp n = qb::dim(a, 0), c = qb::dim(a, 1), h = qb::dim(a, 2), w = qb::dim(a, 3);
  const npy_intp ho = upsampled(h, k), wo = upsampled(w, k);
  Ref Z = qb::empty_of<R>({n, c, ho, wo});
  {
    qb::NoGil nogil;
    qk::Of<R>::spread(qb::data_of<R>(a), qb::data_of<R>(Z), qb::mul_size(n, c), h, w, ho, wo, k);
  }
  return Z;
}
Ref up2_forward(PyObject* self, PyObject* arg) { return QL_TYPED(up2_forward_in, self, arg); }

Ref up2_backward(PyObject* self, PyObject* arg) {
  Ref G = qb::as_array(arg);
  qb::expect_axes(G, 4, "dLdZ");
  const Py_ssize_t k = static_cast<Py_ssize_t>(upsampling_factor(self));
  return qb::slice(G.get(), {{2, qb::OPEN_LO, qb::OPEN_HI, k}, {3, qb::OPEN_LO, qb::OPEN_HI, k}});
}

// ---------------------------------------------------------------- Downsample2d

Ref down2_forward(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  qb::expect_axes(A, 4, "A");
  const Py_ssize_t k = static_cast<Py_ssize_t>(downsampling_factor(self));
  qb::setattr(self, QB_ID(input_width), qb::py_int(qb::dim(A, 3)));
  qb::setattr(self, QB_ID(input_height), qb::py_int(qb::dim(A, 2)));
  return qb::slice(A.get(), {{2, qb::OPEN_LO, qb::OPEN_HI, k}, {3, qb::OPEN_LO, qb::OPEN_HI, k}});
}

template <class R>
Ref down2_backward_in(PyObject* self, PyObject* arg) {
  Ref G = qb::as_array(arg);
  qb::expect_axes(G, 4, "dLdZ");
  const long long k = downsampling_factor(self);
  const npy_intp h = ql::stored_size(self, QB_ID(input_height));
  const npy_intp w = ql::stored_size(self, QB_ID(input_width));
  Ref g = qb::to_real<R>(G, "dLdZ");
  const npy_intp n = qb::dim(g, 0), c = qb::dim(g, 1), hz = qb::dim(g, 2), wz = qb::dim(g, 3);
  const bool exact = hz == kept(h, k) && wz == kept(w, k);
  // The kernel writes every entry; numpy's broadcasting assignment only the grid.
  Ref dA = exact ? qb::empty_of<R>({n, c, h, w}) : qb::zeros_of<R>({n, c, h, w});
  if (exact) {
    qb::NoGil nogil;
    qk::Of<R>::spread(qb::data_of<R>(g), qb::data_of<R>(dA), qb::mul_size(n, c), hz, wz, h, w, k);
  } else {
    // Shapes that only broadcast onto the kept grid (or not at all): numpy's
    // own assignment gives the broadcast and its error message.
    const Py_ssize_t s = static_cast<Py_ssize_t>(k);
    Ref grid = qb::slice(dA.get(), {{2, qb::OPEN_LO, qb::OPEN_HI, s}, {3, qb::OPEN_LO, qb::OPEN_HI, s}});
    qb::check(PyArray_CopyInto(qb::arr(grid), qb::arr(g)));
  }
  return dA;
}
Ref down2_backward(PyObject* self, PyObject* arg) { return QL_TYPED(down2_backward_in, self, arg); }

// ---------------------------------------------------------------- module

const char* const DOC_UP1 = R"(1-D upsampling by zero insertion.

Z[n, c, i k] = A[n, c, i] with k - 1 zeros between neighbouring samples and
none after the last: width w becomes (w - 1) k + 1.  backward picks every
k-th gradient.

Arguments:
    upsampling_factor (int): the factor k (at least 1, checked at construction and
        whenever the layer is used).

Attributes:
    upsampling_factor: the factor.
    A: the last input, kept by forward for backward.

Example:
    >>> Upsample1d(3).forward(np.ones((2, 4, 5))).shape
    (2, 4, 13))";

const char* const DOC_DOWN1 = R"(1-D downsampling: every k-th sample, starting with the first.

forward returns a view of its argument (A[:, :, ::k]); backward puts the
gradient back on those positions, zeros elsewhere.

Arguments:
    downsampling_factor (int): the factor k (at least 1, checked at construction and
        whenever the layer is used).

Attributes:
    downsampling_factor: the factor.
    w_in: the width of the last input, kept by forward for backward.

Example:
    >>> Downsample1d(2).forward(np.ones((2, 4, 9))).shape
    (2, 4, 5))";

const char* const DOC_UP2 = R"(2-D upsampling by zero insertion on both spatial axes.

Rows and columns each get k - 1 zeros between neighbours: h x w becomes
((h - 1) k + 1) x ((w - 1) k + 1).  backward returns a view of its argument
(dLdZ[:, :, ::k, ::k]).

Arguments:
    upsampling_factor (int): the factor k (at least 1, checked at construction and
        whenever the layer is used).

Attributes:
    upsampling_factor: the factor.

Example:
    >>> Upsample2d(2).forward(np.ones((2, 4, 3, 5))).shape
    (2, 4, 5, 9))";

const char* const DOC_DOWN2 = R"(2-D downsampling: every k-th row and column, starting with the first.

forward returns a view of its argument (A[:, :, ::k, ::k]); backward puts
the gradient back on those positions, zeros elsewhere.

Arguments:
    downsampling_factor (int): the factor k (at least 1, checked at construction and
        whenever the layer is used).

Attributes:
    downsampling_factor: the factor.
    input_height, input_width: the extents of the last input, kept by
        forward for backward.

Example:
    >>> Downsample2d(2).forward(np.ones((2, 4, 5, 9))).shape
    (2, 4, 3, 5))";

Ref up_repr(PyObject* self) { return ql::repr_call(self, {{"upsampling_factor", "upsampling_factor"}}); }
Ref down_repr(PyObject* self) { return ql::repr_call(self, {{"downsampling_factor", "downsampling_factor"}}); }

const char* const DOC_1D_FWD = QB_DOC("A (np.array): (batch_size, in_channels, input_width)",
                                      "Z (np.array): (batch_size, in_channels, output_width)");
const char* const DOC_1D_BWD = QB_DOC("dLdZ (np.array): (batch_size, in_channels, output_width)",
                                      "dLdA (np.array): (batch_size, in_channels, input_width)");
const char* const DOC_2D_FWD = QB_DOC("A (np.array): (batch_size, in_channels, input_height, input_width)",
                                      "Z (np.array): (batch_size, in_channels, output_height, output_width)");
const char* const DOC_2D_BWD = QB_DOC("dLdZ (np.array): (batch_size, in_channels, output_height, output_width)",
                                      "dLdA (np.array): (batch_size, in_channels, input_height, input_width)");

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.resampling", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_resampling() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::make_class(m, "Upsample1d", DOC_UP1,
                   {{"__init__", "upsampling_factor", nullptr, up_init},
                    {"forward", "A", DOC_1D_FWD, up1_forward},
                    {"__call__", "A", DOC_1D_FWD, up1_forward},
                    {"backward", "dLdZ", DOC_1D_BWD, up1_backward},
                    {"__repr__", "", nullptr, up_repr}});
    qb::make_class(m, "Downsample1d", DOC_DOWN1,
                   {{"__init__", "downsampling_factor", nullptr, down_init},
                    {"forward", "A", DOC_1D_FWD, down1_forward},
                    {"__call__", "A", DOC_1D_FWD, down1_forward},
                    {"backward", "dLdZ", DOC_1D_BWD, down1_backward},
                    {"__repr__", "", nullptr, down_repr}});
    qb::make_class(m, "Upsample2d", DOC_UP2,
                   {{"__init__", "upsampling_factor", nullptr, up_init},
                    {"forward", "A", DOC_2D_FWD, up2_forward},
                    {"__call__", "A", DOC_2D_FWD, up2_forward},
                    {"backward", "dLdZ", DOC_2D_BWD, up2_backward},
                    {"__repr__", "", nullptr, up_repr}});
    qb::make_class(m, "Downsample2d", DOC_DOWN2,
                   {{"__init__", "downsampling_factor", nullptr, down_init},
                    {"forward", "A", DOC_2D_FWD, down2_forward},
                    {"__call__", "A", DOC_2D_FWD, down2_forward},
                    {"backward", "dLdZ", DOC_2D_BWD, down2_backward},
                    {"__repr__", "", nullptr, down_repr}});
  });
}
