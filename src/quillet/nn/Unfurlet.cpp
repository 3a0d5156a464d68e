// quillet.nn.Unfurlet: transposed convolutions, an upsampler followed by a
// stride-1 convolution, in one and two dimensions.
//
// With the stock parts the layers leave on them exactly the state the parts'
// own passes would (the upsampled input on the convolution, its gradients),
// but never multiply the zeros the upsampler inserts: a stride-1 convolution
// over an input upsampled by f is the transpose of a stride-f convolution, so
// forward runs the input-gradient kernel of that strided convolution on the
// compact input, and backward runs its forward and weight-gradient kernels on
// the padded output gradient.  That is f (f^2 in two dimensions) times less
// arithmetic.  Other parts (subclasses, replacements) are driven through their
// methods.
#include "kernels/api.hpp"
#include "layer/conv.hpp"

using qb::Ref;

namespace {

PyObject* g_module = nullptr;

Ref part(PyObject* cls_name, std::initializer_list<PyObject*> args) {
  Ref cls = qb::global(g_module, cls_name);
  return qb::call(cls.get(), args);
}

// Both checked before a part is built, so a refused argument leaves no
// weights drawn and no initialiser called.
void check_args(PyObject* kernel_size, PyObject* factor) {
  ql::check_arg(kernel_size, "kernel_size", 1);
  ql::check_arg(factor, "upsampling_factor", 1);
}

Ref u1_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size, PyObject* factor,
            PyObject* weight_init_fn, PyObject* bias_init_fn) {
  check_args(kernel_size, factor);
  qb::setattr(self, QB_ID(upsampling_factor), factor);
  qb::setattr(self, QB_ID(upsample1d), part(QB_ID(Upsample1d), {factor}));
  qb::setattr(self, QB_ID(lintrel_stride1),
              part(QB_ID(Lintrel_stride1), {in_channels, out_channels, kernel_size, weight_init_fn, bias_init_fn}));
  return {};
}

Ref u2_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size, PyObject* factor,
            PyObject* weight_init_fn, PyObject* bias_init_fn) {
  check_args(kernel_size, factor);
  qb::setattr(self, QB_ID(upsampling_factor), factor);
  qb::setattr(self, QB_ID(plantrel_stride1),
              part(QB_ID(Plantrel_stride1), {in_channels, out_channels, kernel_size, weight_init_fn, bias_init_fn}));
  qb::setattr(self, QB_ID(upsample2d), part(QB_ID(Upsample2d), {factor}));
  return {};
}

// ---------------------------------------------------------------- the fused passes

struct Parts {
  int dims;  // 1 or 2
  Ref up, conv;
  bool stock() const { return (dims == 1 ? ql::Conv<1>::layer : ql::Conv<2>::layer).stock_transposed(up, conv); }
};

// Spatial extents of an array of 3 (one row) or 4 axes.
void extents(const Ref& a, int dims, npy_intp* h, npy_intp* w) {
  *h = dims == 2 ? qb::dim(a, 2) : 1;
  *w = qb::dim(a, dims + 1);
}

std::vector<npy_intp> shape_of(int dims, npy_intp n, npy_intp c, npy_intp h, npy_intp w) {
  return dims == 2 ? std::vector<npy_intp>{n, c, h, w} : std::vector<npy_intp>{n, c, w};
}

// Each pass computes in R, the default dtype at the call (float64 or float32).

// Z from the compact input, or an empty Ref when the general route must run
// (degenerate extents, shapes the parts would reject: their errors come from
// their own passes).
template <class R>
Ref fused_forward_in(const Parts& parts, const Ref& A, const Ref& U, npy_intp f) {
  const int dims = parts.dims;
  PyObject* s1 = parts.conv.get();
  const npy_intp n = qb::dim(U, 0), c = qb::dim(U, 1);
  npy_intp h, w, hu, wu;
  extents(A, dims, &h, &w);
  extents(U, dims, &hu, &wu);
  if (!ql::attr_equals(s1, QB_ID(in_channels), c)) return {};
  const npy_intp o = ql::int_attr(s1, QB_ID(out_channels)), k = ql::int_attr(s1, QB_ID(kernel_size), 1);
  const npy_intp kh = dims == 2 ? k : 1, hz = hu - kh + 1, wz = wu - k + 1;
  if (n == 0 || c == 0 || o <= 0 || k <= 0 || hz <= 0 || wz <= 0) return {};
  Ref Wv = qb::getattr(s1, QB_ID(W));
  Ref Wa = qb::as_array(Wv.get());
  if (qb::dims(Wa) != (dims == 2 ? std::vector<npy_intp>{o, c, k, k} : std::vector<npy_intp>{o, c, k})) return {};
  Ref W = qb::to_real<R>(Wa, "W");
  std::vector<R> b = ql::bias_as<R>(s1, QB_ID(b), o);
  Ref a = qb::to_real<R>(A, "A");
  qb::setattr(s1, QB_ID(A), U);
  Ref Z = qb::empty_of<R>(shape_of(dims, n, o, hz, wz));
  const qk::TransposedShape t{n, c, o, h, w, kh, k, dims == 2 ? f : 1, f};
  {
    qb::NoGil nogil;
    qk::Of<R>::transposed_forward(t, qb::data_of<R>(a), qb::data_of<R>(W), b.data(), qb::data_of<R>(Z), &qb::gemm<R>);
  }
  return Z;
}

// dLdA from the output gradient, or an empty Ref for the general route.
template <class R>
Ref fused_backward_in(const Parts& parts, PyObject* arg) {
  const int dims = parts.dims;
  PyObject* s1 = parts.conv.get();
  Ref G = qb::as_array(arg);
  if (qb::ndim(G) != dims + 2) return {};
  Ref stored = ql::stored(s1, QB_ID(A));
  Ref U = qb::as_array(stored.get());
  if (qb::ndim(U) != dims + 2) return {};
  const npy_intp f = static_cast<npy_intp>(ql::factor_attr(parts.up.get(), QB_ID(upsampling_factor), 1));
  const npy_intp n = qb::dim(U, 0), c = qb::dim(U, 1);
  npy_intp hu, wu;
  extents(U, dims, &hu, &wu);
  const npy_intp o = ql::int_attr(s1, QB_ID(out_channels)), k = ql::int_attr(s1, QB_ID(kernel_size), 1);
  const npy_intp kh = dims == 2 ? k : 1, hz = hu - kh + 1, wz = wu - k + 1;
  if (n == 0 || c == 0 || o <= 0 || k <= 0 || hz <= 0 || wz <= 0 || (hu - 1) % f || (wu - 1) % f) return {};
  if (qb::dims(G) != shape_of(dims, n, o, hz, wz) || !ql::attr_equals(s1, QB_ID(in_channels), c) ||
      !ql::attr_equals(s1, QB_ID(out_channels), qb::dim(G, 1)))
    return {};
  const npy_intp h = (hu - 1) / f + 1, w = (wu - 1) / f + 1;
  if (dims == 1) {
    // The one-dimensional upsampler gives back as many columns as its input had.
    Ref up_in = qb::getattr(parts.up.get(), QB_ID(A));
    Ref up_shape = qb::getattr(up_in.get(), QB_ID(shape));
    if (qb::len(up_shape.get()) != 3) return {};
    Ref width = qb::check(PySequence_GetItem(up_shape.get(), 2));
    if (!PyIndex_Check(width.get()) || qb::as_index(width.get()) != w) return {};
  }
  Ref Wv = qb::getattr(s1, QB_ID(W));
  Ref Wa = qb::as_array(Wv.get());
  if (qb::dims(Wa) != (dims == 2 ? std::vector<npy_intp>{o, c, k, k} : std::vector<npy_intp>{o, c, k})) return {};
  Ref W = qb::to_real<R>(Wa, "W");
  Ref u = qb::to_real<R>(U, "A");
  Ref g = qb::to_real<R>(G, "dLdZ");
  // The stored input must be an upsampled one (zero off the grid), or the
  // shortcut would not be the same computation.
  const qk::TransposedShape t{n, c, o, h, w, kh, k, dims == 2 ? f : 1, f};
  bool on_grid = true;
  {
    qb::NoGil nogil;
    on_grid = qk::Of<R>::zero_off_grid(qb::data_of<R>(u), n * c, hu, wu, t.fh, t.fw);
  }
  if (!on_grid) return {};
  Ref dA = qb::empty_of<R>(shape_of(dims, n, c, h, w));
  Ref dW = qb::empty_of<R>(qb::dims(W));
  Ref db = qb::empty_of<R>({o});
  {
    qb::NoGil nogil;
    qk::Of<R>::transposed_backward(t, qb::data_of<R>(u), qb::data_of<R>(W), qb::data_of<R>(g), qb::data_of<R>(dA),
                                   qb::data_of<R>(dW), qb::data_of<R>(db), &qb::gemm<R>);
  }
  if (dims == 1) {
    // One-dimensional gradients are replaced (made like np.zeros_like of the
    // parameters), two-dimensional ones accumulate.
    ql::replace_grad(s1, QB_ID(dLdW), dW, QB_ID(W));
    ql::replace_grad(s1, QB_ID(dLdb), db, QB_ID(b));
  } else {
    ql::add_grad(s1, QB_ID(dLdW), dW);
    ql::add_grad(s1, QB_ID(dLdb), db);
  }
  return dA;
}

Ref fused_forward(const Parts& parts, const Ref& A, const Ref& U, npy_intp f) {
  return QL_TYPED(fused_forward_in, parts, A, U, f);
}

Ref fused_backward(const Parts& parts, PyObject* arg) { return QL_TYPED(fused_backward_in, parts, arg); }

Ref forward_through(PyObject* self, int dims, PyObject* A_arg) {
  Parts parts{dims, qb::getattr(self, dims == 1 ? QB_ID(upsample1d) : QB_ID(upsample2d)), Ref()};
  Ref upsampled = qb::call_method(parts.up.get(), QB_ID(forward), {A_arg});
  if (dims == 2) {
    Ref label = qb::str("upsampling_factor");
    qb::print({label.get(), qb::getattr(self, QB_ID(upsampling_factor)).get()});
  }
  parts.conv = qb::getattr(self, dims == 1 ? QB_ID(lintrel_stride1) : QB_ID(plantrel_stride1));
  if (parts.stock()) {
    Ref A = qb::as_array(A_arg);
    Ref U = qb::as_array(upsampled.get());
    const npy_intp f = static_cast<npy_intp>(ql::factor_attr(parts.up.get(), QB_ID(upsampling_factor), 1));
    if (Ref Z = fused_forward(parts, A, U, f)) return Z;
  }
  return qb::call_method(parts.conv.get(), QB_ID(forward), {upsampled.get()});
}

Ref backward_through(PyObject* self, int dims, PyObject* dLdZ) {
  Parts parts{dims, qb::getattr(self, dims == 1 ? QB_ID(upsample1d) : QB_ID(upsample2d)),
              qb::getattr(self, dims == 1 ? QB_ID(lintrel_stride1) : QB_ID(plantrel_stride1))};
  if (parts.stock())
    if (Ref dA = fused_backward(parts, dLdZ)) return dA;
  Ref delta = qb::call_method(parts.conv.get(), QB_ID(backward), {dLdZ});
  return qb::call_method(parts.up.get(), QB_ID(backward), {delta.get()});
}

const char* const INIT_PARAMS =
    "in_channels, out_channels, kernel_size, upsampling_factor, weight_init_fn=None, bias_init_fn=None";

template <int D>
Ref forward_of(PyObject* self, PyObject* A) {
  return forward_through(self, D, A);
}
template <int D>
Ref backward_of(PyObject* self, PyObject* dLdZ) {
  return backward_through(self, D, dLdZ);
}

const char* const DOC_1D = R"(1-D transposed convolution: upsampling by zero insertion, then a stride-1 convolution.

The input is upsampled by `upsampling_factor` (the part upsample1d: k - 1
zeros between neighbouring samples) and convolved by the part
lintrel_stride1; the inserted zeros are never multiplied.  Output width:
(width - 1) upsampling_factor + 1 - kernel_size + 1.

Arguments:
    in_channels, out_channels, kernel_size: as for Lintrel_stride1.
    upsampling_factor (int): the factor k (at least 1).
    weight_init_fn, bias_init_fn: as for Lintrel_stride1.

Attributes:
    upsample1d: the upsampler.
    lintrel_stride1: the convolution, which holds W, b, dLdW, dLdb and A
        (the upsampled input).
    upsampling_factor: the factor.

Example:
    >>> up = Unfurlet1d(4, 2, kernel_size=3, upsampling_factor=2)
    >>> up.forward(np.ones((8, 4, 16))).shape
    (8, 2, 29))";

const char* const DOC_2D = R"(2-D transposed convolution: upsampling by zero insertion, then a stride-1 convolution.

Both spatial axes are upsampled by `upsampling_factor` (the part upsample2d)
and the result is convolved by the part plantrel_stride1; the inserted zeros
are never multiplied.  Output extent on each axis:
(n - 1) upsampling_factor + 1 - kernel_size + 1.  forward prints the line
"upsampling_factor k" each time it runs.

Arguments:
    in_channels, out_channels, kernel_size: as for Plantrel_stride1.
    upsampling_factor (int): the factor k (at least 1).
    weight_init_fn, bias_init_fn: as for Plantrel_stride1.

Attributes:
    plantrel_stride1: the convolution, which holds W, b, dLdW, dLdb and A
        (the upsampled input).
    upsample2d: the upsampler.
    upsampling_factor: the factor.

Example:
    >>> up = Unfurlet2d(4, 2, kernel_size=3, upsampling_factor=2)
    >>> up.forward(np.ones((8, 4, 16, 16))).shape
    upsampling_factor 2
    (8, 2, 29, 29))";

template <int D>
Ref repr_of(PyObject* self) {
  const char* in = D == 1 ? "lintrel_stride1.in_channels" : "plantrel_stride1.in_channels";
  const char* out = D == 1 ? "lintrel_stride1.out_channels" : "plantrel_stride1.out_channels";
  const char* k = D == 1 ? "lintrel_stride1.kernel_size" : "plantrel_stride1.kernel_size";
  return ql::repr_call(
      self,
      {{"in_channels", in}, {"out_channels", out}, {"kernel_size", k}, {"upsampling_factor", "upsampling_factor"}});
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.Unfurlet", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Unfurlet() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::star_import(m, {"quillet.nn.resampling", "quillet.nn.Lintrel", "quillet.nn.Plantrel"});
    g_module = m;
    ql::Conv<1>::layer.capture(m, qb::global(m, QB_ID(Lintrel_stride1)).get());
    ql::Conv<2>::layer.capture(m, qb::global(m, QB_ID(Plantrel_stride1)).get());
    qb::make_class(m, "Unfurlet1d", DOC_1D,
                   {{"__init__", INIT_PARAMS, nullptr, u1_init},
                    {"forward", "A",
                     QB_DOC("A (np.array): (batch_size, in_channels, input_size)",
                            "Z (np.array): (batch_size, out_channels, output_size)"),
                     forward_of<1>},
                    {"__call__", "A",
                     QB_DOC("A (np.array): (batch_size, in_channels, input_size)",
                            "Z (np.array): (batch_size, out_channels, output_size)"),
                     forward_of<1>},
                    {"backward", "dLdZ",
                     QB_DOC("dLdZ (np.array): (batch_size, out_channels, output_size)",
                            "dLdA (np.array): (batch_size, in_channels, input_size)"),
                     backward_of<1>},
                    {"__repr__", "", nullptr, repr_of<1>}});
    qb::make_class(m, "Unfurlet2d", DOC_2D,
                   {{"__init__", INIT_PARAMS, nullptr, u2_init},
                    {"forward", "A",
                     QB_DOC("A (np.array): (batch_size, in_channels, input_height, input_width)",
                            "Z (np.array): (batch_size, out_channels, output_height, output_width)"),
                     forward_of<2>},
                    {"__call__", "A",
                     QB_DOC("A (np.array): (batch_size, in_channels, input_height, input_width)",
                            "Z (np.array): (batch_size, out_channels, output_height, output_width)"),
                     forward_of<2>},
                    {"backward", "dLdZ",
                     QB_DOC("dLdZ (np.array): (batch_size, out_channels, output_height, output_width)",
                            "dLdA (np.array): (batch_size, in_channels, input_height, input_width)"),
                     backward_of<2>},
                    {"__repr__", "", nullptr, repr_of<2>}});
  });
}
