// Elementwise activations and the softmax cross-entropy, over flat buffers.
#pragma once

#include "kernels/isa.hpp"

#include <cstdint>

namespace qk {

enum class Activation { ReLU, Sigmoid, Tanh };

QK_ISA_BEGIN

// out = f(z)
void activate(Activation f, const double* z, double* out, int64_t n);
// out = g * f'(z), given z and a = f(z)
void activate_grad(Activation f, const double* z, const double* a, const double* g, double* out, int64_t n);

// Row-wise softmax of logits (rows x cols) into p, and the mean over rows of
// -sum(y * log_softmax), computed with the row maximum shifted out.
double softmax_cross_entropy(const double* logits, const double* y, double* p, int64_t rows, int64_t cols);

QK_ISA_END
}  // namespace qk
