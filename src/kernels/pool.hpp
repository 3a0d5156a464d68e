// Max and mean pooling over square windows of side k moving by s, on batches
// of planes (one plane per sample and channel) stored contiguously.
#pragma once

#include "kernels/isa.hpp"

#include <cstdint>

namespace qk {

struct PoolShape {
  int64_t planes, h, w;  // input planes of h x w
  int64_t k, s;          // window side and stride
  int64_t ho, wo;        // windows visited: i < ho, j < wo
};

QK_ISA_BEGIN

// Z[p, i, j] = max (or mean) of the window at (i*s, j*s), which must lie inside
// the plane.  The max propagates NaN, as numpy's does.
template <class R>
void max_forward(const PoolShape& s, const R* A, R* Z);
template <class R>
void mean_forward(const PoolShape& s, const R* A, R* Z);

// max_forward, and mask[p, y, x] the verdict of the last window (in row-major
// window order) covering (y, x): whether A there equals that window's maximum.
// Positions in no window are false.
template <class R>
void max_forward_mask(const PoolShape& s, const R* A, R* Z, bool* mask);

// dA (overwritten) = the sum of each window's gradient dZ[p, i, j]: at every
// position equal to the window's maximum (ties all receive it), or divided by
// k*k over the whole window.  Windows are clipped to the plane, so gradients
// wider than the output reach the edge as shorter windows.  `dz_planes` maps
// the gradient's planes onto the input's (one gradient plane per input plane
// here; callers broadcast beforehand).
template <class R>
void max_backward(const PoolShape& s, const R* A, const R* dZ, R* dA);
template <class R>
void mean_backward(const PoolShape& s, const R* dZ, R* dA);

QK_ISA_END
}  // namespace qk
