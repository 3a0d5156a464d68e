#include "kernels/norm.hpp"

#include <cmath>

#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

// Every loop runs channel by channel: a channel's values (n blocks of l) are
// read from memory once and, while they sit in cache, read again.

void batchnorm_stats(const NormShape& s, const double* A, double* mean, double* var) {
  const double count = double(s.count());
  parallel_for(s.c, 3.0 * count, [=](int64_t lo, int64_t hi) {
    for (int64_t c = lo; c < hi; ++c) {
      double sum = 0.0;
      for (int64_t n = 0; n < s.n; ++n) {
        const double* __restrict a = A + (n * s.c + c) * s.l;
        for (int64_t i = 0; i < s.l; ++i) sum += a[i];
      }
      const double m = sum / count;
      double squares = 0.0;
      for (int64_t n = 0; n < s.n; ++n) {
        const double* __restrict a = A + (n * s.c + c) * s.l;
        for (int64_t i = 0; i < s.l; ++i) squares += (a[i] - m) * (a[i] - m);
      }
      mean[c] = m;
      var[c] = squares / count;
    }
  });
}

void batchnorm_forward(const NormShape& s, const double* A, const double* mean, const double* var, double eps,
                       const double* W, const double* b, double* Z) {
  parallel_for(s.c, 2.0 * double(s.count()), [=](int64_t lo, int64_t hi) {
    for (int64_t c = lo; c < hi; ++c) {
      const double scale = W[c] / std::sqrt(var[c] + eps), shift = b[c] - mean[c] * scale;
      for (int64_t n = 0; n < s.n; ++n) {
        const double* __restrict a = A + (n * s.c + c) * s.l;
        double* __restrict z = Z + (n * s.c + c) * s.l;
        for (int64_t i = 0; i < s.l; ++i) z[i] = a[i] * scale + shift;
      }
    }
  });
}

void batchnorm_backward(const NormShape& s, const double* A, const double* mean, const double* var, double eps,
                        const double* W, const double* dZ, bool batch_stats, double* dA, double* dW, double* db) {
  const double count = double(s.count());
  parallel_for(s.c, 5.0 * count, [=](int64_t lo, int64_t hi) {
    for (int64_t c = lo; c < hi; ++c) {
      const double inv_std = 1.0 / std::sqrt(var[c] + eps), m = mean[c];
      // db = sum(dZ), dW = sum(dZ * normalised A)
      double sum_g = 0.0, sum_gx = 0.0;
      for (int64_t n = 0; n < s.n; ++n) {
        const double* __restrict a = A + (n * s.c + c) * s.l;
        const double* __restrict g = dZ + (n * s.c + c) * s.l;
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
        const double* __restrict a = A + (n * s.c + c) * s.l;
        const double* __restrict g = dZ + (n * s.c + c) * s.l;
        double* __restrict d = dA + (n * s.c + c) * s.l;
        for (int64_t i = 0; i < s.l; ++i) d[i] = k * (g[i] - mg - (a[i] - m) * inv_std * mgx);
      }
    }
  });
}

QK_ISA_END
}  // namespace qk
