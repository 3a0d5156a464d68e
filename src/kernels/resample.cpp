#include "kernels/resample.hpp"

#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

void spread(const double* in, double* out, int64_t planes, int64_t h, int64_t w, int64_t ho, int64_t wo, int64_t k) {
  if (h == 0 || w == 0) return;
  parallel_for(planes, double(h * w), [=](int64_t lo, int64_t hi) {
    for (int64_t p = lo; p < hi; ++p)
      for (int64_t i = 0; i < h; ++i) {
        const double* s = in + (p * h + i) * w;
        double* d = out + (p * ho + i * k) * wo;
        if (k == 1)
          for (int64_t j = 0; j < w; ++j) d[j] = s[j];
        else
          for (int64_t j = 0; j < w; ++j) d[j * k] = s[j];
      }
  });
}

void pick(const double* in, double* out, int64_t planes, int64_t h, int64_t w, int64_t ho, int64_t wo, int64_t k) {
  if (ho == 0 || wo == 0) return;
  parallel_for(planes, double(ho * wo), [=](int64_t lo, int64_t hi) {
    for (int64_t p = lo; p < hi; ++p)
      for (int64_t i = 0; i < ho; ++i) {
        const double* s = in + (p * h + i * k) * w;
        double* d = out + (p * ho + i) * wo;
        if (k == 1)
          for (int64_t j = 0; j < wo; ++j) d[j] = s[j];
        else
          for (int64_t j = 0; j < wo; ++j) d[j] = s[j * k];
      }
  });
}

QK_ISA_END
}  // namespace qk
