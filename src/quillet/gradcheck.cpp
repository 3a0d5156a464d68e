// quillet.gradcheck: compares a layer's backward pass with central finite
// differences of its forward pass.
//
// The loss is a fixed random projection of the output, L = sum(forward(A) * R),
// so backward(R) is the analytic gradient for the input and leaves the
// parameter gradients dLd<name> of every parameter quillet.optim.parameters
// finds.  Each is compared, element by element, with
// (L(x + eps) - L(x - eps)) / 2eps: every element of tensors up to
// `max_elements`, a random sample of that many (a new one on every call unless
// seeded) of larger ones.
//
// An array held by several attributes (tied weights) is one tensor: perturbing
// it moves every holder, and its analytic gradient is the sum of every
// holder's dLd<name>.
//
// A tensor whose checked elements are all exactly 0 both from backward and
// from the differences was never exercised: a wrong backward would pass there
// too (a zero weight matrix upstream, or one the layer never saw a non-zero
// input through).  Such tensors are named in a GradcheckWarning, or fail the
// check with strict=True.
//
// The layer is left as it was found: parameters keep their arrays and values
// at every holder, the user's gradient arrays are put back untouched (the
// analytic pass writes into fresh zero arrays, whether the layer replaces its
// gradients or adds to them), buffers (running statistics) get their values
// back, and the state forward sets is that of one plain forward(A).  numpy's
// global generator is rewound before every forward, so a layer drawing from
// it sees the same numbers each time, and is left as one forward leaves it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <unordered_set>

#include "layer/walk.hpp"

using qb::Ref;

namespace {

PyObject* g_error = nullptr;    // GradcheckError
PyObject* g_warning = nullptr;  // GradcheckWarning

// ---------------------------------------------------------------- arguments

double bounded(double v, const char* name, bool strict) {
  if (!std::isfinite(v) || (strict ? !(v > 0.0) : !(v >= 0.0))) {
    Ref shown = qb::py_float(v);
    qb::fail(PyExc_ValueError, "%s must be a finite number %s 0, got %R", name, strict ? ">" : ">=", shown.get());
  }
  return v;
}

// An int (anything with __index__ but bool), or empty for None.
Ref integer(PyObject* value, const char* name) {
  if (value == Py_None) return {};
  if (PyBool_Check(value) || !PyIndex_Check(value))
    qb::fail(PyExc_TypeError, "%s must be an int or None, not %s", name, Py_TYPE(value)->tp_name);
  return qb::check(PyNumber_Index(value));
}

npy_intp max_elements_arg(PyObject* value) {
  Ref m = integer(value, "max_elements");
  if (!m) return NPY_MAX_INTP;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(m.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw qb::Error{};
  if (overflow > 0) return NPY_MAX_INTP;
  if (overflow < 0 || v < 1) qb::fail(PyExc_ValueError, "max_elements must be at least 1, got %R", value);
  return static_cast<npy_intp>(std::min<long long>(v, NPY_MAX_INTP));
}

// The seed given, or fresh entropy (numpy's global generator is left alone).
uint64_t seed_arg(PyObject* value, bool* given) {
  Ref s = integer(value, "seed");
  *given = static_cast<bool>(s);
  if (s) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(s.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      qb::fail(PyExc_ValueError, "seed must be an int from 0 to 2**64 - 1, got %R", value);
    }
    return v;
  }
  uint64_t fresh = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  try {
    std::random_device device;
    fresh ^= (static_cast<uint64_t>(device()) << 32) ^ device();
  } catch (...) {  // no entropy source: the clock alone
  }
  return fresh;
}

void check_layer(PyObject* layer) {
  for (PyObject* name : {QB_ID(forward), QB_ID(backward)}) {
    Ref m = Ref::steal(PyObject_GetAttr(layer, name));
    if (!m && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw qb::Error{};
    PyErr_Clear();
    if (!m || !PyCallable_Check(m.get()))
      qb::fail(PyExc_TypeError, "layer must have forward(A) and backward(dLdZ) methods; %s has no %U",
               Py_TYPE(layer)->tp_name, name);
  }
}

// ---------------------------------------------------------------- helpers

Ref f64_copy(PyObject* o) { return qb::f64_copy(o, "an array"); }

// A gradient the layer produced, as a float64 copy, or empty with `note`
// saying why it cannot be compared.
Ref analytic(PyObject* value, const std::vector<npy_intp>& shape, std::string* note) {
  if (value == Py_None) {
    *note = "backward gave None";
    return {};
  }
  Ref a = qb::as_array(value);
  if (qb::dims(a) != shape) {
    *note = "shape " + qb::shape_text(qb::dims(a)) + ", expected " + qb::shape_text(shape);
    return {};
  }
  return f64_copy(qb::to_f64(a, "the gradient").get());
}

// sum(x * r), compensated (Neumaier), so the differences of nearby losses are
// not lost in the rounding of a long sum.
double dot(const double* x, const double* r, npy_intp n) {
  double sum = 0.0, c = 0.0;
  for (npy_intp i = 0; i < n; ++i) {
    const double t = x[i] * r[i];
    const double s = sum + t;
    c += std::fabs(sum) >= std::fabs(t) ? (sum - s) + t : (t - s) + sum;
    sum = s;
  }
  return sum + c;
}

uint64_t splitmix64(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// Up to k distinct indices in [0, n), sorted: all of them when n <= k, else a
// pseudo-random sample drawn from `seed` (Floyd's algorithm on splitmix64).
std::vector<npy_intp> sample(npy_intp n, npy_intp k, uint64_t seed) {
  std::vector<npy_intp> out;
  if (n <= k) {
    out.reserve(static_cast<size_t>(n));
    for (npy_intp i = 0; i < n; ++i) out.push_back(i);
    return out;
  }
  uint64_t state = seed;
  std::unordered_set<npy_intp> chosen;
  chosen.reserve(static_cast<size_t>(k));
  for (npy_intp j = n - k; j < n; ++j) {
    const npy_intp t = static_cast<npy_intp>(splitmix64(&state) % static_cast<uint64_t>(j + 1));
    chosen.insert(chosen.count(t) ? j : t);
  }
  out.assign(chosen.begin(), chosen.end());
  std::sort(out.begin(), out.end());
  return out;
}

std::string index_text(npy_intp flat, const std::vector<npy_intp>& shape) {
  std::vector<npy_intp> idx(shape.size());
  for (size_t d = shape.size(); d-- > 0;) {
    idx[d] = shape[d] ? flat % shape[d] : 0;
    flat = shape[d] ? flat / shape[d] : 0;
  }
  return qb::shape_text(idx);
}

std::string num_text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string join(const std::vector<std::string>& items) {
  std::string s;
  for (const std::string& item : items) s += (s.empty() ? "" : ", ") + item;
  return s;
}

// ---------------------------------------------------------------- the check

struct Tensor {
  std::string name;  // "input" or the parameter's path (its first holder's)
  Ref values;        // the array perturbed (float64, C-contiguous, writeable)
  Ref grad;          // the analytic gradient (float64 copy), empty if unusable
  std::string note;  // why grad is empty
};

struct Row {
  std::string name, index, checked, analytic, numeric, error, verdict;
};

// One attribute holding a parameter, with the gradient array it had (empty
// when backward made the gradient attribute).
struct Place {
  Ref owner, name, grad_name;
  std::string path;
  Ref saved_grad;
};

bool same(const Place& at, const ql::Holder& h) {
  return at.owner.get() == h.owner.get() && PyUnicode_Compare(at.name.get(), h.name.get()) == 0;
}

// A parameter: one array, held at one place or (tied) at several.
struct Param {
  Ref original;  // the array as found
  Ref values;    // what is perturbed: the original, or a float64 copy of it
  std::vector<Place> places;
};

struct Options {
  double eps, atol, rtol;
  npy_intp max_elements;
  uint64_t seed;
  bool seeded, strict;
};

class Check {
 public:
  Check(PyObject* layer, const Options& o) : layer_(layer), o_(o) {
    Ref random = qb::numpy_attr(QB_ID(random));
    get_state_ = qb::getattr(random.get(), QB_ID(get_state));
    set_state_ = qb::getattr(random.get(), QB_ID(set_state));
  }

  // Runs the check; restores the layer and the generator whatever happens.
  bool run(PyObject* A, std::string* report) {
    rng_ = qb::call(get_state_.get(), {});
    for (ql::Found& f : ql::find_arrays(layer_, true)) {
      if (f.buffer) {  // running statistics, which every forward in training mode updates
        Ref value = qb::getattr(f.owner.get(), f.name.get());
        buffers_.push_back({f, value, qb::check(PyArray_NewCopy(qb::arr(value), NPY_KEEPORDER))});
      } else {
        add_param(f, false);
      }
    }
    bool ok = false;
    qb::guarded([&] { ok = compare(A, report); },
                [&] {
                  restore();
                  restore_buffers();
                  qb::call(set_state_.get(), {rng_.get()});
                });
    // Leave the layer with the state of one plain forward(A), the parameters
    // and gradients as they were, and the generator as that forward leaves it.
    restore_params();
    restore_buffers();
    qb::call(set_state_.get(), {rng_.get()});
    try {
      qb::call_method(layer_, QB_ID(forward), {A});
    } catch (...) {
      restore();
      throw;
    }
    restore();
    return ok;
  }

  // The tensors whose checked elements were all 0 on both sides.
  const std::vector<std::string>& unexercised() const { return unexercised_; }

 private:
  void add_param(const ql::Found& f, bool made_by_backward) {
    Param p;
    p.original = f.array;
    for (const ql::Holder* h : f.holders())
      p.places.push_back({h->owner, h->name, h->grad_name, h->path,
                          made_by_backward ? Ref() : qb::getattr(h->owner.get(), h->grad_name.get())});
    params_.push_back(std::move(p));
  }

  // The parameter's array as a float64 array that can be perturbed in place:
  // itself if it is one, else a copy put at every holder.
  void prepare(Param& p) {
    p.values = p.original;
    if (ql::writable_f64(p.values.get())) return;
    p.values = f64_copy(p.values.get());
    for (const Place& at : p.places) qb::setattr(at.owner.get(), at.name.get(), p.values);
  }

  // The analytic gradient: the sum of every holder's.
  void gather(const Param& p, Tensor* t, size_t first_place = 0) {
    const std::vector<npy_intp> shape = qb::dims(t->values);
    for (size_t k = first_place; k < p.places.size() && (t->grad || k == 0); ++k) {
      const Place& at = p.places[k];
      std::string note;
      Ref g = analytic(qb::getattr(at.owner.get(), at.grad_name.get()).get(), shape, &note);
      if (!g) {
        t->grad = Ref();
        t->note = p.places.size() > 1 ? "at " + at.path + ": " + note : note;
        return;
      }
      if (k == 0) {
        t->grad = g;
        continue;
      }
      double* sum = qb::data(t->grad);
      const double* add = qb::data(g);
      for (npy_intp i = 0, n = qb::size(g); i < n; ++i) sum[i] += add[i];
    }
  }

  bool compare(PyObject* A, std::string* report) {
    // The tensors: the input (a copy) and every parameter.
    std::vector<Tensor> tensors;
    tensors.push_back({"input", f64_copy(A), Ref(), ""});
    for (Param& p : params_) {
      prepare(p);
      tensors.push_back({p.places[0].path, p.values, Ref(), ""});
    }
    input_ = tensors[0].values;

    // Analytic: backward(R) after one forward, into fresh zero gradients at
    // every holder.
    for (const Param& p : params_)
      for (const Place& at : p.places) qb::setattr(at.owner.get(), at.grad_name.get(), qb::zeros(qb::dims(p.values)));
    qb::call(set_state_.get(), {rng_.get()});
    Ref out = qb::to_f64(qb::call_method(layer_, QB_ID(forward), {input_.get()}).get(), "the output of forward");
    out_shape_ = qb::dims(out);
    const bool unmoved = same_state(qb::call(get_state_.get(), {}).get(), rng_.get());
    Ref shape = qb::shape_tuple(out_shape_);
    Ref seed = qb::py_int(20240531);
    Ref gen = qb::call(qb::getattr(qb::numpy_attr(QB_ID(random)).get(), QB_ID(default_rng)).get(), {seed.get()});
    R_ = qb::to_f64(qb::call_method(gen.get(), QB_ID(standard_normal), {shape.get()}).get(), "R");
    Ref dA = qb::call_method(layer_, QB_ID(backward), {R_.get()});
    tensors[0].grad = analytic(dA.get(), qb::dims(tensors[0].values), &tensors[0].note);
    for (size_t i = 0; i < params_.size(); ++i) gather(params_[i], &tensors[i + 1]);

    // Parameters, or holders of them, whose gradient only backward created (a
    // layer written in Python may make dLdW there): checked too, and their
    // gradient attributes removed again afterwards.
    for (ql::Found& f : ql::find_arrays(layer_, true)) {
      if (f.buffer) continue;
      const std::vector<const ql::Holder*> holders = f.holders();
      auto at_known_place = [&holders](const Param& p) {
        return std::any_of(p.places.begin(), p.places.end(), [&holders](const Place& at) {
          return std::any_of(holders.begin(), holders.end(), [&at](const ql::Holder* h) { return same(at, *h); });
        });
      };
      size_t i = 0;
      while (i < params_.size() && params_[i].values.get() != f.array.get() &&
             params_[i].original.get() != f.array.get() && !at_known_place(params_[i]))
        ++i;
      if (i == params_.size()) {
        add_param(f, true);
        prepare(params_.back());
        tensors.push_back({f.path, params_.back().values, Ref(), ""});
        gather(params_.back(), &tensors.back());
        continue;
      }
      Param& p = params_[i];
      const size_t before = p.places.size();
      for (const ql::Holder* h : holders) {
        const bool known = std::any_of(p.places.begin(), p.places.end(), [h](const Place& at) { return same(at, *h); });
        if (!known) p.places.push_back({h->owner, h->name, h->grad_name, h->path, Ref()});
      }
      for (size_t k = before; k < p.places.size(); ++k)
        if (p.values.get() != p.original.get()) qb::setattr(p.places[k].owner.get(), p.places[k].name.get(), p.values);
      if (p.places.size() > before && tensors[i + 1].grad) gather(p, &tensors[i + 1], before);
    }

    // Numeric.  A layer that did not draw from the generator in that forward
    // is not rewound before each of these (rewinding costs about as much as a
    // small forward); should it draw at a perturbed point after all, the
    // differences are taken again with rewinding.
    rewind_ = !unmoved;
    std::vector<Row> rows;
    std::vector<std::string> sampled;
    bool ok = numeric(tensors, &rows, &sampled);
    if (!rewind_ && !same_state(qb::call(get_state_.get(), {}).get(), rng_.get())) {
      rewind_ = true;
      ok = numeric(tensors, &rows, &sampled);
    }
    if (!ok) *report = table(rows) + notes(sampled);
    return ok;
  }

  // Every tensor's differences, and a row for each.
  bool numeric(std::vector<Tensor>& tensors, std::vector<Row>* out, std::vector<std::string>* sampled) {
    std::vector<Row>& rows = *out;
    rows.clear();
    sampled->clear();
    unexercised_.clear();
    bool ok = true;
    for (size_t ti = 0; ti < tensors.size(); ++ti) {
      Tensor& t = tensors[ti];
      const npy_intp n = qb::size(t.values);
      Row row{t.name, "", "", "", "", "", "ok"};
      if (!t.grad) {
        row.verdict = "FAIL";
        row.analytic = t.note;
        row.checked = "0/" + std::to_string(n);
        ok = false;
        rows.push_back(row);
        continue;
      }
      const std::vector<npy_intp> which = sample(n, o_.max_elements, o_.seed + 0x5EEDULL * (ti + 1));
      if (static_cast<npy_intp>(which.size()) < n) sampled->push_back(t.name);
      row.checked = std::to_string(which.size()) + "/" + std::to_string(n);
      double worst = -1.0;
      bool zero = !which.empty();
      double* x = qb::data(t.values);
      const double* g = qb::data(t.grad);
      for (npy_intp i : which) {
        const double x0 = x[i];
        double up, down;
        const double hi = x0 + o_.eps, lo = x0 - o_.eps;
        try {
          x[i] = hi;
          up = loss();
          x[i] = lo;
          down = loss();
        } catch (...) {
          x[i] = x0;
          throw;
        }
        x[i] = x0;
        const double numeric = (up - down) / (hi - lo);
        zero = zero && g[i] == 0.0 && numeric == 0.0;
        const double err = std::fabs(g[i] - numeric), tol = o_.atol + o_.rtol * std::fabs(numeric);
        const double score = std::isnan(err) ? INFINITY : (tol > 0.0 ? err / tol : (err > 0.0 ? INFINITY : 0.0));
        if (!(score <= 1.0)) ok = false;
        if (score > worst) {
          worst = score;
          const double scale = std::max(std::fabs(g[i]), std::fabs(numeric));
          row.index = index_text(i, qb::dims(t.values));
          row.analytic = num_text(g[i]);
          row.numeric = num_text(numeric);
          row.error = num_text(scale > 0.0 ? err / scale : (std::isnan(err) ? NAN : 0.0));
          row.verdict = score <= 1.0 ? "ok" : "FAIL";
        }
      }
      if (zero) {
        unexercised_.push_back(t.name);
        if (o_.strict) {
          row.verdict = "ZERO";
          ok = false;
        }
      }
      rows.push_back(row);
    }
    return ok;
  }

  // Whether numpy.random.get_state() gave `a` and `b` for the same state.
  static bool same_state(PyObject* a, PyObject* b) {
    if (!PyTuple_Check(a) || !PyTuple_Check(b) || PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(a); ++i) {
      PyObject *x = PyTuple_GET_ITEM(a, i), *y = PyTuple_GET_ITEM(b, i);
      if (PyArray_Check(x) || PyArray_Check(y)) {
        if (!PyArray_Check(x) || !PyArray_Check(y)) return false;
        auto *p = reinterpret_cast<PyArrayObject*>(x), *q = reinterpret_cast<PyArrayObject*>(y);
        if (!PyArray_EquivTypes(PyArray_DESCR(p), PyArray_DESCR(q)) || qb::dims(p) != qb::dims(q) ||
            !PyArray_ISCARRAY_RO(p) || !PyArray_ISCARRAY_RO(q) ||
            std::memcmp(PyArray_DATA(p), PyArray_DATA(q), static_cast<size_t>(PyArray_NBYTES(p))) != 0)
          return false;
      } else {
        const int eq = PyObject_RichCompareBool(x, y, Py_EQ);
        qb::check(eq);
        if (!eq) return false;
      }
    }
    return true;
  }

  // L at the current values, with the generator rewound.
  double loss() {
    if (rewind_) qb::call(set_state_.get(), {rng_.get()});
    Ref out = qb::to_f64(qb::call_method(layer_, QB_ID(forward), {input_.get()}).get(), "the output of forward");
    if (qb::dims(out) != out_shape_)
      qb::fail(PyExc_ValueError, "forward gave shape %s, then %s for the same input shape",
               qb::shape_text(out_shape_).c_str(), qb::shape_text(qb::dims(out)).c_str());
    return dot(qb::data(out), qb::data(R_), qb::size(out));
  }

  std::string table(const std::vector<Row>& rows) const {
    std::vector<Row> all = {{"gradient", "worst at", "checked", "analytic", "numeric", "rel. error", ""}};
    all.insert(all.end(), rows.begin(), rows.end());
    size_t w[6] = {0, 0, 0, 0, 0, 0};
    for (const Row& r : all) {
      const std::string* f[6] = {&r.name, &r.index, &r.checked, &r.analytic, &r.numeric, &r.error};
      for (int c = 0; c < 6; ++c) w[c] = std::max(w[c], f[c]->size());
    }
    int failed = 0, zero = 0;
    for (const Row& r : rows) {
      failed += r.verdict == "FAIL";
      zero += r.verdict == "ZERO";
    }
    const int total = static_cast<int>(rows.size());
    char head[240];
    if (failed && zero) {
      std::snprintf(head, sizeof head,
                    "%d of %d gradients disagree with central differences and %d were never exercised", failed, total,
                    zero);
    } else if (failed) {
      std::snprintf(head, sizeof head, "%d of %d gradients disagree with central differences", failed, total);
    } else {
      std::snprintf(head, sizeof head, "%d of %d gradients were never exercised", zero, total);
    }
    std::string s = head;
    std::snprintf(head, sizeof head, " (eps=%g, atol=%g, rtol=%g):\n", o_.eps, o_.atol, o_.rtol);
    s += head;
    for (const Row& r : all) {
      const std::string* f[6] = {&r.name, &r.index, &r.checked, &r.analytic, &r.numeric, &r.error};
      std::string line = "  ";
      for (int c = 0; c < 6; ++c) {
        const std::string& v = *f[c];
        const size_t pad = w[c] - v.size();
        line += c == 0 ? v + std::string(pad, ' ') : std::string(pad, ' ') + v;
        line += "  ";
      }
      line += r.verdict;
      while (!line.empty() && line.back() == ' ') line.pop_back();
      s += line + "\n";
    }
    s.pop_back();
    if (zero)
      s += "\nZERO: every checked element is exactly 0 both from backward and from the differences, so a wrong "
           "backward would pass there too (strict=True); check at a point where those gradients are not zero";
    return s;
  }

  // What the table cannot show: tied parameters and sampled tensors.
  std::string notes(const std::vector<std::string>& sampled) const {
    std::string s;
    for (const Param& p : params_) {
      if (p.places.size() < 2) continue;
      std::vector<std::string> others;
      for (size_t k = 1; k < p.places.size(); ++k) others.push_back(p.places[k].path);
      s += "\n" + p.places[0].path + " is also held at " + join(others) + ": its gradient is the sum of theirs";
    }
    if (!sampled.empty()) {
      s += "\n" + join(sampled) + ": a random sample of the elements was checked (seed=" + std::to_string(o_.seed) +
           " repeats it); max_elements=None checks every element";
    }
    return s;
  }

  void restore_params() {
    for (const Param& p : params_)
      for (const Place& at : p.places) qb::setattr(at.owner.get(), at.name.get(), p.original);
  }

  // The buffers' arrays with their values as found.
  void restore_buffers() {
    for (const Buffer& b : buffers_) {
      if (PyArray_ISWRITEABLE(qb::arr(b.array))) qb::check(PyArray_CopyInto(qb::arr(b.array), qb::arr(b.values)));
      b.where.assign(b.array);
    }
  }

  void restore() {
    restore_params();
    for (const Param& p : params_) {
      for (const Place& at : p.places) {
        if (at.saved_grad) {
          qb::setattr(at.owner.get(), at.grad_name.get(), at.saved_grad);
        } else if (PyObject_DelAttr(at.owner.get(), at.grad_name.get()) < 0) {
          PyErr_Clear();  // made by backward, and gone again
        }
      }
    }
  }

  PyObject* layer_;
  Options o_;
  Ref get_state_, set_state_, rng_;
  struct Buffer {
    ql::Found where;
    Ref array, values;  // the attribute's array, and a copy of its values
  };
  std::vector<Param> params_;
  std::vector<Buffer> buffers_;
  std::vector<std::string> unexercised_;
  bool rewind_ = true;
  Ref input_, R_;
  std::vector<npy_intp> out_shape_;
};

// ---------------------------------------------------------------- gradcheck()

void warn_unexercised(const std::vector<std::string>& names) {
  const bool input = !names.empty() && names[0] == "input";
  std::string text = "nothing was exercised for " + join(names) +
                     ": every checked element of their gradients is exactly 0, both from backward and from the "
                     "finite differences, so a wrong backward there would have passed too.";
  if (input)
    text +=
        "  The output does not depend on the input at this point: a zero weight matrix, or a layer that saw "
        "only zeros, hides everything before it.";
  text +=
      "  Check at a point where these gradients are not zero (non-zero weights, inputs that reach every "
      "layer); strict=True makes this a failure.";
  qb::check(PyErr_WarnEx(g_warning, text.c_str(), 1));
}

Ref gradcheck(PyObject*, PyObject* layer, PyObject* A, double eps, double atol, double rtol, bool raise_exception,
              PyObject* max_elements, PyObject* seed, bool strict) {
  check_layer(layer);
  if (!PyArray_Check(A)) qb::fail(PyExc_TypeError, "A must be a floating-point ndarray, not %s", Py_TYPE(A)->tp_name);
  if (!PyArray_ISFLOAT(reinterpret_cast<PyArrayObject*>(A)))
    qb::fail(PyExc_TypeError, "A must be a floating-point ndarray, not an array of dtype %R",
             reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(A))));
  Options o{};
  o.eps = bounded(eps, "eps", true);
  o.atol = bounded(atol, "atol", false);
  o.rtol = bounded(rtol, "rtol", false);
  o.max_elements = max_elements_arg(max_elements);
  o.seed = seed_arg(seed, &o.seeded);
  o.strict = strict;

  // The differences are taken in float64 whatever the default dtype: a float32
  // model is checked with its parameters' values read as float64.
  Ref var = qb::import("quillet").attr("_default_dtype_var");
  Ref token = qb::check(PyContextVar_Set(var.get(), qb::numpy_attr(QB_ID(float64)).get()));
  std::string report;
  Check check(layer, o);
  bool ok = false;
  qb::guarded([&] { ok = check.run(A, &report); }, [&] { qb::check(PyContextVar_Reset(var.get(), token.get())); });
  qb::check(PyContextVar_Reset(var.get(), token.get()));
  if (ok && !check.unexercised().empty()) warn_unexercised(check.unexercised());
  if (ok) return Ref::borrow(Py_True);
  if (raise_exception) qb::raise(g_error, "%s", report.c_str());
  return Ref::borrow(Py_False);
}

const char* const DOC =
    "Checks layer.backward against central finite differences of layer.forward.\n\n"
    "The loss is L = sum(forward(A) * R) with R drawn from a fixed-seed generator\n"
    "(numpy's global one is not used), so backward(R) gives dL/dA and, through\n"
    "each parameter's dLd<name>, dL/d<name> for every parameter that\n"
    "quillet.optim.parameters(layer) finds.  Each is compared with\n"
    "(L(x + eps) - L(x - eps)) / 2eps; an element passes when\n"
    "abs(analytic - numeric) <= atol + rtol abs(numeric).\n\n"
    "A tensor of up to max_elements (100,000) elements is checked at every\n"
    "element; a larger one at a random sample of max_elements, a new sample on\n"
    "every call unless seed (an int) is given.  The failure message names the\n"
    "seed that repeats the sample; max_elements=None checks every element.  Each\n"
    "checked element costs two forward passes.\n\n"
    "An array held by several attributes (tied weights, b.W = a.W) is checked\n"
    "once, under its first path: perturbing it moves every holder, and its\n"
    "gradient is the sum of every holder's dLd<name>.\n\n"
    "Returns True when everything agrees.  Otherwise raises GradcheckError (an\n"
    "AssertionError) whose message is a table of each gradient's worst element:\n"
    "its index, the analytic and numeric values and their relative difference; or\n"
    "returns False with raise_exception=False.\n\n"
    "What a pass proves: backward agrees with forward at this one point A, these\n"
    "parameter values and this one projection R, at the elements checked.  A\n"
    "gradient right here may be wrong elsewhere (on the other side of a ReLU's\n"
    "kink, with other shapes, in the other of train() and eval()), and an element\n"
    "left out of a sample was not looked at.  A gradient that is 0 at every\n"
    "checked element, both from backward and from the differences, proves\n"
    "nothing: a wrong backward would give 0 there too (behind a zero weight\n"
    "matrix, say, every later layer sees only zeros).  Such tensors are named in\n"
    "a GradcheckWarning; with strict=True they fail the check instead (verdict\n"
    "ZERO).  Check at a point where every gradient is non-zero: random weights\n"
    "and inputs away from kinks.\n\n"
    "The layer is left as it was found, except for the state its forward sets\n"
    "(that of one forward(A)): parameters keep their arrays and values at every\n"
    "holder, the gradient arrays are put back untouched, and buffers (running_*\n"
    "statistics) get back their values before that last forward.  numpy's global\n"
    "generator is rewound before every forward, so a layer drawing random numbers\n"
    "from it (dropout masks) sees the same ones each time, and is left as after\n"
    "one forward; a layer drawing from another generator makes the differences\n"
    "meaningless.";

const char* const ERROR_DOC =
    "Raised by gradcheck when a gradient disagrees with finite differences (or,\n"
    "with strict=True, was never exercised); the message tabulates the worst\n"
    "element of every gradient checked.";

const char* const WARNING_DOC =
    "Warned by gradcheck when the check passed but proved nothing for some\n"
    "tensors: every checked element of their gradients was exactly 0, both from\n"
    "backward and from the finite differences.  The message names them.";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.gradcheck", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_gradcheck() {
  return qb::init_module(&module_def, [](PyObject* m) {
    g_error = qb::check(PyErr_NewExceptionWithDoc("quillet.gradcheck.GradcheckError", ERROR_DOC, PyExc_AssertionError,
                                                  nullptr))
                  .release();
    qb::check(PyObject_SetAttrString(m, "GradcheckError", g_error));
    g_warning = qb::check(PyErr_NewExceptionWithDoc("quillet.gradcheck.GradcheckWarning", WARNING_DOC,
                                                    PyExc_UserWarning, nullptr))
                    .release();
    qb::check(PyObject_SetAttrString(m, "GradcheckWarning", g_warning));
    qb::add_functions(m, {{"gradcheck",
                           "layer, A, *, eps=1e-6, atol=1e-5, rtol=1e-3, raise_exception=True, max_elements=100000, "
                           "seed=None, strict=False",
                           DOC, gradcheck}});
  });
}
