// quillet.nn.Lintrel: one-dimensional convolution.  Lintrel_stride1 is the
// stride-1, unpadded layer; Lintrel pads, convolves and downsamples through
// its parts `lintrel_stride1` and `downsample1d` (see layer/conv.hpp).
#include "layer/conv.hpp"

namespace {

using Conv = ql::Conv<1>;

const char* const DOC_FWD = QB_DOC("A (np.array): (batch_size, in_channels, input_size)",
                                   "Z (np.array): (batch_size, out_channels, output_size)");
const char* const DOC_BWD = QB_DOC("dLdZ (np.array): (batch_size, out_channels, output_size)",
                                   "dLdA (np.array): (batch_size, in_channels, input_size)");

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.Lintrel", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Lintrel() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::star_import(m, {"quillet.nn.resampling"});
    PyObject* stride1 =
        qb::make_class(m, "Lintrel_stride1", nullptr,
                       {{"__init__", "in_channels, out_channels, kernel_size, weight_init_fn=None, bias_init_fn=None",
                         nullptr, Conv::stride1_init},
                        {"forward", "A", DOC_FWD, Conv::stride1_forward},
                        {"backward", "dLdZ", DOC_BWD, Conv::stride1_backward}});
    qb::make_class(m, "Lintrel", nullptr,
                   {{"__init__",
                     "in_channels, out_channels, kernel_size, stride, padding=0, weight_init_fn=None, "
                     "bias_init_fn=None",
                     nullptr, Conv::strided_init},
                    {"forward", "A", DOC_FWD, Conv::strided_forward},
                    {"backward", "dLdZ", DOC_BWD, Conv::strided_backward}});
    Conv::layer.capture(m, stride1);
  });
}
