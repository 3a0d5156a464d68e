#include "kernels/activation.hpp"

#include <cmath>
#include <type_traits>

#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

// Each loop reads and writes through restrict pointers of its own, so the
// compiler vectorises it (branch-free selects, no aliasing checks).
template <class R>
void activate(Activation f, double slope, const R* z, R* out, int64_t n) {
  const double cost = f == Activation::ReLU || f == Activation::LeakyReLU ? 0.5 : 20.0;
  parallel_for(n, cost, [=](int64_t lo, int64_t hi) {
    const R* __restrict zi = z + lo;
    R* __restrict o = out + lo;
    const int64_t m = hi - lo;
    switch (f) {
      case Activation::ReLU:
        // NaN stays NaN, as with np.maximum.
        for (int64_t i = 0; i < m; ++i) o[i] = zi[i] < R(0) ? R(0) : zi[i];
        break;
      case Activation::LeakyReLU:
        for (int64_t i = 0; i < m; ++i) o[i] = zi[i] < R(0) ? R(slope * zi[i]) : zi[i];
        break;
      case Activation::Sigmoid:
        for (int64_t i = 0; i < m; ++i) {
          // Float values too are computed in double and rounded once.
          const double z = zi[i], e = std::exp(-std::fabs(z));  // never overflows
          o[i] = R(z >= 0.0 ? 1.0 / (1.0 + e) : e / (1.0 + e));
        }
        break;
      case Activation::Tanh:
        for (int64_t i = 0; i < m; ++i) o[i] = R(std::tanh(double(zi[i])));
        break;
      case Activation::GELU:
        // The exact form, z * Phi(z), with Phi the normal distribution function.
        for (int64_t i = 0; i < m; ++i) o[i] = R(0.5 * double(zi[i]) * std::erfc(-double(zi[i]) * M_SQRT1_2));
        break;
    }
  });
}

template <class R>
void activate_grad(Activation f, double slope, const R* z, const R* a, const R* g, R* out, int64_t n) {
  parallel_for(n, f == Activation::GELU ? 20.0 : 0.5, [=](int64_t lo, int64_t hi) {
    const R* __restrict zi = z + lo;
    const R* __restrict ai = a + lo;
    const R* __restrict gi = g + lo;
    R* __restrict o = out + lo;
    const int64_t m = hi - lo;
    switch (f) {
      case Activation::ReLU:
        for (int64_t i = 0; i < m; ++i) o[i] = zi[i] > R(0) ? gi[i] : R(0);
        break;
      case Activation::LeakyReLU:
        for (int64_t i = 0; i < m; ++i) o[i] = zi[i] > R(0) ? gi[i] : R(slope * gi[i]);
        break;
      case Activation::Sigmoid:
        for (int64_t i = 0; i < m; ++i) o[i] = R(double(gi[i]) * ai[i] * (1.0 - ai[i]));
        break;
      case Activation::Tanh:
        for (int64_t i = 0; i < m; ++i) o[i] = R(double(gi[i]) * (1.0 - double(ai[i]) * ai[i]));
        break;
      case Activation::GELU: {
        // Phi(z) + z phi(z)
        const double inv_sqrt_2pi = 0.5 * M_2_SQRTPI * M_SQRT1_2;
        for (int64_t i = 0; i < m; ++i) {
          const double z = zi[i];
          o[i] = R(gi[i] * (0.5 * std::erfc(-z * M_SQRT1_2) + z * inv_sqrt_2pi * std::exp(-0.5 * z * z)));
        }
        break;
      }
    }
  });
}

template <class R>
void softmax(const R* z, R* a, int64_t outer, int64_t classes, int64_t inner) {
  parallel_for(outer, 20.0 * double(classes) * double(inner), [=](int64_t lo, int64_t hi) {
    for (int64_t b = lo; b < hi; ++b) {
      const R* zb = z + b * classes * inner;
      R* ab = a + b * classes * inner;
      for (int64_t j = 0; j < inner; ++j) {
        double m = -INFINITY;
        for (int64_t c = 0; c < classes; ++c) m = zb[c * inner + j] > m ? zb[c * inner + j] : m;
        if (std::isinf(m)) m = m > 0 ? m : 0.0;  // an all -inf column: 0/0 below gives NaN, as NumPy would
        if constexpr (std::is_same_v<R, double>) {
          double sum = 0.0;
          for (int64_t c = 0; c < classes; ++c) sum += (ab[c * inner + j] = std::exp(zb[c * inner + j] - m));
          for (int64_t c = 0; c < classes; ++c) ab[c * inner + j] /= sum;
        } else {
          // Float: the exponentials and their sum in double, one rounding.
          double sum = 0.0;
          for (int64_t c = 0; c < classes; ++c) sum += std::exp(zb[c * inner + j] - m);
          for (int64_t c = 0; c < classes; ++c) ab[c * inner + j] = R(std::exp(zb[c * inner + j] - m) / sum);
        }
      }
    }
  });
}

template <class R>
void softmax_grad(const R* a, const R* g, R* dz, int64_t outer, int64_t classes, int64_t inner) {
  parallel_for(outer, 3.0 * double(classes) * double(inner), [=](int64_t lo, int64_t hi) {
    for (int64_t b = lo; b < hi; ++b) {
      const int64_t base = b * classes * inner;
      for (int64_t j = 0; j < inner; ++j) {
        double dot = 0.0;
        for (int64_t c = 0; c < classes; ++c) dot += double(g[base + c * inner + j]) * a[base + c * inner + j];
        for (int64_t c = 0; c < classes; ++c)
          dz[base + c * inner + j] = R(a[base + c * inner + j] * (g[base + c * inner + j] - dot));
      }
    }
  });
}

template <class R>
void dropout(const R* a, const uint32_t* r, uint32_t threshold, double scale, R* out, bool* mask, int64_t n) {
  parallel_for(n, 1.0, [=](int64_t lo, int64_t hi) {
    for (int64_t i = lo; i < hi; ++i) {
      const bool keep = r[i] >= threshold;
      mask[i] = keep;
      out[i] = R(a[i] * (keep ? scale : 0.0));  // as A * mask * scale: a dropped NaN stays NaN
    }
  });
}

template <class R>
void dropout_grad(const R* g, const bool* mask, double scale, R* out, int64_t n) {
  parallel_for(n, 0.5, [=](int64_t lo, int64_t hi) {
    for (int64_t i = lo; i < hi; ++i) out[i] = R(g[i] * (mask[i] ? scale : 0.0));
  });
}

template <class R>
double softmax_cross_entropy(const R* logits, const R* y, R* p, int64_t rows, int64_t cols) {
  double total = 0.0;
  for (int64_t r = 0; r < rows; ++r) {
    const R* x = logits + r * cols;
    const R* t = y + r * cols;
    R* q = p + r * cols;
    double m = -INFINITY;
    for (int64_t c = 0; c < cols; ++c) m = x[c] > m ? x[c] : m;
    double sum = 0.0;
    if constexpr (std::is_same_v<R, double>) {
      for (int64_t c = 0; c < cols; ++c) sum += (q[c] = std::exp(x[c] - m));
      for (int64_t c = 0; c < cols; ++c) q[c] /= sum;
    } else {
      for (int64_t c = 0; c < cols; ++c) sum += std::exp(x[c] - m);
      for (int64_t c = 0; c < cols; ++c) q[c] = R(std::exp(x[c] - m) / sum);
    }
    const double log_sum = std::log(sum);
    double loss = 0.0;
    for (int64_t c = 0; c < cols; ++c) {
      // log_softmax = x - m - log(sum); terms with a zero target add nothing
      // (and no 0 * -inf from an underflowed probability).
      if (t[c] != R(0)) loss -= t[c] * (x[c] - m - log_sum);
    }
    total += loss;
  }
  return rows ? total / double(rows) : NAN;
}

namespace {

// Sum of squared differences by halves down to blocks of 128 (NumPy's
// pairwise scheme): the rounding error grows with log n, not n.
template <class R>
double squared_differences(const R* a, const R* y, int64_t n) {
  if (n <= 128) {
    double s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int64_t i = 0;
    for (; i + 8 <= n; i += 8)
      for (int j = 0; j < 8; ++j) {
        const double d = double(a[i + j]) - y[i + j];
        s[j] += d * d;
      }
    double total = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
    for (; i < n; ++i) {
      const double d = double(a[i]) - y[i];
      total += d * d;
    }
    return total;
  }
  const int64_t half = (n / 2) & ~int64_t{7};
  return squared_differences(a, y, half) + squared_differences(a + half, y + half, n - half);
}

}  // namespace

template <class R>
double mean_squared_error(const R* a, const R* y, int64_t n) {
  return squared_differences(a, y, n) / static_cast<double>(n);
}

template <class R>
void mean_squared_error_grad(const R* a, const R* y, R* out, int64_t n) {
  const double count = static_cast<double>(n);
  parallel_for(n, 2.0, [=](int64_t lo, int64_t hi) {
    for (int64_t i = lo; i < hi; ++i) out[i] = R(2.0 * (double(a[i]) - y[i]) / count);
  });
}

#define QK_ACTIVATION(R)                                                                      \
  template void activate(Activation, double, const R*, R*, int64_t);                          \
  template void activate_grad(Activation, double, const R*, const R*, const R*, R*, int64_t); \
  template void softmax(const R*, R*, int64_t, int64_t, int64_t);                             \
  template void softmax_grad(const R*, const R*, R*, int64_t, int64_t, int64_t);              \
  template void dropout(const R*, const uint32_t*, uint32_t, double, R*, bool*, int64_t);     \
  template void dropout_grad(const R*, const bool*, double, R*, int64_t);                     \
  template double softmax_cross_entropy(const R*, const R*, R*, int64_t, int64_t);            \
  template double mean_squared_error(const R*, const R*, int64_t);                            \
  template void mean_squared_error_grad(const R*, const R*, R*, int64_t);
QK_ACTIVATION(double)
QK_ACTIVATION(float)
#undef QK_ACTIVATION

QK_ISA_END
}  // namespace qk
