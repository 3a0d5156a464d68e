// quillet.nn.rnn: recurrent layers with backpropagation through time, and the
// embedding table that usually feeds them.
//
// RNN, GRU and LSTM run whole sequences (stacked layers, one or both
// directions) and keep what backward needs in `cache`; RNNCell, GRUCell and
// LSTMCell run one step inside the caller's own loop and keep a stack of the
// steps not yet backpropagated.  Weights follow PyTorch's names, gate order
// and layout (W_ih_l0 is weight_ih_l0), so weights copy across by name.
//
// Every pass computes in the default dtype at the call (float64, or float32
// under quillet.default_dtype(np.float32)); the parameters are drawn as
// float64 and stored in the default dtype at construction.
#include <cmath>
#include <string>
#include <vector>

#include "kernels/api.hpp"
#include "layer/layer.hpp"

using qb::Ref;
using qk::CellKind;

namespace {

enum Family { kRnn, kGru, kLstm };

const char* const kFamilyName[] = {"RNN", "GRU", "LSTM"};

// ---------------------------------------------------------------- hyper-parameters

bool truth(PyObject* self, PyObject* name) {
  Ref v = qb::getattr(self, name);
  const int t = PyObject_IsTrue(v.get());
  qb::check(t);
  return t == 1;
}

bool flag(PyObject* value, const char* name) {
  if (!PyBool_Check(value) && !PyLong_Check(value))
    qb::fail(PyExc_TypeError, "%s must be True or False, got %R", name, value);
  return PyObject_IsTrue(value) == 1;
}

CellKind kind_of(Family f, PyObject* self) {
  if (f == kGru) return CellKind::Gru;
  if (f == kLstm) return CellKind::Lstm;
  Ref v = qb::getattr(self, QB_ID(nonlinearity));
  if (PyUnicode_Check(v.get())) {
    if (PyUnicode_CompareWithASCIIString(v.get(), "tanh") == 0) return CellKind::RnnTanh;
    if (PyUnicode_CompareWithASCIIString(v.get(), "relu") == 0) return CellKind::RnnRelu;
  }
  qb::fail(PyExc_ValueError, "nonlinearity must be 'tanh' or 'relu', got %R", v.get());
}

struct Config {
  CellKind kind;
  npy_intp I, H, L, D;
  bool bias, batch_first;
  npy_intp G() const { return qk::cell_gates(kind) * H; }
  npy_intp S() const { return qk::cell_saved(kind) * H; }
  npy_intp input(npy_intp l) const { return l == 0 ? I : D * H; }
};

// What a sequence layer's (or, with cell, a cell's) attributes say now.
Config config(Family f, PyObject* self, bool cell) {
  Config c{};
  c.kind = kind_of(f, self);
  c.I = static_cast<npy_intp>(ql::factor_attr(self, QB_ID(input_size), 1));
  c.H = static_cast<npy_intp>(ql::factor_attr(self, QB_ID(hidden_size), 1));
  c.bias = truth(self, QB_ID(bias));
  if (cell) {
    c.L = c.D = 1;
  } else {
    c.L = static_cast<npy_intp>(ql::factor_attr(self, QB_ID(num_layers), 1));
    c.D = truth(self, QB_ID(bidirectional)) ? 2 : 1;
    c.batch_first = truth(self, QB_ID(batch_first));
  }
  return c;
}

// "W_ih_l1_reverse", or "W_ih" for a cell (layer < 0).
Ref pname(const char* base, npy_intp layer, npy_intp dir, bool grad = false) {
  const char* g = grad ? "dLd" : "";
  if (layer < 0) return qb::check(PyUnicode_FromFormat("%s%s", g, base));
  return qb::check(PyUnicode_FromFormat("%s%s_l%zd%s", g, base, static_cast<Py_ssize_t>(layer), dir ? "_reverse" : ""));
}

// np.random.uniform(-k, k, shape) and its zero gradient, k = 1 / sqrt(hidden),
// both in the default dtype (under float32 the same numbers are drawn, then
// stored as float32).
void init_param(PyObject* self, const Ref& name, const Ref& grad, std::initializer_list<npy_intp> shape, double k) {
  Ref uniform = qb::getattr(qb::numpy_attr(QB_ID(random)).get(), QB_ID(uniform));
  Ref lo = qb::py_float(-k), hi = qb::py_float(k), size = qb::shape_tuple(shape);
  qb::setattr(self, name.get(), ql::in_default_dtype(qb::call(uniform.get(), {lo.get(), hi.get(), size.get()})));
  qb::setattr(self, grad.get(), qb::typed_zeros(shape, ql::default_type()));
}

// The weights of layer l, direction d (layer -1: a cell), in R, checked
// against the hyper-parameters.
template <class R>
struct Weights {
  Ref W_ih, W_hh, b_ih, b_hh;
  const R* Wih() const { return qb::data_of<R>(W_ih); }
  const R* Whh() const { return qb::data_of<R>(W_hh); }
  const R* bih() const { return b_ih ? qb::data_of<R>(b_ih) : nullptr; }
  const R* bhh() const { return b_hh ? qb::data_of<R>(b_hh) : nullptr; }
};

template <class R>
Weights<R> weights(PyObject* self, const Config& c, npy_intp l, npy_intp d) {
  Weights<R> w;
  const npy_intp G = c.G();
  w.W_ih = ql::param_as<R>(self, pname("W_ih", l, d).get(), {G, c.input(l < 0 ? 0 : l)});
  w.W_hh = ql::param_as<R>(self, pname("W_hh", l, d).get(), {G, c.H});
  if (c.bias) {
    w.b_ih = ql::param_as<R>(self, pname("b_ih", l, d).get(), {G});
    w.b_hh = ql::param_as<R>(self, pname("b_hh", l, d).get(), {G});
  }
  return w;
}

void make_params(PyObject* self, const Config& c, bool cell) {
  const double k = 1.0 / std::sqrt(static_cast<double>(c.H));
  const npy_intp G = c.G();
  for (npy_intp l = 0; l < c.L; ++l)
    for (npy_intp d = 0; d < c.D; ++d) {
      const npy_intp at = cell ? -1 : l;
      init_param(self, pname("W_ih", at, d), pname("W_ih", at, d, true), {G, c.input(l)}, k);
      init_param(self, pname("W_hh", at, d), pname("W_hh", at, d, true), {G, c.H}, k);
      if (c.bias) {
        init_param(self, pname("b_ih", at, d), pname("b_ih", at, d, true), {G}, k);
        init_param(self, pname("b_hh", at, d), pname("b_hh", at, d, true), {G}, k);
      }
    }
}

// ---------------------------------------------------------------- arrays

// A time-major (T, B, F) C-contiguous array in R of a sequence given as
// (T, B, F), (B, T, F) with batch_first, or (T, F) unbatched.
template <class R>
Ref time_major(const Ref& a, bool batch_first, bool unbatched) {
  Ref x = qb::to_real<R>(a, "X");
  if (unbatched) {
    npy_intp d[3] = {qb::dim(x, 0), 1, qb::dim(x, 1)};
    PyArray_Dims dims{d, 3};
    return qb::check(PyArray_Newshape(qb::arr(x), &dims, NPY_CORDER));
  }
  if (!batch_first) return x;
  Ref swapped = qb::check(PyArray_SwapAxes(qb::arr(x), 0, 1));
  return qb::check(PyArray_NewCopy(qb::arr(swapped), NPY_CORDER));
}

// The inverse of time_major for a result (T, B, F).
Ref user_layout(const Ref& y, bool batch_first, bool unbatched) {
  if (unbatched) {
    npy_intp d[2] = {qb::dim(y, 0), qb::dim(y, 2)};
    PyArray_Dims dims{d, 2};
    return qb::check(PyArray_Newshape(qb::arr(y), &dims, NPY_CORDER));
  }
  if (!batch_first) return y;
  Ref swapped = qb::check(PyArray_SwapAxes(qb::arr(y), 0, 1));
  return qb::check(PyArray_NewCopy(qb::arr(swapped), NPY_CORDER));
}

// (L*D, B, H) in R from the user's (L*D, B, H), or (L*D, H) unbatched; null Ref for None.
template <class R>
Ref state_in(PyObject* o, const char* what, npy_intp n, npy_intp B, npy_intp H, bool unbatched) {
  if (o == Py_None) return {};
  Ref a = qb::to_real<R>(o, what);
  const std::vector<npy_intp> want = unbatched ? std::vector<npy_intp>{n, H} : std::vector<npy_intp>{n, B, H};
  if (qb::dims(a) != want)
    qb::fail(PyExc_ValueError, "%s must have shape %s, got %s", what, qb::shape_text(want).c_str(),
             qb::shape_text(qb::dims(a)).c_str());
  return a;
}

Ref state_out(const Ref& s, bool unbatched) {
  if (!unbatched) return s;
  npy_intp d[2] = {qb::dim(s, 0), qb::dim(s, 2)};
  PyArray_Dims dims{d, 2};
  return qb::check(PyArray_Newshape(qb::arr(s), &dims, NPY_CORDER));
}

// An array kept in the forward state, which the caller could have replaced:
// a float64 or float32 C-contiguous array of exactly this shape (or ValueError),
// in R.  A state kept in the other dtype (forward ran under the other default
// dtype) is converted.
template <class R>
Ref kept(PyObject* o, const std::vector<npy_intp>& shape) {
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
  if (!PyArray_Check(o) || (PyArray_TYPE(a) != NPY_DOUBLE && PyArray_TYPE(a) != NPY_FLOAT) || !PyArray_ISCARRAY_RO(a) ||
      !PyArray_ISNOTSWAPPED(a) || qb::dims(a) != shape)
    qb::fail(PyExc_ValueError,
             "the state kept by forward no longer fits the layer (its arrays or the layer's sizes were changed); "
             "call forward again");
  return PyArray_TYPE(a) == qb::type_of<R> ? Ref::borrow(o) : qb::to_real<R>(Ref::borrow(o), "the kept state");
}

// The failure of kept() for a state that is not even arrays.
[[noreturn]] void altered_state() {
  kept<double>(Py_None, {});
  throw qb::Error();
}

Ref kept_item(PyObject* tuple, Py_ssize_t i, Py_ssize_t n) {
  if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != n)
    qb::fail(PyExc_ValueError, "the state kept by forward has been altered; call forward again");
  return Ref::borrow(PyTuple_GET_ITEM(tuple, i));
}

template <class R>
R* ptr(const Ref& a) {
  return a ? qb::data_of<R>(a) : nullptr;
}

template <class R>
R* slice_ptr(const Ref& a, npy_intp i, npy_intp len) {
  return a ? qb::data_of<R>(a) + i * len : nullptr;
}

// ---------------------------------------------------------------- sequence layers

Ref seq_init(Family f, PyObject* self, PyObject* input_size, PyObject* hidden_size, PyObject* num_layers,
             PyObject* nonlinearity, PyObject* bias, PyObject* batch_first, PyObject* bidirectional) {
  ql::factor(input_size, "input_size", 1);
  ql::factor(hidden_size, "hidden_size", 1);
  ql::factor(num_layers, "num_layers", 1);
  qb::setattr(self, QB_ID(input_size), input_size);
  qb::setattr(self, QB_ID(hidden_size), hidden_size);
  qb::setattr(self, QB_ID(num_layers), num_layers);
  if (f == kRnn) qb::setattr(self, QB_ID(nonlinearity), nonlinearity);
  qb::setattr(self, QB_ID(bias), flag(bias, "bias") ? Py_True : Py_False);
  qb::setattr(self, QB_ID(batch_first), flag(batch_first, "batch_first") ? Py_True : Py_False);
  qb::setattr(self, QB_ID(bidirectional), flag(bidirectional, "bidirectional") ? Py_True : Py_False);
  make_params(self, config(f, self, false), false);
  return {};
}

Ref rnn_init(PyObject* self, PyObject* input_size, PyObject* hidden_size, PyObject* num_layers, PyObject* nonlinearity,
             PyObject* bias, PyObject* batch_first, PyObject* bidirectional) {
  qb::setattr(self, QB_ID(nonlinearity), nonlinearity);
  kind_of(kRnn, self);
  return seq_init(kRnn, self, input_size, hidden_size, num_layers, nonlinearity, bias, batch_first, bidirectional);
}

template <int F>
Ref gated_init(PyObject* self, PyObject* input_size, PyObject* hidden_size, PyObject* num_layers, PyObject* bias,
               PyObject* batch_first, PyObject* bidirectional) {
  return seq_init(static_cast<Family>(F), self, input_size, hidden_size, num_layers, nullptr, bias, batch_first,
                  bidirectional);
}

template <class R>
Ref seq_forward(Family f, PyObject* self, PyObject* X, PyObject* hx) {
  const Config c = config(f, self, false);
  const bool lstm = f == kLstm;
  Ref A = qb::as_array(X);
  const int nd = qb::ndim(A);
  if (nd != 2 && nd != 3)
    qb::fail(PyExc_ValueError,
             "X must have 3 axes (%s, input_size), or 2 (seq_len, input_size) for one sequence, got shape %s",
             c.batch_first ? "batch, seq_len" : "seq_len, batch", qb::shape_text(qb::dims(A)).c_str());
  const bool unbatched = nd == 2;
  if (qb::dim(A, nd - 1) != c.I)
    qb::fail(PyExc_ValueError, "X has %zd features, but the layer has input_size=%zd",
             static_cast<Py_ssize_t>(qb::dim(A, nd - 1)), static_cast<Py_ssize_t>(c.I));
  Ref x = time_major<R>(A, c.batch_first, unbatched);
  const npy_intp T = qb::dim(x, 0), B = qb::dim(x, 1), LD = c.L * c.D;
  if (T == 0) qb::fail(PyExc_ValueError, "X has no time steps (shape %s)", qb::shape_text(qb::dims(A)).c_str());
  if (B == 0) qb::fail(PyExc_ValueError, "X has an empty batch (shape %s)", qb::shape_text(qb::dims(A)).c_str());
  Ref h0, c0;
  if (lstm && hx != Py_None) {
    if (!PyTuple_Check(hx) || PyTuple_GET_SIZE(hx) != 2)
      qb::fail(PyExc_TypeError, "hx must be a tuple (h0, c0) or None, got %R", Py_TYPE(hx));
    h0 = state_in<R>(PyTuple_GET_ITEM(hx, 0), "h0", LD, B, c.H, unbatched);
    c0 = state_in<R>(PyTuple_GET_ITEM(hx, 1), "c0", LD, B, c.H, unbatched);
    if (!h0 || !c0) qb::fail(PyExc_TypeError, "hx must hold both h0 and c0 (or be None)");
  } else if (!lstm) {
    h0 = state_in<R>(hx, "h0", LD, B, c.H, unbatched);
  }
  std::vector<Weights<R>> w;
  for (npy_intp l = 0; l < c.L; ++l)
    for (npy_intp d = 0; d < c.D; ++d) w.push_back(weights<R>(self, c, l, d));
  Ref hn = qb::empty_of<R>({LD, B, c.H}), cn = lstm ? qb::empty_of<R>({LD, B, c.H}) : Ref();
  Ref inputs = qb::check(PyTuple_New(c.L)), saved = qb::check(PyTuple_New(LD));
  Ref in = x;
  for (npy_intp l = 0; l < c.L; ++l) {
    PyTuple_SET_ITEM(inputs.get(), l, Ref(in).release());
    Ref Y = qb::empty_of<R>({T, B, c.D * c.H});
    for (npy_intp d = 0; d < c.D; ++d) {
      const npy_intp k = l * c.D + d;
      Ref sv = qb::empty_of<R>({T, B, c.S()});
      const Weights<R>& wk = w[static_cast<size_t>(k)];
      const qk::RnnShape s{T, B, c.input(l), c.H, c.kind, d == 1};
      {
        qb::NoGil nogil;
        qk::Of<R>::rnn_forward(s, qb::data_of<R>(in), wk.Wih(), wk.Whh(), wk.bih(), wk.bhh(),
                               slice_ptr<R>(h0, k, B * c.H), slice_ptr<R>(c0, k, B * c.H), qb::data_of<R>(Y) + d * c.H,
                               c.D * c.H, qb::data_of<R>(hn) + k * B * c.H, slice_ptr<R>(cn, k, B * c.H),
                               qb::data_of<R>(sv));
      }
      PyTuple_SET_ITEM(saved.get(), k, sv.release());
    }
    in = Y;
  }
  PyObject* none = Py_None;
  Ref cache = qb::tuple({unbatched ? Py_True : Py_False, inputs.get(), saved.get(), h0 ? h0.get() : none,
                         c0 ? c0.get() : none, in.get()});
  qb::setattr(self, QB_ID(cache), cache);
  Ref Yout = user_layout(in, c.batch_first, unbatched);
  Ref hout = state_out(hn, unbatched);
  if (!lstm) return qb::tuple({Yout.get(), hout.get()});
  Ref cout = state_out(cn, unbatched);
  Ref pair = qb::tuple({hout.get(), cout.get()});
  return qb::tuple({Yout.get(), pair.get()});
}

template <class R>
Ref seq_backward(Family f, PyObject* self, PyObject* dLdY, PyObject* dLdh_n, PyObject* dLdc_n) {
  const Config c = config(f, self, false);
  const bool lstm = f == kLstm;
  Ref cache = ql::stored(self, QB_ID(cache));
  const bool unbatched = kept_item(cache.get(), 0, 6).get() == Py_True;
  Ref inputs = kept_item(cache.get(), 1, 6), saved = kept_item(cache.get(), 2, 6);
  Ref h0o = kept_item(cache.get(), 3, 6), c0o = kept_item(cache.get(), 4, 6), Yo = kept_item(cache.get(), 5, 6);
  const npy_intp LD = c.L * c.D;
  if (!PyTuple_Check(inputs.get()) || PyTuple_GET_SIZE(inputs.get()) != c.L || !PyTuple_Check(saved.get()) ||
      PyTuple_GET_SIZE(saved.get()) != LD || !PyArray_Check(Yo.get()) || qb::ndim(Yo) != 3)
    altered_state();
  const npy_intp T = qb::dim(Yo, 0), B = qb::dim(Yo, 1), H = c.H;
  kept<R>(Yo.get(), {T, B, c.D * H});
  std::vector<Ref> in, sv;
  for (npy_intp l = 0; l < c.L; ++l) in.push_back(kept<R>(PyTuple_GET_ITEM(inputs.get(), l), {T, B, c.input(l)}));
  for (npy_intp k = 0; k < LD; ++k) sv.push_back(kept<R>(PyTuple_GET_ITEM(saved.get(), k), {T, B, c.S()}));
  Ref h0 = h0o.get() == Py_None
               ? Ref()
               : kept<R>(h0o.get(), unbatched ? std::vector<npy_intp>{LD, H} : std::vector<npy_intp>{LD, B, H});
  Ref c0 = c0o.get() == Py_None
               ? Ref()
               : kept<R>(c0o.get(), unbatched ? std::vector<npy_intp>{LD, H} : std::vector<npy_intp>{LD, B, H});
  // The output gradient in the layout forward returned Y in.
  Ref g = qb::to_real<R>(dLdY, "dLdY");
  std::vector<npy_intp> yshape = unbatched       ? std::vector<npy_intp>{T, c.D * H}
                                 : c.batch_first ? std::vector<npy_intp>{B, T, c.D * H}
                                                 : std::vector<npy_intp>{T, B, c.D * H};
  if (qb::dims(g) != yshape)
    qb::fail(PyExc_ValueError, "dLdY has shape %s, but the last output Y had shape %s",
             qb::shape_text(qb::dims(g)).c_str(), qb::shape_text(yshape).c_str());
  Ref dY = time_major<R>(g, c.batch_first, unbatched);
  Ref dhn = state_in<R>(dLdh_n, "dLdh_n", LD, B, H, unbatched);
  Ref dcn = lstm ? state_in<R>(dLdc_n, "dLdc_n", LD, B, H, unbatched) : Ref();
  std::vector<Weights<R>> w;
  for (npy_intp l = 0; l < c.L; ++l)
    for (npy_intp d = 0; d < c.D; ++d) w.push_back(weights<R>(self, c, l, d));
  Ref dh0 = qb::empty_of<R>({LD, B, H}), dc0 = lstm ? qb::empty_of<R>({LD, B, H}) : Ref();
  std::vector<std::pair<Ref, Ref>> grads;  // (name, value), added once everything is computed
  const npy_intp G = c.G();
  for (npy_intp l = c.L - 1; l >= 0; --l) {
    Ref dX = qb::empty_of<R>({T, B, c.input(l)});
    for (npy_intp d = 0; d < c.D; ++d) {
      const npy_intp k = l * c.D + d;
      const Weights<R>& wk = w[static_cast<size_t>(k)];
      Ref dWih = qb::empty_of<R>({G, c.input(l)}), dWhh = qb::empty_of<R>({G, H});
      Ref dbih = c.bias ? qb::empty_of<R>({G}) : Ref(), dbhh = c.bias ? qb::empty_of<R>({G}) : Ref();
      const qk::RnnShape s{T, B, c.input(l), H, c.kind, d == 1};
      {
        qb::NoGil nogil;
        qk::Of<R>::rnn_backward(s, qb::data_of<R>(in[static_cast<size_t>(l)]), wk.Wih(), wk.Whh(),
                                slice_ptr<R>(h0, k, B * H), slice_ptr<R>(c0, k, B * H),
                                qb::data_of<R>(sv[static_cast<size_t>(k)]), qb::data_of<R>(dY) + d * H, c.D * H,
                                slice_ptr<R>(dhn, k, B * H), slice_ptr<R>(dcn, k, B * H), qb::data_of<R>(dX), d == 1,
                                qb::data_of<R>(dh0) + k * B * H, slice_ptr<R>(dc0, k, B * H), qb::data_of<R>(dWih),
                                qb::data_of<R>(dWhh), ptr<R>(dbih), ptr<R>(dbhh));
      }
      grads.push_back({pname("W_ih", l, d, true), dWih});
      grads.push_back({pname("W_hh", l, d, true), dWhh});
      if (c.bias) {
        grads.push_back({pname("b_ih", l, d, true), dbih});
        grads.push_back({pname("b_hh", l, d, true), dbhh});
      }
    }
    dY = dX;
  }
  for (const auto& [name, value] : grads) ql::add_grad(self, name.get(), value);
  qb::setattr(self, QB_ID(dLdh0), state_out(dh0, unbatched));
  if (lstm) qb::setattr(self, QB_ID(dLdc0), state_out(dc0, unbatched));
  return user_layout(dY, c.batch_first, unbatched);
}

template <int F>
Ref seq_forward_m(PyObject* self, PyObject* X, PyObject* hx) {
  return QL_TYPED(seq_forward, static_cast<Family>(F), self, X, hx);
}
template <int F>
Ref seq_backward_m(PyObject* self, PyObject* dLdY, PyObject* dLdh_n) {
  return QL_TYPED(seq_backward, static_cast<Family>(F), self, dLdY, dLdh_n, Py_None);
}
Ref lstm_backward_m(PyObject* self, PyObject* dLdY, PyObject* dLdh_n, PyObject* dLdc_n) {
  return QL_TYPED(seq_backward, kLstm, self, dLdY, dLdh_n, dLdc_n);
}

Ref rnn_repr(PyObject* self) {
  return ql::repr_call(self, {{"input_size", "input_size"},
                              {"hidden_size", "hidden_size"},
                              {"num_layers", "num_layers"},
                              {"nonlinearity", "nonlinearity"},
                              {"bias", "bias"},
                              {"batch_first", "batch_first"},
                              {"bidirectional", "bidirectional"}});
}
Ref gated_repr(PyObject* self) {
  return ql::repr_call(self, {{"input_size", "input_size"},
                              {"hidden_size", "hidden_size"},
                              {"num_layers", "num_layers"},
                              {"bias", "bias"},
                              {"batch_first", "batch_first"},
                              {"bidirectional", "bidirectional"}});
}

// ---------------------------------------------------------------- cells

Ref cell_init(Family f, PyObject* self, PyObject* input_size, PyObject* hidden_size, PyObject* bias,
              PyObject* nonlinearity) {
  ql::factor(input_size, "input_size", 1);
  ql::factor(hidden_size, "hidden_size", 1);
  qb::setattr(self, QB_ID(input_size), input_size);
  qb::setattr(self, QB_ID(hidden_size), hidden_size);
  qb::setattr(self, QB_ID(bias), flag(bias, "bias") ? Py_True : Py_False);
  if (f == kRnn) {
    qb::setattr(self, QB_ID(nonlinearity), nonlinearity);
    kind_of(kRnn, self);
  }
  make_params(self, config(f, self, true), true);
  qb::setattr(self, QB_ID(stack), qb::check(PyList_New(0)));
  return {};
}

Ref rnn_cell_init(PyObject* self, PyObject* input_size, PyObject* hidden_size, PyObject* bias, PyObject* nonlinearity) {
  return cell_init(kRnn, self, input_size, hidden_size, bias, nonlinearity);
}
template <int F>
Ref gated_cell_init(PyObject* self, PyObject* input_size, PyObject* hidden_size, PyObject* bias) {
  return cell_init(static_cast<Family>(F), self, input_size, hidden_size, bias, nullptr);
}

// (B, n) in R from (B, n), or (n,) as a batch of one; `unbatched` says which it was.
template <class R>
Ref cell_rows(PyObject* o, const char* what, npy_intp n, npy_intp B, int want_nd) {
  Ref a = qb::to_real<R>(o, what);
  const int nd = qb::ndim(a);
  if (nd != want_nd || qb::dim(a, nd - 1) != n || (nd == 2 && B >= 0 && qb::dim(a, 0) != B)) {
    std::string want = want_nd == 1
                           ? "(" + std::to_string(n) + ",)"
                           : "(" + (B >= 0 ? std::to_string(B) : std::string("batch")) + ", " + std::to_string(n) + ")";
    qb::fail(PyExc_ValueError, "%s must have shape %s, got %s", what, want.c_str(),
             qb::shape_text(qb::dims(a)).c_str());
  }
  return a;
}

template <class R>
Ref cell_forward(Family f, PyObject* self, PyObject* x, PyObject* hx) {
  const Config c = config(f, self, true);
  const bool lstm = f == kLstm;
  Ref A = qb::as_array(x);
  const int nd = qb::ndim(A);
  if (nd != 1 && nd != 2)
    qb::fail(PyExc_ValueError,
             "x must have 2 axes (batch, input_size), or 1 (input_size,) for one sample, got shape %s",
             qb::shape_text(qb::dims(A)).c_str());
  Ref xa = cell_rows<R>(A.get(), "x", c.I, -1, nd);
  const npy_intp B = nd == 2 ? qb::dim(xa, 0) : 1;
  if (B == 0) qb::fail(PyExc_ValueError, "x has an empty batch (shape %s)", qb::shape_text(qb::dims(xa)).c_str());
  Ref h, cs;
  if (lstm && hx != Py_None) {
    if (!PyTuple_Check(hx) || PyTuple_GET_SIZE(hx) != 2)
      qb::fail(PyExc_TypeError, "hc must be a tuple (h, c) or None, got %R", Py_TYPE(hx));
    h = cell_rows<R>(PyTuple_GET_ITEM(hx, 0), "h", c.H, B, nd);
    cs = cell_rows<R>(PyTuple_GET_ITEM(hx, 1), "c", c.H, B, nd);
  } else if (!lstm && hx != Py_None) {
    h = cell_rows<R>(hx, "h", c.H, B, nd);
  }
  Weights<R> w = weights<R>(self, c, -1, 0);
  Ref stack = qb::getattr(self, QB_ID(stack));
  if (!PyList_Check(stack.get())) qb::fail(PyExc_TypeError, "stack must be a list, got %R", Py_TYPE(stack.get()));
  Ref sv = qb::empty_of<R>({1, B, c.S()});
  Ref hn = qb::empty_of<R>({B, c.H}), cn = lstm ? qb::empty_of<R>({B, c.H}) : Ref();
  const qk::RnnShape s{1, B, c.I, c.H, c.kind, false};
  {
    qb::NoGil nogil;
    qk::Of<R>::rnn_forward(s, qb::data_of<R>(xa), w.Wih(), w.Whh(), w.bih(), w.bhh(), ptr<R>(h), ptr<R>(cs),
                           qb::data_of<R>(hn), c.H, qb::data_of<R>(hn), ptr<R>(cn), qb::data_of<R>(sv));
  }
  PyObject* none = Py_None;
  Ref entry = qb::tuple({xa.get(), h ? h.get() : none, cs ? cs.get() : none, sv.get()});
  qb::check(PyList_Append(stack.get(), entry.get()));
  auto shaped = [&](const Ref& a) {
    if (nd == 2) return a;
    npy_intp d[1] = {c.H};
    PyArray_Dims dims{d, 1};
    return qb::check(PyArray_Newshape(qb::arr(a), &dims, NPY_CORDER));
  };
  if (!lstm) return shaped(hn);
  return qb::tuple({shaped(hn).get(), shaped(cn).get()});
}

template <class R>
Ref cell_backward(Family f, PyObject* self, PyObject* dLdh, PyObject* dLdc) {
  const Config c = config(f, self, true);
  const bool lstm = f == kLstm;
  Ref stack = qb::getattr(self, QB_ID(stack));
  if (!PyList_Check(stack.get())) qb::fail(PyExc_TypeError, "stack must be a list, got %R", Py_TYPE(stack.get()));
  const Py_ssize_t n = PyList_GET_SIZE(stack.get());
  if (n == 0)
    qb::fail(PyExc_IndexError,
             "no step left to backpropagate: backward pops the most recent forward step, and every step forward "
             "pushed has been popped already (or forward was never called)");
  Ref entry = Ref::borrow(PyList_GET_ITEM(stack.get(), n - 1));
  Ref xo = kept_item(entry.get(), 0, 4), ho = kept_item(entry.get(), 1, 4), co = kept_item(entry.get(), 2, 4);
  Ref svo = kept_item(entry.get(), 3, 4);
  if (!PyArray_Check(xo.get()) || (qb::ndim(xo) != 1 && qb::ndim(xo) != 2)) altered_state();
  const int nd = qb::ndim(xo);
  const npy_intp B = nd == 2 ? qb::dim(xo, 0) : 1, H = c.H;
  const std::vector<npy_intp> hshape = nd == 2 ? std::vector<npy_intp>{B, H} : std::vector<npy_intp>{H};
  Ref xa = kept<R>(xo.get(), nd == 2 ? std::vector<npy_intp>{B, c.I} : std::vector<npy_intp>{c.I});
  Ref h = ho.get() == Py_None ? Ref() : kept<R>(ho.get(), hshape);
  Ref cs = co.get() == Py_None ? Ref() : kept<R>(co.get(), hshape);
  Ref sv = kept<R>(svo.get(), {1, B, c.S()});
  Ref g = cell_rows<R>(dLdh, "dLdh", H, B, nd);
  Ref gc = lstm && dLdc != Py_None ? cell_rows<R>(dLdc, "dLdc", H, B, nd) : Ref();
  Weights<R> w = weights<R>(self, c, -1, 0);
  const npy_intp G = c.G();
  Ref dx = qb::empty_of<R>(qb::dims(xa)), dh = qb::empty_of<R>(hshape), dc = lstm ? qb::empty_of<R>(hshape) : Ref();
  Ref dWih = qb::empty_of<R>({G, c.I}), dWhh = qb::empty_of<R>({G, H});
  Ref dbih = c.bias ? qb::empty_of<R>({G}) : Ref(), dbhh = c.bias ? qb::empty_of<R>({G}) : Ref();
  const qk::RnnShape s{1, B, c.I, H, c.kind, false};
  {
    qb::NoGil nogil;
    qk::Of<R>::rnn_backward(s, qb::data_of<R>(xa), w.Wih(), w.Whh(), ptr<R>(h), ptr<R>(cs), qb::data_of<R>(sv),
                            qb::data_of<R>(g), H, nullptr, ptr<R>(gc), qb::data_of<R>(dx), false, qb::data_of<R>(dh),
                            ptr<R>(dc), qb::data_of<R>(dWih), qb::data_of<R>(dWhh), ptr<R>(dbih), ptr<R>(dbhh));
  }
  ql::add_grad(self, QB_ID(dLdW_ih), dWih);
  ql::add_grad(self, QB_ID(dLdW_hh), dWhh);
  if (c.bias) {
    ql::add_grad(self, QB_ID(dLdb_ih), dbih);
    ql::add_grad(self, QB_ID(dLdb_hh), dbhh);
  }
  qb::check(PySequence_DelItem(stack.get(), n - 1));
  if (!lstm) return qb::tuple({dx.get(), dh.get()});
  Ref pair = qb::tuple({dh.get(), dc.get()});
  return qb::tuple({dx.get(), pair.get()});
}

template <int F>
Ref cell_forward_m(PyObject* self, PyObject* x, PyObject* h) {
  return QL_TYPED(cell_forward, static_cast<Family>(F), self, x, h);
}
template <int F>
Ref cell_backward_m(PyObject* self, PyObject* dLdh) {
  return QL_TYPED(cell_backward, static_cast<Family>(F), self, dLdh, Py_None);
}
Ref lstm_cell_backward_m(PyObject* self, PyObject* dLdh, PyObject* dLdc) {
  return QL_TYPED(cell_backward, kLstm, self, dLdh, dLdc);
}

Ref rnn_cell_repr(PyObject* self) {
  return ql::repr_call(self, {{"input_size", "input_size"},
                              {"hidden_size", "hidden_size"},
                              {"bias", "bias"},
                              {"nonlinearity", "nonlinearity"}});
}
Ref gated_cell_repr(PyObject* self) {
  return ql::repr_call(self, {{"input_size", "input_size"}, {"hidden_size", "hidden_size"}, {"bias", "bias"}});
}

// ---------------------------------------------------------------- Embedding

Ref emb_init(PyObject* self, PyObject* num_embeddings, PyObject* embedding_dim, PyObject* padding_idx) {
  const long long n = ql::factor(num_embeddings, "num_embeddings", 1);
  ql::factor(embedding_dim, "embedding_dim", 1);
  qb::setattr(self, QB_ID(num_embeddings), num_embeddings);
  qb::setattr(self, QB_ID(embedding_dim), embedding_dim);
  Ref pad = Ref::borrow(Py_None);
  if (padding_idx != Py_None) {
    if (!PyIndex_Check(padding_idx) || PyBool_Check(padding_idx))
      qb::fail(PyExc_TypeError, "padding_idx must be an integer or None, got %R", padding_idx);
    long long p = qb::as_index(padding_idx);
    if (p < -n || p >= n)
      qb::fail(PyExc_ValueError, "padding_idx must be within num_embeddings (from %lld to %lld), got %lld", -n, n - 1,
               p);
    if (p < 0) p += n;
    pad = qb::py_int(p);
  }
  qb::setattr(self, QB_ID(padding_idx), pad);
  Ref W = ql::in_default_dtype(qb::random_normal({num_embeddings, embedding_dim}));
  if (pad.get() != Py_None) {
    Ref row = qb::check(PySequence_GetItem(W.get(), static_cast<Py_ssize_t>(qb::as_index(pad.get()))));
    Ref zero = qb::py_float(0.0);
    Ref all = qb::check(PySlice_New(nullptr, nullptr, nullptr));
    qb::check(PyObject_SetItem(row.get(), all.get(), zero.get()));
  }
  qb::setattr(self, QB_ID(W), W);
  qb::setattr(self, QB_ID(dLdW), qb::typed_zeros(qb::dims(qb::as_array(W.get())), ql::default_type()));
  return {};
}

// The table's sizes, and the table in R.
template <class R>
Ref emb_table(PyObject* self, npy_intp* n, npy_intp* d) {
  *n = static_cast<npy_intp>(ql::factor_attr(self, QB_ID(num_embeddings), 1));
  *d = static_cast<npy_intp>(ql::factor_attr(self, QB_ID(embedding_dim), 1));
  return ql::param_as<R>(self, QB_ID(W), {*n, *d});
}

template <class R>
Ref emb_forward(PyObject* self, PyObject* indices) {
  Ref A = qb::as_array(indices);
  if (!PyArray_ISINTEGER(qb::arr(A)) || PyArray_ISBOOL(qb::arr(A)))
    qb::fail(PyExc_TypeError, "indices must be an array of integers, got dtype %S",
             reinterpret_cast<PyObject*>(PyArray_DESCR(qb::arr(A))));
  npy_intp n, d;
  Ref W = emb_table<R>(self, &n, &d);
  PyArray_Descr* i64 = PyArray_DescrFromType(NPY_INT64);
  Ref idx = qb::check(
      PyArray_FromAny(A.get(), i64, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
  if (idx.get() == A.get()) idx = qb::check(PyArray_NewCopy(qb::arr(A), NPY_CORDER));  // kept: not the caller's
  const npy_intp count = qb::size(idx);
  const int64_t* ip = static_cast<const int64_t*>(PyArray_DATA(qb::arr(idx)));
  // Unsigned indices beyond int64 wrap to negatives and are refused with them.
  for (npy_intp i = 0; i < count; ++i)
    if (ip[i] < 0 || ip[i] >= n)
      qb::fail(PyExc_IndexError, "index %lld is out of range for %zd embeddings", static_cast<long long>(ip[i]),
               static_cast<Py_ssize_t>(n));
  std::vector<npy_intp> shape = qb::dims(idx);
  shape.push_back(d);
  Ref Z = qb::empty_of<R>(shape);
  {
    qb::NoGil nogil;
    qk::Of<R>::embedding_forward(ip, count, qb::data_of<R>(W), d, qb::data_of<R>(Z));
  }
  qb::setattr(self, QB_ID(indices), idx);
  return Z;
}

template <class R>
Ref emb_backward(PyObject* self, PyObject* dLdZ) {
  Ref idx = ql::stored(self, QB_ID(indices));
  npy_intp n, d;
  emb_table<R>(self, &n, &d);
  PyArrayObject* ia = reinterpret_cast<PyArrayObject*>(idx.get());
  if (!PyArray_Check(idx.get()) || PyArray_TYPE(ia) != NPY_INT64 || !PyArray_ISCARRAY_RO(ia))
    qb::fail(PyExc_ValueError, "the stored indices have been altered; call forward again");
  const npy_intp count = PyArray_SIZE(ia);
  const int64_t* ip = static_cast<const int64_t*>(PyArray_DATA(ia));
  for (npy_intp i = 0; i < count; ++i)
    if (ip[i] < 0 || ip[i] >= n)
      qb::fail(PyExc_IndexError, "stored index %lld is out of range for %zd embeddings", static_cast<long long>(ip[i]),
               static_cast<Py_ssize_t>(n));
  Ref g = qb::to_real<R>(dLdZ, "dLdZ");
  std::vector<npy_intp> shape = qb::dims(ia);
  shape.push_back(d);
  if (qb::dims(g) != shape)
    qb::fail(PyExc_ValueError, "dLdZ has shape %s, but the last output had shape %s",
             qb::shape_text(qb::dims(g)).c_str(), qb::shape_text(shape).c_str());
  Ref padv = qb::getattr(self, QB_ID(padding_idx));
  const long long skip = padv.get() == Py_None ? -1 : qb::as_index(padv.get());
  Ref cur = qb::getattr(self, QB_ID(dLdW));
  PyArrayObject* c = reinterpret_cast<PyArrayObject*>(cur.get());
  const bool in_place = PyArray_CheckExact(cur.get()) && PyArray_TYPE(c) == qb::type_of<R> && PyArray_ISCARRAY(c) &&
                        PyArray_ISNOTSWAPPED(c) && qb::dims(c) == std::vector<npy_intp>{n, d};
  Ref target = in_place ? cur : qb::zeros_of<R>({n, d});
  {
    qb::NoGil nogil;
    qk::Of<R>::embedding_backward(ip, count, qb::data_of<R>(g), d, skip, qb::data_of<R>(target));
  }
  if (!in_place) ql::add_grad(self, QB_ID(dLdW), target);
  return {};
}

Ref emb_forward_m(PyObject* self, PyObject* indices) { return QL_TYPED(emb_forward, self, indices); }
Ref emb_backward_m(PyObject* self, PyObject* dLdZ) { return QL_TYPED(emb_backward, self, dLdZ); }

Ref emb_repr(PyObject* self) {
  return ql::repr_call(
      self, {{"num_embeddings", "num_embeddings"}, {"embedding_dim", "embedding_dim"}, {"padding_idx", "padding_idx"}});
}

// ---------------------------------------------------------------- documentation

const char* const RNN_DOC =
    R"(Elman recurrent layer over whole sequences: h_t = tanh(W_ih x_t + b_ih + W_hh h_(t-1) + b_hh).

With nonlinearity='relu' the tanh is a ReLU.  Layers stack (num_layers: each
layer reads the hidden states of the one below) and run in both directions
with bidirectional=True (the backward direction reads the sequence from its
end; Y holds both directions' states side by side).  Shapes, gate equations
and parameter layout are PyTorch's, so weights copy across by name
(weight_ih_l0 is W_ih_l0, bias_hh_l1_reverse is b_hh_l1_reverse).

Arguments:
    input_size (int): features of each time step of the input.
    hidden_size (int): features of the hidden state.
    num_layers (int): stacked layers (1).
    nonlinearity (str): 'tanh' (the default) or 'relu'.
    bias (bool): whether the layers have the biases b_ih and b_hh (True).
    batch_first (bool): X and Y are (batch, seq_len, features) rather than
        (seq_len, batch, features); the hidden states stay
        (num_layers * directions, batch, hidden_size) either way.
    bidirectional (bool): run a second layer over the reversed sequence.

Attributes:
    W_ih_l{k}, W_hh_l{k}, b_ih_l{k}, b_hh_l{k} (suffix _reverse for the
        backward direction): (hidden_size, input_size of layer k),
        (hidden_size, hidden_size), (hidden_size,), drawn from
        U(-1/sqrt(hidden_size), 1/sqrt(hidden_size)) with numpy's global
        generator in PyTorch's order; read afresh by every call.
    dLdW_ih_l{k}, ...: their gradients, zero at construction; every backward
        adds to them (reset them with an optimizer's zero_grad).
    dLdh0: the gradient of the initial hidden state, set by backward.
    cache: what forward keeps for backward (inputs and activations of every
        layer and step).

Each forward starts a new graph: passing the h_n of one chunk of a long
sequence as the h0 of the next backpropagates through that chunk only, as
detaching the state does in PyTorch (truncated backpropagation through time).

Example:
    >>> np.random.seed(0)
    >>> rnn = RNN(3, 5, num_layers=2)
    >>> X = np.random.randn(7, 4, 3)            # (seq_len, batch, input_size)
    >>> Y, h_n = rnn.forward(X)
    >>> Y.shape, h_n.shape
    ((7, 4, 5), (2, 4, 5))
    >>> rnn.backward(np.ones(Y.shape)).shape    # dLdX
    (7, 4, 3)
    >>> h = None                                # truncated backpropagation, chunk by chunk
    >>> for chunk in np.split(np.random.randn(20, 4, 3), 4):
    ...     Y, h = rnn.forward(chunk, h)
    ...     dLdX = rnn.backward(np.ones(Y.shape))
    >>> rnn.dLdh0.shape
    (2, 4, 5))";

const char* const GRU_DOC = R"(Gated recurrent unit layer over whole sequences, with PyTorch's gates r, z, n.

    r = sigmoid(W_ir x + b_ir + W_hr h + b_hr)
    z = sigmoid(W_iz x + b_iz + W_hz h + b_hz)
    n = tanh(W_in x + b_in + r * (W_hn h + b_hn))
    h' = (1 - z) * n + z * h

The rows of W_ih, W_hh, b_ih and b_hh hold the gates in the order r, z, n.
Layers stack and run in both directions as in RNN; shapes and parameter
names are PyTorch's (weight_hh_l0 is W_hh_l0).

Arguments:
    input_size (int): features of each time step of the input.
    hidden_size (int): features of the hidden state.
    num_layers (int): stacked layers (1).
    bias (bool): whether the layers have the biases b_ih and b_hh (True).
    batch_first (bool): X and Y are (batch, seq_len, features).
    bidirectional (bool): run a second layer over the reversed sequence.

Attributes:
    W_ih_l{k} (3 hidden_size, input size), W_hh_l{k} (3 hidden_size,
        hidden_size), b_ih_l{k}, b_hh_l{k} (3 hidden_size,), suffix _reverse
        for the backward direction: U(-1/sqrt(hidden_size), 1/sqrt(hidden_size)).
    dLdW_ih_l{k}, ...: their gradients, added to by every backward.
    dLdh0: the gradient of the initial hidden state, set by backward.
    cache: what forward keeps for backward.

Example:
    >>> np.random.seed(0)
    >>> gru = GRU(8, 16, batch_first=True, bidirectional=True)
    >>> Y, h_n = gru(np.random.randn(4, 10, 8))   # (batch, seq_len, input_size)
    >>> Y.shape, h_n.shape
    ((4, 10, 32), (2, 4, 16))
    >>> dLdX = gru.backward(np.ones(Y.shape))
    >>> gru.dLdW_hh_l0_reverse.shape
    (48, 16))";

const char* const LSTM_DOC = R"(Long short-term memory layer over whole sequences, with PyTorch's gates i, f, g, o.

    i = sigmoid(W_ii x + b_ii + W_hi h + b_hi)
    f = sigmoid(W_if x + b_if + W_hf h + b_hf)
    g = tanh(W_ig x + b_ig + W_hg h + b_hg)
    o = sigmoid(W_io x + b_io + W_ho h + b_ho)
    c' = f * c + i * g,   h' = o * tanh(c')

The rows of W_ih, W_hh, b_ih and b_hh hold the gates in the order i, f, g, o.
Layers stack and run in both directions as in RNN; shapes and parameter
names are PyTorch's.

Arguments:
    input_size (int): features of each time step of the input.
    hidden_size (int): features of the hidden and cell states.
    num_layers (int): stacked layers (1).
    bias (bool): whether the layers have the biases b_ih and b_hh (True).
    batch_first (bool): X and Y are (batch, seq_len, features).
    bidirectional (bool): run a second layer over the reversed sequence.

Attributes:
    W_ih_l{k} (4 hidden_size, input size), W_hh_l{k} (4 hidden_size,
        hidden_size), b_ih_l{k}, b_hh_l{k} (4 hidden_size,), suffix _reverse
        for the backward direction: U(-1/sqrt(hidden_size), 1/sqrt(hidden_size)).
    dLdW_ih_l{k}, ...: their gradients, added to by every backward.
    dLdh0, dLdc0: the gradients of the initial states, set by backward.
    cache: what forward keeps for backward.

Example:
    >>> np.random.seed(0)
    >>> lstm = LSTM(3, 6, num_layers=2)
    >>> Y, (h_n, c_n) = lstm.forward(np.random.randn(5, 2, 3))
    >>> Y.shape, h_n.shape, c_n.shape
    ((5, 2, 6), (2, 2, 6), (2, 2, 6))
    >>> dLdX = lstm.backward(np.ones(Y.shape), dLdc_n=np.ones(c_n.shape))
    >>> lstm.dLdc0.shape
    (2, 2, 6))";

const char* const SEQ_FWD_DOC = R"(Runs every layer over the whole sequence.

Argument:
    X (np.array): (seq_len, batch, input_size), (batch, seq_len, input_size)
        with batch_first, or (seq_len, input_size) for one sequence
    h0 (np.array, optional): (num_layers * directions, batch, hidden_size)
        ((num_layers * directions, hidden_size) for one sequence); zeros if None
Return:
    (Y, h_n): Y (seq_len, batch, directions * hidden_size), in X's layout, the
        last layer's hidden state at every step; h_n the last hidden state
        of every layer and direction, shaped like h0)";

const char* const SEQ_BWD_DOC = R"(Backpropagates through every layer and step of the last forward.

Adds to the parameter gradients and sets dLdh0.

Argument:
    dLdY (np.array): shaped like the last Y
    dLdh_n (np.array, optional): shaped like h_n; zeros if None
Return:
    dLdX (np.array): shaped like the last X)";

const char* const LSTM_FWD_DOC = R"(Runs every layer over the whole sequence.

Argument:
    X (np.array): (seq_len, batch, input_size), (batch, seq_len, input_size)
        with batch_first, or (seq_len, input_size) for one sequence
    hx (tuple, optional): (h0, c0), each (num_layers * directions, batch,
        hidden_size) ((num_layers * directions, hidden_size) for one
        sequence); zeros if None
Return:
    (Y, (h_n, c_n)): Y (seq_len, batch, directions * hidden_size), in X's
        layout; h_n and c_n the last states of every layer and direction)";

const char* const LSTM_BWD_DOC = R"(Backpropagates through every layer and step of the last forward.

Adds to the parameter gradients and sets dLdh0 and dLdc0.

Argument:
    dLdY (np.array): shaped like the last Y
    dLdh_n, dLdc_n (np.array, optional): shaped like h_n and c_n; zeros if None
Return:
    dLdX (np.array): shaped like the last X)";

const char* const RNN_CELL_DOC = R"(One step of an Elman recurrent layer: h' = tanh(W_ih x + b_ih + W_hh h + b_hh).

For loops of your own: every forward pushes what its backward needs onto
`stack`, and every backward pops the most recent step, adds to the parameter
gradients and returns the gradients of that step's inputs.  So backward
calls go in the reverse order of the forward calls, the gradient passed to
each being the total for that step's output (the loss's share plus the
dLdh_prev the later step returned).  With nonlinearity='relu' the tanh is a
ReLU.  Parameters are PyTorch's (weight_ih is W_ih).

Arguments:
    input_size (int): features of x.
    hidden_size (int): features of h.
    bias (bool): whether the cell has the biases b_ih and b_hh (True).
    nonlinearity (str): 'tanh' (the default) or 'relu'.

Attributes:
    W_ih (hidden_size, input_size), W_hh (hidden_size, hidden_size), b_ih,
        b_hh (hidden_size,): U(-1/sqrt(hidden_size), 1/sqrt(hidden_size)).
    dLdW_ih, dLdW_hh, dLdb_ih, dLdb_hh: their gradients, added to by every
        backward.
    stack: a list with one tuple of arrays per step not yet backpropagated.

Example:
    >>> np.random.seed(0)
    >>> cell = RNNCell(3, 4)
    >>> xs, h = np.random.randn(6, 2, 3), None
    >>> for x in xs:
    ...     h = cell.forward(x, h)
    >>> dLdh = np.ones(h.shape)                 # the loss reads the last state only
    >>> for _ in xs:
    ...     dLdx, dLdh = cell.backward(dLdh)
    >>> len(cell.stack), dLdh.shape
    (0, (2, 4)))";

const char* const GRU_CELL_DOC = R"(One step of a gated recurrent unit, with PyTorch's gates r, z, n.

    r = sigmoid(W_ir x + b_ir + W_hr h + b_hr)
    z = sigmoid(W_iz x + b_iz + W_hz h + b_hz)
    n = tanh(W_in x + b_in + r * (W_hn h + b_hn))
    h' = (1 - z) * n + z * h

Every forward pushes what its backward needs onto `stack`; every backward
pops the most recent step (see RNNCell).

Arguments:
    input_size (int): features of x.
    hidden_size (int): features of h.
    bias (bool): whether the cell has the biases b_ih and b_hh (True).

Attributes:
    W_ih (3 hidden_size, input_size), W_hh (3 hidden_size, hidden_size),
        b_ih, b_hh (3 hidden_size,): gates r, z, n, drawn from
        U(-1/sqrt(hidden_size), 1/sqrt(hidden_size)).
    dLdW_ih, dLdW_hh, dLdb_ih, dLdb_hh: their gradients, added to by every
        backward.
    stack: a list with one tuple of arrays per step not yet backpropagated.

Example:
    >>> np.random.seed(0)
    >>> cell = GRUCell(3, 4)
    >>> h1 = cell.forward(np.random.randn(2, 3))      # h=None: zeros
    >>> h2 = cell.forward(np.random.randn(2, 3), h1)
    >>> dLdx2, dLdh1 = cell.backward(np.ones(h2.shape))
    >>> dLdx1, dLdh0 = cell.backward(dLdh1)
    >>> dLdx1.shape, cell.dLdW_hh.shape
    ((2, 3), (12, 4)))";

const char* const LSTM_CELL_DOC = R"(One step of a long short-term memory, with PyTorch's gates i, f, g, o.

    i = sigmoid(W_ii x + b_ii + W_hi h + b_hi)
    f = sigmoid(W_if x + b_if + W_hf h + b_hf)
    g = tanh(W_ig x + b_ig + W_hg h + b_hg)
    o = sigmoid(W_io x + b_io + W_ho h + b_ho)
    c' = f * c + i * g,   h' = o * tanh(c')

Every forward pushes what its backward needs onto `stack`; every backward
pops the most recent step (see RNNCell).

Arguments:
    input_size (int): features of x.
    hidden_size (int): features of h and c.
    bias (bool): whether the cell has the biases b_ih and b_hh (True).

Attributes:
    W_ih (4 hidden_size, input_size), W_hh (4 hidden_size, hidden_size),
        b_ih, b_hh (4 hidden_size,): gates i, f, g, o, drawn from
        U(-1/sqrt(hidden_size), 1/sqrt(hidden_size)).
    dLdW_ih, dLdW_hh, dLdb_ih, dLdb_hh: their gradients, added to by every
        backward.
    stack: a list with one tuple of arrays per step not yet backpropagated.

Example:
    >>> np.random.seed(0)
    >>> cell = LSTMCell(3, 4)
    >>> h, c = cell.forward(np.random.randn(2, 3))     # hc=None: zeros
    >>> dLdx, (dLdh, dLdc) = cell.backward(np.ones(h.shape), np.zeros(c.shape))
    >>> dLdx.shape, dLdc.shape
    ((2, 3), (2, 4)))";

const char* const CELL_FWD_DOC = R"(One step; pushes what backward needs onto the stack.

Argument:
    x (np.array): (batch, input_size), or (input_size,) for one sample
    h (np.array, optional): (batch, hidden_size), or (hidden_size,); zeros if None
Return:
    h' (np.array): the next hidden state, shaped like h)";

const char* const CELL_BWD_DOC = R"(Backpropagates the most recent step not yet popped, and pops it.

Adds to the parameter gradients.  IndexError when no step is left.

Argument:
    dLdh (np.array): the gradient of that step's output h', shaped like it
Return:
    (dLdx, dLdh_prev): the gradients of that step's x and h)";

const char* const LSTM_CELL_FWD_DOC = R"(One step; pushes what backward needs onto the stack.

Argument:
    x (np.array): (batch, input_size), or (input_size,) for one sample
    hc (tuple, optional): (h, c), each (batch, hidden_size) or
        (hidden_size,); zeros if None
Return:
    (h', c'): the next hidden and cell states)";

const char* const LSTM_CELL_BWD_DOC = R"(Backpropagates the most recent step not yet popped, and pops it.

Adds to the parameter gradients.  IndexError when no step is left.

Argument:
    dLdh (np.array): the gradient of that step's output h'
    dLdc (np.array, optional): the gradient of its output c'; zeros if None
Return:
    (dLdx, (dLdh_prev, dLdc_prev)): the gradients of that step's x, h and c)";

const char* const EMBEDDING_DOC = R"(A lookup table: Z = W[indices], one row of W per index.

Arguments:
    num_embeddings (int): rows of the table.
    embedding_dim (int): features of each row.
    padding_idx (int, optional): a row that stays zero (at construction) and
        receives no gradient; negative values count from the end.

Attributes:
    W (num_embeddings, embedding_dim): drawn from N(0, 1) with numpy's
        global generator, as PyTorch does; read afresh by every call.
    dLdW: its gradient, zero at construction; backward adds to the rows that
        were looked up (an index used twice adds twice, as np.add.at does).
    indices: the last input, kept by forward for backward.

Example:
    >>> np.random.seed(0)
    >>> emb = Embedding(10, 3, padding_idx=0)
    >>> Z = emb.forward(np.array([[1, 2, 0], [2, 2, 9]]))
    >>> Z.shape
    (2, 3, 3)
    >>> emb.backward(np.ones(Z.shape))
    >>> emb.dLdW[:3]
    array([[0., 0., 0.],
           [1., 1., 1.],
           [3., 3., 3.]]))";

const char* const EMB_FWD_DOC = QB_DOC("indices (np.array): integers in [0, num_embeddings), any shape",
                                       "Z (np.array): indices.shape + (embedding_dim,)");
const char* const EMB_BWD_DOC =
    R"(Adds dLdZ to the rows of dLdW the last forward looked up (except padding_idx).

Argument:
    dLdZ (np.array): indices.shape + (embedding_dim,)
Return:
    None: indices have no gradient)";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.rnn", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_rnn() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    const char* const seq = "input_size, hidden_size, num_layers=1, bias=True, batch_first=False, bidirectional=False";
    qb::make_class(m, "RNN", RNN_DOC,
                   {{"__init__",
                     "input_size, hidden_size, num_layers=1, nonlinearity='tanh', bias=True, batch_first=False, "
                     "bidirectional=False",
                     nullptr, rnn_init},
                    {"forward", "X, h0=None", SEQ_FWD_DOC, seq_forward_m<kRnn>},
                    {"__call__", "X, h0=None", SEQ_FWD_DOC, seq_forward_m<kRnn>},
                    {"backward", "dLdY, dLdh_n=None", SEQ_BWD_DOC, seq_backward_m<kRnn>},
                    {"__repr__", "", nullptr, rnn_repr}});
    qb::make_class(m, "GRU", GRU_DOC,
                   {{"__init__", seq, nullptr, gated_init<kGru>},
                    {"forward", "X, h0=None", SEQ_FWD_DOC, seq_forward_m<kGru>},
                    {"__call__", "X, h0=None", SEQ_FWD_DOC, seq_forward_m<kGru>},
                    {"backward", "dLdY, dLdh_n=None", SEQ_BWD_DOC, seq_backward_m<kGru>},
                    {"__repr__", "", nullptr, gated_repr}});
    qb::make_class(m, "LSTM", LSTM_DOC,
                   {{"__init__", seq, nullptr, gated_init<kLstm>},
                    {"forward", "X, hx=None", LSTM_FWD_DOC, seq_forward_m<kLstm>},
                    {"__call__", "X, hx=None", LSTM_FWD_DOC, seq_forward_m<kLstm>},
                    {"backward", "dLdY, dLdh_n=None, dLdc_n=None", LSTM_BWD_DOC, lstm_backward_m},
                    {"__repr__", "", nullptr, gated_repr}});
    qb::make_class(m, "RNNCell", RNN_CELL_DOC,
                   {{"__init__", "input_size, hidden_size, bias=True, nonlinearity='tanh'", nullptr, rnn_cell_init},
                    {"forward", "x, h=None", CELL_FWD_DOC, cell_forward_m<kRnn>},
                    {"__call__", "x, h=None", CELL_FWD_DOC, cell_forward_m<kRnn>},
                    {"backward", "dLdh", CELL_BWD_DOC, cell_backward_m<kRnn>},
                    {"__repr__", "", nullptr, rnn_cell_repr}});
    qb::make_class(m, "GRUCell", GRU_CELL_DOC,
                   {{"__init__", "input_size, hidden_size, bias=True", nullptr, gated_cell_init<kGru>},
                    {"forward", "x, h=None", CELL_FWD_DOC, cell_forward_m<kGru>},
                    {"__call__", "x, h=None", CELL_FWD_DOC, cell_forward_m<kGru>},
                    {"backward", "dLdh", CELL_BWD_DOC, cell_backward_m<kGru>},
                    {"__repr__", "", nullptr, gated_cell_repr}});
    qb::make_class(m, "LSTMCell", LSTM_CELL_DOC,
                   {{"__init__", "input_size, hidden_size, bias=True", nullptr, gated_cell_init<kLstm>},
                    {"forward", "x, hc=None", LSTM_CELL_FWD_DOC, cell_forward_m<kLstm>},
                    {"__call__", "x, hc=None", LSTM_CELL_FWD_DOC, cell_forward_m<kLstm>},
                    {"backward", "dLdh, dLdc=None", LSTM_CELL_BWD_DOC, lstm_cell_backward_m},
                    {"__repr__", "", nullptr, gated_cell_repr}});
    qb::make_class(m, "Embedding", EMBEDDING_DOC,
                   {{"__init__", "num_embeddings, embedding_dim, padding_idx=None", nullptr, emb_init},
                    {"forward", "indices", EMB_FWD_DOC, emb_forward_m},
                    {"__call__", "indices", EMB_FWD_DOC, emb_forward_m},
                    {"backward", "dLdZ", EMB_BWD_DOC, emb_backward_m},
                    {"__repr__", "", nullptr, emb_repr}});
  });
}
