#include "kernels/resample.hpp"

#include "kernels/parallel.hpp"

#include <algorithm>

namespace qk {
QK_ISA_BEGIN

// One output row of a small factor K in a single pass: each value followed by
// its K - 1 zeros, which the compiler turns into vector shuffles.  The last
// value's zeros may fall past the row, so it goes on its own.
template <int K, class R>
void interleave(const R* s, R* d, int64_t w, int64_t wo) {
  for (int64_t j = 0; j + 1 < w; ++j) {
    d[j * K] = s[j];
    for (int q = 1; q < K; ++q) d[j * K + q] = R(0);
  }
  d[(w - 1) * K] = s[w - 1];
  std::fill(d + (w - 1) * K + 1, d + wo, R(0));
}

template <class R>
void spread(const R* in, R* out, int64_t planes, int64_t h, int64_t w, int64_t ho, int64_t wo, int64_t k) {
  if (h == 0 || w == 0) {
    std::fill(out, out + planes * ho * wo, R(0));
    return;
  }
  // Row by row, the zeros and the values in one pass over the output.
  parallel_for(planes, double(ho * wo), [=](int64_t lo, int64_t hi) {
    for (int64_t p = lo; p < hi; ++p)
      for (int64_t r = 0; r < ho; ++r) {
        R* d = out + (p * ho + r) * wo;
        if (r % k != 0 || r / k >= h) {
          std::fill(d, d + wo, R(0));
          continue;
        }
        const R* s = in + (p * h + r / k) * w;
        if (k == 1) {
          for (int64_t j = 0; j < w; ++j) d[j] = s[j];
          std::fill(d + w, d + wo, R(0));
          continue;
        }
        if (k == 2) {
          interleave<2>(s, d, w, wo);
          continue;
        }
        if (k == 3) {
          interleave<3>(s, d, w, wo);
          continue;
        }
        if (k == 4) {
          interleave<4>(s, d, w, wo);
          continue;
        }
        // The row's zeros (a vectorised fill), then its values, while the row
        // is in L1.
        std::fill(d, d + wo, R(0));
        for (int64_t j = 0; j < w; ++j) d[j * k] = s[j];
      }
  });
}

// d[j] = s[j * K]: a constant stride the compiler can shuffle for.
template <int K, class R>
void strided(const R* s, R* d, int64_t n) {
  for (int64_t j = 0; j < n; ++j) d[j] = s[j * K];
}

template <class R>
void pick(const R* in, R* out, int64_t planes, int64_t h, int64_t w, int64_t ho, int64_t wo, int64_t k) {
  if (ho == 0 || wo == 0) return;
  parallel_for(planes, double(ho * wo), [=](int64_t lo, int64_t hi) {
    for (int64_t p = lo; p < hi; ++p)
      for (int64_t i = 0; i < ho; ++i) {
        const R* s = in + (p * h + i * k) * w;
        R* d = out + (p * ho + i) * wo;
        switch (k) {
          case 1:
            strided<1>(s, d, wo);
            break;
          case 2:
            strided<2>(s, d, wo);
            break;
          case 3:
            strided<3>(s, d, wo);
            break;
          case 4:
            strided<4>(s, d, wo);
            break;
          default:
            for (int64_t j = 0; j < wo; ++j) d[j] = s[j * k];
        }
      }
  });
}

template void spread(const double*, double*, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t);
template void spread(const float*, float*, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t);
template void pick(const double*, double*, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t);
template void pick(const float*, float*, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t);

QK_ISA_END
}  // namespace qk
