// quillet.models.cnn (also models.cnn): a one-dimensional convolutional network: strided convolutions
// (Lintrel) each followed by its activation, then Flatten and a Linear layer,
// with its own loss, gradient reset and gradient-descent step.
#include "layer/layer.hpp"

using qb::Ref;

namespace {

PyObject* g_module = nullptr;

using qb::item;

Ref attr(PyObject* o, PyObject* name) { return qb::getattr(o, name); }

Ref init(PyObject* self, PyObject* input_width, PyObject* num_input_channels, PyObject* num_channels,
         PyObject* kernel_sizes, PyObject* strides, PyObject* num_linear_neurons, PyObject* activations,
         PyObject* conv_weight_init_fn, PyObject* bias_init_fn, PyObject* linear_weight_init_fn, PyObject* criterion,
         PyObject* lr) {
  qb::setattr(self, QB_ID(train_mode), Py_True);
  const Py_ssize_t n = qb::len(num_channels);
  qb::setattr(self, QB_ID(nlayers), qb::py_int(n));
  qb::setattr(self, QB_ID(activations), activations);
  qb::setattr(self, QB_ID(criterion), criterion);
  qb::setattr(self, QB_ID(lr), lr);
  // One convolution per entry: the four per-layer lists must agree.
  const Py_ssize_t nk = qb::len(kernel_sizes), ns = qb::len(strides), na = qb::len(activations);
  if (nk != n || ns != n || na != n)
    qb::fail(PyExc_ValueError,
             "num_channels, kernel_sizes, strides and activations must have the same length, got %zd, %zd, %zd "
             "and %zd",
             n, nk, ns, na);

  Ref lintrel = qb::global(g_module, QB_ID(Lintrel));
  Ref layers = qb::check(PyList_New(0));
  for (Py_ssize_t j = 0; j < n; ++j) {
    Ref in = j == 0 ? Ref::borrow(num_input_channels) : item(num_channels, j - 1);
    Ref out = item(num_channels, j), k = item(kernel_sizes, j), s = item(strides, j);
    Ref layer = qb::call_kw(lintrel.get(), {{"in_channels", in.get()},
                                            {"out_channels", out.get()},
                                            {"kernel_size", k.get()},
                                            {"stride", s.get()},
                                            {"weight_init_fn", conv_weight_init_fn},
                                            {"bias_init_fn", bias_init_fn}});
    qb::check(PyList_Append(layers.get(), layer.get()));
  }
  qb::setattr(self, QB_ID(convolutional_layers), layers);
  qb::setattr(self, QB_ID(flatten), qb::call(qb::global(g_module, QB_ID(Flatten)).get(), {}));

  Ref size = Ref::borrow(input_width);
  Ref one = qb::py_int(1);
  for (Py_ssize_t j = 0; j < n; ++j) {
    Ref shrunk = qb::check(PyNumber_Subtract(size.get(), item(kernel_sizes, j).get()));
    Ref steps = qb::check(PyNumber_FloorDivide(shrunk.get(), item(strides, j).get()));
    size = qb::check(PyNumber_Add(steps.get(), one.get()));
    qb::print({size.get()});
  }
  qb::setattr(self, QB_ID(output_size), size);

  Ref in_features = n > 0 ? qb::check(PyNumber_Multiply(size.get(), item(num_channels, -1).get()))
                          : qb::check(PyNumber_Multiply(size.get(), num_input_channels));
  Ref linear = qb::call(qb::global(g_module, QB_ID(Linear)).get(), {in_features.get(), num_linear_neurons});
  qb::setattr(self, QB_ID(linear_layer), linear);
  Ref shape = attr(attr(linear.get(), QB_ID(W)).get(), QB_ID(shape));
  if (qb::len(shape.get()) != 2)
    qb::fail(PyExc_ValueError, "the linear layer's W must have 2 axes, got shape %R", shape.get());
  Ref out_features = item(shape.get(), 0), in_f = item(shape.get(), 1);
  // Under float32 the linear layer's initial weights are stored as float32, as its own would be.
  if (linear_weight_init_fn != Py_None)
    qb::setattr(linear.get(), QB_ID(W),
                ql::in_default_dtype(qb::call(linear_weight_init_fn, {out_features.get(), in_f.get()})));
  if (bias_init_fn != Py_None)
    qb::setattr(linear.get(), QB_ID(b), ql::in_default_dtype(qb::call(bias_init_fn, {out_features.get()})));
  return {};
}

Ref forward(PyObject* self, PyObject* A_in) {
  Ref saved = qb::check(PyList_New(0));
  qb::setattr(self, QB_ID(saved_activations), saved);
  Ref A = Ref::borrow(A_in);
  Ref layers = attr(self, QB_ID(convolutional_layers));
  Ref activations = attr(self, QB_ID(activations));
  const Py_ssize_t n = qb::len(layers.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    A = qb::call_method(item(layers.get(), i).get(), QB_ID(forward), {A.get()});
    A = qb::call_method(item(activations.get(), i).get(), QB_ID(forward), {A.get()});
    qb::check(PyList_Append(saved.get(), A.get()));
  }
  A = qb::call_method(attr(self, QB_ID(flatten)).get(), QB_ID(forward), {A.get()});
  Ref Z = qb::call_method(attr(self, QB_ID(linear_layer)).get(), QB_ID(forward), {A.get()});
  qb::setattr(self, QB_ID(Z), Z);
  return Z;
}

Ref backward(PyObject* self, PyObject* labels) {
  Ref shape = attr(labels, QB_ID(shape));
  const Py_ssize_t nd = qb::len(shape.get());
  if (nd != 2) qb::fail(PyExc_ValueError, "labels must have 2 axes (batch, classes), got %zd", nd);
  Ref criterion = attr(self, QB_ID(criterion));
  Ref losses = qb::call_method(criterion.get(), QB_ID(forward), {ql::stored(self, QB_ID(Z)).get(), labels});
  qb::setattr(self, QB_ID(loss), qb::call_method(losses.get(), QB_ID(sum), {}));
  Ref grad = qb::call_method(criterion.get(), QB_ID(backward), {});
  grad = qb::call_method(attr(self, QB_ID(linear_layer)).get(), QB_ID(backward), {grad.get()});
  grad = qb::call_method(attr(self, QB_ID(flatten)).get(), QB_ID(backward), {grad.get()});
  Ref layers = attr(self, QB_ID(convolutional_layers));
  Ref activations = attr(self, QB_ID(activations));
  const Py_ssize_t n = static_cast<Py_ssize_t>(ql::int_attr(self, QB_ID(nlayers)));
  for (Py_ssize_t i = n - 1; i >= 0; --i) {
    grad = qb::call_method(item(activations.get(), i).get(), QB_ID(backward), {grad.get()});
    grad = qb::call_method(item(layers.get(), i).get(), QB_ID(backward), {grad.get()});
  }
  return grad;
}

// The layers that own parameters, in the order zero_grads and step visit them.
std::vector<Ref> parameter_owners(PyObject* self) {
  std::vector<Ref> owners;
  Ref layers = attr(self, QB_ID(convolutional_layers));
  const Py_ssize_t n = static_cast<Py_ssize_t>(ql::int_attr(self, QB_ID(nlayers)));
  for (Py_ssize_t i = 0; i < n; ++i) owners.push_back(attr(item(layers.get(), i).get(), QB_ID(lintrel_stride1)));
  owners.push_back(attr(self, QB_ID(linear_layer)));
  return owners;
}

Ref zero_grads(PyObject* self) {
  Ref zero = qb::py_float(0.0);
  for (const Ref& owner : parameter_owners(self)) {
    qb::call_method(attr(owner.get(), QB_ID(dLdW)).get(), QB_ID(fill), {zero.get()});
    qb::call_method(attr(owner.get(), QB_ID(dLdb)).get(), QB_ID(fill), {zero.get()});
  }
  return {};
}

void descend(PyObject* owner, PyObject* param, PyObject* grad, PyObject* lr) {
  Ref scaled = qb::check(PyNumber_Multiply(lr, attr(owner, grad).get()));
  qb::setattr(owner, param, qb::check(PyNumber_Subtract(attr(owner, param).get(), scaled.get())));
}

Ref step(PyObject* self) {
  Ref lr = attr(self, QB_ID(lr));
  for (const Ref& owner : parameter_owners(self)) {
    descend(owner.get(), QB_ID(W), QB_ID(dLdW), lr.get());
    descend(owner.get(), QB_ID(b), QB_ID(dLdb), lr.get());
  }
  return {};
}

const char* const DOC = R"(1-D convolutional network with its own loss, gradient reset and update step.

Strided convolutions (Lintrel), each followed by its activation, then
Flatten and a Linear layer.  The constructor prints the output width of each
convolution.  backward(labels) computes the criterion's loss into `loss` and
leaves dLdW and dLdb on every layer; step() updates W = W - lr dLdW and
b = b - lr dLdb; zero_grads() resets the gradients.

Arguments:
    input_width, num_input_channels (int): the shape of one input.
    num_channels, kernel_sizes, strides (lists): per convolution.
    num_linear_neurons (int): outputs of the linear layer.
    activations (list): one activation object per convolution.
    conv_weight_init_fn, bias_init_fn, linear_weight_init_fn: initialisers
        (or None) for the convolutions' weights, every bias, the linear weights.
    criterion: the loss object (e.g. CrossEntropyLoss()).
    lr (float): the learning rate of step().

Attributes:
    convolutional_layers, activations, flatten, linear_layer: the layers, in
        forward order.
    criterion, lr: the loss object and the learning rate of step().
    train_mode: True after train(), False after eval().
    Z, loss: the output of the last forward and the loss of the last
        backward.

Example:
    >>> from quillet.nn.activation import ReLU
    >>> from quillet.nn.loss import CrossEntropyLoss
    >>> cnn = CNN(16, 2, [4], [3], [1], 3, [ReLU()], None, None, None, CrossEntropyLoss(), 0.1)
    14
    >>> cnn.forward(np.ones((5, 2, 16))).shape
    (5, 3))";

Ref repr(PyObject* self) {
  return ql::repr_parts(self, {"convolutional_layers", "activations", "flatten", "linear_layer", "criterion"});
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.models.cnn", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_cnn() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::star_import(
        m, {"quillet.flatten", "quillet.nn.Lintrel", "quillet.nn.linear", "quillet.nn.activation", "quillet.nn.loss"});
    qb::bind_numpy(m);
    qb::bind_module(m, "os", "os");
    g_module = m;
    qb::make_class(
        m, "CNN", DOC,
        {{"__init__",
          "input_width, num_input_channels, num_channels, kernel_sizes, strides, num_linear_neurons, activations, "
          "conv_weight_init_fn, bias_init_fn, linear_weight_init_fn, criterion, lr",
          nullptr, init},
         {"forward", "A",
          QB_DOC("A (np.array): (batch_size, num_input_channels, input_width)",
                 "Z (np.array): (batch_size, num_linear_neurons)"),
          forward},
         {"__call__", "A",
          QB_DOC("A (np.array): (batch_size, num_input_channels, input_width)",
                 "Z (np.array): (batch_size, num_linear_neurons)"),
          forward},
         {"backward", "labels",
          QB_DOC("labels (np.array): (batch_size, num_linear_neurons)",
                 "grad (np.array): (batch size, num_input_channels, input_width)"),
          backward},
         {"zero_grads", "", "Sets every parameter gradient of the network to zero, in place.", zero_grads},
         {"step", "", "One gradient-descent update: W = W - lr * dLdW and b = b - lr * dLdb on every layer.", step},
         {"train", "", "Marks the network as training.", ql::train},
         {"eval", "", "Marks the network as evaluating.", ql::eval},
         {"__repr__", "", nullptr, repr}});
  });
}
