#include "kernels/norm.hpp"

#include <cmath>

#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

// Every loop runs channel by channel: a channel's values (n blocks of l) are
// read from memory once and, while they sit in cache, read again.

template <class R>
void batchnorm_stats(const NormShape& s, const R* A, double* mean, double* var) {
  const double count = double(s.count());
  parallel_for(s.c, 3.0 * count, [=](int64_t lo, int64_t hi) {
    for (int64_t c = lo; c < hi; ++c) {
      double sum = 0.0;
      for (int64_t n = 0; n < s.n; ++n) {
        const R* __restrict a = A + (n * s.c + c) * s.l;
        for (int64_t i = 0; i < s.l; ++i) sum += a[i];
      }
      const double m = sum / count;
      double squares = 0.0;
      for (int64_t n = 0; n < s.n; ++n) {
        const R* __restrict a = A + (n * s.c + c) * s.l;
        for (int64_t i = 0; i < s.l; ++i) squares += (a[i] - m) * (a[i] - m);
      }
      mean[c] = m;
      var[c] = squares / count;
    }
  });
}

template <class R>
void batchnorm_forward(const NormShape& s, const R* A, const double* mean, const double* var, double eps, const R* W,
                       const R* b, R* Z) {
  parallel_for(s.c, 2.0 * double(s.count()), [=](int64_t lo, int64_t hi) {
    for (int64_t c = lo; c < hi; ++c) {
      const double scale = W[c] / std::sqrt(var[c] + eps), shift = b[c] - mean[c] * scale;
      for (int64_t n = 0; n < s.n; ++n) {
        const R* __restrict a = A + (n * s.c + c) * s.l;
        R* __restrict z = Z + (n * s.c + c) * s.l;
        for (int64_t i = 0; i < s.l; ++i) z[i] = a[i] * scale + shift;
      }
    }
  });
}

template <class R>
void batchnorm_backward(const NormShape& s, const R* A, const double* mean, const double* var, double eps, const R* W,
                        const R* dZ, bool batch_stats, R* dA, R* dW, R* db) {
  const double count = double(s.count());
  parallel_for(s.c, 5.0 * count, [=](int64_t lo, int64_t hi) {
    for (int64_t c = lo; c < hi; ++c) {
      const double inv_std = 1.0 / std::sqrt(var[c] + eps), m = mean[c];
      // db = sum(dZ), dW = sum(dZ * normalised A)
      double sum_g = 0.0, sum_gx = 0.0;
      for (int64_t n = 0; n < s.n; ++n) {
        const R* __restrict a = A + (n * s.c + c) * s.l;
        const R* __restrict g = dZ + (n * s.c + c) * s.l;
        for (int64_t i = 0; i < s.l; ++i) {
          sum_g += g[i];
          sum_gx += g[i] * (a[i] - m);
        }
      }
      sum_gx *= inv_std;
      db[c] = sum_g;
      dW[c] = sum_gx;
      // With the batch's statistics, dA = W inv_std (dZ - mean(dZ) - x mean(dZ x)),
      // x the normalised input; with constant statistics only the first term.
      const double k = W[c] * inv_std;
      const double mg = batch_stats ? sum_g / count : 0.0, mgx = batch_stats ? sum_gx / count : 0.0;
      for (int64_t n = 0; n < s.n; ++n) {
        const R* __restrict a = A + (n * s.c + c) * s.l;
        const R* __restrict g = dZ + (n * s.c + c) * s.l;
        R* __restrict d = dA + (n * s.c + c) * s.l;
        for (int64_t i = 0; i < s.l; ++i) d[i] = k * (g[i] - mg - (a[i] - m) * inv_std * mgx);
      }
    }
  });
}

#define QK_NORM(R)                                                                                             \
  template void batchnorm_stats(const NormShape&, const R*, double*, double*);                                 \
  template void batchnorm_forward(const NormShape&, const R*, const double*, const double*, double, const R*,  \
                                  const R*, R*);                                                               \
  template void batchnorm_backward(const NormShape&, const R*, const double*, const double*, double, const R*, \
                                   const R*, bool, R*, R*, R*);
QK_NORM(double)
QK_NORM(float)
#undef QK_NORM

QK_ISA_END
}  // namespace qk
