// Strided multi-channel cross-correlation in two dimensions (one-dimensional
// signals are images of height 1), forward and backward.
//
// Three strategies sit side by side in conv.cpp, and `choose()` holds the rule
// that picks one:
// - direct loops, for problems of a few thousand multiply-adds, where building
//   column matrices would cost more than the arithmetic;
// - blocked, the common case of a few to a few hundred channels: the output
//   positions go in tiles that the register-blocked kernels of gemm.hpp
//   multiply at once, reading the taps in place at stride 1 and gathering
//   the tile's column matrix in L1 elsewhere (forward); each tile's column
//   gradients are made and added onto dA at once (backward); the weight
//   gradients are outer products of the taps' inputs, in place, and the
//   rows of dZ^T (or, at stride 1 with 16 vector registers, dot products of
//   the rows of dZ and of the input in place);
// - im2col + the BLAS that numpy ships, for channel counts so large that the
//   products are big enough for the BLAS to win.
// In float, 3x3 filters at stride 1 take minimal filtering (winograd.hpp)
// where the blocked kernels would run.
//
// Only the kept output positions are ever computed: a stride s costs 1/s (1/s²)
// of the stride-1 work, and the backward pass never multiplies the zeros a
// downsampler would insert.
#pragma once

#include "kernels/isa.hpp"

#include <cstdint>

namespace qk {

struct ConvShape {
  int64_t n, c, h, w;  // input A (padding already applied)
  int64_t o, kh, kw;   // filters W (o, c, kh, kw)
  int64_t sh, sw;      // strides
  int64_t ho, wo;      // output positions computed: i < ho, j < wo, with (ho-1)*sh + kh <= h
  int64_t hd, wd;      // extent of dA in backward; (ho-1)*sh + kh <= hd, likewise for wd

  int64_t ck() const { return c * kh * kw; }
  double macs() const { return double(n) * double(o) * double(ck()) * double(ho) * double(wo); }
};

// Batched row-major GEMM: for b < batch, C_b = op(A_b) @ op(B_b), where X_b
// starts at x + b * stride_x (stride 0 shares one matrix).  C is overwritten.
// The binding layer provides it; it may be called without the GIL.
// R is the element type (double or float).
template <class R>
using GemmOf = void (*)(bool trans_a, bool trans_b, int64_t batch, int64_t m, int64_t n, int64_t k, const R* a,
                        int64_t lda, int64_t stride_a, const R* b, int64_t ldb, int64_t stride_b, R* c, int64_t ldc,
                        int64_t stride_c);
using GemmFn = GemmOf<double>;

enum class ConvPath { Direct, Blocked, Blas };

// A test hook: every convolution with something to compute takes `path`
// (0 direct, 1 blocked, 2 BLAS), or, for -1, the path choose() picks.  With
// kForceWinograd the forward pass and the input gradient take minimal
// filtering wherever it applies (winograd.hpp), in double too, and the
// blocked kernels elsewhere.
constexpr int kForceWinograd = 3;
void force_conv_path(int path);
int forced_conv_path();

QK_ISA_BEGIN

ConvPath choose(const ConvShape& s);

// Every kernel takes its arrays in one element type R, double or float (the
// table in api.hpp has both).
//
// Z (n, o, ho, wo) = b + W * A.  Z is overwritten.
template <class R>
void conv_forward(const ConvShape& s, const R* A, const R* W, const R* b, R* Z, GemmOf<R> gemm);

// From dZ (n, o, ho, wo): dA (n, c, hd, wd) is overwritten with the input
// gradient, dW (o, c, kh, kw) and db (o) with the parameter gradients.  A null
// dA skips the input gradient; a null dW skips both parameter gradients (A is
// then not read).  In float the bias gradient is summed in double.
template <class R>
void conv_backward(const ConvShape& s, const R* A, const R* W, const R* dZ, R* dA, R* dW, R* db, GemmOf<R> gemm);

QK_ISA_END
}  // namespace qk
