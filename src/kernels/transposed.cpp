#include "kernels/transposed.hpp"

#include <algorithm>
#include <atomic>
#include <vector>

#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

namespace {

// The strided correlation whose transpose the layer is: it maps the output
// gradient, padded by kernel-1 on each side, to the compact input, with
// filters V[c, o, p, q] = W[o, c, kh-1-p, kw-1-q].
template <class R>
struct Strided {
  ConvShape s;
  std::vector<R> V;

  Strided(const TransposedShape& t, const R* W)
      : s{t.n, t.o, t.hu() + t.kh - 1, t.wu() + t.kw - 1, t.c, t.kh, t.kw, t.fh, t.fw,
          t.h, t.w, t.hu() + t.kh - 1, t.wu() + t.kw - 1},
        V(static_cast<size_t>(t.c * t.o * t.kh * t.kw)) {
    flip(t, W, V.data(), false);
  }

  // V from W (or, with `back`, W from V): swap the channel axes, reverse the taps.
  static void flip(const TransposedShape& t, const R* from, R* to, bool back) {
    for (int64_t o = 0; o < t.o; ++o)
      for (int64_t c = 0; c < t.c; ++c)
        for (int64_t p = 0; p < t.kh; ++p)
          for (int64_t q = 0; q < t.kw; ++q) {
            const int64_t w = ((o * t.c + c) * t.kh + p) * t.kw + q;
            const int64_t v = ((c * t.o + o) * t.kh + (t.kh - 1 - p)) * t.kw + (t.kw - 1 - q);
            if (back)
              to[w] = from[v];
            else
              to[v] = from[w];
          }
  }
};

}  // namespace

template <class R>
void transposed_forward(const TransposedShape& t, const R* A, const R* W, const R* b, R* Z, GemmOf<R> gemm) {
  const Strided<R> st(t, W);
  const int64_t hz = t.hz(), wz = t.wz(), hd = st.s.hd, wd = st.s.wd;
  // The input gradient of the strided correlation, over the padded extents;
  // the output is its centre.
  Scratch<R> full(static_cast<size_t>(t.n * t.o * hd * wd));
  conv_backward<R>(st.s, nullptr, st.V.data(), A, full.data(), nullptr, nullptr, gemm);
  for (int64_t p = 0; p < t.n * t.o; ++p)
    for (int64_t y = 0; y < hz; ++y) {
      const R* src = full.data() + (p * hd + y + t.kh - 1) * wd + t.kw - 1;
      R* dst = Z + (p * hz + y) * wz;
      const R bias = b[p % t.o];
      for (int64_t x = 0; x < wz; ++x) dst[x] = src[x] + bias;
    }
}

template <class R>
void transposed_backward(const TransposedShape& t, const R* U, const R* W, const R* dZ, R* dA, R* dW, R* db,
                         GemmOf<R> gemm) {
  const Strided<R> st(t, W);
  const int64_t hu = t.hu(), wu = t.wu(), hz = t.hz(), wz = t.wz(), hp = st.s.h, wp = st.s.w;
  // The compact input (the grid of U) and the zero-padded output gradient.
  Scratch<R> compact(static_cast<size_t>(t.n * t.c * t.h * t.w)), padded(static_cast<size_t>(t.n * t.o * hp * wp)),
      dV(static_cast<size_t>(t.c * t.o * t.kh * t.kw)), unused(static_cast<size_t>(t.c));
  for (int64_t p = 0; p < t.n * t.c; ++p)
    for (int64_t y = 0; y < t.h; ++y)
      for (int64_t x = 0; x < t.w; ++x)
        compact[static_cast<size_t>((p * t.h + y) * t.w + x)] = U[(p * hu + y * t.fh) * wu + x * t.fw];
  std::fill(padded.data(), padded.data() + t.n * t.o * hp * wp, 0.0);
  std::vector<double> bias(static_cast<size_t>(t.o), 0.0);
  for (int64_t p = 0; p < t.n * t.o; ++p)
    for (int64_t y = 0; y < hz; ++y) {
      const R* src = dZ + (p * hz + y) * wz;
      std::copy(src, src + wz, padded.data() + (p * hp + y + t.kh - 1) * wp + t.kw - 1);
      double sum = 0.0;
      for (int64_t x = 0; x < wz; ++x) sum += src[x];
      bias[static_cast<size_t>(p % t.o)] += sum;
    }
  for (int64_t o = 0; o < t.o; ++o) db[o] = R(bias[static_cast<size_t>(o)]);
  const std::vector<R> zero(static_cast<size_t>(t.c), R(0));
  conv_forward<R>(st.s, padded.data(), st.V.data(), zero.data(), dA, gemm);
  conv_backward<R>(st.s, padded.data(), st.V.data(), compact.data(), nullptr, dV.data(), unused.data(), gemm);
  Strided<R>::flip(t, dV.data(), dW, true);
}

template <class R>
bool zero_off_grid(const R* U, int64_t planes, int64_t hu, int64_t wu, int64_t fh, int64_t fw) {
  if (fh == 1 && fw == 1) return true;
  std::atomic<bool> clean{true};
  parallel_for(planes, double(hu * wu), [&](int64_t lo, int64_t hi) {
    for (int64_t p = lo; p < hi && clean.load(std::memory_order_relaxed); ++p) {
      int64_t nonzero = 0;
      for (int64_t y = 0; y < hu; ++y) {
        const R* __restrict row = U + (p * hu + y) * wu;
        if (y % fh)
          for (int64_t x = 0; x < wu; ++x) nonzero += row[x] != 0.0;
        else
          for (int64_t r = 1; r < fw; ++r)
            for (int64_t x = r; x < wu; x += fw) nonzero += row[x] != 0.0;
      }
      if (nonzero) clean = false;
    }
  });
  return clean;
}

template void transposed_forward(const TransposedShape&, const double*, const double*, const double*, double*,
                                 GemmOf<double>);
template void transposed_forward(const TransposedShape&, const float*, const float*, const float*, float*,
                                 GemmOf<float>);
template void transposed_backward(const TransposedShape&, const double*, const double*, const double*, double*, double*,
                                  double*, GemmOf<double>);
template void transposed_backward(const TransposedShape&, const float*, const float*, const float*, float*, float*,
                                  float*, GemmOf<float>);
template bool zero_off_grid(const double*, int64_t, int64_t, int64_t, int64_t, int64_t);
template bool zero_off_grid(const float*, int64_t, int64_t, int64_t, int64_t, int64_t);

QK_ISA_END
}  // namespace qk
