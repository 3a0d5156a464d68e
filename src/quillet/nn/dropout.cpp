// quillet.nn.dropout: inverted dropout.  In training mode each element is
// kept with probability 1 - p and scaled by 1 / (1 - p); the mask comes from
// numpy's global generator, so np.random.seed reproduces it.  It computes in
// the default dtype (float64, or float32 under quillet.default_dtype(np.float32)).
#include <cmath>

#include "kernels/api.hpp"
#include "layer/layer.hpp"

using qb::Ref;

namespace {

double probability(PyObject* self) {
  Ref v = qb::getattr(self, QB_ID(p));
  const double p = PyFloat_AsDouble(v.get());
  if (p == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    qb::fail(PyExc_TypeError, "p must be a real number, got %R", v.get());
  }
  if (!(p >= 0.0 && p < 1.0)) qb::fail(PyExc_ValueError, "p must be at least 0 and below 1, got %R", v.get());
  return p;
}

Ref init(PyObject* self, PyObject* p) {
  qb::setattr(self, QB_ID(p), p);
  probability(self);
  qb::setattr(self, QB_ID(train_mode), Py_True);
  return {};
}

// What passes unchanged: the argument itself, or under float32 a float32 copy
// of an argument of another dtype.
Ref passed(PyObject* arg, const char* what) {
  Ref A = qb::as_array(arg);
  if (!ql::single_precision() || PyArray_TYPE(qb::arr(A)) == NPY_FLOAT) return A;
  return qb::to_real<float>(A, what);
}

// Each pass computes in R, the default dtype at the call (float64 or float32).
template <class R>
Ref forward_in(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  const double p = probability(self);
  const int train = PyObject_IsTrue(qb::getattr(self, QB_ID(train_mode)).get());
  qb::check(train);
  if (!train || p == 0.0) {
    qb::setattr(self, QB_ID(mask), Py_None);
    return passed(A.get(), "A");
  }
  Ref a = qb::to_real<R>(A, "A");
  // One 32-bit word per element from the global generator; an element is
  // kept where its word is at least p 2^32 (probability 1 - p, to 2^-32).
  Ref randint = qb::getattr(qb::numpy_attr(QB_ID(random)).get(), QB_ID(randint));
  Ref low = qb::py_int(0), high = qb::check(PyLong_FromUnsignedLongLong(1ULL << 32));
  Ref args = qb::tuple({low.get(), high.get(), qb::shape_tuple(qb::dims(a)).get()});
  Ref kwargs = qb::check(Py_BuildValue("{s:O}", "dtype", qb::numpy_attr(QB_ID(uint32)).get()));
  Ref words = qb::check(PyObject_Call(randint.get(), args.get(), kwargs.get()));
  Ref r = qb::check(PyArray_FromAny(words.get(), PyArray_DescrFromType(NPY_UINT32), 0, 0, NPY_ARRAY_CARRAY, nullptr));
  const double cut = std::ceil(p * 4294967296.0);
  const uint32_t threshold = cut >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(cut);
  Ref out = qb::empty_of<R>(qb::dims(a));
  Ref mask = qb::check(PyArray_Empty(qb::ndim(a), PyArray_DIMS(qb::arr(a)), PyArray_DescrFromType(NPY_BOOL), 0));
  {
    qb::NoGil nogil;
    qk::Of<R>::dropout(qb::data_of<R>(a), static_cast<const uint32_t*>(PyArray_DATA(qb::arr(r))), threshold,
                       1.0 / (1.0 - p), qb::data_of<R>(out), static_cast<bool*>(PyArray_DATA(qb::arr(mask))),
                       qb::size(a));
  }
  qb::setattr(self, QB_ID(mask), mask);
  return out;
}

template <class R>
Ref backward_in(PyObject* self, PyObject* arg) {
  Ref stored = ql::stored(self, QB_ID(mask));
  if (stored.get() == Py_None) return passed(arg, "dLdZ");
  Ref mask =
      qb::check(PyArray_FromAny(stored.get(), PyArray_DescrFromType(NPY_BOOL), 0, 0, NPY_ARRAY_CARRAY_RO, nullptr));
  Ref g = qb::to_real<R>(arg, "dLdZ");
  if (qb::dims(g) != qb::dims(mask))
    qb::fail(PyExc_ValueError, "dLdZ has shape %s, but the last input had shape %s",
             qb::shape_text(qb::dims(g)).c_str(), qb::shape_text(qb::dims(mask)).c_str());
  const double p = probability(self);
  Ref dA = qb::empty_of<R>(qb::dims(g));
  {
    qb::NoGil nogil;
    qk::Of<R>::dropout_grad(qb::data_of<R>(g), static_cast<const bool*>(PyArray_DATA(qb::arr(mask))), 1.0 / (1.0 - p),
                            qb::data_of<R>(dA), qb::size(g));
  }
  return dA;
}

Ref forward(PyObject* self, PyObject* arg) { return QL_TYPED(forward_in, self, arg); }
Ref backward(PyObject* self, PyObject* arg) { return QL_TYPED(backward_in, self, arg); }

Ref repr(PyObject* self) { return ql::repr_call(self, {{"p", "p"}}); }

const char* const DOC = R"(Inverted dropout: zeroes elements at random while training, scaling the rest up.

In training mode (the default) each element is kept with probability 1 - p
and multiplied by 1 / (1 - p), so the expected output is the input; the mask
is drawn from numpy's global generator (np.random.randint(0, 2**32, A.shape,
dtype=np.uint32): an element is kept where its draw is at least p 2^32), so
np.random.seed reproduces it, and backward applies the same mask.  In
evaluation mode (after eval()), and for p = 0, forward returns its input and
backward its gradient unchanged.  Calling the object is forward.

Arguments:
    p (float): the probability of zeroing an element, in [0, 1) (0.5).

Attributes:
    p: the probability, read afresh by every call.
    train_mode: True in training mode; train() and eval() set it.
    mask: which elements the last forward kept (None when it kept all).

Example:
    >>> np.random.seed(3)
    >>> Dropout(0.5)(np.ones((1, 8)))
    array([[2., 0., 2., 2., 0., 0., 2., 2.]]))";

const char* const FWD_DOC =
    QB_DOC("A (np.array): (batch_size, ...)", "Z (np.array): (batch_size, ...), the shape of A");
const char* const BWD_DOC =
    QB_DOC("dLdZ (np.array): (batch_size, ...)", "dLdA (np.array): (batch_size, ...), the shape of dLdZ");

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.dropout", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_dropout() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::make_class(m, "Dropout", DOC,
                   {{"__init__", "p=0.5", nullptr, init},
                    {"forward", "A", FWD_DOC, forward},
                    {"__call__", "A", FWD_DOC, forward},
                    {"backward", "dLdZ", BWD_DOC, backward},
                    {"train", "", "Training mode: drop elements at random.", ql::train},
                    {"eval", "", "Evaluation mode: pass everything through unchanged.", ql::eval},
                    {"__repr__", "", nullptr, repr}});
  });
}
