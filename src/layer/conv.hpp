// The convolution layers' binding, one for both dimensions (a one-dimensional
// signal is an image one row high): attributes → shape → kernel → gradients.
//
// The stride-1 layers (Lintrel_stride1, Plantrel_stride1) and the padded,
// strided composites (Lintrel, Plantrel) that own one of them and a
// downsampler; for the transposed layers (Unfurlet1d, Unfurlet2d), which own
// an upsampler and a stride-1 layer, the rule of when their parts are stock.  With stock parts a composite computes
// only the positions its downsampler keeps and leaves on the parts exactly the state their own passes would have left;
// other parts are driven through their methods.
//
// Where the two dimensions differ observably, the rules sit side by side in
// conv.cpp: the 1-D layer checks channels with assertions and replaces its
// parameter gradients; the 2-D layer reports mismatches as ValueError and adds
// to its gradients.
#pragma once

#include "layer/layer.hpp"

namespace ql {

struct ConvLayer {
  int dims;                    // 1 or 2
  StockMethods stride1;        // the stride-1 class of this module
  StockMethods downsample;     // Downsample1d or Downsample2d
  StockMethods upsample;       // Upsample1d or Upsample2d, for the transposed layers
  PyObject* module = nullptr;  // where the part classes are looked up

  // Records the module and its classes; the module must already bind the
  // stride-1 class and the resamplers.
  void capture(PyObject* module, PyObject* stride1_cls);

  // Lintrel_stride1 / Plantrel_stride1
  Ref stride1_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size,
                   PyObject* weight_init_fn, PyObject* bias_init_fn) const;
  Ref stride1_forward(PyObject* self, PyObject* A) const;
  Ref stride1_backward(PyObject* self, PyObject* dLdZ) const;

  // Lintrel / Plantrel
  Ref strided_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size,
                   PyObject* stride, PyObject* padding, PyObject* weight_init_fn, PyObject* bias_init_fn) const;
  Ref strided_forward(PyObject* self, PyObject* A) const;
  Ref strided_backward(PyObject* self, PyObject* dLdZ) const;

  // "Lintrel_stride1(in_channels=3, out_channels=8, kernel_size=5)",
  // "Lintrel(in_channels=3, …, stride=2, padding=1)"
  Ref stride1_repr(PyObject* self) const;
  Ref strided_repr(PyObject* self) const;

  // Whether a transposed convolution's parts, an upsampler and then this
  // dimension's stride-1 layer, are stock ones that it may drive with fused
  // kernels (Unfurlet1d, Unfurlet2d).
  bool stock_transposed(const Ref& up, const Ref& conv) const {
    return upsample.untouched(up) && stride1.untouched(conv);
  }

  // Names of this dimension's parts.
  PyObject* stride1_attr() const;
  PyObject* downsample_attr() const;
};

// The method bodies of one dimension's classes, for the module's class table.
template <int D>
struct Conv {
  static inline ConvLayer layer{D};

  static Ref stride1_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size,
                          PyObject* weight_init_fn, PyObject* bias_init_fn) {
    return layer.stride1_init(self, in_channels, out_channels, kernel_size, weight_init_fn, bias_init_fn);
  }
  static Ref stride1_forward(PyObject* self, PyObject* A) { return layer.stride1_forward(self, A); }
  static Ref stride1_backward(PyObject* self, PyObject* dLdZ) { return layer.stride1_backward(self, dLdZ); }
  static Ref strided_init(PyObject* self, PyObject* in_channels, PyObject* out_channels, PyObject* kernel_size,
                          PyObject* stride, PyObject* padding, PyObject* weight_init_fn, PyObject* bias_init_fn) {
    return layer.strided_init(self, in_channels, out_channels, kernel_size, stride, padding, weight_init_fn,
                              bias_init_fn);
  }
  static Ref strided_forward(PyObject* self, PyObject* A) { return layer.strided_forward(self, A); }
  static Ref strided_backward(PyObject* self, PyObject* dLdZ) { return layer.strided_backward(self, dLdZ); }
  static Ref stride1_repr(PyObject* self) { return layer.stride1_repr(self); }
  static Ref strided_repr(PyObject* self) { return layer.strided_repr(self); }
};

}  // namespace ql
