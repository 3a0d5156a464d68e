// quillet.flatten: a batch of feature maps to a batch of vectors and back.
// Both directions are numpy reshapes (views where numpy can make one).
#include "layer/layer.hpp"

using qb::Ref;

namespace {

Ref forward(PyObject* self, PyObject* arg) {
  Ref A = qb::as_array(arg);
  const int nd = qb::ndim(A);
  qb::setattr(self, QB_ID(original_shape), qb::getattr(A.get(), QB_ID(shape)));
  if (nd == 0) qb::fail(PyExc_IndexError, "A must have at least one axis (the batch), got a 0-d array");
  npy_intp d[2] = {PyArray_DIM(qb::arr(A), 0), -1};
  if (d[0] == 0) {
    // numpy cannot infer -1 for an empty batch; the extent is still known.
    d[1] = 1;
    for (int i = 1; i < nd; ++i) d[1] = qb::mul_size(d[1], PyArray_DIM(qb::arr(A), i));
  }
  PyArray_Dims shape = {d, 2};
  return qb::check(PyArray_Newshape(qb::arr(A), &shape, NPY_CORDER));
}

Ref backward(PyObject* self, PyObject* arg) {
  Ref G = qb::as_array(arg);
  Ref shape = ql::stored(self, QB_ID(original_shape));
  return qb::check(PyArray_Reshape(qb::arr(G), shape.get()));
}

const char* const DOC = R"(Flattens a batch of feature maps into a batch of vectors, and back.

forward reshapes A (batch, ...) to (batch, product of the other axes), a view
where NumPy can make one; backward reshapes the gradient to the shape of the
last input.

Attributes:
    original_shape: the shape of the last input, kept by forward for
        backward.

Example:
    >>> Flatten().forward(np.ones((16, 8, 5))).shape
    (16, 40))";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.flatten", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_flatten() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::make_class(m, "Flatten", DOC,
                   {{"forward", "A",
                     QB_DOC("A (np.array): (batch_size, in_channels, in_width)",
                            "Z (np.array): (batch_size, in_channels * in width)"),
                     forward},
                    {"__call__", "A",
                     QB_DOC("A (np.array): (batch_size, in_channels, in_width)",
                            "Z (np.array): (batch_size, in_channels * in width)"),
                     forward},
                    {"backward", "dLdZ",
                     QB_DOC("dLdZ (np.array): (batch size, in channels * in width)",
                            "dLdA (np.array): (batch size, in channels, in width)"),
                     backward},
                    {"__repr__", "", nullptr, ql::bare_repr}});
  });
}
