#include "kernels/activation.hpp"

#include <cmath>

#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

// Each loop reads and writes through restrict pointers of its own, so the
// compiler vectorises it (branch-free selects, no aliasing checks).
void activate(Activation f, double slope, const double* z, double* out, int64_t n) {
  const double cost = f == Activation::ReLU || f == Activation::LeakyReLU ? 0.5 : 20.0;
  parallel_for(n, cost, [=](int64_t lo, int64_t hi) {
    const double* __restrict zi = z + lo;
    double* __restrict o = out + lo;
    const int64_t m = hi - lo;
    switch (f) {
      case Activation::ReLU:
        // NaN stays NaN, as with np.maximum.
        for (int64_t i = 0; i < m; ++i) o[i] = zi[i] < 0.0 ? 0.0 : zi[i];
        break;
      case Activation::LeakyReLU:
        for (int64_t i = 0; i < m; ++i) o[i] = zi[i] < 0.0 ? slope * zi[i] : zi[i];
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
      case Activation::GELU:
        // The exact form, z * Phi(z), with Phi the normal distribution function.
        for (int64_t i = 0; i < m; ++i) o[i] = 0.5 * zi[i] * std::erfc(-zi[i] * M_SQRT1_2);
        break;
    }
  });
}

void activate_grad(Activation f, double slope, const double* z, const double* a, const double* g, double* out,
                   int64_t n) {
  parallel_for(n, f == Activation::GELU ? 20.0 : 0.5, [=](int64_t lo, int64_t hi) {
    const double* __restrict zi = z + lo;
    const double* __restrict ai = a + lo;
    const double* __restrict gi = g + lo;
    double* __restrict o = out + lo;
    const int64_t m = hi - lo;
    switch (f) {
      case Activation::ReLU:
        for (int64_t i = 0; i < m; ++i) o[i] = zi[i] > 0.0 ? gi[i] : 0.0;
        break;
      case Activation::LeakyReLU:
        for (int64_t i = 0; i < m; ++i) o[i] = zi[i] > 0.0 ? gi[i] : slope * gi[i];
        break;
      case Activation::Sigmoid:
        for (int64_t i = 0; i < m; ++i) o[i] = gi[i] * ai[i] * (1.0 - ai[i]);
        break;
      case Activation::Tanh:
        for (int64_t i = 0; i < m; ++i) o[i] = gi[i] * (1.0 - ai[i] * ai[i]);
        break;
      case Activation::GELU: {
        // Phi(z) + z phi(z)
        const double inv_sqrt_2pi = 0.5 * M_2_SQRTPI * M_SQRT1_2;
        for (int64_t i = 0; i < m; ++i)
          o[i] = gi[i] * (0.5 * std::erfc(-zi[i] * M_SQRT1_2) + zi[i] * inv_sqrt_2pi * std::exp(-0.5 * zi[i] * zi[i]));
        break;
      }
    }
  });
}

void softmax(const double* z, double* a, int64_t outer, int64_t classes, int64_t inner) {
  parallel_for(outer, 20.0 * double(classes) * double(inner), [=](int64_t lo, int64_t hi) {
    for (int64_t b = lo; b < hi; ++b) {
      const double* zb = z + b * classes * inner;
      double* ab = a + b * classes * inner;
      for (int64_t j = 0; j < inner; ++j) {
        double m = -INFINITY;
        for (int64_t c = 0; c < classes; ++c) m = zb[c * inner + j] > m ? zb[c * inner + j] : m;
        if (std::isinf(m)) m = m > 0 ? m : 0.0;  // an all -inf column: 0/0 below gives NaN, as NumPy would
        double sum = 0.0;
        for (int64_t c = 0; c < classes; ++c) sum += (ab[c * inner + j] = std::exp(zb[c * inner + j] - m));
        for (int64_t c = 0; c < classes; ++c) ab[c * inner + j] /= sum;
      }
    }
  });
}

void softmax_grad(const double* a, const double* g, double* dz, int64_t outer, int64_t classes, int64_t inner) {
  parallel_for(outer, 3.0 * double(classes) * double(inner), [=](int64_t lo, int64_t hi) {
    for (int64_t b = lo; b < hi; ++b) {
      const int64_t base = b * classes * inner;
      for (int64_t j = 0; j < inner; ++j) {
        double dot = 0.0;
        for (int64_t c = 0; c < classes; ++c) dot += g[base + c * inner + j] * a[base + c * inner + j];
        for (int64_t c = 0; c < classes; ++c)
          dz[base + c * inner + j] = a[base + c * inner + j] * (g[base + c * inner + j] - dot);
      }
    }
  });
}

void dropout(const double* a, const uint32_t* r, uint32_t threshold, double scale, double* out, bool* mask, int64_t n) {
  parallel_for(n, 1.0, [=](int64_t lo, int64_t hi) {
    for (int64_t i = lo; i < hi; ++i) {
      const bool keep = r[i] >= threshold;
      mask[i] = keep;
      out[i] = a[i] * (keep ? scale : 0.0);  // as A * mask * scale: a dropped NaN stays NaN
    }
  });
}

void dropout_grad(const double* g, const bool* mask, double scale, double* out, int64_t n) {
  parallel_for(n, 0.5, [=](int64_t lo, int64_t hi) {
    for (int64_t i = lo; i < hi; ++i) out[i] = g[i] * (mask[i] ? scale : 0.0);
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

namespace {

// Sum of squared differences by halves down to blocks of 128 (NumPy's
// pairwise scheme): the rounding error grows with log n, not n.
double squared_differences(const double* a, const double* y, int64_t n) {
  if (n <= 128) {
    double s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int64_t i = 0;
    for (; i + 8 <= n; i += 8)
      for (int j = 0; j < 8; ++j) {
        const double d = a[i + j] - y[i + j];
        s[j] += d * d;
      }
    double total = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
    for (; i < n; ++i) {
      const double d = a[i] - y[i];
      total += d * d;
    }
    return total;
  }
  const int64_t half = (n / 2) & ~int64_t{7};
  return squared_differences(a, y, half) + squared_differences(a + half, y + half, n - half);
}

}  // namespace

double mean_squared_error(const double* a, const double* y, int64_t n) {
  return squared_differences(a, y, n) / static_cast<double>(n);
}

void mean_squared_error_grad(const double* a, const double* y, double* out, int64_t n) {
  const double count = static_cast<double>(n);
  parallel_for(n, 2.0, [=](int64_t lo, int64_t hi) {
    for (int64_t i = lo; i < hi; ++i) out[i] = 2.0 * (a[i] - y[i]) / count;
  });
}

QK_ISA_END
}  // namespace qk
