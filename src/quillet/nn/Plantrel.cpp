// quillet.nn.Plantrel: two-dimensional convolution.  Plantrel_stride1 is the
// stride-1, unpadded layer; Plantrel pads, convolves and downsamples through
// its parts `plantrel_stride1` and `downsample2d` (see layer/conv.hpp).
#include "layer/conv.hpp"

namespace {

using Conv = ql::Conv<2>;

const char* const DOC_FWD = QB_DOC("A (np.array): (batch_size, in_channels, input_height, input_width)",
                                   "Z (np.array): (batch_size, out_channels, output_height, output_width)");
const char* const DOC_BWD = QB_DOC("dLdZ (np.array): (batch_size, out_channels, output_height, output_width)",
                                   "dLdA (np.array): (batch_size, in_channels, input_height, input_width)");

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.Plantrel", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Plantrel() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::star_import(m, {"quillet.nn.resampling"});
    PyObject* stride1 =
        qb::make_class(m, "Plantrel_stride1", nullptr,
                       {{"__init__", "in_channels, out_channels, kernel_size, weight_init_fn=None, bias_init_fn=None",
                         nullptr, Conv::stride1_init},
                        {"forward", "A", DOC_FWD, Conv::stride1_forward},
                        {"backward", "dLdZ", DOC_BWD, Conv::stride1_backward}});
    qb::make_class(m, "Plantrel", nullptr,
                   {{"__init__",
                     "in_channels, out_channels, kernel_size, stride, padding=0, weight_init_fn=None, "
                     "bias_init_fn=None",
                     nullptr, Conv::strided_init},
                    {"forward", "A", DOC_FWD, Conv::strided_forward},
                    {"backward", "dLdZ", DOC_BWD, Conv::strided_backward}});
    Conv::layer.capture(m, stride1);
  });
}
