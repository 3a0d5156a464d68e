// quillet.optim: the parameters of any network, and optimizers that update
// them from their gradients.
//
// parameters(model) walks the model's attributes (layer/walk.hpp) and returns
// every (owner, name) pair where owner.<name> is a floating-point array with
// a gradient owner.dLd<name> of the same shape; an array held by several
// layers (tied weights) is one parameter, and its gradient is the sum of every
// holder's.  The optimizers walk the model again on every step, so they follow
// layers added, removed or replaced between steps.  Their per-parameter state
// (momentum buffers, moments, step counts) belongs to the parameter array: it
// is found again by the array's identity, however the layers holding it move,
// starts afresh for a new array and is dropped with a removed one.  `self.state`
// shows it by the parameter's current dotted path; `self.param_arrays` holds
// the array each entry belongs to, under the same paths.
#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "kernels/api.hpp"
#include "layer/walk.hpp"

using qb::Ref;

namespace {

// ---------------------------------------------------------------- hyper-parameters

using qb::real;

[[noreturn]] void invalid(const char* name, const char* rule, double v) {
  Ref shown = qb::py_float(v);
  qb::fail(PyExc_ValueError, "%s must be %s, got %R", name, rule, shown.get());
}

// self.<name>, read afresh at each step: the user may set it between steps.
double setting(PyObject* self, const char* name) { return real(Ref::borrow(self).attr(name).get(), name); }

double at_least_zero(double v, const char* name) {
  if (!(v >= 0.0) || !std::isfinite(v)) invalid(name, "a finite number >= 0", v);
  return v;
}

double above_zero(double v, const char* name) {
  if (!(v > 0.0) || !std::isfinite(v)) invalid(name, "a finite number > 0", v);
  return v;
}

// (beta1, beta2), each in [0, 1).
std::pair<double, double> betas_of(PyObject* value) {
  if (!PyTuple_Check(value) && !PyList_Check(value))
    qb::fail(PyExc_TypeError, "betas must be a pair of numbers, not %s", Py_TYPE(value)->tp_name);
  if (qb::len(value) != 2)
    qb::fail(PyExc_ValueError, "betas must be a pair of numbers, got %zd of them", qb::len(value));
  double b[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    const char* name = i ? "betas[1]" : "betas[0]";
    b[i] = real(qb::item(value, i).get(), name);
    if (!(b[i] >= 0.0 && b[i] < 1.0)) invalid(name, "in [0, 1)", b[i]);
  }
  return {b[0], b[1]};
}

void set_float(PyObject* self, PyObject* name, double v) { qb::setattr(self, name, qb::py_float(v)); }

std::vector<ql::Found> parameters_of(PyObject* model, bool nonempty) {
  std::vector<ql::Found> found = ql::find_arrays(model, false);
  if (nonempty && found.empty())
    qb::fail(PyExc_ValueError,
             "model has no parameters: no floating-point array attribute X with a gradient dLdX of the same shape "
             "was found in %s or the objects it holds",
             Py_TYPE(model)->tp_name);
  return found;
}

// ---------------------------------------------------------------- parameters()

const char* const PARAMETERS_DOC =
    "parameters(model) -> list of (owner, name)\n\n"
    "Every parameter of the model: the pairs (owner, name) where owner.<name> is a\n"
    "floating-point ndarray and owner.dLd<name> an ndarray of the same shape.  The\n"
    "model's instance attributes are searched depth first in the order they were\n"
    "set, entering objects that have a __dict__ and lists and tuples of them; each\n"
    "object is visited once, so shared layers and cycles count once, and an array\n"
    "held by several layers (tied weights) is one parameter, listed where it is\n"
    "first found.";

Ref parameters(PyObject*, PyObject* model) {
  std::vector<ql::Found> found = parameters_of(model, false);
  Ref out = qb::check(PyList_New(static_cast<Py_ssize_t>(found.size())));
  for (size_t i = 0; i < found.size(); ++i)
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i),
                    qb::tuple({found[i].owner.get(), found[i].name.get()}).release());
  return out;
}

// ---------------------------------------------------------------- updates

// The parameter as an array the update can write: itself when it is a
// writeable float64 C-contiguous array (so views and references the user
// holds see the new values), otherwise a new float64 copy put in its place
// after the update.
struct Target {
  Ref array;
  bool replace;
  bool single = false;  // a float32 parameter, updated in float32 with float32 state
};

// `a` (float64) as a new float32 array.
Ref to_single(const Ref& a) { return qb::check(PyArray_CastToType(qb::arr(a), PyArray_DescrFromType(NPY_FLOAT), 0)); }

Target target(const ql::Found& f) {
  Ref p = qb::getattr(f.owner.get(), f.name.get());
  if (ql::writable_f64(p.get())) return {p, false};
  // Under float32 (quillet.default_dtype), float32 parameters stay float32.
  if (ql::writable_f32(p.get()) && ql::single_precision()) return {p, false, true};
  const std::string what = "the parameter " + f.path;
  if (PyArray_Check(p.get()) && PyArray_TYPE(qb::arr(p)) == NPY_LONGDOUBLE)
    qb::fail(PyExc_TypeError, "%s has dtype %R, which the float64 update would round; convert it first", what.c_str(),
             reinterpret_cast<PyObject*>(PyArray_DESCR(qb::arr(p))));
  return {qb::f64_copy(p.get(), what.c_str()), true};
}

// The parameter's gradient: the sum of its holders' (each gradient array
// counted once, however many holders share it), as float64.
Ref gradient(const ql::Found& f, const Ref& param) {
  Ref total;
  bool owned = false;  // `total` is a new array of ours
  std::vector<PyObject*> seen;
  for (const ql::Holder* h : f.holders()) {
    Ref raw = qb::getattr(h->owner.get(), h->grad_name.get());
    if (std::find(seen.begin(), seen.end(), raw.get()) != seen.end()) continue;
    seen.push_back(raw.get());
    Ref g = qb::as_array(raw.get());
    if (qb::dims(g) != qb::dims(param))
      qb::fail(PyExc_ValueError, "%s: the gradient has shape %s, but the parameter %s", h->path.c_str(),
               qb::shape_text(qb::dims(g)).c_str(), qb::shape_text(qb::dims(param)).c_str());
    const std::string what = "the gradient of " + h->path;
    Ref g64 = qb::to_f64(g, what.c_str());
    if (!total) {
      total = g64;
      continue;
    }
    if (!owned) {
      total = qb::f64_copy(total.get(), what.c_str());
      owned = true;
    }
    double* t = qb::data(total);
    const double* x = qb::data(g64);
    for (npy_intp i = 0, n = qb::size(total); i < n; ++i) t[i] += x[i];
  }
  return total;
}

// The optimizer's per-parameter state, self.state {path: entry dict} and
// self.param_arrays {path: the parameter array the entry belongs to}, read
// before a step and written anew, in the walk's order, once it has succeeded.
class Book {
 public:
  explicit Book(PyObject* self) : self_(self) {
    state_ = qb::getattr(self, QB_ID(state));
    if (!PyDict_Check(state_.get()))
      qb::fail(PyExc_TypeError, "the optimizer's state must be a dict, not %s", Py_TYPE(state_.get())->tp_name);
    Ref arrays = Ref::steal(PyObject_GetAttrString(self, "param_arrays"));
    if (!arrays) {  // an optimizer pickled before its state followed the arrays
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw qb::Error{};
      PyErr_Clear();
    } else if (PyDict_Check(arrays.get())) {
      arrays_ = arrays;
    }
    if (!arrays_) return;
    PyObject *key, *array;
    Py_ssize_t pos = 0;
    while (PyDict_Next(arrays_.get(), &pos, &key, &array)) {
      PyObject* e = PyDict_GetItemWithError(state_.get(), key);
      if (!e && PyErr_Occurred()) throw qb::Error{};
      if (e && PyDict_Check(e)) by_array_.emplace(array, Ref::borrow(e));
    }
  }

  // The entry of the parameter, or empty when it has none yet.  One recorded
  // for its array wins; a path the record does not mention keeps its entry.
  Ref entry(const ql::Found& f) const {
    auto it = by_array_.find(f.array.get());
    if (it != by_array_.end()) return it->second;
    Ref key = ql::path_str(f);
    if (arrays_) {
      const int recorded = PyDict_Contains(arrays_.get(), key.get());
      qb::check(recorded);
      if (recorded) return {};  // the path now holds another array
    }
    PyObject* e = PyDict_GetItemWithError(state_.get(), key.get());
    if (!e && PyErr_Occurred()) throw qb::Error{};
    return e && PyDict_Check(e) ? Ref::borrow(e) : Ref();
  }

  // The parameter's entry after the step (empty: it keeps none).
  void keep(const ql::Found& f, const Ref& array, const Ref& entry) {
    if (entry) kept_.push_back({ql::path_str(f), array, entry});
  }

  void commit() {
    Ref arrays = qb::check(PyDict_New());
    PyDict_Clear(state_.get());
    for (const Kept& k : kept_) {
      qb::check(PyDict_SetItem(state_.get(), k.path.get(), k.entry.get()));
      qb::check(PyDict_SetItem(arrays.get(), k.path.get(), k.array.get()));
    }
    qb::setattr(self_, QB_ID(param_arrays), arrays);
  }

 private:
  struct Kept {
    Ref path, array, entry;
  };
  PyObject* self_;
  Ref state_, arrays_;
  std::unordered_map<PyObject*, Ref> by_array_;  // the arrays are held by param_arrays
  std::vector<Kept> kept_;
};

// entry[name] when it is an array of the parameter's shape (as a writeable
// array of the parameter's dtype, converted and stored back if need be), else
// empty.
Ref buffer(const Ref& e, const char* name, const std::vector<npy_intp>& shape, bool single) {
  if (!e) return {};
  PyObject* b = PyDict_GetItemString(e.get(), name);
  if (!b || !PyArray_Check(b) || qb::dims(reinterpret_cast<PyArrayObject*>(b)) != shape) return {};
  if (single ? ql::writable_f32(b) : ql::writable_f64(b)) return Ref::borrow(b);
  Ref copy = qb::f64_copy(b, name);
  if (single) copy = to_single(copy);
  qb::check(PyDict_SetItemString(e.get(), name, copy.get()));
  return copy;
}

Ref new_buffer(const Ref& e, const char* name, const std::vector<npy_intp>& shape, bool single) {
  Ref z = single ? to_single(qb::zeros(shape)) : qb::zeros(shape);
  qb::check(PyDict_SetItemString(e.get(), name, z.get()));
  return z;
}

// One parameter's update, prepared (every check done) before any is applied,
// so that a step either updates every parameter or raises having changed none.
struct Job {
  ql::Found f;
  Target t;
  Ref g;
  Ref e;           // its state entry (empty: none yet)
  Ref a, b;        // momentum buffer, or Adam's moments (empty: start afresh)
  long long step;  // Adam's steps so far
};

Ref fresh_entry(const Ref& e) { return e ? e : qb::check(PyDict_New()); }

// Runs `update` without the GIL when the arrays are large.
template <class F>
void compute(npy_intp n, F update) {
  if (n >= (npy_intp{1} << 14)) {
    qb::NoGil nogil;
    update();
  } else {
    update();
  }
}

void finish(const ql::Found& f, const Target& t) {
  if (t.replace) f.assign(t.array);
}

// ---------------------------------------------------------------- zero_grad

Ref zero_grad(PyObject* self) {
  ql::zero_grads(qb::getattr(self, QB_ID(model)).get());
  return {};
}

// ---------------------------------------------------------------- SGD

Ref sgd_init(PyObject* self, PyObject* model, double lr, double momentum, double weight_decay, bool nesterov) {
  at_least_zero(lr, "lr");
  at_least_zero(momentum, "momentum");
  at_least_zero(weight_decay, "weight_decay");
  if (nesterov && momentum == 0.0) qb::fail(PyExc_ValueError, "nesterov=True needs a momentum above 0");
  parameters_of(model, true);
  qb::setattr(self, QB_ID(model), model);
  set_float(self, QB_ID(lr), lr);
  set_float(self, QB_ID(momentum), momentum);
  set_float(self, QB_ID(weight_decay), weight_decay);
  qb::setattr(self, QB_ID(nesterov), qb::to_py(nesterov));
  qb::setattr(self, QB_ID(state), qb::check(PyDict_New()));
  qb::setattr(self, QB_ID(param_arrays), qb::check(PyDict_New()));
  return {};
}

qk::SgdRule sgd_rule(PyObject* self) {
  qk::SgdRule r{};
  r.lr = at_least_zero(setting(self, "lr"), "lr");
  r.momentum = at_least_zero(setting(self, "momentum"), "momentum");
  r.weight_decay = at_least_zero(setting(self, "weight_decay"), "weight_decay");
  r.nesterov = Ref::borrow(self).attr("nesterov").truthy();
  if (r.nesterov && r.momentum == 0.0) qb::fail(PyExc_ValueError, "nesterov=True needs a momentum above 0");
  return r;
}

Ref sgd_step(PyObject* self) {
  const qk::SgdRule rule = sgd_rule(self);
  Ref model = qb::getattr(self, QB_ID(model));
  Book book(self);
  std::vector<Job> jobs;
  for (ql::Found& f : parameters_of(model.get(), false)) {
    Target t = target(f);
    Ref g = gradient(f, t.array);
    if (t.single) g = to_single(g);
    Ref e = book.entry(f);
    Ref buf = rule.momentum != 0.0 ? buffer(e, "momentum_buffer", qb::dims(t.array), t.single) : Ref();
    jobs.push_back({std::move(f), t, g, e, buf, Ref(), 0});
  }
  for (Job& j : jobs) {
    const std::vector<npy_intp> shape = qb::dims(j.t.array);
    const bool first = rule.momentum != 0.0 && !j.a;
    if (first) {
      j.e = fresh_entry(j.e);
      j.a = new_buffer(j.e, "momentum_buffer", shape, j.t.single);
    }
    const npy_intp n = qb::size(j.t.array);
    const bool momentum = rule.momentum != 0.0;
    compute(n, [&] {
      if (j.t.single) {
        qk::kernels().sgd_step_f32(rule, qb::data_of<float>(j.t.array), qb::data_of<float>(j.g),
                                   momentum ? qb::data_of<float>(j.a) : nullptr, first, n);
      } else {
        qk::kernels().sgd_step(rule, qb::data(j.t.array), qb::data(j.g), momentum ? qb::data(j.a) : nullptr, first, n);
      }
    });
    finish(j.f, j.t);
    book.keep(j.f, j.t.array, j.e);
  }
  book.commit();
  return {};
}

Ref sgd_repr(PyObject* self) {
  return qb::check(PyUnicode_FromFormat("SGD(lr=%R, momentum=%R, weight_decay=%R, nesterov=%R)",
                                        qb::getattr(self, QB_ID(lr)).get(), qb::getattr(self, QB_ID(momentum)).get(),
                                        qb::getattr(self, QB_ID(weight_decay)).get(),
                                        qb::getattr(self, QB_ID(nesterov)).get()));
}

// ---------------------------------------------------------------- Adam, AdamW

Ref adam_init(PyObject* self, PyObject* model, double lr, PyObject* betas, double eps, double weight_decay) {
  at_least_zero(lr, "lr");
  const auto b = betas_of(betas);
  above_zero(eps, "eps");
  at_least_zero(weight_decay, "weight_decay");
  parameters_of(model, true);
  qb::setattr(self, QB_ID(model), model);
  set_float(self, QB_ID(lr), lr);
  qb::setattr(self, QB_ID(betas), qb::tuple({qb::py_float(b.first).get(), qb::py_float(b.second).get()}));
  set_float(self, QB_ID(eps), eps);
  set_float(self, QB_ID(weight_decay), weight_decay);
  qb::setattr(self, QB_ID(state), qb::check(PyDict_New()));
  qb::setattr(self, QB_ID(param_arrays), qb::check(PyDict_New()));
  return {};
}

qk::AdamRule adam_rule(PyObject* self, bool decoupled) {
  qk::AdamRule r{};
  r.lr = at_least_zero(setting(self, "lr"), "lr");
  const auto b = betas_of(qb::getattr(self, QB_ID(betas)).get());
  r.beta1 = b.first;
  r.beta2 = b.second;
  r.eps = above_zero(setting(self, "eps"), "eps");
  r.weight_decay = at_least_zero(setting(self, "weight_decay"), "weight_decay");
  r.decoupled = decoupled;
  return r;
}

template <bool Decoupled>
Ref adam_step(PyObject* self) {
  const qk::AdamRule rule = adam_rule(self, Decoupled);
  Ref model = qb::getattr(self, QB_ID(model));
  Book book(self);
  std::vector<Job> jobs;
  for (ql::Found& f : parameters_of(model.get(), false)) {
    Target t = target(f);
    Ref g = gradient(f, t.array);
    if (t.single) g = to_single(g);
    const std::vector<npy_intp> shape = qb::dims(t.array);
    Ref e = book.entry(f);
    Ref m = buffer(e, "exp_avg", shape, t.single), v = buffer(e, "exp_avg_sq", shape, t.single);
    PyObject* s = e ? PyDict_GetItemString(e.get(), "step") : nullptr;
    long long step = 0;
    if (m && v && s) {
      step = qb::as_index(s);
      if (step < 0) qb::fail(PyExc_ValueError, "%s: the step count in the optimizer state is negative", f.path.c_str());
    } else {  // nothing yet, or kept for a parameter of another shape: start afresh
      m = v = Ref();
    }
    jobs.push_back({std::move(f), t, g, e, m, v, step});
  }
  for (Job& j : jobs) {
    const std::vector<npy_intp> shape = qb::dims(j.t.array);
    Ref e = fresh_entry(j.e);
    if (!j.a) {
      j.a = new_buffer(e, "exp_avg", shape, j.t.single);
      j.b = new_buffer(e, "exp_avg_sq", shape, j.t.single);
    }
    const long long step = j.step + 1;
    const npy_intp n = qb::size(j.t.array);
    compute(n, [&] {
      if (j.t.single) {
        qk::kernels().adam_step_f32(rule, qb::data_of<float>(j.t.array), qb::data_of<float>(j.g),
                                    qb::data_of<float>(j.a), qb::data_of<float>(j.b), step, n);
      } else {
        qk::kernels().adam_step(rule, qb::data(j.t.array), qb::data(j.g), qb::data(j.a), qb::data(j.b), step, n);
      }
    });
    qb::check(PyDict_SetItemString(e.get(), "step", qb::py_int(step).get()));
    finish(j.f, j.t);
    book.keep(j.f, j.t.array, e);
  }
  book.commit();
  return {};
}

template <bool Decoupled>
Ref adam_repr(PyObject* self) {
  return qb::check(PyUnicode_FromFormat("%s(lr=%R, betas=%R, eps=%R, weight_decay=%R)", Decoupled ? "AdamW" : "Adam",
                                        qb::getattr(self, QB_ID(lr)).get(), qb::getattr(self, QB_ID(betas)).get(),
                                        qb::getattr(self, QB_ID(eps)).get(),
                                        qb::getattr(self, QB_ID(weight_decay)).get()));
}

// ---------------------------------------------------------------- docs

const char* const SGD_DOC =
    "Stochastic gradient descent, with optional momentum, Nesterov momentum and\n"
    "weight decay, as torch.optim.SGD computes it (dampening 0):\n\n"
    "    g = dLdW + weight_decay * W\n"
    "    v = g on the first step, then momentum * v + g\n"
    "    W = W - lr * (g + momentum * v if nesterov else v)   (v = g without momentum)\n\n"
    "The model's parameters are found by quillet.optim.parameters(model) on every\n"
    "step.  Arrays that are writeable float64 and C-contiguous are updated in place;\n"
    "under quillet.default_dtype(numpy.float32), float32 ones are updated in place\n"
    "in float32, with float32 state; others are\n"
    "replaced by new float64 arrays (one array for every layer holding a\n"
    "tied parameter, which stays tied).  An array held by several layers is one\n"
    "parameter, updated once with the sum of their gradients.  The momentum buffers\n"
    "are kept in self.state under each parameter's dotted path; they belong to the\n"
    "parameter array (self.param_arrays holds it under the same path), so they\n"
    "follow it when layers are inserted or removed, start afresh for a new array\n"
    "and are dropped with a removed one.";

const char* const ADAM_DOC =
    "Adam, as torch.optim.Adam computes it: weight_decay is added to the gradient\n"
    "(g = dLdW + weight_decay * W), then\n\n"
    "    m = beta1 * m + (1 - beta1) * g;  v = beta2 * v + (1 - beta2) * g * g\n"
    "    W = W - lr / (1 - beta1**t) * m / (sqrt(v) / sqrt(1 - beta2**t) + eps)\n\n"
    "with t the parameter's step count.  Parameters are found, updated and keyed in\n"
    "self.state as for SGD.";

const char* const ADAMW_DOC =
    "AdamW, as torch.optim.AdamW computes it: Adam with the weight decay decoupled\n"
    "from the gradient, W = W * (1 - lr * weight_decay) before each update.";

const char* const STEP_DOC = "Updates every parameter of the model from its gradient dLd<name>.";
const char* const ZERO_DOC = "Fills every parameter gradient of the model with zeros, in place.";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.optim", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_optim() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::add_functions(m, {{"parameters", "model", PARAMETERS_DOC, parameters}});
    qb::make_class(m, "SGD", SGD_DOC,
                   {{"__init__", "model, lr, momentum=0.0, weight_decay=0.0, nesterov=False", nullptr, sgd_init},
                    {"step", "", STEP_DOC, sgd_step},
                    {"zero_grad", "", ZERO_DOC, zero_grad},
                    {"__repr__", "", nullptr, sgd_repr}});
    qb::make_class(m, "Adam", ADAM_DOC,
                   {{"__init__", "model, lr=1e-3, betas=(0.9, 0.999), eps=1e-8, weight_decay=0.0", nullptr, adam_init},
                    {"step", "", STEP_DOC, adam_step<false>},
                    {"zero_grad", "", ZERO_DOC, zero_grad},
                    {"__repr__", "", nullptr, adam_repr<false>}});
    qb::make_class(m, "AdamW", ADAMW_DOC,
                   {{"__init__", "model, lr=1e-3, betas=(0.9, 0.999), eps=1e-8, weight_decay=1e-2", nullptr, adam_init},
                    {"step", "", STEP_DOC, adam_step<true>},
                    {"zero_grad", "", ZERO_DOC, zero_grad},
                    {"__repr__", "", nullptr, adam_repr<true>}});
  });
}
