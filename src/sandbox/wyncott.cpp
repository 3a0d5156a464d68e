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

PyMethodDef weight_init_def =
    QB_METHOD("sandbox_weight_init_fn",
              QB_FAST("sandbox_weight_init_fn", 3, weight_init(self, arg[0], arg[1], arg[2]), "out_channels",
                      "in_channels", "kernel_size"),
              ", out_channels, in_channels, kernel_size", "");
PyMethodDef bias_init_def = QB_METHOD(
    "sandbox_bias_init_fn", QB_FAST("sandbox_bias_init_fn", 1, bias_init(self, arg[0]), "out_channels"),
    ", out_channels", "");

void script(PyObject* m) {
  qb::bind_numpy(m);
  qb::star_import(m, "quillet.flatten");
  qb::star_import(m, "quillet.nn.Unfurlet");
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
  qb::add_function(m, &weight_init_def);
  qb::add_function(m, &bias_init_def);
  Ref kw = qb::check(PyDict_New());
  const char* names[][2] = {{"in_channels", "in_c"},
                            {"out_channels", "out_c"},
                            {"kernel_size", "kernel"},
                            {"upsampling_factor", "upsampling_factor"},
                            {"weight_init_fn", "sandbox_weight_init_fn"},
                            {"bias_init_fn", "sandbox_bias_init_fn"}};
  for (const auto& kv : names) qb::check(PyDict_SetItemString(kw.get(), kv[0], qb::resolve(m, kv[1]).get()));
  Ref none = qb::check(PyTuple_New(0));
  Ref layer = qb::check(PyObject_Call(qb::resolve(m, "Unfurlet1d").get(), none.get(), kw.get()));
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
