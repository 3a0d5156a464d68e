#include "kernels/activation.hpp"

#include <cmath>

#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

// Each loop reads and writes through restrict pointers of its own, so the
// compiler vectorises it (branch-free selects, no aliasing checks).
void activate(Activation f, const double* z, double* out, int64_t n) {
  parallel_for(n, f == Activation::ReLU ? 0.5 : 20.0, [=](int64_t lo, int64_t hi) {
    const double* __restrict zi = z + lo;
    double* __restrict o = out + lo;
    const int64_t m = hi - lo;
    switch (f) {
      case Activation::ReLU:
        // NaN stays NaN, as with np.maximum.
        for (int64_t i = 0; i < m; ++i) o[i] = zi[i] < 0.0 ? 0.0 : zi[i];
        break;
      case Activation::Sigmoid:
        for (int64_t i = 0; i < m; ++i) {
          const double e = std::exp(-std::fabs(zi[i]));  // never overflows
          o[i] = zi[i] >= 0.0 ? 1.0 / (1.0 + e) : e / (1.0 + e);
        }
        break;
      case Activation::Tanh:
        for (int64_t i = 0; i < m; ++i) o[i] = std::tanh(zi[i]);
        break;
    }
  });
}

void activate_grad(Activation f, const double* z, const double* a, const double* g, double* out, int64_t n) {
  parallel_for(n, 0.5, [=](int64_t lo, int64_t hi) {
    const double* __restrict zi = z + lo;
    const double* __restrict ai = a + lo;
    const double* __restrict gi = g + lo;
    double* __restrict o = out + lo;
    const int64_t m = hi - lo;
    switch (f) {
      case Activation::ReLU:
        for (int64_t i = 0; i < m; ++i) o[i] = zi[i] > 0.0 ? gi[i] : 0.0;
        break;
      case Activation::Sigmoid:
        for (int64_t i = 0; i < m; ++i) o[i] = gi[i] * ai[i] * (1.0 - ai[i]);
        break;
      case Activation::Tanh:
        for (int64_t i = 0; i < m; ++i) o[i] = gi[i] * (1.0 - ai[i] * ai[i]);
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

QK_ISA_END
}  // namespace qk
