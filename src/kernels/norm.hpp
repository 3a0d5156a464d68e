// Batch normalisation over blocks of (batch, channels, positions): every
// channel is normalised with statistics over the batch and the positions.
#pragma once

#include <cstdint>

#include "kernels/isa.hpp"

namespace qk {

struct NormShape {
  int64_t n, c, l;                         // batch, channels, positions per channel (1 for (batch, features) inputs)
  int64_t count() const { return n * l; }  // values per channel
};

QK_ISA_BEGIN

// The mean and the biased variance of every channel (two passes, so no
// cancellation).
template <class R>
void batchnorm_stats(const NormShape& s, const R* A, double* mean, double* var);

// Z = W (A - mean) / sqrt(var + eps) + b, channel by channel.
template <class R>
void batchnorm_forward(const NormShape& s, const R* A, const double* mean, const double* var, double eps, const R* W,
                       const R* b, R* Z);

// From dZ: dW and db (overwritten), and dA for statistics that were the
// batch's own (`batch_stats`: the mean and variance depend on A) or constants
// (evaluation mode).
template <class R>
void batchnorm_backward(const NormShape& s, const R* A, const double* mean, const double* var, double eps, const R* W,
                        const R* dZ, bool batch_stats, R* dA, R* dW, R* db);

QK_ISA_END
}  // namespace qk
