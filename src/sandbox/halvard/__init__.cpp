// sandbox.halvard: importing it prints one seeded random input and its shape,
// then runs a factor-2 upsampler forward on it and backward on the result.
#include "bind/bind.hpp"

using qb::Ref;

namespace {

void script(PyObject* m) {
  qb::bind_numpy(m);
  qb::star_import(m, {"quillet.flatten", "quillet.nn.resampling"});
  qb::seed(m, 11485);
  Ref two = qb::py_int(2);
  qb::set_global(m, "in_c", two);
  qb::set_global(m, "out_c", two);
  qb::set_global(m, "batch", qb::py_int(1));
  qb::set_global(m, "input_width", qb::py_int(4));
  qb::set_global(m, "kernel", qb::py_int(2));
  Ref x = qb::call(qb::resolve(m, "np.random.randn").get(),
                   {qb::resolve(m, "batch").get(), qb::resolve(m, "in_c").get(), qb::resolve(m, "input_width").get()});
  qb::set_global(m, "x", x);
  qb::show("input shape: ", qb::resolve(m, "x.shape"));
  qb::show("input: ", x);
  qb::set_global(m, "upsampling_factor", qb::py_int(2));
  Ref up = qb::call(qb::resolve(m, "Upsample1d").get(), {qb::resolve(m, "upsampling_factor").get()});
  qb::set_global(m, "upsample_1d", up);
  Ref forward_res = qb::call_method(up.get(), QB_ID(forward), {x.get()});
  qb::set_global(m, "forward_res", forward_res);
  qb::set_global(m, "backward_res", qb::call_method(up.get(), QB_ID(backward), {forward_res.get()}));
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "sandbox.halvard", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_halvard() { return qb::init_module(&module_def, script); }
