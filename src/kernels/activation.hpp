// Elementwise kernels over flat float64 buffers: activations, softmax, dropout
// and the losses (softmax cross-entropy, mean squared error).
#pragma once

#include "kernels/isa.hpp"

#include <cstdint>

namespace qk {

enum class Activation { ReLU, Sigmoid, Tanh, LeakyReLU, GELU };

QK_ISA_BEGIN

// out = f(z); `slope` is LeakyReLU's negative slope (ignored by the others).
void activate(Activation f, double slope, const double* z, double* out, int64_t n);
// out = g * f'(z), given z and a = f(z)
void activate_grad(Activation f, double slope, const double* z, const double* a, const double* g, double* out,
                   int64_t n);

// Softmax along the middle axis of (outer, classes, inner) blocks, with each
// column's maximum shifted out, and its backward: dz = a * (g - sum(g * a)).
void softmax(const double* z, double* a, int64_t outer, int64_t classes, int64_t inner);
void softmax_grad(const double* a, const double* g, double* dz, int64_t outer, int64_t classes, int64_t inner);

// Inverted dropout: an element is kept where its random word r >= threshold,
// and scaled by `scale`; mask records which were kept.  dropout_grad applies
// the same mask and scale to a gradient.
void dropout(const double* a, const uint32_t* r, uint32_t threshold, double scale, double* out, bool* mask, int64_t n);
void dropout_grad(const double* g, const bool* mask, double scale, double* out, int64_t n);

// Row-wise softmax of logits (rows x cols) into p, and the mean over rows of
// -sum(y * log_softmax), computed with the row maximum shifted out.
double softmax_cross_entropy(const double* logits, const double* y, double* p, int64_t rows, int64_t cols);

// mean((a - y)^2) over n values, summed pairwise as NumPy's mean is (NaN for n = 0).
double mean_squared_error(const double* a, const double* y, int64_t n);
// out = 2 * (a - y) / n
void mean_squared_error_grad(const double* a, const double* y, double* out, int64_t n);

QK_ISA_END
}  // namespace qk
