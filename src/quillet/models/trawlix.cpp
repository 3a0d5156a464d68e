// quillet.models.trawlix (also models.trawlix): convolutional networks that compute a scanning perceptron
// (192 inputs = 8 time steps x 24 channels, hidden layers of 8 and 16 units,
// 4 outputs, hop 4) from the perceptron's weight matrices w1 (192, 8),
// w2 (8, 16) and w3 (16, 4).
//
// A perceptron weight w (kernel_size * in_channels, out_channels) becomes the
// convolution weight W (out_channels, in_channels, kernel_size) with
// W[o, ch, k] = w[k * in_channels + ch, o].
#include "layer/layer.hpp"

using qb::Ref;

namespace {

PyObject* g_module = nullptr;

Ref conv(int in_channels, int out_channels, int kernel_size, int stride) {
  Ref in = qb::py_int(in_channels), out = qb::py_int(out_channels), k = qb::py_int(kernel_size), s = qb::py_int(stride);
  return qb::call_kw(
      qb::global(g_module, QB_ID(Lintrel)).get(),
      {{"in_channels", in.get()}, {"out_channels", out.get()}, {"kernel_size", k.get()}, {"stride", s.get()}});
}

// conv1, conv2, conv3 and layers = [conv1, ReLU(), conv2, ReLU(), conv3, Flatten()].
void build(PyObject* self, const int (&shapes)[3][4]) {
  Ref c1 = conv(shapes[0][0], shapes[0][1], shapes[0][2], shapes[0][3]);
  Ref c2 = conv(shapes[1][0], shapes[1][1], shapes[1][2], shapes[1][3]);
  Ref c3 = conv(shapes[2][0], shapes[2][1], shapes[2][2], shapes[2][3]);
  qb::setattr(self, QB_ID(conv1), c1);
  qb::setattr(self, QB_ID(conv2), c2);
  qb::setattr(self, QB_ID(conv3), c3);
  Ref relu = qb::global(g_module, QB_ID(ReLU)), flatten = qb::global(g_module, QB_ID(Flatten));
  Ref r1 = qb::call(relu.get(), {}), r2 = qb::call(relu.get(), {}), f = qb::call(flatten.get(), {});
  Ref layers = qb::check(PyList_New(0));
  for (PyObject* layer : {c1.get(), r1.get(), c2.get(), r2.get(), c3.get(), f.get()})
    qb::check(PyList_Append(layers.get(), layer));
  qb::setattr(self, QB_ID(layers), layers);
}

Ref simple_init(PyObject* self) {
  static const int shapes[3][4] = {{24, 8, 8, 4}, {8, 16, 1, 1}, {16, 4, 1, 1}};
  build(self, shapes);
  return {};
}

Ref distributed_init(PyObject* self) {
  static const int shapes[3][4] = {{24, 2, 2, 2}, {2, 8, 2, 2}, {8, 4, 2, 1}};
  build(self, shapes);
  return {};
}

using qb::item;

Ref stride1_of(PyObject* self, PyObject* conv_name) {
  return qb::getattr(qb::getattr(self, conv_name).get(), QB_ID(lintrel_stride1));
}

// w.T.reshape(out, 1 or k, in).transpose(0, 2, 1)
Ref simple_weight(PyObject* w, int a, int b, int c) {
  Ref shape = qb::check(Py_BuildValue("(iii)", a, b, c));
  Ref r = qb::call_method(qb::getattr(w, QB_ID(T)).get(), QB_ID(reshape), {shape.get()});
  Ref axes = qb::check(Py_BuildValue("(iii)", 0, 2, 1));
  // Under float32 the weights are stored as float32, as the layers' own would be.
  return ql::in_default_dtype(qb::call_method(r.get(), QB_ID(transpose), {axes.get()}));
}

Ref simple_init_weights(PyObject* self, PyObject* weights) {
  Ref w1 = item(weights, 0), w2 = item(weights, 1), w3 = item(weights, 2);
  qb::setattr(stride1_of(self, QB_ID(conv1)).get(), QB_ID(W), simple_weight(w1.get(), 8, 8, 24));
  qb::setattr(stride1_of(self, QB_ID(conv2)).get(), QB_ID(W), simple_weight(w2.get(), 16, 1, 8));
  qb::setattr(stride1_of(self, QB_ID(conv3)).get(), QB_ID(W), simple_weight(w3.get(), 4, 1, 16));
  return {};
}

// block.reshape(layer.W.T.shape).T, the shape read from the weights in place.
Ref distributed_weight(PyObject* self, PyObject* conv_name, PyObject* block) {
  Ref s1 = stride1_of(self, conv_name);
  Ref shape = qb::getattr(qb::getattr(qb::getattr(s1.get(), QB_ID(W)).get(), QB_ID(T)).get(), QB_ID(shape));
  Ref r = qb::call_method(block, QB_ID(reshape), {shape.get()});
  Ref W = ql::in_default_dtype(qb::getattr(r.get(), QB_ID(T)));
  qb::setattr(s1.get(), QB_ID(W), W);
  return W;
}

// w[:rows, :cols]
Ref leading_block(PyObject* w, Py_ssize_t rows, Py_ssize_t cols) {
  return qb::slice(w, {{0, qb::OPEN_LO, rows, 1}, {1, qb::OPEN_LO, cols, 1}});
}

Ref distributed_init_weights(PyObject* self, PyObject* weights) {
  Ref w1 = item(weights, 0), w2 = item(weights, 1), w3 = item(weights, 2);
  distributed_weight(self, QB_ID(conv1), leading_block(w1.get(), 48, 2).get());
  distributed_weight(self, QB_ID(conv2), leading_block(w2.get(), 4, 8).get());
  distributed_weight(self, QB_ID(conv3), w3.get());
  return {};
}

Ref forward(PyObject* self, PyObject* A) {
  return ql::through_layers(qb::getattr(self, QB_ID(layers)).get(), QB_ID(forward), A, false);
}

Ref backward(PyObject* self, PyObject* dLdZ) {
  return ql::through_layers(qb::getattr(self, QB_ID(layers)).get(), QB_ID(backward), dLdZ, true);
}

const char* const WEIGHTS_DOC =
    "Argument:\n"
    "    w1 (np.array): (kernel_size * in_channels, out_channels)\n"
    "    w2 (np.array): (kernel_size * in_channels, out_channels)\n"
    "    w3 (np.array): (kernel_size * in_channels, out_channels)";
const char* const FWD_DOC =
    QB_DOC("A (np.array): (batch_size, 24, width)", "Z (np.array): (batch_size, 4 * positions)");
const char* const BWD_DOC =
    QB_DOC("dLdZ (np.array): (batch_size, 4 * positions)", "dLdA (np.array): (batch_size, 24, width)");

const char* const DOC_SIMPLE = R"(A scanning perceptron computed as a 1-D convolutional network.

The perceptron reads 8 time steps of 24 channels (192 inputs) at a hop of 4
and has hidden layers of 8 and 16 units and 4 outputs.  Here its three
layers are convolutions (kernel 8 stride 4, then kernel 1) with ReLUs
between them, and a Flatten.  init_weights([w1, w2, w3]) loads the
perceptron's weight matrices, (192, 8), (8, 16) and (16, 4).

Attributes:
    conv1, conv2, conv3: the convolutions (Lintrel).
    layers: [conv1, ReLU, conv2, ReLU, conv3, Flatten], in forward order.

Example:
    >>> net = CNN_SimpleScanningMLP()
    >>> net.forward(np.ones((2, 24, 128))).shape
    (2, 124))";

const char* const DOC_DISTRIBUTED =
    R"(A scanning perceptron with shared weights, computed as a 1-D convolutional network.

The same perceptron as CNN_SimpleScanningMLP, with its neurons' weights
shared across the time steps they scan: convolutions of kernel 2 and strides
2, 2 and 1.  init_weights([w1, w2, w3]) loads the leading blocks of the
perceptron's weight matrices.  Calling the object is forward.

Attributes:
    conv1, conv2, conv3: the convolutions (Lintrel).
    layers: [conv1, ReLU, conv2, ReLU, conv3, Flatten], in forward order.

Example:
    >>> net = CNN_DistributedScanningMLP()
    >>> net.forward(np.ones((2, 24, 128))).shape
    (2, 124))";

Ref repr(PyObject* self) { return ql::repr_parts(self, {"layers"}); }

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.models.trawlix", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_trawlix() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::star_import(
        m, {"quillet.flatten", "quillet.nn.Lintrel", "quillet.nn.linear", "quillet.nn.activation", "quillet.nn.loss"});
    qb::bind_numpy(m);
    qb::bind_module(m, "os", "os");
    g_module = m;
    qb::make_class(m, "CNN_SimpleScanningMLP", DOC_SIMPLE,
                   {{"__init__", "", nullptr, simple_init},
                    {"init_weights", "weights", WEIGHTS_DOC, simple_init_weights},
                    {"forward", "A", FWD_DOC, forward},
                    {"backward", "dLdZ", BWD_DOC, backward},
                    {"__repr__", "", nullptr, repr}});
    qb::make_class(m, "CNN_DistributedScanningMLP", DOC_DISTRIBUTED,
                   {{"__init__", "", nullptr, distributed_init},
                    {"__call__", "A", FWD_DOC, forward},
                    {"init_weights", "weights", WEIGHTS_DOC, distributed_init_weights},
                    {"forward", "A", FWD_DOC, forward},
                    {"backward", "dLdZ", BWD_DOC, backward},
                    {"__repr__", "", nullptr, repr}});
  });
}
