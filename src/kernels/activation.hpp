// Elementwise kernels over flat float64 buffers: activations, softmax, dropout
// and the losses (softmax cross-entropy, mean squared error).
#pragma once

#include "kernels/isa.hpp"

#include <cstdint>

namespace qk {

enum class Activation { ReLU, Sigmoid, Tanh, LeakyReLU, GELU };

QK_ISA_BEGIN

// out = f(z); `slope` is LeakyReLU's negative slope (ignored by the others).
template <class R>
void activate(Activation f, double slope, const R* z, R* out, int64_t n);
// out = g * f'(z), given z and a = f(z)
template <class R>
void activate_grad(Activation f, double slope, const R* z, const R* a, const R* g, R* out, int64_t n);

// Softmax along the middle axis of (outer, classes, inner) blocks, with each
// column's maximum shifted out, and its backward: dz = a * (g - sum(g * a)).
template <class R>
void softmax(const R* z, R* a, int64_t outer, int64_t classes, int64_t inner);
template <class R>
void softmax_grad(const R* a, const R* g, R* dz, int64_t outer, int64_t classes, int64_t inner);

// Inverted dropout: an element is kept where its random word r >= threshold,
// and scaled by `scale`; mask records which were kept.  dropout_grad applies
// the same mask and scale to a gradient.
template <class R>
void dropout(const R* a, const uint32_t* r, uint32_t threshold, double scale, R* out, bool* mask, int64_t n);
template <class R>
void dropout_grad(const R* g, const bool* mask, double scale, R* out, int64_t n);

// Row-wise softmax of logits (rows x cols) into p, and the mean over rows of
// -sum(y * log_softmax), computed with the row maximum shifted out.
template <class R>
double softmax_cross_entropy(const R* logits, const R* y, R* p, int64_t rows, int64_t cols);

// mean((a - y)^2) over n values, summed pairwise as NumPy's mean is (NaN for n = 0).
template <class R>
double mean_squared_error(const R* a, const R* y, int64_t n);
// out = 2 * (a - y) / n
template <class R>
void mean_squared_error_grad(const R* a, const R* y, R* out, int64_t n);

QK_ISA_END
}  // namespace qk
