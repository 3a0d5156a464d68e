// quillet.gradcheck: compares a layer's backward pass with central finite
// differences of its forward pass.
//
// The loss is a fixed random projection of the output, L = sum(forward(A) * R),
// so backward(R) is the analytic gradient for the input and leaves the
// parameter gradients dLd<name> of every parameter quillet.optim.parameters
// finds.  Each is compared, element by element (a fixed random sample of
// `max_elements` for large tensors), with (L(x + eps) - L(x - eps)) / 2eps.
//
// The layer is left as it was found: parameters keep their arrays and values,
// the user's gradient arrays are put back untouched (the analytic pass writes
// into fresh zero arrays, whether the layer replaces its gradients or adds to
// them), buffers (running statistics) get their values back, and the state
// forward sets is that of one plain forward(A).  numpy's
// global generator is rewound before every forward, so a layer drawing from
// it sees the same numbers each time, and is left as one forward leaves it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "layer/walk.hpp"

using qb::Ref;

namespace {

PyObject* g_error = nullptr;  // GradcheckError

// ---------------------------------------------------------------- arguments

double number(PyObject* value, const char* name) {
  if (PyUnicode_Check(value) || PyBytes_Check(value) || value == Py_None)
    qb::fail(PyExc_TypeError, "%s must be a real number, not %s", name, Py_TYPE(value)->tp_name);
  const double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    qb::fail(PyExc_TypeError, "%s must be a real number, not %s", name, Py_TYPE(value)->tp_name);
  }
  return v;
}

double bounded(PyObject* value, const char* name, bool strict) {
  const double v = number(value, name);
  if (!std::isfinite(v) || (strict ? !(v > 0.0) : !(v >= 0.0))) {
    Ref shown = qb::py_float(v);
    qb::fail(PyExc_ValueError, "%s must be a finite number %s 0, got %R", name, strict ? ">" : ">=", shown.get());
  }
  return v;
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

Ref f64_copy(PyObject* o) {
  return qb::check(
      PyArray_FromAny(o, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                      NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY | NPY_ARRAY_ENSUREARRAY | NPY_ARRAY_FORCECAST, nullptr));
}

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

// Up to k distinct indices in [0, n), sorted: all of them when n <= k, else a
// fixed pseudo-random sample (Floyd's algorithm on splitmix64).
std::vector<npy_intp> sample(npy_intp n, npy_intp k, uint64_t seed) {
  std::vector<npy_intp> out;
  if (n <= k) {
    for (npy_intp i = 0; i < n; ++i) out.push_back(i);
    return out;
  }
  uint64_t state = seed;
  auto next = [&state]() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  };
  std::vector<npy_intp> chosen;
  for (npy_intp j = n - k; j < n; ++j) {
    const npy_intp t = static_cast<npy_intp>(next() % static_cast<uint64_t>(j + 1));
    chosen.push_back(std::find(chosen.begin(), chosen.end(), t) == chosen.end() ? t : j);
  }
  std::sort(chosen.begin(), chosen.end());
  return chosen;
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

// ---------------------------------------------------------------- the check

struct Tensor {
  std::string name;  // "input" or the parameter's path
  Ref values;        // the array perturbed (float64, C-contiguous, writeable)
  Ref grad;          // the analytic gradient (float64 copy), empty if unusable
  std::string note;  // why grad is empty
};

struct Row {
  std::string name, index, checked, analytic, numeric, error, verdict;
};

class Check {
 public:
  Check(PyObject* layer, double eps, double atol, double rtol, npy_intp max_elements)
      : layer_(layer), eps_(eps), atol_(atol), rtol_(rtol), max_(max_elements) {
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
        saved_params_.push_back(qb::getattr(f.owner.get(), f.name.get()));
        saved_grads_.push_back(qb::getattr(f.owner.get(), f.grad_name.get()));
        found_.push_back(std::move(f));
      }
    }
    bool ok = false;
    try {
      ok = compare(A, report);
    } catch (...) {
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      try {
        restore();
        restore_buffers();
        qb::call(set_state_.get(), {rng_.get()});
      } catch (...) {
        PyErr_Clear();
      }
      PyErr_Restore(type, value, tb);
      throw;
    }
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

 private:
  bool compare(PyObject* A, std::string* report) {
    // The tensors: the input (a copy) and every parameter as a float64 array
    // that can be perturbed in place (itself if it is one).
    std::vector<Tensor> tensors;
    tensors.push_back({"input", f64_copy(A), Ref(), ""});
    for (size_t i = 0; i < found_.size(); ++i) {
      const ql::Found& f = found_[i];
      Ref p = saved_params_[i];
      if (!ql::writable_f64(p.get())) {
        p = f64_copy(p.get());
        qb::setattr(f.owner.get(), f.name.get(), p);
      }
      tensors.push_back({f.path, p, Ref(), ""});
    }
    input_ = tensors[0].values;

    // Analytic: backward(R) after one forward, into fresh zero gradients.
    for (const ql::Found& f : found_)
      qb::setattr(f.owner.get(), f.grad_name.get(),
                  qb::zeros(qb::dims(qb::as_array(qb::getattr(f.owner.get(), f.name.get()).get()))));
    qb::call(set_state_.get(), {rng_.get()});
    Ref out = qb::to_f64(qb::call_method(layer_, QB_ID(forward), {input_.get()}).get(), "the output of forward");
    out_shape_ = qb::dims(out);
    Ref shape = qb::shape_tuple(out_shape_);
    Ref seed = qb::py_int(20240531);
    Ref gen = qb::call(qb::getattr(qb::numpy_attr(QB_ID(random)).get(), QB_ID(default_rng)).get(), {seed.get()});
    R_ = qb::to_f64(qb::call_method(gen.get(), QB_ID(standard_normal), {shape.get()}).get(), "R");
    Ref dA = qb::call_method(layer_, QB_ID(backward), {R_.get()});
    tensors[0].grad = analytic(dA.get(), qb::dims(tensors[0].values), &tensors[0].note);
    for (size_t i = 0; i < found_.size(); ++i) {
      Ref g = qb::getattr(found_[i].owner.get(), found_[i].grad_name.get());
      Tensor& t = tensors[i + 1];
      t.grad = analytic(g.get(), qb::dims(t.values), &t.note);
    }
    // Parameters whose gradient only backward created (a layer written in
    // Python may make dLdW there): checked too, and their gradient attribute
    // removed again afterwards.
    for (ql::Found& f : ql::find_arrays(layer_, true)) {
      if (f.buffer || known(f)) continue;
      Ref p = qb::getattr(f.owner.get(), f.name.get());
      saved_params_.push_back(p);
      saved_grads_.push_back(Ref());
      if (!ql::writable_f64(p.get())) {
        p = f64_copy(p.get());
        qb::setattr(f.owner.get(), f.name.get(), p);
      }
      Tensor t{f.path, p, Ref(), ""};
      Ref g = qb::getattr(f.owner.get(), f.grad_name.get());
      t.grad = analytic(g.get(), qb::dims(p), &t.note);
      tensors.push_back(t);
      found_.push_back(std::move(f));
    }

    // Numeric, tensor by tensor.
    std::vector<Row> rows;
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
      const std::vector<npy_intp> which = sample(n, max_, 0x5EEDULL + ti);
      row.checked = std::to_string(which.size()) + "/" + std::to_string(n);
      double worst = -1.0;
      double* x = qb::data(t.values);
      const double* g = qb::data(t.grad);
      for (npy_intp i : which) {
        const double x0 = x[i];
        double up, down;
        const double hi = x0 + eps_, lo = x0 - eps_;
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
        const double err = std::fabs(g[i] - numeric), tol = atol_ + rtol_ * std::fabs(numeric);
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
      rows.push_back(row);
    }
    if (!ok) *report = table(rows);
    return ok;
  }

  // L at the current values, with the generator rewound.
  double loss() {
    qb::call(set_state_.get(), {rng_.get()});
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
    int failed = 0;
    for (const Row& r : rows) failed += r.verdict == "FAIL";
    char head[160];
    std::snprintf(head, sizeof head,
                  "%d of %d gradients disagree with central differences (eps=%g, atol=%g, rtol=%g):\n", failed,
                  static_cast<int>(rows.size()), eps_, atol_, rtol_);
    std::string s = head;
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
    return s;
  }

  void restore_params() {
    for (size_t i = 0; i < found_.size(); ++i)
      qb::setattr(found_[i].owner.get(), found_[i].name.get(), saved_params_[i]);
  }

  // The buffers' arrays with their values as found.
  void restore_buffers() {
    for (const Buffer& b : buffers_) {
      if (PyArray_ISWRITEABLE(qb::arr(b.array))) qb::check(PyArray_CopyInto(qb::arr(b.array), qb::arr(b.values)));
      qb::setattr(b.where.owner.get(), b.where.name.get(), b.array);
    }
  }

  void restore() {
    restore_params();
    for (size_t i = 0; i < found_.size(); ++i) {
      if (saved_grads_[i]) {
        qb::setattr(found_[i].owner.get(), found_[i].grad_name.get(), saved_grads_[i]);
      } else if (PyObject_DelAttr(found_[i].owner.get(), found_[i].grad_name.get()) < 0) {
        PyErr_Clear();  // made by backward, and gone again
      }
    }
  }

  bool known(const ql::Found& f) const {
    for (const ql::Found& g : found_)
      if (g.owner.get() == f.owner.get() && PyUnicode_Compare(g.name.get(), f.name.get()) == 0) return true;
    return false;
  }

  PyObject* layer_;
  double eps_, atol_, rtol_;
  npy_intp max_;
  Ref get_state_, set_state_, rng_;
  struct Buffer {
    ql::Found where;
    Ref array, values;  // the attribute's array, and a copy of its values
  };
  std::vector<ql::Found> found_;
  std::vector<Ref> saved_params_, saved_grads_;
  std::vector<Buffer> buffers_;
  Ref input_, R_;
  std::vector<npy_intp> out_shape_;
};

// ---------------------------------------------------------------- gradcheck()

Ref gradcheck(PyObject*, PyObject* layer, PyObject* A, PyObject* eps, PyObject* atol, PyObject* rtol,
              PyObject* raise_exception, PyObject* max_elements) {
  check_layer(layer);
  if (!PyArray_Check(A)) qb::fail(PyExc_TypeError, "A must be a floating-point ndarray, not %s", Py_TYPE(A)->tp_name);
  if (!PyArray_ISFLOAT(reinterpret_cast<PyArrayObject*>(A)))
    qb::fail(PyExc_TypeError, "A must be a floating-point ndarray, not an array of dtype %R",
             reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(A))));
  const double e = bounded(eps, "eps", true), at = bounded(atol, "atol", false), rt = bounded(rtol, "rtol", false);
  npy_intp most = NPY_MAX_INTP;
  if (max_elements != Py_None) {
    if (!PyLong_Check(max_elements) || PyBool_Check(max_elements))
      qb::fail(PyExc_TypeError, "max_elements must be an int or None, not %s", Py_TYPE(max_elements)->tp_name);
    const long long m = PyLong_AsLongLong(max_elements);
    if (m == -1 && PyErr_Occurred()) PyErr_Clear();
    if (m < 1) qb::fail(PyExc_ValueError, "max_elements must be at least 1, got %R", max_elements);
    most = static_cast<npy_intp>(std::min<long long>(m, NPY_MAX_INTP));
  }
  const int raise = PyObject_IsTrue(raise_exception);
  qb::check(raise);

  std::string report;
  Check check(layer, e, at, rt, most);
  if (check.run(A, &report)) return Ref::borrow(Py_True);
  if (raise) qb::raise(g_error, "%s", report.c_str());
  return Ref::borrow(Py_False);
}

const char* const DOC =
    "Checks layer.backward against central finite differences of layer.forward.\n\n"
    "The loss is L = sum(forward(A) * R) with R drawn from a fixed-seed generator\n"
    "(numpy's global one is not used), so backward(R) gives dL/dA and, through\n"
    "each parameter's dLd<name>, dL/d<name> for every parameter that\n"
    "quillet.optim.parameters(layer) finds.  Each is compared with\n"
    "(L(x + eps) - L(x - eps)) / 2eps at every element, or at a fixed random sample\n"
    "of max_elements of them for larger tensors (None: every element); an element\n"
    "passes when abs(analytic - numeric) <= atol + rtol abs(numeric).\n\n"
    "Returns True when everything agrees.  Otherwise raises GradcheckError (an\n"
    "AssertionError) whose message is a table of each gradient's worst element:\n"
    "its index, the analytic and numeric values and their relative difference; or\n"
    "returns False with raise_exception=False.\n\n"
    "The layer is left as it was found, except for the state its forward sets\n"
    "(that of one forward(A)): parameters keep their arrays and values, the\n"
    "gradient arrays are put back untouched, and buffers (running_* statistics)\n"
    "get back their values before that last forward.  numpy's global generator is rewound\n"
    "before every forward, so a layer drawing from it sees the same numbers each\n"
    "time, and is left as after one forward.  Each checked element costs two\n"
    "forward passes.";

const char* const ERROR_DOC =
    "Raised by gradcheck when a gradient disagrees with finite differences; the\n"
    "message tabulates the worst element of every gradient checked.";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.gradcheck", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_gradcheck() {
  return qb::init_module(&module_def, [](PyObject* m) {
    g_error = qb::check(PyErr_NewExceptionWithDoc("quillet.gradcheck.GradcheckError", ERROR_DOC, PyExc_AssertionError,
                                                  nullptr))
                  .release();
    qb::check(PyObject_SetAttrString(m, "GradcheckError", g_error));
    qb::add_functions(
        m, {{"gradcheck", "layer, A, *, eps=1e-6, atol=1e-5, rtol=1e-3, raise_exception=True, max_elements=128", DOC,
             gradcheck}});
  });
}
