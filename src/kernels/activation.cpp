#include "kernels/activation.hpp"

#include <cmath>

#include "kernels/parallel.hpp"

namespace qk {

void activate(Activation f, const double* z, double* out, int64_t n) {
  parallel_for(n, f == Activation::ReLU ? 1.0 : 20.0, [=](int64_t lo, int64_t hi) {
    switch (f) {
      case Activation::ReLU:
        // NaN stays NaN, as with np.maximum.
        for (int64_t i = lo; i < hi; ++i) out[i] = z[i] < 0.0 ? 0.0 : z[i];
        break;
      case Activation::Sigmoid:
        for (int64_t i = lo; i < hi; ++i)
          out[i] = z[i] >= 0.0 ? 1.0 / (1.0 + std::exp(-z[i])) : std::exp(z[i]) / (1.0 + std::exp(z[i]));
        break;
      case Activation::Tanh:
        for (int64_t i = lo; i < hi; ++i) out[i] = std::tanh(z[i]);
        break;
    }
  });
}

void activate_grad(Activation f, const double* z, const double* a, const double* g, double* out, int64_t n) {
  parallel_for(n, 1.0, [=](int64_t lo, int64_t hi) {
    switch (f) {
      case Activation::ReLU:
        for (int64_t i = lo; i < hi; ++i) out[i] = z[i] > 0.0 ? g[i] : 0.0;
        break;
      case Activation::Sigmoid:
        for (int64_t i = lo; i < hi; ++i) out[i] = g[i] * a[i] * (1.0 - a[i]);
        break;
      case Activation::Tanh:
        for (int64_t i = lo; i < hi; ++i) out[i] = g[i] * (1.0 - a[i] * a[i]);
        break;
    }
  });
}

double softmax_cross_entropy(const double* logits, const double* y, double* p, int64_t rows, int64_t cols) {
  double total = 0.0;
  for (int64_t r = 0; r < rows; ++r) {
    const double* x = logits + r * cols;
    const double* t = y + r * cols;
    double* q = p + r * cols;
    double m = -INFINITY;
    for (int64_t c = 0; c < cols; ++c) m = x[c] > m ? x[c] : m;
    double sum = 0.0;
    for (int64_t c = 0; c < cols; ++c) sum += (q[c] = std::exp(x[c] - m));
    const double log_sum = std::log(sum);
    double loss = 0.0;
    for (int64_t c = 0; c < cols; ++c) {
      q[c] /= sum;
      // log_softmax = x - m - log(sum); terms with a zero target add nothing
      // (and no 0 * -inf from an underflowed probability).
      if (t[c] != 0.0) loss -= t[c] * (x[c] - m - log_sum);
    }
    total += loss;
  }
  return rows ? total / double(rows) : NAN;
}

}  // namespace qk
