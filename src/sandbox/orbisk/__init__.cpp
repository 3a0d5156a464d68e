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
  Ref two = qb::py_int(2), four = qb::py_int(4), one = qb::py_int(1), eight = qb::py_int(8);
  qb::set_global(m, "input_width", eight);
  qb::set_global(m, "num_input_channels", two);
  qb::set_global(m, "num_channels", qb::list({four.get(), four.get(), four.get()}));
  qb::set_global(m, "kernel_sizes", qb::list({two.get(), two.get(), two.get()}));

  Ref relu = qb::resolve(m, "ReLU");
  Ref r1 = qb::call(relu.get(), {}), r2 = qb::call(relu.get(), {}), r3 = qb::call(relu.get(), {});
  Ref strides = qb::list({one.get(), one.get(), one.get()});
  Ref activations = qb::list({r1.get(), r2.get(), r3.get()});
  Ref criterion = qb::call(qb::resolve(m, "CrossEntropyLoss").get(), {});
  Ref lr = qb::py_float(0.1);
  Ref none = Ref::borrow(Py_None);
  Ref model = qb::call_kw(qb::resolve(m, "CNN").get(),
                          {{"input_width", qb::resolve(m, "input_width").get()},
                           {"num_input_channels", qb::resolve(m, "num_input_channels").get()},
                           {"num_channels", qb::resolve(m, "num_channels").get()},
                           {"kernel_sizes", qb::resolve(m, "kernel_sizes").get()},
                           {"strides", strides.get()},
                           {"num_linear_neurons", four.get()},
                           {"activations", activations.get()},
                           {"conv_weight_init_fn", qb::resolve(m, "sandbox_cnn_weight_init").get()},
                           {"bias_init_fn", qb::resolve(m, "sandbox_bias_init").get()},
                           {"criterion", criterion.get()},
                           {"linear_weight_init_fn", none.get()},
                           {"lr", lr.get()}});
  qb::set_global(m, "model", model);

  Ref linear = qb::resolve(m, "model.linear_layer");
  Ref shape = qb::resolve(m, "model.linear_layer.W.shape");
  Ref rows = qb::check(PySequence_GetItem(shape.get(), 0)), cols = qb::check(PySequence_GetItem(shape.get(), 1));
  qb::setattr(linear.get(), QB_ID(W),
              qb::call(qb::resolve(m, "sandbox_linear_weight_init").get(), {rows.get(), cols.get()}));

  qb::set_global(m, "batch_size", qb::py_int(1));
  Ref x = qb::call(qb::resolve(m, "np.random.randn").get(),
                   {qb::resolve(m, "batch_size").get(), qb::resolve(m, "num_input_channels").get(),
                    qb::resolve(m, "input_width").get()});
  qb::set_global(m, "x", x);
  Ref y = qb::call_method(model.get(), QB_ID(forward), {x.get()});
  qb::set_global(m, "y", y);
  Ref delta = qb::call(qb::resolve(m, "np.ones").get(), {qb::resolve(m, "y.shape").get()});
  qb::set_global(m, "delta", delta);
  qb::set_global(m, "dx", qb::call_method(model.get(), QB_ID(backward), {delta.get()}));
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "sandbox.orbisk", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_orbisk() { return qb::init_module(&module_def, script); }
