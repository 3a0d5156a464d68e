#include "kernels/pool.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/parallel.hpp"

namespace qk {

namespace {

// Rows [lo, hi) of window i, clipped to the plane.
inline void span(int64_t i, const PoolShape& s, int64_t n, int64_t& lo, int64_t& hi) {
  lo = i * s.s;
  hi = std::min(lo + s.k, n);
}

inline double window_max(const double* a, int64_t w, int64_t r0, int64_t r1, int64_t c0, int64_t c1) {
  double m = -INFINITY;
  bool nan = false;
  for (int64_t y = r0; y < r1; ++y)
    for (int64_t x = c0; x < c1; ++x) {
      const double v = a[y * w + x];
      m = v > m ? v : m;
      nan |= v != v;
    }
  return nan ? NAN : m;
}

template <class F>
void each_plane(const PoolShape& s, double cost, F&& f) {
  parallel_for(s.planes, cost, [&](int64_t lo, int64_t hi) {
    for (int64_t p = lo; p < hi; ++p) f(p);
  });
}

}  // namespace

void max_forward(const PoolShape& s, const double* A, double* Z) {
  each_plane(s, double(s.ho * s.wo * s.k * s.k), [&](int64_t p) {
    const double* a = A + p * s.h * s.w;
    double* z = Z + p * s.ho * s.wo;
    for (int64_t i = 0; i < s.ho; ++i)
      for (int64_t j = 0; j < s.wo; ++j)
        z[i * s.wo + j] = window_max(a, s.w, i * s.s, i * s.s + s.k, j * s.s, j * s.s + s.k);
  });
}

void mean_forward(const PoolShape& s, const double* A, double* Z) {
  const double count = double(s.k * s.k);
  each_plane(s, double(s.ho * s.wo * s.k * s.k), [&](int64_t p) {
    const double* a = A + p * s.h * s.w;
    double* z = Z + p * s.ho * s.wo;
    for (int64_t i = 0; i < s.ho; ++i)
      for (int64_t j = 0; j < s.wo; ++j) {
        double sum = 0.0;
        for (int64_t y = i * s.s; y < i * s.s + s.k; ++y)
          for (int64_t x = j * s.s; x < j * s.s + s.k; ++x) sum += a[y * s.w + x];
        z[i * s.wo + j] = sum / count;
      }
  });
}

void max_mask(const PoolShape& s, const double* A, const double* Z, bool* mask) {
  each_plane(s, double(s.h * s.w), [&](int64_t p) {
    const double* a = A + p * s.h * s.w;
    const double* z = Z + p * s.ho * s.wo;
    bool* m = mask + p * s.h * s.w;
    for (int64_t y = 0; y < s.h; ++y) {
      // The last window row covering y, if any.
      const int64_t i = std::min(y / s.s, s.ho - 1);
      const bool row = s.ho > 0 && y >= i * s.s && y < i * s.s + s.k;
      for (int64_t x = 0; x < s.w; ++x) {
        const int64_t j = std::min(x / s.s, s.wo - 1);
        const bool col = s.wo > 0 && x >= j * s.s && x < j * s.s + s.k;
        m[y * s.w + x] = row && col && a[y * s.w + x] == z[i * s.wo + j];
      }
    }
  });
}

void max_backward(const PoolShape& s, const double* A, const double* dZ, double* dA) {
  each_plane(s, double(s.ho * s.wo * s.k * s.k * 2), [&](int64_t p) {
    const double* a = A + p * s.h * s.w;
    const double* g = dZ + p * s.ho * s.wo;
    double* d = dA + p * s.h * s.w;
    for (int64_t i = 0; i < s.ho; ++i) {
      int64_t r0, r1;
      span(i, s, s.h, r0, r1);
      for (int64_t j = 0; j < s.wo; ++j) {
        int64_t c0, c1;
        span(j, s, s.w, c0, c1);
        const double m = window_max(a, s.w, r0, r1, c0, c1), gv = g[i * s.wo + j];
        for (int64_t y = r0; y < r1; ++y)
          for (int64_t x = c0; x < c1; ++x)
            if (a[y * s.w + x] == m) d[y * s.w + x] += gv;
      }
    }
  });
}

void mean_backward(const PoolShape& s, const double* dZ, double* dA) {
  const double count = double(s.k) * double(s.k);
  each_plane(s, double(s.ho * s.wo * s.k * s.k), [&](int64_t p) {
    const double* g = dZ + p * s.ho * s.wo;
    double* d = dA + p * s.h * s.w;
    for (int64_t i = 0; i < s.ho; ++i) {
      int64_t r0, r1;
      span(i, s, s.h, r0, r1);
      for (int64_t j = 0; j < s.wo; ++j) {
        int64_t c0, c1;
        span(j, s, s.w, c0, c1);
        const double share = g[i * s.wo + j] / count;
        for (int64_t y = r0; y < r1; ++y)
          for (int64_t x = c0; x < c1; ++x) d[y * s.w + x] += share;
      }
    }
  });
}

}  // namespace qk
