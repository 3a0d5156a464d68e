// quillet.nn.resampling: integer-factor up- and downsampling in one and two
// dimensions.  Downsampling forward and the 2-D upsampling backward are numpy
// views of their argument; everything else returns new float64 arrays.
#include "bind/bind.hpp"
#include "kernels/resample.hpp"

using qb::Ref;

namespace {

constexpr qb::Slice kAll{0, qb::OPEN_LO, qb::OPEN_HI, 1};

long long upsampling_factor(PyObject* self) {
  return qb::factor(qb::getattr(self, QB_ID(upsampling_factor)).get(), "upsampling_factor", 1);
}
long long downsampling_factor(PyObject* self) {
  return qb::factor(qb::getattr(self, QB_ID(downsampling_factor)).get(), "downsampling_factor", 1);
}

// An integer stored by forward (w_in, input_height, ...), read back as a size.
npy_intp stored_size(PyObject* self, PyObject* name) {
  Ref v = qb::getattr(self, name);
  return static_cast<npy_intp>(qb::factor(v.get(), PyUnicode_AsUTF8(name), 0));
}

// (n - 1) * k + 1 with overflow checked; an empty axis upsampled by k > 1
// would have 1 - k samples, which NumPy refuses.
npy_intp upsampled(npy_intp n, long long k) {
  if (n == 0) {
    if (k > 1) qb::raise(PyExc_ValueError, "negative dimensions are not allowed");
    return 0;
  }
  return qb::add_size(qb::mul_size(n - 1, static_cast<npy_intp>(k)), 1);
}
npy_intp kept(npy_intp n, long long k) { return n == 0 ? 0 : (n - 1) / static_cast<npy_intp>(k) + 1; }

[[noreturn]] void out_of_bounds(npy_intp index, int axis, npy_intp size) {
  qb::raise(PyExc_IndexError, "index %zd is out of bounds for axis %d with size %zd", static_cast<Py_ssize_t>(index),
            axis, static_cast<Py_ssize_t>(size));
}

// ---------------------------------------------------------------- Upsample1d

Ref up1_init(PyObject* self, PyObject* k) {
  qb::setattr(self, QB_ID(upsampling_factor), k);
  return {};
}

Ref up1_forward(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  qb::setattr(self, QB_ID(A), A);
  qb::expect_ndim(A.arr(), 3);
  const long long k = upsampling_factor(self);
  Ref a = qb::to_f64(A.arr(), "A");
  const npy_intp n = qb::dim(a, 0), c = qb::dim(a, 1), w = qb::dim(a, 2);
  Ref Z = qb::zeros({n, c, upsampled(w, k)});
  {
    qb::NoGil nogil;
    qk::spread(qb::data(a), qb::data(Z), n * c, 1, w, 1, qb::dim(Z, 2), k);
  }
  return Z;
}

Ref up1_backward(PyObject* self, PyObject* arg) {
  Ref G = qb::as_array(arg);
  qb::expect_ndim(G.arr(), 3);
  const long long k = upsampling_factor(self);
  // input_width = self.A.shape[2]
  Ref stored = qb::getattr(self, QB_ID(A));
  Ref shape = qb::getattr(stored.get(), QB_ID(shape));
  Ref width = qb::check(PySequence_GetItem(shape.get(), 2));
  const npy_intp w = static_cast<npy_intp>(qb::factor(width.get(), "input width", 0));
  Ref g = qb::to_f64(G.arr(), "dLdZ");
  const npy_intp n = qb::dim(g, 0), c = qb::dim(g, 1), wz = qb::dim(g, 2);
  // Column i*k of dLdZ must exist for every input column i.
  if (w > 0 && (w - 1) > (wz - 1) / k) out_of_bounds(((wz + k - 1) / k) * k, 2, wz);
  if (w > 0 && wz == 0) out_of_bounds(0, 2, 0);
  Ref dA = qb::zeros({n, c, w});
  {
    qb::NoGil nogil;
    qk::pick(qb::data(g), qb::data(dA), n * c, 1, wz, 1, w, k);
  }
  return dA;
}

// ---------------------------------------------------------------- Downsample1d

Ref down1_init(PyObject* self, PyObject* k) {
  qb::setattr(self, QB_ID(downsampling_factor), k);
  return {};
}

Ref down1_forward(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  qb::expect_ndim(A.arr(), 3);
  const long long k = downsampling_factor(self);
  qb::setattr(self, QB_ID(w_in), qb::py_int(qb::dim(A, 2)));
  return qb::slice(A.get(), {{2, qb::OPEN_LO, qb::OPEN_HI, static_cast<Py_ssize_t>(k)}});
}

Ref down1_backward(PyObject* self, PyObject* arg) {
  Ref G = qb::as_array(arg);
  qb::expect_ndim(G.arr(), 3);
  const long long k = downsampling_factor(self);
  const npy_intp w = stored_size(self, QB_ID(w_in));
  Ref g = qb::to_f64(G.arr(), "dLdZ");
  const npy_intp n = qb::dim(g, 0), c = qb::dim(g, 1), wz = qb::dim(g, 2);
  if (wz > kept(w, k)) out_of_bounds(kept(w, k) * k, 2, w);
  Ref dA = qb::zeros({n, c, w});
  {
    qb::NoGil nogil;
    qk::spread(qb::data(g), qb::data(dA), n * c, 1, wz, 1, w, k);
  }
  return dA;
}

// ---------------------------------------------------------------- Upsample2d

Ref up2_forward(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  qb::expect_ndim(A.arr(), 4);
  const long long k = upsampling_factor(self);
  Ref a = qb::to_f64(A.arr(), "A");
  const npy_intp n = qb::dim(a, 0), c = qb::dim(a, 1), h = qb::dim(a, 2), w = qb::dim(a, 3);
  const npy_intp ho = upsampled(h, k), wo = upsampled(w, k);
  Ref Z = qb::zeros({n, c, ho, wo});
  {
    qb::NoGil nogil;
    qk::spread(qb::data(a), qb::data(Z), qb::mul_size(n, c), h, w, ho, wo, k);
  }
  return Z;
}

Ref up2_backward(PyObject* self, PyObject* arg) {
  Ref G = qb::as_array(arg);
  qb::expect_ndim(G.arr(), 4);
  const Py_ssize_t k = static_cast<Py_ssize_t>(upsampling_factor(self));
  return qb::slice(G.get(), {{2, qb::OPEN_LO, qb::OPEN_HI, k}, {3, qb::OPEN_LO, qb::OPEN_HI, k}});
}

// ---------------------------------------------------------------- Downsample2d

Ref down2_forward(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  qb::expect_ndim(A.arr(), 4);
  const Py_ssize_t k = static_cast<Py_ssize_t>(downsampling_factor(self));
  qb::setattr(self, QB_ID(input_width), qb::py_int(qb::dim(A, 3)));
  qb::setattr(self, QB_ID(input_height), qb::py_int(qb::dim(A, 2)));
  return qb::slice(A.get(), {{2, qb::OPEN_LO, qb::OPEN_HI, k}, {3, qb::OPEN_LO, qb::OPEN_HI, k}});
}

Ref down2_backward(PyObject* self, PyObject* arg) {
  Ref G = qb::as_array(arg);
  qb::expect_ndim(G.arr(), 4);
  const long long k = downsampling_factor(self);
  const npy_intp h = stored_size(self, QB_ID(input_height));
  const npy_intp w = stored_size(self, QB_ID(input_width));
  Ref g = qb::to_f64(G.arr(), "dLdZ");
  const npy_intp n = qb::dim(g, 0), c = qb::dim(g, 1), hz = qb::dim(g, 2), wz = qb::dim(g, 3);
  Ref dA = qb::zeros({n, c, h, w});
  if (hz == kept(h, k) && wz == kept(w, k)) {
    qb::NoGil nogil;
    qk::spread(qb::data(g), qb::data(dA), qb::mul_size(n, c), hz, wz, h, w, k);
  } else {
    // Shapes that only broadcast onto the kept grid (or not at all): numpy's
    // own assignment gives the broadcast and its error message.
    const Py_ssize_t s = static_cast<Py_ssize_t>(k);
    Ref grid = qb::slice(dA.get(), {{2, qb::OPEN_LO, qb::OPEN_HI, s}, {3, qb::OPEN_LO, qb::OPEN_HI, s}});
    qb::check(PyArray_CopyInto(grid.arr(), g.arr()));
  }
  return dA;
}

// ---------------------------------------------------------------- module

#define DOC_1D_FWD QB_DOC("A (np.array): (batch_size, in_channels, input_width)", \
                          "Z (np.array): (batch_size, in_channels, output_width)")
#define DOC_1D_BWD QB_DOC("dLdZ (np.array): (batch_size, in_channels, output_width)", \
                          "dLdA (np.array): (batch_size, in_channels, input_width)")
#define DOC_2D_FWD QB_DOC("A (np.array): (batch_size, in_channels, input_height, input_width)", \
                          "Z (np.array): (batch_size, in_channels, output_height, output_width)")
#define DOC_2D_BWD QB_DOC("dLdZ (np.array): (batch_size, in_channels, output_height, output_width)", \
                          "dLdA (np.array): (batch_size, in_channels, input_height, input_width)")

PyMethodDef upsample1d_methods[] = {
    QB_INIT(QB_FAST("Upsample1d.__init__", 1, up1_init(self, arg[0]), "upsampling_factor"), ", upsampling_factor"),
    QB_METHOD("forward", QB_FAST("Upsample1d.forward", 1, up1_forward(self, arg[0]), "A"), ", A", DOC_1D_FWD),
    QB_METHOD("backward", QB_FAST("Upsample1d.backward", 1, up1_backward(self, arg[0]), "dLdZ"), ", dLdZ", DOC_1D_BWD),
    {}};

PyMethodDef downsample1d_methods[] = {
    QB_INIT(QB_FAST("Downsample1d.__init__", 1, down1_init(self, arg[0]), "downsampling_factor"),
            ", downsampling_factor"),
    QB_METHOD("forward", QB_FAST("Downsample1d.forward", 1, down1_forward(self, arg[0]), "A"), ", A", DOC_1D_FWD),
    QB_METHOD("backward", QB_FAST("Downsample1d.backward", 1, down1_backward(self, arg[0]), "dLdZ"), ", dLdZ",
              DOC_1D_BWD),
    {}};

PyMethodDef upsample2d_methods[] = {
    QB_INIT(QB_FAST("Upsample2d.__init__", 1, up1_init(self, arg[0]), "upsampling_factor"), ", upsampling_factor"),
    QB_METHOD("forward", QB_FAST("Upsample2d.forward", 1, up2_forward(self, arg[0]), "A"), ", A", DOC_2D_FWD),
    QB_METHOD("backward", QB_FAST("Upsample2d.backward", 1, up2_backward(self, arg[0]), "dLdZ"), ", dLdZ", DOC_2D_BWD),
    {}};

PyMethodDef downsample2d_methods[] = {
    QB_INIT(QB_FAST("Downsample2d.__init__", 1, down1_init(self, arg[0]), "downsampling_factor"),
            ", downsampling_factor"),
    QB_METHOD("forward", QB_FAST("Downsample2d.forward", 1, down2_forward(self, arg[0]), "A"), ", A", DOC_2D_FWD),
    QB_METHOD("backward", QB_FAST("Downsample2d.backward", 1, down2_backward(self, arg[0]), "dLdZ"), ", dLdZ",
              DOC_2D_BWD),
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.resampling", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_resampling() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::make_class(m, "Upsample1d", upsample1d_methods);
    qb::make_class(m, "Downsample1d", downsample1d_methods);
    qb::make_class(m, "Upsample2d", upsample2d_methods);
    qb::make_class(m, "Downsample2d", downsample2d_methods);
  });
}
