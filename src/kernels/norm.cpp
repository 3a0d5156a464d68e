#include "kernels/norm.hpp"

#include <cmath>

#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

// Every loop runs channel by channel: a channel's values (n blocks of l) are
// read from memory once and, while they sit in cache, read again.

namespace {

// Adds f(i) for i < n onto eight interleaved partial sums in double: additions
// independent of each other, which the compiler keeps in vector registers (one
// running sum would wait for every addition to finish).
template <class F>
inline void add8(double (&part)[8], int64_t n, F f) {
  int64_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int j = 0; j < 8; ++j) part[j] += f(i + j);
  for (int j = 0; i < n; ++i, ++j) part[j] += f(i);
}

inline double total(const double (&part)[8]) {
  return ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
}

}  // namespace

template <class R>
void batchnorm_stats(const NormShape& s, const R* A, double* mean, double* var) {
  const double count = double(s.count());
  parallel_for(s.c, 3.0 * count, [=](int64_t lo, int64_t hi) {
    for (int64_t c = lo; c < hi; ++c) {
      double sum[8] = {};
      for (int64_t n = 0; n < s.n; ++n) {
        const R* __restrict a = A + (n * s.c + c) * s.l;
        add8(sum, s.l, [&](int64_t i) { return double(a[i]); });
      }
      const double m = total(sum) / count;
      double squares[8] = {};
      for (int64_t n = 0; n < s.n; ++n) {
        const R* __restrict a = A + (n * s.c + c) * s.l;
        add8(squares, s.l, [&](int64_t i) { return (a[i] - m) * (a[i] - m); });
      }
      mean[c] = m;
      var[c] = total(squares) / count;
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
      double part_g[8] = {}, part_gx[8] = {};
      for (int64_t n = 0; n < s.n; ++n) {
        const R* __restrict a = A + (n * s.c + c) * s.l;
        const R* __restrict g = dZ + (n * s.c + c) * s.l;
        add8(part_g, s.l, [&](int64_t i) { return double(g[i]); });
        add8(part_gx, s.l, [&](int64_t i) { return g[i] * (a[i] - m); });
      }
      const double sum_g = total(part_g), sum_gx = total(part_gx) * inv_std;
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
