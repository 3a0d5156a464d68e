// sandbox.wyncott: importing it runs a one-dimensional transposed convolution
// with unit weights and zero biases on one seeded random input and an all-ones
// gradient, and keeps the results in module globals.  It prints nothing.
#include "bind/bind.hpp"

using qb::Ref;

namespace {

Ref weight_init(PyObject* m, PyObject* out_channels, PyObject* in_channels, PyObject* kernel_size) {
  Ref shape = qb::tuple({out_channels, in_channels, kernel_size});
  return qb::call(qb::resolve(m, "np.ones").get(), {shape.get()});
}

Ref bias_init(PyObject* m, PyObject* out_channels) {
  return qb::call(qb::resolve(m, "np.zeros").get(), {out_channels});
}

void script(PyObject* m) {
  qb::bind_numpy(m);
  qb::star_import(m, {"quillet.flatten", "quillet.nn.Unfurlet"});
  qb::seed(m, 11785);
  qb::set_global(m, "in_c", qb::py_int(2));
  qb::set_global(m, "out_c", qb::py_int(2));
  qb::set_global(m, "batch", qb::py_int(1));
  qb::set_global(m, "width", qb::py_int(4));
  qb::set_global(m, "kernel", qb::py_int(2));
  qb::set_global(m, "upsampling_factor", qb::py_int(2));
  Ref x = qb::call(qb::resolve(m, "np.random.randn").get(),
                   {qb::resolve(m, "batch").get(), qb::resolve(m, "in_c").get(), qb::resolve(m, "width").get()});
  qb::set_global(m, "x", x);
  qb::add_functions(m, {{"sandbox_weight_init_fn", "out_channels, in_channels, kernel_size", nullptr, weight_init},
                        {"sandbox_bias_init_fn", "out_channels", nullptr, bias_init}});
  Ref layer = qb::call_kw(qb::resolve(m, "Unfurlet1d").get(),
                          {{"in_channels", qb::resolve(m, "in_c").get()},
                           {"out_channels", qb::resolve(m, "out_c").get()},
                           {"kernel_size", qb::resolve(m, "kernel").get()},
                           {"upsampling_factor", qb::resolve(m, "upsampling_factor").get()},
                           {"weight_init_fn", qb::resolve(m, "sandbox_weight_init_fn").get()},
                           {"bias_init_fn", qb::resolve(m, "sandbox_bias_init_fn").get()}});
  qb::set_global(m, "unfurlet_1d", layer);
  Ref y = qb::call_method(layer.get(), QB_ID(forward), {x.get()});
  qb::set_global(m, "y", y);
  Ref delta = qb::call(qb::resolve(m, "np.ones").get(), {qb::resolve(m, "y.shape").get()});
  qb::set_global(m, "delta", delta);
  qb::set_global(m, "conv_backward_res", qb::call_method(layer.get(), QB_ID(backward), {delta.get()}));
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "sandbox.wyncott", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_wyncott() { return qb::init_module(&module_def, script); }
