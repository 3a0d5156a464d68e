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

const char* const DOC_STRIDE1 = R"(2-D convolution of a batch of multi-channel images, stride 1, no padding.

Z[n, o, i, j] = b[o] + sum over c, p and q of W[o, c, p, q] A[n, c, i + p, j + q]
for every position where the square kernel fits.  Unlike the 1-D layer,
backward adds to dLdW and dLdb (reset them between steps).

Arguments:
    in_channels (int): channels of the input.
    out_channels (int): channels of the output, one filter each.
    kernel_size (int): side of the square kernels (at least 1).
    weight_init_fn (callable, optional): W = weight_init_fn(out_channels,
        in_channels, kernel_size, kernel_size); by default N(0, 1) draws from
        numpy's global generator.
    bias_init_fn (callable, optional): b = bias_init_fn(out_channels); zeros
        by default.

Attributes:
    W (out_channels, in_channels, kernel_size, kernel_size) and b
        (out_channels,): read afresh by every call.
    dLdW, dLdb: their gradients, accumulated by every backward.
    A: the last input, kept by forward for backward.

Example:
    >>> conv = Plantrel_stride1(3, 16, kernel_size=3)
    >>> conv.forward(np.ones((4, 3, 32, 32))).shape
    (4, 16, 30, 30))";

const char* const DOC_STRIDED = R"(2-D convolution with stride and zero padding.

Pads both spatial axes with `padding` zeros on each side, convolves with
stride 1 (the part plantrel_stride1) and keeps every stride-th row and
column (the part downsample2d); only the kept positions are computed.
Output extent on each axis: (n + 2 padding - kernel_size) // stride + 1.

Arguments:
    in_channels, out_channels, kernel_size: as for Plantrel_stride1.
    stride (int): distance between output positions on both axes (at least 1).
    padding (int): zeros added on each side (0 by default, not negative).
    weight_init_fn, bias_init_fn: as for Plantrel_stride1.

Attributes:
    plantrel_stride1: the stride-1 convolution, which holds W, b, dLdW,
        dLdb and A (the padded input).
    downsample2d: the downsampler.
    stride, pad: the hyper-parameters.

Example:
    >>> conv = Plantrel(3, 16, kernel_size=3, stride=1, padding=1)
    >>> conv.forward(np.ones((4, 3, 32, 32))).shape
    (4, 16, 32, 32))";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.Plantrel", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Plantrel() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::star_import(m, {"quillet.nn.resampling"});
    PyObject* stride1 =
        qb::make_class(m, "Plantrel_stride1", DOC_STRIDE1,
                       {{"__init__", "in_channels, out_channels, kernel_size, weight_init_fn=None, bias_init_fn=None",
                         nullptr, Conv::stride1_init},
                        {"forward", "A", DOC_FWD, Conv::stride1_forward},
                        {"__call__", "A", DOC_FWD, Conv::stride1_forward},
                        {"backward", "dLdZ", DOC_BWD, Conv::stride1_backward},
                        {"__repr__", "", nullptr, Conv::stride1_repr}});
    qb::make_class(m, "Plantrel", DOC_STRIDED,
                   {{"__init__",
                     "in_channels, out_channels, kernel_size, stride, padding=0, weight_init_fn=None, "
                     "bias_init_fn=None",
                     nullptr, Conv::strided_init},
                    {"forward", "A", DOC_FWD, Conv::strided_forward},
                    {"__call__", "A", DOC_FWD, Conv::strided_forward},
                    {"backward", "dLdZ", DOC_BWD, Conv::strided_backward},
                    {"__repr__", "", nullptr, Conv::strided_repr}});
    Conv::layer.capture(m, stride1);
  });
}
