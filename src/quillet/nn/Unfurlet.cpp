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
#include <algorithm>
#include <atomic>

#include "bind/bind.hpp"
#include "kernels/conv.hpp"
#include "kernels/parallel.hpp"

using qb::Ref;

namespace {

PyObject* g_module = nullptr;
qb::StockMethods g_stride1[2];   // Lintrel_stride1, Plantrel_stride1
qb::StockMethods g_upsample[2];  // Upsample1d, Upsample2d

Ref part(PyObject* cls_name, std::initializer_list<PyObject*> args) {
  Ref cls = qb::global(g_module, cls_name);
  return qb::call(cls.get(), args);
}

PyObject* or_none(PyObject* o) { return o ? o : Py_None; }

Ref u1_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size, PyObject* factor,
            PyObject* weight_init_fn, PyObject* bias_init_fn) {
  qb::setattr(self, QB_ID(upsampling_factor), factor);
  qb::setattr(self, QB_ID(upsample1d), part(QB_ID(Upsample1d), {factor}));
  qb::setattr(self, QB_ID(lintrel_stride1), part(QB_ID(Lintrel_stride1), {in_channels, out_channels, kernel_size,
                                                                          or_none(weight_init_fn),
                                                                          or_none(bias_init_fn)}));
  return {};
}

Ref u2_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size, PyObject* factor,
            PyObject* weight_init_fn, PyObject* bias_init_fn) {
  qb::setattr(self, QB_ID(upsampling_factor), factor);
  qb::setattr(self, QB_ID(plantrel_stride1), part(QB_ID(Plantrel_stride1), {in_channels, out_channels, kernel_size,
                                                                            or_none(weight_init_fn),
                                                                            or_none(bias_init_fn)}));
  qb::setattr(self, QB_ID(upsample2d), part(QB_ID(Upsample2d), {factor}));
  return {};
}

// ---------------------------------------------------------------- the fused passes

struct Parts {
  int dims;  // 1 or 2
  Ref up, conv;
  bool stock() const { return g_upsample[dims - 1].untouched(up) && g_stride1[dims - 1].untouched(conv); }
};

// The strided convolution whose transpose the layer is: it maps the output
// gradient, padded by kernel-1 on each convolved axis, to the compact input.
// Filters V[c, o, p, q] = W[o, c, kh-1-p, kw-1-q].
struct Transposed {
  qk::ConvShape s;
  std::vector<double> V;

  // `dims` 1 or 2: one-dimensional signals are one row high, and their rows
  // are not upsampled.
  Transposed(int dims, const Ref& W, npy_intp n, npy_intp c, npy_intp o, npy_intp kh, npy_intp kw, npy_intp f,
             npy_intp h, npy_intp w, npy_intp hu, npy_intp wu)
      : s{n, o, hu + kh - 1, wu + kw - 1, c, kh, kw, dims == 2 ? f : 1, f, h, w, hu + kh - 1, wu + kw - 1},
        V(static_cast<size_t>(c * o * kh * kw)) {
    const double* src = qb::data(W);
    for (npy_intp oi = 0; oi < o; ++oi)
      for (npy_intp ci = 0; ci < c; ++ci)
        for (npy_intp p = 0; p < kh; ++p)
          for (npy_intp q = 0; q < kw; ++q)
            V[static_cast<size_t>(((ci * o + oi) * kh + (kh - 1 - p)) * kw + (kw - 1 - q))] =
                src[((oi * c + ci) * kh + p) * kw + q];
  }
};

// Spatial extents of an array of 3 (one row) or 4 axes.
void extents(const Ref& a, int dims, npy_intp* h, npy_intp* w) {
  *h = dims == 2 ? qb::dim(a, 2) : 1;
  *w = qb::dim(a, dims + 1);
}

std::vector<npy_intp> shape_of(int dims, npy_intp n, npy_intp c, npy_intp h, npy_intp w) {
  return dims == 2 ? std::vector<npy_intp>{n, c, h, w} : std::vector<npy_intp>{n, c, w};
}

// Whether planes of hu x wu are zero everywhere but at rows and columns that
// are multiples of f.
bool zero_off_grid(const double* up, npy_intp planes, npy_intp hu, npy_intp wu, npy_intp f) {
  if (f == 1) return true;
  std::atomic<bool> clean{true};
  qk::parallel_for(planes, double(hu * wu), [&](int64_t lo, int64_t hi) {
    for (int64_t p = lo; p < hi && clean.load(std::memory_order_relaxed); ++p) {
      int64_t nonzero = 0;
      for (npy_intp y = 0; y < hu; ++y) {
        const double* __restrict row = up + (p * hu + y) * wu;
        if (y % f)
          for (npy_intp x = 0; x < wu; ++x) nonzero += row[x] != 0.0;
        else
          for (npy_intp r = 1; r < f; ++r)
            for (npy_intp x = r; x < wu; x += f) nonzero += row[x] != 0.0;
      }
      if (nonzero) clean = false;
    }
  });
  return clean;
}

// Z from the compact input, or an empty Ref when the general route must run
// (degenerate extents, shapes the parts would reject: their errors come from
// their own passes).
Ref fused_forward(const Parts& parts, const Ref& A, const Ref& U, npy_intp f) {
  const int dims = parts.dims;
  PyObject* s1 = parts.conv.get();
  const npy_intp n = qb::dim(U, 0), c = qb::dim(U, 1);
  npy_intp h, w, hu, wu;
  extents(A, dims, &h, &w);
  extents(U, dims, &hu, &wu);
  if (!qb::attr_equals(s1, QB_ID(in_channels), c)) return {};
  const npy_intp o = qb::int_attr(s1, QB_ID(out_channels)), k = qb::int_attr(s1, QB_ID(kernel_size));
  const npy_intp kh = dims == 2 ? k : 1, hz = hu - kh + 1, wz = wu - k + 1;
  if (n == 0 || c == 0 || o <= 0 || k <= 0 || hz <= 0 || wz <= 0) return {};
  Ref Wv = qb::getattr(s1, QB_ID(W));
  Ref Wa = qb::as_array(Wv.get());
  if (qb::dims(Wa.arr()) != (dims == 2 ? std::vector<npy_intp>{o, c, k, k} : std::vector<npy_intp>{o, c, k}))
    return {};
  Ref W = qb::to_f64(Wa.arr(), "W");
  std::vector<double> b = qb::bias(s1, QB_ID(b), o);
  Ref a = qb::to_f64(A.arr(), "A");
  qb::setattr(s1, QB_ID(A), U);
  Transposed t(dims, W, n, c, o, kh, k, f, h, w, hu, wu);
  Ref Z = qb::empty(shape_of(dims, n, o, hz, wz));
  {
    qb::NoGil nogil;
    qk::Scratch full(static_cast<size_t>(n * o * t.s.hd * t.s.wd));
    qk::conv_backward(t.s, nullptr, t.V.data(), qb::data(a), full.data(), nullptr, nullptr, qb::gemm);
    double* z = qb::data(Z);
    for (npy_intp p = 0; p < n * o; ++p)
      for (npy_intp y = 0; y < hz; ++y) {
        const double* src = full.data() + (p * t.s.hd + y + kh - 1) * t.s.wd + k - 1;
        double* dst = z + (p * hz + y) * wz;
        const double bias = b[static_cast<size_t>(p % o)];
        for (npy_intp x = 0; x < wz; ++x) dst[x] = src[x] + bias;
      }
  }
  return Z;
}

// dLdA from the output gradient, or an empty Ref for the general route.
Ref fused_backward(const Parts& parts, PyObject* arg) {
  const int dims = parts.dims;
  PyObject* s1 = parts.conv.get();
  Ref G = qb::as_array(arg);
  if (PyArray_NDIM(G.arr()) != dims + 2) return {};
  Ref stored = qb::getattr(s1, QB_ID(A));
  Ref U = qb::as_array(stored.get());
  if (PyArray_NDIM(U.arr()) != dims + 2) return {};
  const npy_intp f = static_cast<npy_intp>(
      qb::factor(qb::getattr(parts.up.get(), QB_ID(upsampling_factor)).get(), "upsampling_factor", 1));
  const npy_intp n = qb::dim(U, 0), c = qb::dim(U, 1);
  npy_intp hu, wu;
  extents(U, dims, &hu, &wu);
  const npy_intp o = qb::int_attr(s1, QB_ID(out_channels)), k = qb::int_attr(s1, QB_ID(kernel_size));
  const npy_intp kh = dims == 2 ? k : 1, hz = hu - kh + 1, wz = wu - k + 1;
  if (n == 0 || c == 0 || o <= 0 || k <= 0 || hz <= 0 || wz <= 0 || (hu - 1) % f || (wu - 1) % f) return {};
  if (qb::dims(G.arr()) != shape_of(dims, n, o, hz, wz) || !qb::attr_equals(s1, QB_ID(in_channels), c) ||
      !qb::attr_equals(s1, QB_ID(out_channels), qb::dim(G, 1)))
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
  if (qb::dims(Wa.arr()) != (dims == 2 ? std::vector<npy_intp>{o, c, k, k} : std::vector<npy_intp>{o, c, k}))
    return {};
  Ref W = qb::to_f64(Wa.arr(), "W");
  Ref u = qb::to_f64(U.arr(), "A");
  Ref g = qb::to_f64(G.arr(), "dLdZ");
  // The stored input must be an upsampled one (zero off the grid), or the
  // shortcut would not be the same computation.
  const double* up = qb::data(u);
  bool on_grid = true;
  {
    qb::NoGil nogil;
    on_grid = zero_off_grid(up, n * c, hu, wu, f);
  }
  if (!on_grid) return {};

  Transposed t(dims, W, n, c, o, kh, k, f, h, w, hu, wu);
  Ref dA = qb::empty(shape_of(dims, n, c, h, w));
  Ref dW = qb::empty(qb::dims(W.arr()));
  Ref db = qb::zeros({o});
  {
    qb::NoGil nogil;
    // The compact input (grid of U) and the zero-padded output gradient.
    qk::Scratch compact(static_cast<size_t>(n * c * h * w)), padded(static_cast<size_t>(n * o * t.s.h * t.s.w)),
        dV(static_cast<size_t>(c * o * kh * k)), unused(static_cast<size_t>(c));
    for (npy_intp p = 0; p < n * c; ++p)
      for (npy_intp y = 0; y < h; ++y)
        for (npy_intp x = 0; x < w; ++x) compact[static_cast<size_t>((p * h + y) * w + x)] = up[(p * hu + y * f) * wu + x * f];
    std::fill(padded.data(), padded.data() + n * o * t.s.h * t.s.w, 0.0);
    const double* gz = qb::data(g);
    double* dbp = qb::data(db);
    for (npy_intp p = 0; p < n * o; ++p)
      for (npy_intp y = 0; y < hz; ++y) {
        const double* src = gz + (p * hz + y) * wz;
        std::copy(src, src + wz, padded.data() + (p * t.s.h + y + kh - 1) * t.s.w + k - 1);
        double sum = 0.0;
        for (npy_intp x = 0; x < wz; ++x) sum += src[x];
        dbp[p % o] += sum;
      }
    std::vector<double> zero(static_cast<size_t>(c), 0.0);
    qk::conv_forward(t.s, padded.data(), t.V.data(), zero.data(), qb::data(dA), qb::gemm);
    qk::conv_backward(t.s, padded.data(), t.V.data(), compact.data(), nullptr, dV.data(), unused.data(), qb::gemm);
    double* dw = qb::data(dW);
    for (npy_intp oi = 0; oi < o; ++oi)
      for (npy_intp ci = 0; ci < c; ++ci)
        for (npy_intp p = 0; p < kh; ++p)
          for (npy_intp q = 0; q < k; ++q)
            dw[((oi * c + ci) * kh + p) * k + q] = dV[static_cast<size_t>(((ci * o + oi) * kh + (kh - 1 - p)) * k + (k - 1 - q))];
  }
  if (dims == 1) {
    // One-dimensional gradients are replaced (made like np.zeros_like of the
    // parameters), two-dimensional ones accumulate.
    qb::setattr(s1, QB_ID(dLdW), qb::in_float_dtype_of(dW, Wv.get()));
    qb::setattr(s1, QB_ID(dLdb), qb::in_float_dtype_of(db, qb::getattr(s1, QB_ID(b)).get()));
  } else {
    qb::add_into(s1, QB_ID(dLdW), dW);
    qb::add_into(s1, QB_ID(dLdb), db);
  }
  return dA;
}

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
    const npy_intp f = static_cast<npy_intp>(
        qb::factor(qb::getattr(parts.up.get(), QB_ID(upsampling_factor)).get(), "upsampling_factor", 1));
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

#define INIT_SIG ", in_channels, out_channels, kernel_size, upsampling_factor, weight_init_fn=None, bias_init_fn=None"
#define INIT_NAMES "in_channels", "out_channels", "kernel_size", "upsampling_factor", "weight_init_fn", "bias_init_fn"

PyMethodDef unfurlet1d_methods[] = {
    QB_INIT(QB_FAST("Unfurlet1d.__init__", 4, u1_init(self, arg[0], arg[1], arg[2], arg[3], arg[4], arg[5]),
                    INIT_NAMES),
            INIT_SIG),
    QB_METHOD("forward",
              QB_FAST("Unfurlet1d.forward", 1,
                      forward_through(self, 1, arg[0]), "A"),
              ", A",
              QB_DOC("A (np.array): (batch_size, in_channels, input_size)",
                     "Z (np.array): (batch_size, out_channels, output_size)")),
    QB_METHOD("backward",
              QB_FAST("Unfurlet1d.backward", 1,
                      backward_through(self, 1, arg[0]), "dLdZ"),
              ", dLdZ",
              QB_DOC("dLdZ (np.array): (batch_size, out_channels, output_size)",
                     "dLdA (np.array): (batch_size, in_channels, input_size)")),
    {}};

PyMethodDef unfurlet2d_methods[] = {
    QB_INIT(QB_FAST("Unfurlet2d.__init__", 4, u2_init(self, arg[0], arg[1], arg[2], arg[3], arg[4], arg[5]),
                    INIT_NAMES),
            INIT_SIG),
    QB_METHOD("forward",
              QB_FAST("Unfurlet2d.forward", 1,
                      forward_through(self, 2, arg[0]), "A"),
              ", A",
              QB_DOC("A (np.array): (batch_size, in_channels, input_height, input_width)",
                     "Z (np.array): (batch_size, out_channels, output_height, output_width)")),
    QB_METHOD("backward",
              QB_FAST("Unfurlet2d.backward", 1,
                      backward_through(self, 2, arg[0]), "dLdZ"),
              ", dLdZ",
              QB_DOC("dLdZ (np.array): (batch_size, out_channels, output_height, output_width)",
                     "dLdA (np.array): (batch_size, in_channels, input_height, input_width)")),
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.Unfurlet", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Unfurlet() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::star_import(m, "quillet.nn.resampling");
    qb::star_import(m, "quillet.nn.Lintrel");
    qb::star_import(m, "quillet.nn.Plantrel");
    g_module = m;
    g_stride1[0].capture(qb::global(m, QB_ID(Lintrel_stride1)).get());
    g_stride1[1].capture(qb::global(m, QB_ID(Plantrel_stride1)).get());
    g_upsample[0].capture(qb::global(m, QB_ID(Upsample1d)).get());
    g_upsample[1].capture(qb::global(m, QB_ID(Upsample2d)).get());
    qb::make_class(m, "Unfurlet1d", unfurlet1d_methods);
    qb::make_class(m, "Unfurlet2d", unfurlet2d_methods);
  });
}
