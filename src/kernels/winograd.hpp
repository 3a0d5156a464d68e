// 3x3 filters at stride 1 by minimal filtering, F(2x2, 3x3): each 2x2 block
// of outputs comes from the 4x4 block of input under it as A^T [(G g G^T) .
// (B^T d B)] A, 16 multiplications per channel pair instead of 36.  The 16
// products of a block of tiles are 16 matrix products over the channels, run
// by the kernels of gemm.hpp; the transforms are additions only, so the
// results stay within a few units in the last place of the direct sums.
// Double also has F(4x4, 3x3): 4x4 blocks of outputs from 6x6 blocks of
// input, 36 multiplications instead of 144; its transforms multiply by up
// to 8, so that its results lie within about 1e-14 of the largest output
// from the direct sums (float would lose too many of its digits).
//
// The forward pass, the input gradient (a correlation of dZ, padded by 2,
// with the filters turned by 180 degrees and transposed) and the weight
// gradient (G^T [sum over tiles of (B^T d B) . (A dy A^T)] G, on 2x2 tiles
// only) take this route; conv.cpp decides when.
#pragma once

#include "kernels/conv.hpp"

namespace qk {
QK_ISA_BEGIN

// Whether the forward pass and the input gradient of s can take this route:
// 3x3 filters at stride 1, output rows (forward) and dA rows (backward) wide
// enough for a vector of tiles.
template <class R>
bool winograd_fits(const ConvShape& s);

// Whether a correlation from cin channels to cout of h x w outputs takes
// F(4x4, 3x3): in double, where its tiles pay (F(2x2, 3x3) otherwise).
template <class R>
bool winograd_wide(int64_t h, int64_t w, int64_t cin, int64_t cout);

// Z (n, o, ho, wo) = b + W * A, as conv_forward.  Returns false, with Z
// partly written, where A or W holds an infinity or a NaN (the transforms
// mix neighbouring values, so that an infinity would make NaNs where the
// direct sums make infinities) or where an output is not finite (the
// transforms' sums can overflow where the direct sums do not); the caller
// then takes another path.
template <class R>
bool winograd_forward(const ConvShape& s, const R* A, const R* W, const R* b, R* Z);

// dA (n, c, hd, wd) overwritten with the input gradient, as conv_backward;
// false, likewise, for values of dZ or W or of dA that are not finite.
template <class R>
bool winograd_input_grad(const ConvShape& s, const R* W, const R* dZ, R* dA);

// dW (o, c, 3, 3) overwritten with the weight gradient from A and dZ, as
// conv_backward (the bias gradient is not made here); false, likewise, for
// values of A or dZ that are not finite.
template <class R>
bool winograd_weight_grad(const ConvShape& s, const R* A, const R* dZ, R* dW);

QK_ISA_END
}  // namespace qk
