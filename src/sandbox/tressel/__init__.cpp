// sandbox.tressel: importing it runs a stride-1 one-dimensional convolution
// with constant weights and unit biases on one seeded random input and prints
// the input, output, gradient and input gradient with their shapes.
#include "bind/bind.hpp"

using qb::Ref;

namespace {

Ref weight_init(PyObject* m, PyObject* out_channels, PyObject* in_channels, PyObject* kernel_size) {
  Ref shape = qb::tuple({out_channels, in_channels, kernel_size});
  Ref half = qb::py_float(0.5);
  return qb::call(qb::resolve(m, "np.full").get(), {shape.get(), half.get()});
}

void script(PyObject* m) {
  qb::bind_numpy(m);
  qb::star_import(m, {"quillet.flatten", "quillet.nn.Lintrel"});
  qb::seed(m, 11485);
  qb::set_global(m, "in_c", qb::py_int(2));
  qb::set_global(m, "out_c", qb::py_int(2));
  qb::set_global(m, "kernel", qb::py_int(2));
  qb::set_global(m, "width", qb::py_int(4));
  qb::set_global(m, "batch", qb::py_int(1));
  Ref x = qb::call(qb::resolve(m, "np.random.randn").get(),
                   {qb::resolve(m, "batch").get(), qb::resolve(m, "in_c").get(), qb::resolve(m, "width").get()});
  qb::set_global(m, "x", x);
  qb::show("input shape: ", qb::resolve(m, "x.shape"));
  qb::show("input: ", x);
  qb::add_functions(m, {{"sandbox_weight_init_fn", "out_channels, in_channels, kernel_size", nullptr, weight_init}});
  Ref layer = qb::call(qb::resolve(m, "Lintrel_stride1").get(),
                       {qb::resolve(m, "in_c").get(), qb::resolve(m, "out_c").get(), qb::resolve(m, "kernel").get(),
                        qb::resolve(m, "sandbox_weight_init_fn").get(), qb::resolve(m, "np.ones").get()});
  qb::set_global(m, "layer", layer);
  Ref y = qb::call_method(layer.get(), QB_ID(forward), {x.get()});
  qb::set_global(m, "y", y);
  qb::show("output shape: ", qb::resolve(m, "y.shape"));
  qb::show("output: ", y);
  Ref delta =
      qb::check(PyObject_Call(qb::resolve(m, "np.random.randn").get(), qb::resolve(m, "y.shape").get(), nullptr));
  qb::set_global(m, "delta", delta);
  qb::show("delta shape: ", qb::resolve(m, "delta.shape"));
  qb::show("delta: ", delta);
  Ref dx = qb::call_method(layer.get(), QB_ID(backward), {delta.get()});
  qb::set_global(m, "dx", dx);
  qb::show("dx shape: ", qb::resolve(m, "dx.shape"));
  qb::show("dx: ", dx);
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "sandbox.tressel", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tressel() { return qb::init_module(&module_def, script); }
