// Transposed convolution: a stride-1 correlation of an input upsampled by zero
// insertion, computed without multiplying the inserted zeros.
//
// A stride-1 correlation over an input upsampled by f is the transpose of a
// stride-f correlation: forward runs the input-gradient kernel of that strided
// correlation on the compact input, and backward runs its forward and
// weight-gradient kernels on the zero-padded output gradient.  That is f (f²
// in two dimensions) times less arithmetic than correlating the upsampled
// input.  One-dimensional signals are images one row high whose rows are not
// upsampled (fh = 1).
#pragma once

#include "kernels/isa.hpp"

#include <cstdint>

#include "kernels/conv.hpp"

namespace qk {

struct TransposedShape {
  int64_t n, c, o;  // batch, input channels, output channels
  int64_t h, w;     // compact input (n, c, h, w)
  int64_t kh, kw;   // filters W (o, c, kh, kw)
  int64_t fh, fw;   // upsampling factors

  int64_t hu() const { return (h - 1) * fh + 1; }  // the upsampled input
  int64_t wu() const { return (w - 1) * fw + 1; }
  int64_t hz() const { return hu() - kh + 1; }  // the output (n, o, hz, wz)
  int64_t wz() const { return wu() - kw + 1; }
};

QK_ISA_BEGIN

// Z (n, o, hz, wz) = b + W * upsample(A), from the compact input A (n, c, h, w).
// Every extent must be positive.
template <class R>
void transposed_forward(const TransposedShape& s, const R* A, const R* W, const R* b, R* Z, GemmOf<R> gemm);

// From the upsampled input U (n, c, hu, wu), which must be zero off its grid
// (see zero_off_grid), and the output gradient dZ: dA (n, c, h, w), dW and db
// are overwritten.
template <class R>
void transposed_backward(const TransposedShape& s, const R* U, const R* W, const R* dZ, R* dA, R* dW, R* db,
                         GemmOf<R> gemm);

// Whether `planes` planes of hu x wu are zero everywhere but at rows that are
// multiples of fh and columns that are multiples of fw.
template <class R>
bool zero_off_grid(const R* U, int64_t planes, int64_t hu, int64_t wu, int64_t fh, int64_t fw);

QK_ISA_END
}  // namespace qk
