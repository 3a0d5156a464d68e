#include "layer/walk.hpp"

#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace ql {

namespace {

bool is_sequence(PyObject* o) { return PyList_Check(o) || PyTuple_Check(o); }

bool floating(PyObject* o) { return PyArray_Check(o) && PyArray_ISFLOAT(reinterpret_cast<PyArrayObject*>(o)); }

bool same_shape(PyObject* a, PyObject* b) {
  auto* x = reinterpret_cast<PyArrayObject*>(a);
  auto* y = reinterpret_cast<PyArrayObject*>(b);
  return PyArray_NDIM(x) == PyArray_NDIM(y) &&
         std::memcmp(PyArray_DIMS(x), PyArray_DIMS(y), sizeof(npy_intp) * static_cast<size_t>(PyArray_NDIM(x))) == 0;
}

using Depth = qb::RecursionGuard;

class Walk {
 public:
  explicit Walk(bool buffers) : buffers_(buffers) {}

  void object(PyObject* o, const std::string& prefix) {
    if (!seen(o)) return;
    Depth depth(" while looking for parameters");
    Ref dict = qb::check(PyObject_GenericGetDict(o, nullptr));
    // A snapshot: nothing below runs Python code, but the items are held.
    Ref items = qb::check(PyDict_Items(dict.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* kv = PyList_GET_ITEM(items.get(), i);
      PyObject* key = PyTuple_GET_ITEM(kv, 0);
      PyObject* value = PyTuple_GET_ITEM(kv, 1);
      if (!PyUnicode_Check(key)) continue;
      Py_ssize_t n = 0;
      const char* text = PyUnicode_AsUTF8AndSize(key, &n);
      if (!text) {  // a name that is not valid UTF-8 (lone surrogates) is no parameter's
        PyErr_Clear();
        continue;
      }
      const std::string path = prefix + std::string(text, static_cast<size_t>(n));
      if (floating(value)) {
        array(o, dict.get(), key, value, text, path);
      } else if (is_sequence(value)) {
        sequence(value, path + ".");
      } else if (enterable(value)) {
        object(value, path + ".");
      }
    }
  }

  void sequence(PyObject* seq, const std::string& prefix) {
    if (!seen(seq)) return;
    Depth depth(" while looking for parameters");
    Ref items = qb::check(PySequence_List(seq));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyList_GET_ITEM(items.get(), i);
      const std::string path = prefix + std::to_string(i) + ".";
      if (is_sequence(item)) {
        sequence(item, path);
      } else if (enterable(item)) {
        object(item, path);
      }
    }
  }

  std::vector<Found> found;

 private:
  void array(PyObject* owner, PyObject* dict, PyObject* key, PyObject* value, const char* text,
             const std::string& path) {
    Ref grad_name = qb::check(PyUnicode_FromFormat("dLd%U", key));
    PyObject* grad = PyDict_GetItemWithError(dict, grad_name.get());
    if (!grad && PyErr_Occurred()) throw qb::Error{};
    const bool parameter = grad && PyArray_Check(grad) && same_shape(grad, value);
    const bool buffer = !parameter && buffers_ && std::strncmp(text, "running_", 8) == 0;
    if (!parameter && !buffer) return;
    Holder here{Ref::borrow(owner), Ref::borrow(key), parameter ? grad_name : Ref(), path};
    auto known = by_array_.find(value);
    if (known != by_array_.end()) {  // met before: a tied array
      Found& first = found[known->second];
      if (first.buffer == buffer) first.also.push_back(std::move(here));
      return;
    }
    by_array_.emplace(value, found.size());
    Found f;
    static_cast<Holder&>(f) = std::move(here);
    f.buffer = buffer;
    f.array = Ref::borrow(value);
    found.push_back(std::move(f));
  }

  // True the first time an object is met.  The objects are held, so that no
  // address can be reused by another object during the walk.
  bool seen(PyObject* o) {
    if (!seen_.insert(o).second) return false;
    held_.push_back(Ref::borrow(o));
    return true;
  }

  bool buffers_;
  std::unordered_map<PyObject*, size_t> by_array_;  // arrays are held by `found`
  std::unordered_set<PyObject*> seen_;
  std::vector<Ref> held_;
};

}  // namespace

std::vector<Found> find_arrays(PyObject* model, bool buffers) {
  Walk walk(buffers);
  if (is_sequence(model)) {
    walk.sequence(model, "");
  } else if (enterable(model)) {
    walk.object(model, "");
  } else {
    qb::fail(PyExc_TypeError,
             "model must be a layer or network (an instance with attributes), or a list or tuple of them, not %s",
             Py_TYPE(model)->tp_name);
  }
  return std::move(walk.found);
}

void zero_grads(PyObject* model) {
  Ref zero = qb::py_int(0);
  for (const Found& f : find_arrays(model, false)) {
    for (const Holder* h : f.holders()) {
      Ref g = qb::getattr(h->owner.get(), h->grad_name.get());
      if (PyArray_Check(g.get()) && PyArray_ISWRITEABLE(qb::arr(g))) {
        qb::check(PyArray_FillWithScalar(qb::arr(g), zero.get()));
      } else {
        Ref p = qb::as_array(qb::getattr(h->owner.get(), h->name.get()).get());
        qb::setattr(h->owner.get(), h->grad_name.get(), qb::zeros(qb::dims(p)));
      }
    }
  }
}

std::vector<const Holder*> Found::holders() const {
  std::vector<const Holder*> out{this};
  for (const Holder& h : also) out.push_back(&h);
  return out;
}

void Found::assign(const Ref& value) const {
  for (const Holder* h : holders()) qb::setattr(h->owner.get(), h->name.get(), value);
}

Ref path_str(const Holder& f) {
  return qb::check(PyUnicode_FromStringAndSize(f.path.data(), static_cast<Py_ssize_t>(f.path.size())));
}

namespace {
bool writable(PyObject* o, int type) {
  if (!PyArray_Check(o)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  return PyArray_TYPE(a) == type && PyArray_ISCARRAY(a) && PyArray_ISNOTSWAPPED(a);
}
}  // namespace

bool writable_f64(PyObject* o) { return writable(o, NPY_DOUBLE); }
bool writable_f32(PyObject* o) { return writable(o, NPY_FLOAT); }

}  // namespace ql
