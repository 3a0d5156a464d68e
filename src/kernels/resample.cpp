#include "kernels/resample.hpp"

#include "kernels/parallel.hpp"

#include <algorithm>
#include <type_traits>

namespace qk {
QK_ISA_BEGIN

// Calls f with the factor k as a compile-time constant for the small factors
// layers use (so that strided loops become vector shuffles), as a plain
// int64_t otherwise.
template <class F>
void by_factor(int64_t k, F&& f) {
  switch (k) {
    case 1:
      f(std::integral_constant<int64_t, 1>{});
      break;
    case 2:
      f(std::integral_constant<int64_t, 2>{});
      break;
    case 3:
      f(std::integral_constant<int64_t, 3>{});
      break;
    case 4:
      f(std::integral_constant<int64_t, 4>{});
      break;
    default:
      f(k);
  }
}

// One output row in a single pass: each value followed by its k - 1 zeros.
// The last value's zeros may fall past the row, so it goes on its own.
template <class K, class R>
void interleave(const R* __restrict s, R* __restrict d, int64_t w, int64_t wo, K k) {
  for (int64_t j = 0; j + 1 < w; ++j) {
    d[j * k] = s[j];
    for (int64_t q = 1; q < k; ++q) d[j * k + q] = R(0);
  }
  d[(w - 1) * k] = s[w - 1];
  std::fill(d + (w - 1) * k + 1, d + wo, R(0));
}

template <class R>
void spread(const R* in, R* out, int64_t planes, int64_t h, int64_t w, int64_t ho, int64_t wo, int64_t k) {
  if (h == 0 || w == 0) {
    std::fill(out, out + planes * ho * wo, R(0));
    return;
  }
  // Row by row, the zeros and the values in one pass over the output.
  by_factor(k, [&](auto K) {
    parallel_for(planes, double(ho * wo), [&](int64_t lo, int64_t hi) {
      for (int64_t p = lo; p < hi; ++p)
        for (int64_t r = 0; r < ho; ++r) {
          R* d = out + (p * ho + r) * wo;
          if (r % K != 0 || r / K >= h)
            std::fill(d, d + wo, R(0));
          else
            interleave(in + (p * h + r / K) * w, d, w, wo, K);
        }
    });
  });
}

template <class R>
void pick(const R* in, R* out, int64_t planes, int64_t h, int64_t w, int64_t ho, int64_t wo, int64_t k) {
  if (ho == 0 || wo == 0) return;
  by_factor(k, [&](auto K) {
    parallel_for(planes, double(ho * wo), [&](int64_t lo, int64_t hi) {
      for (int64_t p = lo; p < hi; ++p)
        for (int64_t i = 0; i < ho; ++i) {
          const R* __restrict s = in + (p * h + i * K) * w;
          R* __restrict d = out + (p * ho + i) * wo;
          for (int64_t j = 0; j < wo; ++j) d[j] = s[j * K];
        }
    });
  });
}

template <class R>
void pad_planes(const R* in, R* out, int64_t planes, int64_t h, int64_t w, int64_t ph, int64_t pw) {
  const int64_t ho = h + 2 * ph, wo = w + 2 * pw;
  parallel_for(planes, double(ho * wo), [&](int64_t lo, int64_t hi) {
    for (int64_t p = lo; p < hi; ++p) {
      R* d = out + p * ho * wo;
      std::fill(d, d + ph * wo, R(0));  // the rows above
      for (int64_t i = 0; i < h; ++i) {
        R* row = d + (i + ph) * wo;
        std::fill(row, row + pw, R(0));
        std::copy(in + (p * h + i) * w, in + (p * h + i + 1) * w, row + pw);
        std::fill(row + pw + w, row + wo, R(0));
      }
      std::fill(d + (h + ph) * wo, d + ho * wo, R(0));  // the rows below
    }
  });
}

template void pad_planes(const double*, double*, int64_t, int64_t, int64_t, int64_t, int64_t);
template void pad_planes(const float*, float*, int64_t, int64_t, int64_t, int64_t, int64_t);
template void spread(const double*, double*, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t);
template void spread(const float*, float*, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t);
template void pick(const double*, double*, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t);
template void pick(const float*, float*, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t);

QK_ISA_END
}  // namespace qk
