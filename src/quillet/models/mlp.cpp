// quillet.models.mlp (also models.mlp): a multi-layer perceptron, Linear layers with a ReLU between
// every two of them.
#include "layer/layer.hpp"

using qb::Ref;

namespace {

PyObject* g_module = nullptr;

Ref init(PyObject* self, PyObject* layer_sizes) {
  Ref layers = qb::check(PyList_New(0));
  const Py_ssize_t n = qb::len(layer_sizes), m = n - 1;
  Ref linear = qb::global(g_module, QB_ID(Linear));
  Ref relu = qb::global(g_module, QB_ID(ReLU));
  for (Py_ssize_t i = 0; i < m; ++i) {
    Ref in = qb::check(PySequence_GetItem(layer_sizes, i));
    Ref out = qb::check(PySequence_GetItem(layer_sizes, i + 1));
    qb::check(PyList_Append(layers.get(), qb::call(linear.get(), {in.get(), out.get()}).get()));
    qb::check(PyList_Append(layers.get(), qb::call(relu.get(), {}).get()));
  }
  // No activation after the last linear layer.
  Ref trimmed = qb::check(
      PyList_GetSlice(layers.get(), 0, PyList_GET_SIZE(layers.get()) > 0 ? PyList_GET_SIZE(layers.get()) - 1 : 0));
  qb::setattr(self, QB_ID(layers), trimmed);
  return {};
}

Ref init_weights(PyObject* self, PyObject* weights) {
  const Py_ssize_t n = qb::len(weights);
  Ref layers = qb::getattr(self, QB_ID(layers));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref w = qb::check(PySequence_GetItem(weights, i));
    Ref layer = qb::item(layers.get(), 2 * i);
    // Under float32 the weights are stored as float32, as the layer's own would be.
    qb::setattr(layer.get(), QB_ID(W), ql::in_default_dtype(qb::getattr(w.get(), QB_ID(T))));
  }
  return {};
}

Ref forward(PyObject* self, PyObject* A) {
  Ref Z = Ref::borrow(A);
  Ref layers = qb::getattr(self, QB_ID(layers));
  Ref it = qb::check(PyObject_GetIter(layers.get()));
  while (PyObject* layer = PyIter_Next(it.get())) {
    Ref l = Ref::steal(layer);
    Z = qb::call(l.get(), {Z.get()});
  }
  if (PyErr_Occurred()) throw qb::Error{};
  return Z;
}

Ref backward(PyObject* self, PyObject* dLdZ) {
  return ql::through_layers(qb::getattr(self, QB_ID(layers)).get(), QB_ID(backward), dLdZ, true);
}

const char* const DOC = R"(Multi-layer perceptron: Linear layers with a ReLU between every two of them.

For layer_sizes [s0, s1, ..., sn] the layers are Linear(s0, s1), ReLU(), ...,
Linear(s(n-1), sn), with no activation after the last.  forward calls each
layer in turn; backward runs them in reverse.

Arguments:
    layer_sizes (sequence of int): the widths, input first.

Attributes:
    layers: the list of layers, in forward order.

Example:
    >>> mlp = MLP([192, 8, 16, 4])
    >>> mlp.forward(np.ones((2, 192))).shape
    (2, 4))";

Ref repr(PyObject* self) { return ql::repr_parts(self, {"layers"}); }

// `python -m models.mlp` (see __main__.py): the example network, bound in the
// __main__ namespace as running the module as a script would.
Ref main_program(PyObject* m) {
  Ref main = qb::check(PyImport_ImportModule("__main__"));
  Ref D = qb::py_int(24);
  Ref sizes = qb::list({qb::py_int(8 * 24).get(), qb::py_int(8).get(), qb::py_int(16).get(), qb::py_int(4).get()});
  qb::setattr(main.get(), QB_ID(D), D);
  qb::setattr(main.get(), QB_ID(layer_sizes), sizes);
  qb::setattr(main.get(), QB_ID(mlp), qb::call(qb::global(m, QB_ID(MLP)).get(), {sizes.get()}));
  return {};
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.models.mlp", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_mlp() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::star_import(m, {"quillet.nn.linear", "quillet.nn.activation"});
    g_module = m;
    qb::make_class(
        m, "MLP", DOC,
        {{"__init__", "layer_sizes", nullptr, init},
         {"init_weights", "weights",
          "Argument:\n    weights (list of np.array): weights[i] is (layer_sizes[i], layer_sizes[i + 1])",
          init_weights},
         {"forward", "A",
          QB_DOC("A (np.array): (batch_size, layer_sizes[0])", "Z (np.array): (batch_size, layer_sizes[-1])"), forward},
         {"__call__", "A",
          QB_DOC("A (np.array): (batch_size, layer_sizes[0])", "Z (np.array): (batch_size, layer_sizes[-1])"), forward},
         {"backward", "dLdZ",
          QB_DOC("dLdZ (np.array): (batch_size, layer_sizes[-1])", "dLdA (np.array): (batch_size, layer_sizes[0])"),
          backward},
         {"__repr__", "", nullptr, repr}});
    qb::add_functions(m, {{"_main", "", "Builds the example network MLP([192, 8, 16, 4]) in __main__.", main_program}});
  });
}
