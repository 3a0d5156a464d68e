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

const char* const DOC_STRIDE1 = R"(1-D convolution of a batch of multi-channel signals, stride 1, no padding.

Z[n, o, i] = b[o] + sum over c and k of W[o, c, k] A[n, c, i + k], for the
width - kernel_size + 1 positions i where the kernel fits.

Arguments:
    in_channels (int): channels of the input.
    out_channels (int): channels of the output, one filter each.
    kernel_size (int): taps of each filter (at least 1).
    weight_init_fn (callable, optional): W = weight_init_fn(out_channels,
        in_channels, kernel_size); by default N(0, 1) draws from numpy's
        global generator.
    bias_init_fn (callable, optional): b = bias_init_fn(out_channels); zeros
        by default.

Attributes:
    W (out_channels, in_channels, kernel_size) and b (out_channels,): read
        afresh by every call, so they can be replaced at any time.
    dLdW, dLdb: their gradients, replaced by every backward.
    A: the last input, kept by forward for backward.

Example:
    >>> conv = Lintrel_stride1(3, 8, kernel_size=5)
    >>> conv.forward(np.ones((16, 3, 100))).shape
    (16, 8, 96))";

const char* const DOC_STRIDED = R"(1-D convolution with stride and zero padding.

Pads the input with `padding` zeros at both ends, convolves it with stride 1
(the part lintrel_stride1) and keeps every stride-th output (the part
downsample1d); only the kept positions are computed.  Output width:
(width + 2 padding - kernel_size) // stride + 1.

Arguments:
    in_channels, out_channels, kernel_size: as for Lintrel_stride1.
    stride (int): distance between output positions (at least 1).
    padding (int): zeros added at both ends (0 by default; a negative
        padding adds none).
    weight_init_fn, bias_init_fn: as for Lintrel_stride1.

Attributes:
    lintrel_stride1: the stride-1 convolution, which holds W, b, dLdW, dLdb
        and A (the padded input).
    downsample1d: the downsampler.
    stride, pad: the hyper-parameters.

Example:
    >>> conv = Lintrel(3, 8, kernel_size=5, stride=2, padding=2)
    >>> conv.forward(np.ones((16, 3, 100))).shape
    (16, 8, 50))";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.Lintrel", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_Lintrel() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::star_import(m, {"quillet.nn.resampling"});
    PyObject* stride1 =
        qb::make_class(m, "Lintrel_stride1", DOC_STRIDE1,
                       {{"__init__", "in_channels, out_channels, kernel_size, weight_init_fn=None, bias_init_fn=None",
                         nullptr, Conv::stride1_init},
                        {"forward", "A", DOC_FWD, Conv::stride1_forward},
                        {"__call__", "A", DOC_FWD, Conv::stride1_forward},
                        {"backward", "dLdZ", DOC_BWD, Conv::stride1_backward},
                        {"__repr__", "", nullptr, Conv::stride1_repr}});
    qb::make_class(m, "Lintrel", DOC_STRIDED,
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
