// quillet.nn.Unfurlet: transposed convolutions, an upsampler followed by a
// stride-1 convolution, in one and two dimensions.  The layers only wire their
// parts together; the arithmetic is the parts'.
#include "bind/bind.hpp"

using qb::Ref;

namespace {

PyObject* g_module = nullptr;

Ref part(PyObject* cls_name, std::initializer_list<PyObject*> args) {
  Ref cls = qb::global(g_module, cls_name);
  return qb::call(cls.get(), args);
}

PyObject* or_none(PyObject* o) { return o ? o : Py_None; }

Ref u1_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size, PyObject* factor,
            PyObject* weight_init_fn, PyObject* bias_init_fn) {
  qb::setattr(self, QB_ID(upsampling_factor), factor);
  qb::setattr(self, QB_ID(upsample1d), part(QB_ID(Upsample1d), {factor}));
  qb::setattr(self, QB_ID(lintrel_stride1), part(QB_ID(Lintrel_stride1), {in_channels, out_channels, kernel_size,
                                                                          or_none(weight_init_fn),
                                                                          or_none(bias_init_fn)}));
  return {};
}

Ref u2_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size, PyObject* factor,
            PyObject* weight_init_fn, PyObject* bias_init_fn) {
  qb::setattr(self, QB_ID(upsampling_factor), factor);
  qb::setattr(self, QB_ID(plantrel_stride1), part(QB_ID(Plantrel_stride1), {in_channels, out_channels, kernel_size,
                                                                            or_none(weight_init_fn),
                                                                            or_none(bias_init_fn)}));
  qb::setattr(self, QB_ID(upsample2d), part(QB_ID(Upsample2d), {factor}));
  return {};
}

Ref forward_through(PyObject* self, PyObject* up_name, PyObject* conv_name, PyObject* A, bool announce) {
  Ref up = qb::getattr(self, up_name);
  Ref upsampled = qb::call_method(up.get(), QB_ID(forward), {A});
  if (announce) {
    Ref label = qb::check(PyUnicode_FromString("upsampling_factor"));
    qb::print({label.get(), qb::getattr(self, QB_ID(upsampling_factor)).get()});
  }
  Ref conv = qb::getattr(self, conv_name);
  return qb::call_method(conv.get(), QB_ID(forward), {upsampled.get()});
}

Ref backward_through(PyObject* self, PyObject* up_name, PyObject* conv_name, PyObject* dLdZ) {
  Ref conv = qb::getattr(self, conv_name);
  Ref delta = qb::call_method(conv.get(), QB_ID(backward), {dLdZ});
  Ref up = qb::getattr(self, up_name);
  return qb::call_method(up.get(), QB_ID(backward), {delta.get()});
}

#define INIT_SIG ", in_channels, out_channels, kernel_size, upsampling_factor, weight_init_fn=None, bias_init_fn=None"
#define INIT_NAMES "in_channels", "out_channels", "kernel_size", "upsampling_factor", "weight_init_fn", "bias_init_fn"

PyMethodDef unfurlet1d_methods[] = {
    QB_INIT(QB_FAST("Unfurlet1d.__init__", 4, u1_init(self, arg[0], arg[1], arg[2], arg[3], arg[4], arg[5]),
                    INIT_NAMES),
            INIT_SIG),
    QB_METHOD("forward",
              QB_FAST("Unfurlet1d.forward", 1,
                      forward_through(self, QB_ID(upsample1d), QB_ID(lintrel_stride1), arg[0], false), "A"),
              ", A",
              QB_DOC("A (np.array): (batch_size, in_channels, input_size)",
                     "Z (np.array): (batch_size, out_channels, output_size)")),
    QB_METHOD("backward",
              QB_FAST("Unfurlet1d.backward", 1,
                      backward_through(self, QB_ID(upsample1d), QB_ID(lintrel_stride1), arg[0]), "dLdZ"),
              ", dLdZ",
              QB_DOC("dLdZ (np.array): (batch_size, out_channels, output_size)",
                     "dLdA (np.array): (batch_size, in_channels, input_size)")),
    {}};

PyMethodDef unfurlet2d_methods[] = {
    QB_INIT(QB_FAST("Unfurlet2d.__init__", 4, u2_init(self, arg[0], arg[1], arg[2], arg[3], arg[4], arg[5]),
                    INIT_NAMES),
            INIT_SIG),
    QB_METHOD("forward",
              QB_FAST("Unfurlet2d.forward", 1,
                      forward_through(self, QB_ID(upsample2d), QB_ID(plantrel_stride1), arg[0], true), "A"),
              ", A",
              QB_DOC("A (np.array): (batch_size, in_channels, input_height, input_width)",
                     "Z (np.array): (batch_size, out_channels, output_height, output_width)")),
    QB_METHOD("backward",
              QB_FAST("Unfurlet2d.backward", 1,
                      backward_through(self, QB_ID(upsample2d), QB_ID(plantrel_stride1), arg[0]), "dLdZ"),
              ", dLdZ",
              QB_DOC("dLdZ (np.array): (batch_size, out_channels, output_height, output_width)",
                     "dLdA (np.array): (batch_size, in_channels, input_height, input_width)")),
    {}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.Unfurlet", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Unfurlet() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::star_import(m, "quillet.nn.resampling");
    qb::star_import(m, "quillet.nn.Lintrel");
    qb::star_import(m, "quillet.nn.Plantrel");
    g_module = m;
    qb::make_class(m, "Unfurlet1d", unfurlet1d_methods);
    qb::make_class(m, "Unfurlet2d", unfurlet2d_methods);
  });
}
