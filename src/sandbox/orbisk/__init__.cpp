// sandbox.orbisk: importing it builds the CNN with three stride-1 layers of four
// channels, constant weights and a cross-entropy criterion (the constructor
// prints the widths 7, 6 and 5), runs one seeded random input forward and an
// all-ones array backward, and keeps the results in module globals.
#include "bind/bind.hpp"

using qb::Ref;

namespace {

Ref ones(PyObject* m, std::initializer_list<PyObject*> shape) {
  Ref s = qb::tuple(shape);
  return qb::call(qb::resolve(m, "np.ones").get(), {s.get()});
}

Ref cnn_weight_init(PyObject* m, PyObject* out_channels, PyObject* in_channels, PyObject* kernel_size) {
  return ones(m, {out_channels, in_channels, kernel_size});
}
Ref linear_weight_init(PyObject* m, PyObject* out_channels, PyObject* in_channels) {
  return ones(m, {out_channels, in_channels});
}
Ref bias_init(PyObject* m, PyObject* out_channels) {
  return qb::call(qb::resolve(m, "np.zeros").get(), {out_channels});
}

void script(PyObject* m) {
  qb::bind_numpy(m);
  qb::star_import(m, {"models.cnn", "quillet.nn.activation", "quillet.nn.loss"});
  qb::seed(m, 11785);
  qb::add_functions(m, {{"sandbox_cnn_weight_init", "out_channels, in_channels, kernel_size", nullptr, cnn_weight_init},
                        {"sandbox_linear_weight_init", "out_channels, in_channels", nullptr, linear_weight_init},
                        {"sandbox_bias_init", "out_channels", nullptr, bias_init}});
  auto g = [m](const char* path) { return qb::resolve(m, path); };
  auto three = [](const Ref& v) { return qb::list({v.get(), v.get(), v.get()}); };
  qb::set_global(m, "input_width", qb::py_int(8));
  qb::set_global(m, "num_input_channels", qb::py_int(2));
  qb::set_global(m, "num_channels", three(qb::py_int(4)));
  qb::set_global(m, "kernel_sizes", three(qb::py_int(2)));

  Ref relu = g("ReLU");
  Ref model = g("CNN")(qb::kw("input_width", g("input_width")), qb::kw("num_input_channels", g("num_input_channels")),
                       qb::kw("num_channels", g("num_channels")), qb::kw("kernel_sizes", g("kernel_sizes")),
                       qb::kw("strides", three(qb::py_int(1))), qb::kw("num_linear_neurons", 4),
                       qb::kw("activations", qb::list({relu().get(), relu().get(), relu().get()})),
                       qb::kw("conv_weight_init_fn", g("sandbox_cnn_weight_init")),
                       qb::kw("bias_init_fn", g("sandbox_bias_init")), qb::kw("criterion", g("CrossEntropyLoss")()),
                       qb::kw("linear_weight_init_fn", Py_None), qb::kw("lr", 0.1));
  qb::set_global(m, "model", model);
  Ref shape = g("model.linear_layer.W.shape");
  g("model.linear_layer").set("W", g("sandbox_linear_weight_init")(qb::item(shape.get(), 0), qb::item(shape.get(), 1)));

  qb::set_global(m, "batch_size", qb::py_int(1));
  qb::set_global(m, "x", g("np.random.randn")(g("batch_size"), g("num_input_channels"), g("input_width")));
  qb::set_global(m, "y", model.call("forward", g("x")));
  qb::set_global(m, "delta", g("np.ones")(g("y.shape")));
  qb::set_global(m, "dx", model.call("backward", g("delta")));
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "sandbox.orbisk", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_orbisk() { return qb::init_module(&module_def, script); }
