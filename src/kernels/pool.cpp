#include "kernels/pool.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "kernels/gemm.hpp"
#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

namespace {

// max that lets NaN win from either side, as numpy's maximum does.
template <class R>
inline R nanmax(R m, R v) {
  return (v > m || v != v) ? v : m;
}

// f(p, scratch) for every plane p; each thread's scratch holds `doubles`.
// Costs are estimated in floating point: kernels and strides may be huge.
template <class R, class F>
void each_plane(const PoolShape& s, double cost, size_t doubles, F&& f) {
  parallel_for(s.planes, cost, [&](int64_t lo, int64_t hi) {
    Scratch<R> scratch(doubles);
    for (int64_t p = lo; p < hi; ++p) f(p, scratch.data());
  });
}

// Window maxima of one plane, separably: the maximum over each window's k
// columns for every input row (rows x wo, in `tmp`), then over its k rows.
// S is the stride when known at compile time (0: s.s), so that strided reads
// become shuffles instead of one element at a time.
template <int S, class R>
void plane_max_at(const PoolShape& s, const R* __restrict a, R* __restrict tmp, R* __restrict z) {
  const int64_t st = S ? S : s.s;
  for (int64_t y = 0; y < s.h; ++y) {
    const R* row = a + y * s.w;
    R* t = tmp + y * s.wo;
    for (int64_t j = 0; j < s.wo; ++j) t[j] = row[j * st];
    for (int64_t q = 1; q < s.k; ++q)
      for (int64_t j = 0; j < s.wo; ++j) t[j] = nanmax(t[j], row[j * st + q]);
  }
  for (int64_t i = 0; i < s.ho; ++i) {
    R* out = z + i * s.wo;
    const R* t = tmp + i * st * s.wo;
    for (int64_t j = 0; j < s.wo; ++j) out[j] = t[j];
    for (int64_t p = 1; p < s.k; ++p)
      for (int64_t j = 0; j < s.wo; ++j) out[j] = nanmax(out[j], t[p * s.wo + j]);
  }
}

template <class R>
void plane_max(const PoolShape& s, const R* a, R* tmp, R* z) {
  if (s.s == 1)
    plane_max_at<1>(s, a, tmp, z);
  else if (s.s == 2)
    plane_max_at<2>(s, a, tmp, z);
  else
    plane_max_at<0>(s, a, tmp, z);
}

// Adds each window's gradient where the input equals its maximum (windows
// inside the plane, overlapping or apart), one pass per offset (dy, dx) in
// the window.  Off the maximum the window adds 0 * g: nothing, unless g is
// not finite, where the product is NaN as in (window == max) * g.  S as above.
template <int S, class R>
void add_at_maxima(const PoolShape& s, const R* a, const R* m, const R* g, R* d) {
  const int64_t st = S ? S : s.s;
  for (int64_t dy = 0; dy < s.k; ++dy)
    for (int64_t dx = 0; dx < s.k; ++dx)
      for (int64_t i = 0; i < s.ho; ++i) {
        const R* __restrict ar = a + (i * st + dy) * s.w + dx;
        R* __restrict dr = d + (i * st + dy) * s.w + dx;
        const R* __restrict mr = m + i * s.wo;
        const R* __restrict gr = g + i * s.wo;
        for (int64_t j = 0; j < s.wo; ++j) {
          const R on = gr[j], off = R(0) * on;
          dr[j * st] += ar[j * st] == mr[j] ? on : off;
        }
      }
}

// The same for sums, in double.
template <class R>
void plane_sum(const PoolShape& s, const R* __restrict a, double* __restrict tmp, double* __restrict z) {
  for (int64_t y = 0; y < s.h; ++y) {
    const R* row = a + y * s.w;
    double* t = tmp + y * s.wo;
    for (int64_t j = 0; j < s.wo; ++j) t[j] = 0.0;
    for (int64_t q = 0; q < s.k; ++q)
      for (int64_t j = 0; j < s.wo; ++j) t[j] += row[j * s.s + q];
  }
  for (int64_t i = 0; i < s.ho; ++i) {
    double* out = z + i * s.wo;
    const double* t = tmp + i * s.s * s.wo;
    for (int64_t j = 0; j < s.wo; ++j) out[j] = 0.0;
    for (int64_t p = 0; p < s.k; ++p)
      for (int64_t j = 0; j < s.wo; ++j) out[j] += t[p * s.wo + j];
  }
}

// Whether `count` windows of side k at stride s fit in n (no overflow for
// any sizes).
bool fits(int64_t count, int64_t n, int64_t k, int64_t s) { return count == 0 || (n >= k && count - 1 <= (n - k) / s); }

// Whether every window (i < ho, j < wo) lies inside the plane.
bool windows_inside(const PoolShape& s) { return fits(s.ho, s.h, s.k, s.s) && fits(s.wo, s.w, s.k, s.s); }

// How many of `count` windows start inside an extent n: the others are empty.
int64_t starting_inside(int64_t count, int64_t n, int64_t s) { return n == 0 ? 0 : std::min(count, (n - 1) / s + 1); }

// Rows [lo, hi) of window i (which starts inside n), clipped to the plane.
inline void span(int64_t i, const PoolShape& s, int64_t n, int64_t& lo, int64_t& hi) {
  lo = i * s.s;
  hi = s.k >= n - lo ? n : lo + s.k;
}

template <class R>
R window_max(const R* a, int64_t w, int64_t r0, int64_t r1, int64_t c0, int64_t c1) {
  R m = -INFINITY;
  for (int64_t y = r0; y < r1; ++y)
    for (int64_t x = c0; x < c1; ++x) m = nanmax(m, a[y * w + x]);
  return m;
}

// Max-pool gradient of one plane whose windows lie side by side (stride k,
// all inside): d = g where the input equals its window's maximum m, +0
// elsewhere (NaN for a gradient that is not finite, as (a == m) * g gives), and
// 0 outside every window.  Each row of maxima and gradients is first widened
// to the input's columns (in `wide`, 2 * wo * k elements), so the k input rows
// under it take one plain pass each.
template <class R>
void tile_grad(const PoolShape& s, const R* __restrict a, const R* __restrict m, const R* __restrict g, R* __restrict d,
               R* __restrict wide) {
  const int64_t k = s.k, span = s.wo * k;
  R* __restrict wm = wide;
  R* __restrict wg = wide + span;
  for (int64_t i = 0; i < s.ho; ++i) {
    for (int64_t j = 0; j < s.wo; ++j)
      for (int64_t q = 0; q < k; ++q) wm[j * k + q] = m[i * s.wo + j], wg[j * k + q] = g[i * s.wo + j];
    for (int64_t y = i * k; y < (i + 1) * k; ++y) {
      const R* __restrict ar = a + y * s.w;
      R* __restrict dr = d + y * s.w;
      // In whole vectors, both sides computed and then blended: left to
      // itself the compiler keeps the multiply under a branch (it could trap).
      // Off the maximum: 0 * g + 0, which is +0 (as adding onto zeros gives)
      // or NaN.
      using vd = typename Vec<R>::v;
      int64_t x = 0;
      for (; x + kLanes<R> <= span; x += kLanes<R>) {
        const vd on = load(wg + x), off = vd{} * on + vd{};
        store(dr + x, load(ar + x) == load(wm + x) ? on : off);
      }
      for (; x < span; ++x) dr[x] = ar[x] == wm[x] ? wg[x] : R(0) * wg[x] + R(0);
      std::fill(dr + span, dr + s.w, R(0));
    }
  }
  std::fill(d + s.ho * k * s.w, d + s.h * s.w, R(0));
}

}  // namespace

template <class R>
void max_forward(const PoolShape& s, const R* A, R* Z) {
  each_plane<R>(s, 2.0 * double(s.h) * double(s.wo) * double(s.k), static_cast<size_t>(s.h * s.wo),
                [&](int64_t p, R* tmp) { plane_max(s, A + p * s.h * s.w, tmp, Z + p * s.ho * s.wo); });
}

template <class R>
void mean_forward(const PoolShape& s, const R* A, R* Z) {
  const double count = double(s.k * s.k);
  // Float sums go through a plane of doubles after the scratch rows.
  constexpr bool kDouble = std::is_same_v<R, double>;
  const size_t sums = kDouble ? 0 : static_cast<size_t>(s.ho * s.wo);
  each_plane<double>(s, 2.0 * double(s.h) * double(s.wo) * double(s.k), static_cast<size_t>(s.h * s.wo) + sums,
                     [&](int64_t p, double* tmp) {
                       R* z = Z + p * s.ho * s.wo;
                       if constexpr (kDouble) {
                         plane_sum(s, A + p * s.h * s.w, tmp, z);
                         for (int64_t i = 0; i < s.ho * s.wo; ++i) z[i] /= count;
                       } else {
                         double* zd = tmp + s.h * s.wo;
                         plane_sum(s, A + p * s.h * s.w, tmp, zd);
                         for (int64_t i = 0; i < s.ho * s.wo; ++i) z[i] = R(zd[i] / count);
                       }
                     });
}

template <class R>
void max_forward_mask(const PoolShape& s, const R* A, R* Z, bool* mask) {
  // For every row (column) the last window covering it, or -1.
  auto last_window = [&](int64_t n, int64_t windows) {
    std::vector<int64_t> last(static_cast<size_t>(n), -1);
    for (int64_t i = 0; i < windows; ++i)
      for (int64_t y = i * s.s; y < std::min(i * s.s + s.k, n); ++y) last[static_cast<size_t>(y)] = i;
    return last;
  };
  const std::vector<int64_t> rows = last_window(s.h, s.ho), cols = last_window(s.w, s.wo);
  each_plane<R>(s, 2.0 * double(s.h) * double(s.wo) * double(s.k) + double(s.h) * double(s.w),
                static_cast<size_t>(s.h * s.wo + s.w), [&](int64_t p, R* tmp) {
                  const R* a = A + p * s.h * s.w;
                  R* z = Z + p * s.ho * s.wo;
                  bool* m = mask + p * s.h * s.w;
                  plane_max(s, a, tmp, z);
                  // The maxima of the deciding windows spread along a row (NaN where no
                  // window covers the column, which compares unequal to everything).
                  R* spread = tmp + s.h * s.wo;
                  int64_t spread_row = -1;
                  for (int64_t y = 0; y < s.h; ++y) {
                    const int64_t i = rows[static_cast<size_t>(y)];
                    bool* __restrict mr = m + y * s.w;
                    if (i < 0) {
                      std::fill(mr, mr + s.w, false);
                      continue;
                    }
                    if (i != spread_row) {
                      for (int64_t x = 0; x < s.w; ++x) {
                        const int64_t j = cols[static_cast<size_t>(x)];
                        spread[x] = j >= 0 ? z[i * s.wo + j] : NAN;
                      }
                      spread_row = i;
                    }
                    const R* __restrict ar = a + y * s.w;
                    for (int64_t x = 0; x < s.w; ++x) mr[x] = ar[x] == spread[x];
                  }
                });
}

template <class R>
void max_backward(const PoolShape& s, const R* A, const R* dZ, R* dA) {
  const bool inside = windows_inside(s);
  // Scratch: the row maxima (or, side by side, the widened rows), then the maxima.
  const int64_t lead = std::max(s.h * s.wo, inside ? 2 * s.wo * s.k : 0);
  each_plane<R>(s, 2.0 * double(s.ho) * double(s.wo) * double(std::min(s.k, s.h)) * double(std::min(s.k, s.w)),
                static_cast<size_t>(lead + s.ho * s.wo), [&](int64_t p, R* buf) {
                  const R* a = A + p * s.h * s.w;
                  const R* g = dZ + p * s.ho * s.wo;
                  R* d = dA + p * s.h * s.w;
                  if (inside && s.s == s.k) {
                    // Windows side by side: each input belongs to at most one, so
                    // every entry is written once, zeros included.
                    R* m = buf + lead;
                    plane_max(s, a, buf, m);
                    tile_grad(s, a, m, g, d, buf);  // the row maxima in buf are no longer needed
                    return;
                  }
                  std::fill(d, d + s.h * s.w, R(0));
                  if (inside) {  // the maxima once, then the gradients
                    R* m = buf + lead;
                    plane_max(s, a, buf, m);
                    if (s.s == 1)
                      add_at_maxima<1>(s, a, m, g, d);
                    else if (s.s == 2)
                      add_at_maxima<2>(s, a, m, g, d);
                    else
                      add_at_maxima<0>(s, a, m, g, d);
                    return;
                  }
                  // Gradients wider than the output reach past the plane: clipped windows
                  // (the caller has refused windows that start past it: they have no maximum).
                  for (int64_t i = 0; i < starting_inside(s.ho, s.h, s.s); ++i) {
                    int64_t r0, r1;
                    span(i, s, s.h, r0, r1);
                    for (int64_t j = 0; j < starting_inside(s.wo, s.w, s.s); ++j) {
                      int64_t c0, c1;
                      span(j, s, s.w, c0, c1);
                      const R mx = window_max(a, s.w, r0, r1, c0, c1), gv = g[i * s.wo + j], off = R(0) * gv;
                      for (int64_t y = r0; y < r1; ++y)
                        for (int64_t x = c0; x < c1; ++x) d[y * s.w + x] += a[y * s.w + x] == mx ? gv : off;
                    }
                  }
                });
}

// d[j * step] += v[j] for j < n, step S when known at compile time (0: st):
// at stride 1 the loop vectorises.
template <int S, class R>
inline void add_every(R* __restrict d, const R* __restrict v, int64_t n, int64_t st) {
  const int64_t step = S ? S : st;
  for (int64_t j = 0; j < n; ++j) d[j * step] += v[j];
}

template <class R>
void mean_backward(const PoolShape& s, const R* dZ, R* dA) {
  const double count = double(s.k) * double(s.k);
  // Windows starting past the plane are empty and add nothing.
  const int64_t rows = starting_inside(s.ho, s.h, s.s), cols = starting_inside(s.wo, s.w, s.s);
  if (rows == 0 || cols == 0) {
    std::fill(dA, dA + s.planes * s.h * s.w, R(0));
    return;
  }
  each_plane<R>(s, double(rows) * double(cols) * double(std::min(s.k, s.h)) * double(std::min(s.k, s.w)),
                static_cast<size_t>(s.ho * s.wo), [&](int64_t p, R* share) {
                  const R* g = dZ + p * s.ho * s.wo;
                  R* d = dA + p * s.h * s.w;
                  std::fill(d, d + s.h * s.w, R(0));
                  for (int64_t i = 0; i < s.ho * s.wo; ++i) share[i] = R(g[i] / count);
                  for (int64_t i = 0; i < rows; ++i) {
                    int64_t r0, r1;
                    span(i, s, s.h, r0, r1);
                    for (int64_t dy = r0; dy < r1; ++dy) {
                      R* __restrict dr = d + dy * s.w;
                      const R* __restrict sr = share + i * s.wo;
                      for (int64_t dx = 0; dx < std::min(s.k, s.w); ++dx) {
                        // Window j covers column j*s + dx when that is inside the plane.
                        const int64_t jmax = std::min(cols, (s.w - dx - 1) / s.s + 1);
                        if (s.s == 1)
                          add_every<1>(dr + dx, sr, jmax, 1);
                        else
                          add_every<0>(dr + dx, sr, jmax, s.s);
                      }
                    }
                  }
                });
}

#define QK_POOL(R)                                                       \
  template void max_forward(const PoolShape&, const R*, R*);             \
  template void mean_forward(const PoolShape&, const R*, R*);            \
  template void max_forward_mask(const PoolShape&, const R*, R*, bool*); \
  template void max_backward(const PoolShape&, const R*, const R*, R*);  \
  template void mean_backward(const PoolShape&, const R*, R*);
QK_POOL(double)
QK_POOL(float)
#undef QK_POOL

QK_ISA_END
}  // namespace qk
