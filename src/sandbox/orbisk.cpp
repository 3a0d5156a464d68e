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

PyMethodDef cnn_weight_def = QB_METHOD(
    "sandbox_cnn_weight_init",
    QB_FAST("sandbox_cnn_weight_init", 3, ones(self, {arg[0], arg[1], arg[2]}), "out_channels", "in_channels",
            "kernel_size"),
    ", out_channels, in_channels, kernel_size", "");
PyMethodDef linear_weight_def =
    QB_METHOD("sandbox_linear_weight_init",
              QB_FAST("sandbox_linear_weight_init", 2, ones(self, {arg[0], arg[1]}), "out_channels", "in_channels"),
              ", out_channels, in_channels", "");
PyMethodDef bias_def = QB_METHOD(
    "sandbox_bias_init",
    QB_FAST("sandbox_bias_init", 1, qb::call(qb::resolve(self, "np.zeros").get(), {arg[0]}), "out_channels"),
    ", out_channels", "");

Ref list(std::initializer_list<PyObject*> items) {
  Ref l = qb::check(PyList_New(0));
  for (PyObject* o : items) qb::check(PyList_Append(l.get(), o));
  return l;
}

void script(PyObject* m) {
  qb::bind_numpy(m);
  qb::star_import(m, "models.cnn");
  qb::star_import(m, "quillet.nn.activation");
  qb::star_import(m, "quillet.nn.loss");
  qb::seed(m, 11785);
  qb::add_function(m, &cnn_weight_def);
  qb::add_function(m, &linear_weight_def);
  qb::add_function(m, &bias_def);
  Ref two = qb::py_int(2), four = qb::py_int(4), one = qb::py_int(1), eight = qb::py_int(8);
  qb::set_global(m, "input_width", eight);
  qb::set_global(m, "num_input_channels", two);
  qb::set_global(m, "num_channels", list({four.get(), four.get(), four.get()}));
  qb::set_global(m, "kernel_sizes", list({two.get(), two.get(), two.get()}));

  Ref relu = qb::resolve(m, "ReLU");
  Ref r1 = qb::call(relu.get(), {}), r2 = qb::call(relu.get(), {}), r3 = qb::call(relu.get(), {});
  Ref strides = list({one.get(), one.get(), one.get()});
  Ref activations = list({r1.get(), r2.get(), r3.get()});
  Ref criterion = qb::call(qb::resolve(m, "CrossEntropyLoss").get(), {});
  Ref lr = qb::py_float(0.1);
  Ref kw = qb::check(PyDict_New());
  const std::pair<const char*, Ref> args[] = {{"input_width", qb::resolve(m, "input_width")},
                                              {"num_input_channels", qb::resolve(m, "num_input_channels")},
                                              {"num_channels", qb::resolve(m, "num_channels")},
                                              {"kernel_sizes", qb::resolve(m, "kernel_sizes")},
                                              {"strides", strides},
                                              {"num_linear_neurons", four},
                                              {"activations", activations},
                                              {"conv_weight_init_fn", qb::resolve(m, "sandbox_cnn_weight_init")},
                                              {"bias_init_fn", qb::resolve(m, "sandbox_bias_init")},
                                              {"criterion", criterion},
                                              {"linear_weight_init_fn", Ref::borrow(Py_None)},
                                              {"lr", lr}};
  for (const auto& [k, v] : args) qb::check(PyDict_SetItemString(kw.get(), k, v.get()));
  Ref none = qb::check(PyTuple_New(0));
  Ref model = qb::check(PyObject_Call(qb::resolve(m, "CNN").get(), none.get(), kw.get()));
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
