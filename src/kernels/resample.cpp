#include "kernels/resample.hpp"

#include "kernels/parallel.hpp"

#include <algorithm>

namespace qk {
QK_ISA_BEGIN

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
        // The row's zeros (a vectorised fill), then its values, while the row
        // is in L1.
        std::fill(d, d + wo, R(0));
        for (int64_t j = 0; j < w; ++j) d[j * k] = s[j];
      }
  });
}

template <class R>
void pick(const R* in, R* out, int64_t planes, int64_t h, int64_t w, int64_t ho, int64_t wo, int64_t k) {
  if (ho == 0 || wo == 0) return;
  parallel_for(planes, double(ho * wo), [=](int64_t lo, int64_t hi) {
    for (int64_t p = lo; p < hi; ++p)
      for (int64_t i = 0; i < ho; ++i) {
        const R* s = in + (p * h + i * k) * w;
        R* d = out + (p * ho + i) * wo;
        if (k == 1)
          for (int64_t j = 0; j < wo; ++j) d[j] = s[j];
        else
          for (int64_t j = 0; j < wo; ++j) d[j] = s[j * k];
      }
  });
}

template void spread(const double*, double*, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t);
template void spread(const float*, float*, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t);
template void pick(const double*, double*, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t);
template void pick(const float*, float*, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t);

QK_ISA_END
}  // namespace qk
