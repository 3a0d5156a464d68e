// sandbox.dunmere: importing it runs a 2x2 stride-1 mean pooling forward on one
// seeded random input and backward on its own output, printing the input, the
// output and the gradient with their shapes.
#include "bind/bind.hpp"

using qb::Ref;

namespace {

void script(PyObject* m) {
  qb::bind_numpy(m);
  qb::star_import(m, {"quillet.flatten", "quillet.nn.pool"});
  qb::seed(m, 11685);
  qb::set_global(m, "kernel", qb::py_int(2));
  qb::set_global(m, "width", qb::py_int(4));
  qb::set_global(m, "in_c", qb::py_int(2));
  qb::set_global(m, "batch", qb::py_int(1));
  Ref x =
      qb::call(qb::resolve(m, "np.random.randn").get(), {qb::resolve(m, "batch").get(), qb::resolve(m, "in_c").get(),
                                                         qb::resolve(m, "width").get(), qb::resolve(m, "width").get()});
  qb::set_global(m, "x", x);
  qb::show("input shape: ", qb::resolve(m, "x.shape"));
  qb::show("input: ", x);
  Ref pool = qb::call(qb::resolve(m, "MeanPool2d_stride1").get(), {qb::resolve(m, "kernel").get()});
  qb::set_global(m, "pool_layer", pool);
  Ref forward_res = qb::call_method(pool.get(), QB_ID(forward), {x.get()});
  qb::set_global(m, "forward_res", forward_res);
  qb::show("Forward Shape: ", qb::resolve(m, "forward_res.shape"));
  qb::show("Forward Result: ", forward_res);
  Ref backward_res = qb::call_method(pool.get(), QB_ID(backward), {forward_res.get()});
  qb::set_global(m, "backward_res", backward_res);
  qb::show("Backward Shape: ", qb::resolve(m, "backward_res.shape"));
  qb::show("Backward Result: ", backward_res);
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "sandbox.dunmere", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_dunmere() { return qb::init_module(&module_def, script); }
