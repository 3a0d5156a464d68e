#include "kernels/conv.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/gemm.hpp"
#include "kernels/parallel.hpp"
#include "kernels/winograd.hpp"

namespace qk {
QK_ISA_BEGIN

// Below this many multiply-adds the direct loops win: there is too little
// work to pay for building column matrices.
constexpr double kDirectMacs = 2e4;
// Above these sizes a product no longer fits the blocked kernels' caches and
// the BLAS is the better engine.
constexpr int64_t kBlasColumns = 2048;  // ck + 1
constexpr int64_t kBlasFilters = 512;

ConvPath choose(const ConvShape& s) {
  // The direct loops also cover every degenerate shape (no samples, filters,
  // channels or positions), where there is nothing to multiply.
  if (s.n == 0 || s.o == 0 || s.ck() == 0 || s.ho <= 0 || s.wo <= 0) return ConvPath::Direct;
  const int forced = forced_conv_path();
  if (forced == kForceWinograd) return ConvPath::Blocked;  // where winograd_fits says no
  if (forced >= 0) return static_cast<ConvPath>(forced);
  if (s.macs() < kDirectMacs) return ConvPath::Direct;
  if (s.ck() + 1 > kBlasColumns || s.o > kBlasFilters) return ConvPath::Blas;
  return ConvPath::Blocked;
}

namespace {

// ---------------------------------------------------------------- direct loops

template <class R>
void direct_forward(const ConvShape& s, const R* A, const R* W, const R* b, R* Z) {
  const int64_t HW = s.ho * s.wo, plane = s.h * s.w, ck = s.ck();
  parallel_for(s.n * s.o, double(ck) * double(HW), [&](int64_t lo, int64_t hi) {
    for (int64_t t = lo; t < hi; ++t) {
      const int64_t n = t / s.o, o = t % s.o;
      R* z = Z + t * HW;
      std::fill(z, z + HW, b[o]);
      const R* w = W + o * ck;
      for (int64_t c = 0; c < s.c; ++c)
        for (int64_t p = 0; p < s.kh; ++p)
          for (int64_t q = 0; q < s.kw; ++q) {
            const R wv = w[(c * s.kh + p) * s.kw + q];
            const R* a = A + (n * s.c + c) * plane + p * s.w + q;
            for (int64_t i = 0; i < s.ho; ++i) {
              const R* ar = a + i * s.sh * s.w;
              R* zr = z + i * s.wo;
              if (s.sw == 1)
                for (int64_t j = 0; j < s.wo; ++j) zr[j] += wv * ar[j];
              else
                for (int64_t j = 0; j < s.wo; ++j) zr[j] += wv * ar[j * s.sw];
            }
          }
    }
  });
}

template <class R>
void direct_backward(const ConvShape& s, const R* A, const R* W, const R* dZ, R* dA, R* dW, R* db) {
  const int64_t HW = s.ho * s.wo, plane = s.h * s.w, dplane = s.hd * s.wd, ck = s.ck();
  // Input gradient: every (sample, channel) plane of dA belongs to one task.
  if (dA)
    parallel_for(s.n * s.c, double(s.o) * double(s.kh * s.kw) * double(HW), [&](int64_t lo, int64_t hi) {
      for (int64_t t = lo; t < hi; ++t) {
        const int64_t n = t / s.c, c = t % s.c;
        R* da = dA + t * dplane;
        std::fill(da, da + dplane, 0.0);
        for (int64_t o = 0; o < s.o; ++o) {
          const R* dz = dZ + (n * s.o + o) * HW;
          for (int64_t p = 0; p < s.kh; ++p)
            for (int64_t q = 0; q < s.kw; ++q) {
              const R wv = W[o * ck + (c * s.kh + p) * s.kw + q];
              for (int64_t i = 0; i < s.ho; ++i) {
                R* dr = da + (i * s.sh + p) * s.wd + q;
                const R* gr = dz + i * s.wo;
                if (s.sw == 1)
                  for (int64_t j = 0; j < s.wo; ++j) dr[j] += wv * gr[j];
                else
                  for (int64_t j = 0; j < s.wo; ++j) dr[j * s.sw] += wv * gr[j];
              }
            }
        }
      }
    });
  if (!dW) return;
  // Weight gradient: one task per (filter, input channel) pair.
  parallel_for(s.o * s.c, double(s.n) * double(s.kh * s.kw) * double(HW), [&](int64_t lo, int64_t hi) {
    for (int64_t t = lo; t < hi; ++t) {
      const int64_t o = t / s.c, c = t % s.c;
      for (int64_t p = 0; p < s.kh; ++p)
        for (int64_t q = 0; q < s.kw; ++q) {
          double acc = 0.0;
          for (int64_t n = 0; n < s.n; ++n) {
            const R* dz = dZ + (n * s.o + o) * HW;
            const R* a = A + (n * s.c + c) * plane + p * s.w + q;
            for (int64_t i = 0; i < s.ho; ++i) {
              const R* ar = a + i * s.sh * s.w;
              const R* gr = dz + i * s.wo;
              if (s.sw == 1)
                for (int64_t j = 0; j < s.wo; ++j) acc += gr[j] * ar[j];
              else
                for (int64_t j = 0; j < s.wo; ++j) acc += gr[j] * ar[j * s.sw];
            }
          }
          dW[o * ck + (c * s.kh + p) * s.kw + q] = R(acc);
        }
    }
  });
  for (int64_t o = 0; o < s.o; ++o) {
    double acc = 0.0;
    for (int64_t n = 0; n < s.n; ++n) {
      const R* dz = dZ + (n * s.o + o) * HW;
      for (int64_t k = 0; k < HW; ++k) acc += dz[k];
    }
    db[o] = R(acc);
  }
}

// ---------------------------------------------------------------- im2col

// The filters (o x ck) with the bias as one more column, matching the row of
// ones that the column matrices carry.
template <class R>
std::vector<R> with_bias(const ConvShape& s, const R* W, const R* b) {
  const int64_t ck = s.ck();
  std::vector<R> wext(static_cast<size_t>(s.o * (ck + 1)));
  for (int64_t o = 0; o < s.o; ++o) {
    std::copy(W + o * ck, W + (o + 1) * ck, wext.begin() + o * (ck + 1));
    wext[static_cast<size_t>(o * (ck + 1) + ck)] = b[o];
  }
  return wext;
}

// Column matrix of a batch chunk [n0, n0+nb): row r = (c, p, q) holds, for each
// sample b of the chunk and each output position (i, j), the input under tap
// (p, q) at column b*ho*wo + i*wo + j; columns from nb*ho*wo up to the row
// stride `ld` are zero.  Row ck is all ones (zero in the padding): it carries
// the bias forward and sums dZ into db backward.
template <class R>
void im2col(const ConvShape& s, const R* A, int64_t n0, int64_t nb, R* X, int64_t ld) {
  const int64_t HW = s.ho * s.wo, plane = s.h * s.w, ck = s.ck(), L = nb * HW;
  for (int64_t r = 0; r < ck; ++r) {
    const int64_t c = r / (s.kh * s.kw), p = (r / s.kw) % s.kh, q = r % s.kw;
    R* x = X + r * ld;
    for (int64_t b = 0; b < nb; ++b) {
      const R* ac = A + ((n0 + b) * s.c + c) * plane + p * s.w + q;
      R* xb = x + b * HW;
      for (int64_t i = 0; i < s.ho; ++i) {
        const R* ar = ac + i * s.sh * s.w;
        R* xr = xb + i * s.wo;
        // Rows are short: an inline loop beats a call to memcpy.
        if (s.sw == 1)
          for (int64_t j = 0; j < s.wo; ++j) xr[j] = ar[j];
        else
          for (int64_t j = 0; j < s.wo; ++j) xr[j] = ar[j * s.sw];
      }
    }
    std::fill(x + L, x + ld, 0.0);
  }
  std::fill(X + ck * ld, X + ck * ld + L, 1.0);
  std::fill(X + ck * ld + L, X + (ck + 1) * ld, 0.0);
}

// dA[n0+b, c, i*sh+p, j*sw+q] += dX[(c,p,q), b*ho*wo + i*wo + j]
template <class R>
void col2im(const ConvShape& s, const R* dX, int64_t ld, int64_t n0, int64_t nb, R* dA) {
  const int64_t HW = s.ho * s.wo, dplane = s.hd * s.wd;
  for (int64_t b = 0; b < nb; ++b)
    for (int64_t c = 0; c < s.c; ++c) {
      R* da = dA + ((n0 + b) * s.c + c) * dplane;
      for (int64_t p = 0; p < s.kh; ++p)
        for (int64_t q = 0; q < s.kw; ++q) {
          const R* x = dX + ((c * s.kh + p) * s.kw + q) * ld + b * HW;
          for (int64_t i = 0; i < s.ho; ++i) {
            R* dr = da + (i * s.sh + p) * s.wd + q;
            const R* xr = x + i * s.wo;
            if (s.sw == 1)
              for (int64_t j = 0; j < s.wo; ++j) dr[j] += xr[j];
            else
              for (int64_t j = 0; j < s.wo; ++j) dr[j * s.sw] += xr[j];
          }
        }
    }
}

// Samples per chunk: enough columns to keep the blocks busy, few enough that
// a chunk's column matrix stays in one core's L2 cache.
int64_t chunk(const ConvShape& s, int64_t budget) {
  const int64_t per_sample = (s.ck() + 1) * s.ho * s.wo;
  return std::max<int64_t>(1, std::min<int64_t>(s.n, budget / std::max<int64_t>(per_sample, 1)));
}

// ---------------------------------------------------------------- blocked GEMM, tile by tile

// Output columns (sample, position) in row-major order, taken kNR at a time.
// For one such tile, where each column reads the input (src), writes dA
// (dst) and writes Z (z); invalid columns (past the end) are marked.  A "row
// tile" is one whose columns all lie in one output row of one sample: then
// they are src0 + t*sw, dst0 + t*sw and z0 + t, and the kernels use the arrays
// in place.
template <class R>
struct Tile {
  static constexpr int64_t kNR = kCols<R>;
  int64_t src[kNR], dst[kNR], z[kNR];
  bool row;
  int64_t count;
  // Runs of columns that lie in one output row of one sample: [seg[i], seg[i+1]).
  int64_t seg[kNR + 1];
  int64_t segments = 0;

  Tile(const ConvShape& s, int64_t col0, int64_t end) {
    const int64_t HW = s.ho * s.wo;
    int64_t n = col0 / HW, r = col0 % HW, i = r / s.wo, j = r % s.wo;
    count = std::min(kNR, end - col0);
    row = count == kNR && j + kNR <= s.wo;
    seg[segments++] = 0;
    for (int64_t t = 0; t < count; ++t) {
      if (t > 0 && j == 0) seg[segments++] = t;
      src[t] = (n * s.c * s.h + i * s.sh) * s.w + j * s.sw;
      dst[t] = (n * s.c * s.hd + i * s.sh) * s.wd + j * s.sw;
      z[t] = n * s.o * HW + i * s.wo + j;
      if (++j == s.wo) {
        j = 0;
        if (++i == s.ho) i = 0, ++n;
      }
    }
    seg[segments] = count;
  }
};

// Offsets of tap r = (c, p, q) within a sample of planes h x w.
std::vector<int64_t> tap_offsets(const ConvShape& s, int64_t h, int64_t w) {
  std::vector<int64_t> off(static_cast<size_t>(s.ck()));
  for (int64_t r = 0; r < s.ck(); ++r)
    off[static_cast<size_t>(r)] = ((r / (s.kh * s.kw)) * h + (r / s.kw) % s.kh) * w + r % s.kw;
  return off;
}

// ---------------------------------------------------------------- stride 2 in vectors
//
// A row tile at stride 2 reads (forward) or adds to (backward) every other
// element of a run of the input.  In vectors: two vectors of the run hold one
// vector of the tile's values in their even lanes.

// The even lanes of a and b side by side: a[0], a[2], ..., b[0], b[2], ...
template <class V, size_t... I>
inline V evens(V a, V b, std::index_sequence<I...>) {
  return __builtin_shufflevector(a, b, (2 * I)...);
}
// Half H of x spread over the even lanes, zeros between.
template <int H, class V, size_t... I>
inline V spread(V x, std::index_sequence<I...>) {
  constexpr size_t L = sizeof...(I);
  return __builtin_shufflevector(x, V{}, (I % 2 ? L : H * L / 2 + I / 2)...);
}
// The even lanes from b, the odd ones from a.
template <class V, size_t... I>
inline V even_from(V a, V b, std::index_sequence<I...>) {
  constexpr size_t L = sizeof...(I);
  return __builtin_shufflevector(a, b, (I % 2 ? I : L + I)...);
}

// x[c] = a[2c] for c < n.  The vectors stop short of the element after
// a[2(n - 1)], which may lie past the array; the rest go one by one.
template <class R>
inline void pick_every_other(R* __restrict x, const R* __restrict a, int64_t n) {
  constexpr int64_t L = kLanes<R>;
  const auto lanes = std::make_index_sequence<L>{};
  int64_t c = 0;
  for (; c + L < n; c += L) store(x + c, evens(load(a + 2 * c), load(a + 2 * c + L), lanes));
  for (; c < n; ++c) x[c] = a[2 * c];
}

// d[2c] += x[c] for c < n; the odd elements are stored as they were read (a
// blend, not an add of zero, which would turn -0 into +0).  The vectors stop
// short of the element after d[2(n - 1)], which may belong to another
// worker: a last whole vector of x goes as one vector of d and the rest one
// by one.
template <class R>
inline void add_every_other(R* __restrict d, const R* __restrict x, int64_t n) {
  using V = typename Vec<R>::v;
  constexpr int64_t L = kLanes<R>;
  const auto lanes = std::make_index_sequence<L>{};
  int64_t c = 0;
  for (; c + L < n; c += L) {
    const V v = load(x + c), lo = load(d + 2 * c), hi = load(d + 2 * c + L);
    store(d + 2 * c, even_from(lo, lo + spread<0>(v, lanes), lanes));
    store(d + 2 * c + L, even_from(hi, hi + spread<1>(v, lanes), lanes));
  }
  if (c + L == n) {
    const V lo = load(d + 2 * c);
    store(d + 2 * c, even_from(lo, lo + spread<0>(load(x + c), lanes), lanes));
    c += L / 2;
  }
  for (; c < n; ++c) d[2 * c] += x[c];
}

// The tile's column matrix: row r < ck holds the input under tap r for each
// column; row ck is ones (the bias).  Padding columns are zero.
template <class R>
void gather_tile(const ConvShape& s, const Tile<R>& t, const R* A, const int64_t* off, R* T) {
  constexpr int64_t kNR = kCols<R>;
  const int64_t ck = s.ck();
  if (t.row) {
    for (int64_t r = 0; r < ck; ++r) {
      const R* __restrict a = A + t.src[0] + off[r];
      R* __restrict x = T + r * kNR;
      if (s.sw == 1)  // in vectors: left to itself the compiler copies one element at a time
        for (int64_t c = 0; c < kNR; c += kLanes<R>) store(x + c, load(a + c));
      else if (s.sw == 2)
        pick_every_other(x, a, kNR);
      else
        for (int64_t c = 0; c < kNR; ++c) x[c] = a[c * s.sw];
    }
    for (int64_t c = 0; c < kNR; ++c) T[ck * kNR + c] = 1.0;
    return;
  }
  for (int64_t r = 0; r < ck; ++r) {
    R* x = T + r * kNR;
    for (int64_t g = 0; g < t.segments; ++g) {
      const R* __restrict a = A + t.src[t.seg[g]] + off[r];
      R* __restrict xs = x + t.seg[g];
      const int64_t n = t.seg[g + 1] - t.seg[g];
      if (s.sw == 1)  // short runs: a loop the compiler vectorises beats a call
        for (int64_t c = 0; c < n; ++c) xs[c] = a[c];
      else if (s.sw == 2)
        pick_every_other(xs, a, n);
      else
        for (int64_t c = 0; c < n; ++c) xs[c] = a[c * s.sw];
    }
    std::fill(x + t.count, x + kNR, 0.0);
  }
  for (int64_t c = 0; c < kNR; ++c) T[ck * kNR + c] = c < t.count ? 1.0 : 0.0;
}

// Two row tiles side by side in one output row: their column matrix,
// (ck + 1) x 2 kNR.
template <class R>
void gather_pair(const ConvShape& s, const Tile<R>& t, const R* A, const int64_t* off, R* T) {
  constexpr int64_t kNR = 2 * kCols<R>;
  const int64_t ck = s.ck();
  for (int64_t r = 0; r < ck; ++r) {
    const R* __restrict a = A + t.src[0] + off[r];
    R* __restrict x = T + r * kNR;
    if (s.sw == 1)
      for (int64_t c = 0; c < kNR; c += kLanes<R>) store(x + c, load(a + c));
    else if (s.sw == 2)
      pick_every_other(x, a, kNR);
    else
      for (int64_t c = 0; c < kNR; ++c) x[c] = a[c * s.sw];
  }
  std::fill(T + ck * kNR, T + (ck + 1) * kNR, R(1));
}

template <class R>
void blocked_forward(const ConvShape& s, const R* A, const R* W, const R* b, R* Z) {
  constexpr int64_t kNR = kCols<R>;
  const int64_t HW = s.ho * s.wo, ck = s.ck(), total = s.n * HW, tiles = (total + kNR - 1) / kNR;
  const std::vector<R> wext = with_bias(s, W, b);
  std::vector<R> wp(packed_size(s.o, ck + 1));
  pack_rows(wext.data(), ck + 1, false, s.o, ck + 1, wp.data());
  const std::vector<int64_t> off = tap_offsets(s, s.h, s.w);
  const int64_t orows = round_up(s.o, kMR);
  // Where the filters leave a short last panel, two tiles side by side are
  // multiplied at once, so that the GEMM need not pad that panel.
  const bool pairs = short_last_panel(s.o);
  if (s.sw == 1 && s.wo >= kNR) {
    // At stride 1 the input under a tap, along kNR positions of an output
    // row, is a run of an input row: the product reads the taps where they
    // lie (row ck, the bias's, is ones), two tiles at a time where the row
    // has room.  Every tile lies in one output row; a row's last tile ends
    // at the row's end and may overlap the tile before it, which it writes
    // again with the same sums.
    static const std::array<R, 2 * kNR> ones = [] {
      std::array<R, 2 * kNR> a;
      a.fill(R(1));
      return a;
    }();
    parallel_for(s.n * s.ho, 2.0 * double(s.o) * double(ck + 1) * double(s.wo), [&](int64_t lo, int64_t hi) {
      std::vector<const R*> rows(static_cast<size_t>(ck + 1));
      rows[static_cast<size_t>(ck)] = ones.data();
      for (int64_t line = lo; line < hi; ++line) {
        const int64_t n = line / s.ho, i = line % s.ho;
        const R* src = A + (n * s.c * s.h + i * s.sh) * s.w;
        R* z = Z + n * s.o * HW + i * s.wo;
        for (int64_t j = 0; j < s.wo;) {
          const int64_t j0 = std::min(j, s.wo - kNR), width = j0 + 2 * kNR <= s.wo ? 2 * kNR : kNR;
          for (int64_t r = 0; r < ck; ++r) rows[static_cast<size_t>(r)] = src + j0 + off[static_cast<size_t>(r)];
          gemm_rowptrs(s.o, width, ck + 1, wp.data(), rows.data(), z + j0, HW);
          j = j0 + width;
        }
      }
    });
    return;
  }
  // Elsewhere each tile's column matrix is built in L1 and multiplied at
  // once: the column matrix of the whole batch never goes through memory.
  parallel_for(tiles, 2.0 * double(s.o) * double(ck + 1) * double(kNR), [&](int64_t lo, int64_t hi) {
    Scratch<R> T(static_cast<size_t>((ck + 1) * kNR * (pairs ? 2 : 1))), C(static_cast<size_t>(orows * kNR));
    for (int64_t k = lo; k < hi; ++k) {
      const Tile<R> t(s, k * kNR, total);
      if (pairs && t.row && k + 1 < hi) {
        const Tile<R> u(s, (k + 1) * kNR, total);
        if (u.row && u.z[0] == t.z[0] + kNR && u.src[0] == t.src[0] + kNR * s.sw) {
          gather_pair(s, t, A, off.data(), T.data());
          gemm_packed(s.o, 2 * kNR, ck + 1, wp.data(), T.data(), 2 * kNR, Z + t.z[0], HW);
          ++k;
          continue;
        }
      }
      gather_tile(s, t, A, off.data(), T.data());
      if (t.row) {
        gemm_packed(s.o, kNR, ck + 1, wp.data(), T.data(), kNR, Z + t.z[0], HW);
        continue;
      }
      gemm_packed(s.o, kNR, ck + 1, wp.data(), T.data(), kNR, C.data(), kNR);
      for (int64_t o = 0; o < s.o; ++o)
        for (int64_t c = 0; c < t.count; ++c) Z[t.z[c] + o * HW] = C[static_cast<size_t>(o * kNR + c)];
    }
  });
}

// The order in which a tile's column gradients are added onto dA.  Where
// the adds are vectors (strides 1 and 2), taps q and q + 1 of a row add to
// places one apart: taken one after the other, each load would wait for the
// store just before it that it overlaps (a failed store-to-load forward).
// So there the taps go column offset by column offset (r = q, q + kw, ...),
// and neighbours in that order add to other rows; wider strides, added
// element by element, keep the taps in order.  The rows of W^T are packed in
// this order, so the column gradients come out in it.
std::vector<int64_t> tap_order(const ConvShape& s) {
  const int64_t offsets = s.sw <= 2 ? s.kw : 1;
  std::vector<int64_t> order;
  order.reserve(static_cast<size_t>(s.ck()));
  for (int64_t q = 0; q < offsets; ++q)
    for (int64_t r = q; r < s.ck(); r += offsets) order.push_back(r);
  return order;
}

// dA += the column gradients of one tile, dX = W^T (ck x o) @ dZ (o x tile),
// W^T's rows packed in tap_order and doff the offsets of the taps in that order.
// At stride 1, `width` may be 2 kNR: the row tile t and the one after it in
// the same output row, taken together.
template <class R>
void scatter_tile(const ConvShape& s, const Tile<R>& t, int64_t width, const R* wtp, const R* dZ, const int64_t* doff,
                  R* G, R* X, R** D, R* dA) {
  constexpr int64_t kNR = kCols<R>;
  const int64_t HW = s.ho * s.wo, ck = s.ck();
  if (t.row) {
    // dZ's rows lie HW apart; read in place, they would fall into a few L1
    // sets and leave it before the next panel reads them.
    for (int64_t o = 0; o < s.o; ++o)
      for (int64_t c = 0; c < width; c += kLanes<R>) store(G + o * width + c, load(dZ + t.z[0] + o * HW + c));
    if (s.sw == 1) {  // each block's column gradients are added onto dA as they leave the registers
      for (int64_t r = 0; r < ck; ++r) D[r] = dA + t.dst[0] + doff[r];
      gemm_add_rows(ck, width, s.o, wtp, G, width, D);
      return;
    }
    gemm_packed(ck, kNR, s.o, wtp, G, kNR, X, kNR);
    for (int64_t r = 0; r < ck; ++r) {
      R* __restrict d = dA + t.dst[0] + doff[r];
      const R* __restrict x = X + r * kNR;
      if (s.sw == 2)
        add_every_other(d, x, kNR);
      else  // in loops unrolled by 8: rolled, their speed swung by a tenth with where the linker placed them
#pragma GCC unroll 8
        for (int64_t c = 0; c < kNR; ++c) d[c * s.sw] += x[c];
    }
    return;
  }
  for (int64_t o = 0; o < s.o; ++o) {
    R* g = G + o * kNR;
    for (int64_t q = 0; q < t.segments; ++q) {
      const R* __restrict z = dZ + t.z[t.seg[q]] + o * HW;
      R* __restrict gs = g + t.seg[q];
      for (int64_t c = 0, n = t.seg[q + 1] - t.seg[q]; c < n; ++c) gs[c] = z[c];
    }
    std::fill(g + t.count, g + kNR, 0.0);
  }
  gemm_packed(ck, kNR, s.o, wtp, G, kNR, X, kNR);
  for (int64_t r = 0; r < ck; ++r)
    for (int64_t q = 0; q < t.segments; ++q) {
      R* __restrict d = dA + t.dst[t.seg[q]] + doff[r];
      const R* __restrict x = X + r * kNR + t.seg[q];
      const int64_t n = t.seg[q + 1] - t.seg[q];
      if (s.sw == 1)
        for (int64_t c = 0; c < n; ++c) d[c] += x[c];
      else if (s.sw == 2)
        add_every_other(d, x, n);
      else
#pragma GCC unroll 8
        for (int64_t c = 0; c < n; ++c) d[c * s.sw] += x[c];
    }
}

// The input gradient, sample by sample: W^T packed once, its rows in the
// order the column gradients are added (tap_order).
template <class R>
struct InputGrad {
  const ConvShape& s;
  const R* dZ;
  R* dA;
  std::vector<int64_t> doff;
  std::vector<R> wtp;

  InputGrad(const ConvShape& shape, const R* W, const R* dZ_, R* dA_)
      : s(shape), dZ(dZ_), dA(dA_), doff(static_cast<size_t>(s.ck())), wtp(packed_size(s.ck(), s.o)) {
    const int64_t ck = s.ck();
    const std::vector<int64_t> order = tap_order(s), all_doff = tap_offsets(s, s.hd, s.wd);
    std::vector<R> wt(static_cast<size_t>(ck * s.o));
    for (int64_t r = 0; r < ck; ++r) {
      const int64_t tap = order[static_cast<size_t>(r)];
      doff[static_cast<size_t>(r)] = all_doff[static_cast<size_t>(tap)];
      for (int64_t o = 0; o < s.o; ++o) wt[static_cast<size_t>(r * s.o + o)] = W[o * ck + tap];
    }
    pack_rows(wt.data(), s.o, false, ck, s.o, wtp.data());
  }

  // Per thread: the scratch of one tile.
  struct Scratch {
    qk::Scratch<R> G, X;
    std::vector<R*> rows;
    explicit Scratch(const ConvShape& s)
        : G(static_cast<size_t>(s.o * 2 * kCols<R>)),
          X(static_cast<size_t>(round_up(s.ck(), kMR) * kCols<R>)),
          rows(static_cast<size_t>(s.ck())) {}
  };

  // dA of samples [n0, n1), tile by tile: each tile's column gradients are
  // made in L1 and added onto dA at once.  No tile reaches another sample's
  // dA, so threads that own whole samples never add to the same place.
  void samples(int64_t n0, int64_t n1, Scratch& t) const {
    constexpr int64_t kNR = kCols<R>;
    const int64_t HW = s.ho * s.wo;
    std::fill(dA + n0 * s.c * s.hd * s.wd, dA + n1 * s.c * s.hd * s.wd, R(0));
    for (int64_t col = n0 * HW; col < n1 * HW;) {
      const Tile<R> tile(s, col, n1 * HW);
      // Two row tiles side by side in one output row go as one at stride 1.
      const int64_t width = s.sw == 1 && tile.row && tile.z[0] % s.wo + 2 * kNR <= s.wo ? 2 * kNR : kNR;
      scatter_tile(s, tile, width, wtp.data(), dZ, doff.data(), t.G.data(), t.X.data(), t.rows.data(), dA);
      col += width;
    }
  }
};

// Samples [lo, hi) of thread th of `threads`, as the backward pass shares them.
inline std::pair<int64_t, int64_t> samples_of(int64_t n, int threads, int64_t th) {
  const int64_t per_thread = (n + threads - 1) / threads;
  return {std::min(n, th * per_thread), std::min(n, (th + 1) * per_thread)};
}

template <class R>
void blocked_input_grad(const ConvShape& s, const R* W, const R* dZ, R* dA) {
  const InputGrad<R> grad(s, W, dZ, dA);
  const int threads = static_cast<int>(std::min<int64_t>(s.n, num_threads()));
  parallel_for(threads, 1e9, [&](int64_t lo, int64_t hi) {
    typename InputGrad<R>::Scratch scratch(s);
    for (int64_t th = lo; th < hi; ++th) {
      const auto [n0, n1] = samples_of(s.n, threads, th);
      grad.samples(n0, n1, scratch);
    }
  });
}

// ---------------------------------------------------------------- weight gradients along stride-1 rows
//
// With a horizontal stride of 1, the input under a tap along an output row is
// a contiguous run of an input row, as the row of dZ is.  So each weight
// gradient, dW[o, r] = the sum over positions of dZ[o, pos] * X[r, pos], is
// taken as dot products of the two rows in place, kDotO filters by kDotR taps
// at a time: no column matrix, no transposition.  A block sums a span of
// positions (samples, rows, or a run of one row) in vectors of R; the blocks
// and the workers are added in double.

// A float sum takes kFloatRun terms at most before it is added to the sums in
// double, so that its error does not grow with the length of the rows.
constexpr int64_t kFloatRun = 256;

#if defined(__AVX512F__)
// With 32 registers the outer products below keep 24 sums too, and load
// whole rows of dZ^T where dot products load runs of the input that mostly
// straddle two cache lines: they are the faster at every stride.
constexpr bool kDotRows = false;
#else
// With 16 registers, dot products are the faster at stride 1.
constexpr bool kDotRows = true;
#endif
constexpr int64_t kDotO = 3, kDotR = 4;  // 12 accumulators + 3 + 1 of 16 registers

template <class R>
bool rows_fit_dot(const ConvShape& s) {
  return s.sw == 1 && s.wo >= kLanes<R>;  // a row's last vector may start earlier, never before the row
}

// The positions a block sums: rows [y0, y1) of samples [n0, n1), and along
// each row the full vectors in [x0, x1) and, where x1 is the row's end, its
// last vector.
struct Span {
  int64_t n0, n1, y0, y1, x0, x1;
};

// acc[o * ck + r] += the sums over the span, for filters o0.. and taps r0..
// Kept out of line: inlined into dot_backward, it ran at half the speed.
template <class R>
__attribute__((noinline)) void dot_block(const ConvShape& s, const R* A, const R* dZ, const int64_t* off,
                                         const Span& at, int64_t o0, int64_t r0, double* acc) {
  using vd = typename Vec<R>::v;
  using vi = typename Vec<std::conditional_t<sizeof(R) == 4, int32_t, int64_t>>::v;
  constexpr int64_t L = kLanes<R>;
  const int64_t HW = s.ho * s.wo, ck = s.ck(), tail = s.wo % L;
  // Rows past the end repeat the last one; their sums are not kept.
  int64_t fo[kDotO], tr[kDotR];
  for (int64_t i = 0; i < kDotO; ++i) fo[i] = std::min(o0 + i, s.o - 1);
  for (int64_t j = 0; j < kDotR; ++j) tr[j] = std::min(r0 + j, ck - 1);
  // A row's last positions come in one vector that ends at the row's end; its
  // lanes that full vectors already took are masked off, in both operands (so
  // an infinity there cannot turn the sum into NaN).
  vi keep{};
  for (int64_t l = 0; l < L; ++l) keep[l] = l >= L - tail ? -1 : 0;
  vd sum[kDotO][kDotR] = {};
  const R* zr[kDotO];
  const R* xr[kDotR];
  const bool last = tail && at.x1 == s.wo;
  for (int64_t n = at.n0; n < at.n1; ++n) {
    for (int64_t i = 0; i < kDotO; ++i) zr[i] = dZ + (n * s.o + fo[i]) * HW + at.y0 * s.wo;
    for (int64_t j = 0; j < kDotR; ++j) xr[j] = A + n * s.c * s.h * s.w + off[tr[j]] + at.y0 * s.sh * s.w;
    for (int64_t y = at.y0; y < at.y1; ++y) {
      int64_t x = at.x0;
      for (; x + L <= at.x1; x += L) {
        vd z[kDotO];
        for (int64_t i = 0; i < kDotO; ++i) z[i] = load(zr[i] + x);
        for (int64_t j = 0; j < kDotR; ++j) {
          const vd v = load(xr[j] + x);
          for (int64_t i = 0; i < kDotO; ++i) sum[i][j] += z[i] * v;
        }
      }
      if (last) {
        x = s.wo - L;
        vd z[kDotO];
        for (int64_t i = 0; i < kDotO; ++i) z[i] = (vd)((vi)load(zr[i] + x) & keep);
        for (int64_t j = 0; j < kDotR; ++j) {
          const vd v = (vd)((vi)load(xr[j] + x) & keep);
          for (int64_t i = 0; i < kDotO; ++i) sum[i][j] += z[i] * v;
        }
      }
      for (int64_t i = 0; i < kDotO; ++i) zr[i] += s.wo;
      for (int64_t j = 0; j < kDotR; ++j) xr[j] += s.sh * s.w;
    }
  }
  for (int64_t i = 0; i < std::min(kDotO, s.o - o0); ++i)
    for (int64_t j = 0; j < std::min(kDotR, ck - r0); ++j) {
      double t = 0.0;
      for (int64_t l = 0; l < L; ++l) t += sum[i][j][l];
      acc[(o0 + i) * ck + r0 + j] += t;
    }
}

// The sum of dZ for filter o over the positions of samples [n0, n1), in double
// (in eight partial sums, which the compiler keeps in vector registers).
template <class R>
double bias_sum(const ConvShape& s, const R* dZ, int64_t o, int64_t n0, int64_t n1) {
  const int64_t HW = s.ho * s.wo;
  double part[8] = {};
  double rest = 0.0;
  for (int64_t n = n0; n < n1; ++n) {
    const R* dz = dZ + (n * s.o + o) * HW;
    int64_t k = 0;
    for (; k + 8 <= HW; k += 8)
      for (int j = 0; j < 8; ++j) part[j] += dz[k + j];
    for (; k < HW; ++k) rest += dz[k];
  }
  for (double p : part) rest += p;
  return rest;
}

// The whole backward pass where the weight gradients are dot products: each
// worker takes its samples group by group, and while a group's dZ is in L2
// makes its input gradient (if dA is wanted), its bias sums and its blocks
// of dot products, so that dZ is read from memory once, and the workers
// meet once.
template <class R>
void dot_backward(const ConvShape& s, const R* A, const R* W, const R* dZ, R* dA, R* dW, R* db) {
  const int64_t HW = s.ho * s.wo, ck = s.ck(), plane = s.c * s.h * s.w;
  const std::vector<int64_t> off = tap_offsets(s, s.h, s.w);
  const int threads = static_cast<int>(std::min<int64_t>(s.n, num_threads()));
  // Samples in groups whose rows stay in L2 while every block passes over them.
  const int64_t group = std::max<int64_t>(1, (int64_t{256} << 10) / int64_t(sizeof(R) * (plane + s.o * HW)));
  std::optional<InputGrad<R>> input_grad;
  if (dA) input_grad.emplace(s, W, dZ, dA);
  // Per worker: the weight gradients' sums, then the bias's.
  const int64_t per_worker = s.o * ck + s.o;
  std::vector<double> acc(static_cast<size_t>(threads * per_worker), 0.0);
  auto mine = [&](int64_t th) { return acc.data() + th * per_worker; };
  // In float a block sums at most kFloatRun vectors in each lane (whole
  // samples, whole rows, or runs of a longer row) before its sums go on in
  // double.
  constexpr int64_t L = kLanes<R>;
  const bool runs = std::is_same_v<R, float>;
  const int64_t per_row = (s.wo + L - 1) / L;
  parallel_for(threads, 1e9, [&](int64_t lo, int64_t hi) {
    std::optional<typename InputGrad<R>::Scratch> scratch;
    if (dA) scratch.emplace(s);
    for (int64_t th = lo; th < hi; ++th) {
      const auto [begin, end] = samples_of(s.n, threads, th);
      for (int64_t n = begin; n < end; n += group) {
        auto blocks = [&](const Span& at) {
          for (int64_t o0 = 0; o0 < s.o; o0 += kDotO)
            for (int64_t r0 = 0; r0 < ck; r0 += kDotR) dot_block(s, A, dZ, off.data(), at, o0, r0, mine(th));
        };
        const int64_t n1 = std::min(end, n + group);
        if (dA) input_grad->samples(n, n1, *scratch);
        for (int64_t o = 0; o < s.o; ++o) mine(th)[s.o * ck + o] += bias_sum(s, dZ, o, n, n1);
        if (!runs || (n1 - n) * s.ho * per_row <= kFloatRun) {
          blocks({n, n1, 0, s.ho, 0, s.wo});
        } else if (s.ho * per_row <= kFloatRun) {
          const int64_t k = kFloatRun / (s.ho * per_row);
          for (int64_t m = n; m < n1; m += k) blocks({m, std::min(n1, m + k), 0, s.ho, 0, s.wo});
        } else if (per_row <= kFloatRun) {
          for (int64_t m = n; m < n1; ++m)
            for (int64_t y = 0; y < s.ho; y += kFloatRun / per_row)
              blocks({m, m + 1, y, std::min(s.ho, y + kFloatRun / per_row), 0, s.wo});
        } else {
          // Runs of kFloatRun - 1 vectors; the last takes the rest of the row.
          constexpr int64_t step = (kFloatRun - 1) * L;
          for (int64_t m = n; m < n1; ++m)
            for (int64_t y = 0; y < s.ho; ++y)
              for (int64_t x0 = 0, x1 = 0; x1 < s.wo; x0 = x1) {
                x1 = x0 + step + L > s.wo ? s.wo : x0 + step;
                blocks({m, m + 1, y, y + 1, x0, x1});
              }
        }
      }
    }
  });
  for (int64_t k = 0; k < per_worker; ++k) {
    double v = 0.0;
    for (int th = 0; th < threads; ++th) v += acc[static_cast<size_t>(th * per_worker + k)];
    (k < s.o * ck ? dW[k] : db[k - s.o * ck]) = R(v);
  }
}

// ---------------------------------------------------------------- weight gradients as outer products
//
// dW^T (ck x o) = X (ck x positions) @ dZ^T (positions x o).  A block keeps
// T taps by V vectors of filters in registers; each position adds the outer
// product of its taps' inputs, read one at a time where they lie (at any
// stride), and its row of dZ^T, transposed per group of samples in vectors,
// the filters padded to whole vectors with zeros.  No column matrix, and
// every vector load is of a whole row of dZ^T.  A block sums a group of
// samples in vectors of R (in float, 256 positions at a time, the runs added
// in double); the groups and the workers are added in double.

#if defined(__AVX512F__)
constexpr int64_t kOuterV = 4;  // 4 vectors x 6 taps: 24 accumulators + 4 + 1 of 32 registers
template <int64_t V>
constexpr int64_t kOuterT = V >= 2 ? 24 / V : 8;
#else
constexpr int64_t kOuterV = 2;  // 2 x 6: 12 + 2 + 1 of 16 registers
template <int64_t V>
constexpr int64_t kOuterT = V == 2 ? 6 : 8;
#endif

// GT (positions x op) = the transpose of dZ's samples [n0, n1), filters o..op
// zero; bias[o] += their sums over positions, in double.
template <class R>
void transpose_grad(const ConvShape& s, const R* dZ, int64_t n0, int64_t n1, int64_t op, R* GT, double* bias) {
  using vd = typename Vec<R>::v;
  constexpr int64_t L = kLanes<R>;
  const int64_t HW = s.ho * s.wo;
  for (int64_t n = n0; n < n1; ++n) {
    const R* z = dZ + n * s.o * HW;
    R* g = GT + (n - n0) * HW * op;
    for (int64_t o0 = 0; o0 < op; o0 += L) {
      const int64_t rows = std::min(L, s.o - o0);
      InDouble<R> sum[2] = {};  // lane i: filter o0 + i, in two chains
      int64_t p = 0;
      for (; p + L <= HW; p += L) {
        vd v[L];
        for (int64_t i = 0; i < L; ++i) v[i] = i < rows ? load(z + (o0 + i) * HW + p) : vd{};
        transpose_lanes(v);
        for (int64_t l = 0; l < L; ++l) {
          store(g + (p + l) * op + o0, v[l]);
          sum[l % 2] += v[l];
        }
      }
      for (int64_t i = 0; i < rows; ++i) {
        double t = sum[0][i] + sum[1][i];
        for (int64_t q = p; q < HW; ++q) t += double(z[(o0 + i) * HW + q]);
        bias[o0 + i] += t;
      }
      for (; p < HW; ++p)
        for (int64_t i = 0; i < L; ++i) g[p * op + o0 + i] = i < rows ? z[(o0 + i) * HW + p] : R(0);
    }
  }
}

// The sums of one block over positions [p0, p1) of the samples from n0 on,
// in row-major order (row q is row q % ho of sample n0 + q / ho); GT is the
// samples' dZ^T from the block's first filter on, xoff the offsets of the
// block's taps.  Returned by value, so that they stay in registers while
// they are made.
template <int64_t V, int64_t T, class R>
struct OuterSums {
  typename Vec<R>::v s[T][V];
};

template <int64_t V, int64_t T, class R>
inline OuterSums<V, T, R> outer_run(const ConvShape& s, const R* A, const R* GT, int64_t op, const int64_t* xoff,
                                    int64_t n0, int64_t p0, int64_t p1) {
  using vd = typename Vec<R>::v;
  constexpr int64_t L = kLanes<R>;
  const int64_t plane = s.c * s.h * s.w;
  OuterSums<V, T, R> r = {};
  const R* g = GT + p0 * op;
  for (int64_t p = p0; p < p1;) {
    const int64_t q = p / s.wo, j0 = p % s.wo, j1 = std::min(s.wo, j0 + (p1 - p));
    const R* row = A + (n0 + q / s.ho) * plane + (q % s.ho) * s.sh * s.w;
    const R* x[T];
    for (int64_t t = 0; t < T; ++t) x[t] = row + xoff[t];
    for (int64_t j = j0; j < j1; ++j, g += op) {
      vd b[V];
      for (int64_t v = 0; v < V; ++v) b[v] = load(g + v * L);
      for (int64_t t = 0; t < T; ++t) {
        const vd a = splat(x[t][j * s.sw]);
        for (int64_t v = 0; v < V; ++v) r.s[t][v] += a * b[v];
      }
    }
    p += j1 - j0;
  }
  return r;
}

// acc[o * ck + r] += the sums over samples [n0, n1) for taps r0.. and the
// filters of vectors v0..; GT holds those samples' dZ^T, rows op apart.
template <int64_t V, class R>
void outer_block(const ConvShape& s, const R* A, const R* GT, int64_t op, const int64_t* off, int64_t n0, int64_t n1,
                 int64_t r0, int64_t v0, double* acc) {
  constexpr int64_t L = kLanes<R>, T = kOuterT<V>;
  const int64_t ck = s.ck(), positions = (n1 - n0) * s.ho * s.wo;
  int64_t xoff[T];  // taps past the end repeat the last one; their sums are not kept
  for (int64_t t = 0; t < T; ++t) xoff[t] = off[std::min(r0 + t, ck - 1)];
  // A lane sums every position of one filter: kFloatRun positions at most in float.
  const int64_t run = std::is_same_v<R, float> ? kFloatRun : positions;
  InDouble<R> total[T][V] = {};
  for (int64_t p = 0; p < positions; p += run) {
    const OuterSums<V, T, R> part = outer_run<V, T>(s, A, GT + v0 * L, op, xoff, n0, p, std::min(positions, p + run));
    for (int64_t t = 0; t < T; ++t)
      for (int64_t v = 0; v < V; ++v) total[t][v] += part.s[t][v];
  }
  for (int64_t t = 0; t < std::min(T, ck - r0); ++t)
    for (int64_t v = 0; v < V; ++v)
      for (int64_t l = 0; l < L && (v0 + v) * L + l < s.o; ++l) acc[((v0 + v) * L + l) * ck + r0 + t] += total[t][v][l];
}

// The weight gradients as outer products, group of samples by group: each
// thread sums into its own slot, and finish() adds the slots in order.
template <class R>
struct OuterGrad {
  static constexpr int64_t L = kLanes<R>;
  const ConvShape& s;
  const R* A;
  const R* dZ;
  int64_t op, vectors, group;
  std::vector<int64_t> off;
  std::vector<double> acc, bias;

  OuterGrad(const ConvShape& shape, const R* A_, const R* dZ_, int threads)
      : s(shape),
        A(A_),
        dZ(dZ_),
        op(round_up(s.o, L)),
        vectors(op / L),
        // Samples in groups whose dZ^T stays in L2 while every block passes over it.
        group(std::max<int64_t>(1, (int64_t{256} << 10) / int64_t(sizeof(R) * s.ho * s.wo * op))),
        off(tap_offsets(s, s.h, s.w)),
        acc(static_cast<size_t>(threads * s.o * s.ck()), 0.0),
        bias(static_cast<size_t>(threads * op), 0.0) {}

  Scratch<R> scratch() const { return Scratch<R>(static_cast<size_t>(group * s.ho * s.wo * op)); }

  // Samples [n, n1), at most one group, into slot th.
  void samples(int64_t n, int64_t n1, int64_t th, R* GT) {
    const int64_t ck = s.ck();
    double* mine = acc.data() + th * s.o * ck;
    transpose_grad(s, dZ, n, n1, op, GT, bias.data() + th * op);
    for (int64_t v0 = 0; v0 < vectors; v0 += kOuterV) {
      const int64_t left = vectors - v0;
      auto blocks = [&](auto vs) {
        constexpr int64_t V = decltype(vs)::value;
        for (int64_t r0 = 0; r0 < ck; r0 += kOuterT<V>) outer_block<V>(s, A, GT, op, off.data(), n, n1, r0, v0, mine);
      };
      if (left >= kOuterV)
        blocks(std::integral_constant<int64_t, kOuterV>{});
      else if (left == 1)
        blocks(std::integral_constant<int64_t, 1>{});
      else if (left == 2)
        blocks(std::integral_constant<int64_t, 2>{});
      else if constexpr (kOuterV > 3)
        blocks(std::integral_constant<int64_t, 3>{});
    }
  }

  void finish(int threads, R* dW, R* db) const {
    const int64_t ck = s.ck();
    for (int64_t k = 0; k < s.o * ck; ++k) {
      double v = 0.0;
      for (int th = 0; th < threads; ++th) v += acc[static_cast<size_t>(th * s.o * ck + k)];
      dW[k] = R(v);
    }
    for (int64_t o = 0; o < s.o; ++o) {
      double v = 0.0;
      for (int th = 0; th < threads; ++th) v += bias[static_cast<size_t>(th * op + o)];
      db[o] = R(v);
    }
  }
};

// The weight gradients and, with a dA, the input gradient in the same pass:
// each thread takes a group of its samples through both, so that their dZ
// is read from memory once.
template <class R>
void outer_backward(const ConvShape& s, const R* A, const R* W, const R* dZ, R* dA, R* dW, R* db) {
  const int threads = static_cast<int>(std::min<int64_t>(s.n, num_threads()));
  OuterGrad<R> grad(s, A, dZ, threads);
  std::optional<InputGrad<R>> input;
  if (dA) input.emplace(s, W, dZ, dA);
  parallel_for(threads, 1e9, [&](int64_t lo, int64_t hi) {
    Scratch<R> GT = grad.scratch();
    std::optional<typename InputGrad<R>::Scratch> tiles;
    if (input) tiles.emplace(s);
    for (int64_t th = lo; th < hi; ++th) {
      const auto [begin, end] = samples_of(s.n, threads, th);
      for (int64_t n = begin; n < end; n += grad.group) {
        const int64_t n1 = std::min(end, n + grad.group);
        if (input) input->samples(n, n1, *tiles);
        grad.samples(n, n1, th, GT.data());
      }
    }
  });
  grad.finish(threads, dW, db);
}

// ---------------------------------------------------------------- im2col + BLAS for large channel counts

constexpr int64_t kBlasChunk = int64_t{1} << 20;  // doubles: 8 MiB
template <class R>
constexpr int64_t kBlasElems = kBlasChunk * int64_t{sizeof(double)} / int64_t{sizeof(R)};

template <class R>
void blas_forward(const ConvShape& s, const R* A, const R* W, const R* b, R* Z, GemmOf<R> gemm) {
  const int64_t HW = s.ho * s.wo, ck = s.ck(), nbmax = chunk(s, kBlasElems<R>);
  const std::vector<R> wext = with_bias(s, W, b);
  Scratch<R> X(static_cast<size_t>(nbmax * (ck + 1) * HW)), Y(static_cast<size_t>(nbmax * s.o * HW));
  for (int64_t n0 = 0; n0 < s.n; n0 += nbmax) {
    const int64_t nb = std::min(nbmax, s.n - n0), ld = nb * HW;
    im2col(s, A, n0, nb, X.data(), ld);
    gemm(false, false, 1, s.o, ld, ck + 1, wext.data(), ck + 1, 0, X.data(), ld, 0, Y.data(), ld, 0);
    for (int64_t bb = 0; bb < nb; ++bb)
      for (int64_t o = 0; o < s.o; ++o)
        std::memcpy(Z + ((n0 + bb) * s.o + o) * HW, Y.data() + o * ld + bb * HW, sizeof(R) * HW);
  }
}

template <class R>
void blas_backward(const ConvShape& s, const R* A, const R* W, const R* dZ, R* dA, R* dW, R* db, GemmOf<R> gemm) {
  const int64_t HW = s.ho * s.wo, ck = s.ck(), nbmax = chunk(s, kBlasElems<R>);
  if (dA) std::fill(dA, dA + s.n * s.c * s.hd * s.wd, 0.0);
  Scratch<R> X(static_cast<size_t>(nbmax * (ck + 1) * HW)), G(static_cast<size_t>(nbmax * s.o * HW));
  std::vector<R> T(static_cast<size_t>(s.o * (ck + 1)));
  std::vector<double> acc(T.size(), 0.0);
  for (int64_t n0 = 0; n0 < s.n; n0 += nbmax) {
    const int64_t nb = std::min(nbmax, s.n - n0), ld = nb * HW;
    for (int64_t o = 0; o < s.o; ++o)
      for (int64_t bb = 0; bb < nb; ++bb)
        std::memcpy(G.data() + o * ld + bb * HW, dZ + ((n0 + bb) * s.o + o) * HW, sizeof(R) * HW);
    if (dW) {
      im2col(s, A, n0, nb, X.data(), ld);
      gemm(false, true, 1, s.o, ck + 1, ld, G.data(), ld, 0, X.data(), ld, 0, T.data(), ck + 1, 0);
      for (size_t k = 0; k < acc.size(); ++k) acc[k] += T[k];
    }
    if (dA) {
      gemm(true, false, 1, ck, ld, s.o, W, ck, 0, G.data(), ld, 0, X.data(), ld, 0);
      col2im(s, X.data(), ld, n0, nb, dA);
    }
  }
  if (!dW) return;
  for (int64_t o = 0; o < s.o; ++o) {
    for (int64_t r = 0; r < ck; ++r) dW[o * ck + r] = R(acc[static_cast<size_t>(o * (ck + 1) + r)]);
    db[o] = R(acc[static_cast<size_t>(o * (ck + 1) + ck)]);
  }
}

// db[o] = the sum of dZ over samples and positions, in double.
template <class R>
void bias_grad(const ConvShape& s, const R* dZ, R* db) {
  const int64_t HW = s.ho * s.wo;
  parallel_for(s.o, double(s.n) * double(HW), [&](int64_t lo, int64_t hi) {
    for (int64_t o = lo; o < hi; ++o) db[o] = R(bias_sum(s, dZ, o, 0, s.n));
  });
}

}  // namespace

// Minimal filtering for 3x3 filters at stride 1 (winograd.hpp), where the
// blocked kernels would run and the channel counts fill the products over
// the channels: from 8 channels on each side for the forward pass, and for
// the input gradient where double takes 4x4 tiles; double's forward pass on
// 2x2 tiles from 16 (at 8 its transforms cost more than the products save);
// the gradients otherwise from 32: below, the blocked kernels, which read
// the taps in place, are faster.
enum class Pass { Forward, InputGrad, WeightGrad };

template <class R>
bool take_winograd(const ConvShape& s, Pass pass) {
  const int forced = forced_conv_path();
  if (forced == kForceWinograd) return winograd_fits<R>(s);
  int64_t channels = 32;
  if (pass == Pass::Forward)
    channels = std::is_same_v<R, float> || winograd_wide<R>(s.ho, s.wo, s.c, s.o) ? 8 : 16;
  else if (pass == Pass::InputGrad && winograd_wide<R>(s.hd, s.wd, s.o, s.c))
    channels = 8;
  return forced < 0 && s.c >= channels && s.o >= channels && choose(s) == ConvPath::Blocked && winograd_fits<R>(s);
}

template <class R>
void conv_forward(const ConvShape& s, const R* A, const R* W, const R* b, R* Z, GemmOf<R> gemm) {
  if (s.n == 0 || s.o == 0 || s.ho <= 0 || s.wo <= 0) return;  // Z is empty
  if (take_winograd<R>(s, Pass::Forward) && winograd_forward(s, A, W, b, Z)) return;
  switch (choose(s)) {
    case ConvPath::Direct:
      return direct_forward(s, A, W, b, Z);
    case ConvPath::Blocked:
      return blocked_forward(s, A, W, b, Z);
    case ConvPath::Blas:
      return blas_forward(s, A, W, b, Z, gemm);
  }
}

template <class R>
void conv_backward(const ConvShape& s, const R* A, const R* W, const R* dZ, R* dA, R* dW, R* db, GemmOf<R> gemm) {
  if (s.n == 0 || s.o == 0 || s.ho <= 0 || s.wo <= 0) {
    // No output position: every gradient is zero, whatever the batch claims.
    if (dA) std::fill(dA, dA + s.n * s.c * s.hd * s.wd, 0.0);
    if (dW) std::fill(dW, dW + s.o * s.ck(), 0.0), std::fill(db, db + s.o, 0.0);
    return;
  }
  switch (choose(s)) {
    case ConvPath::Direct:
      return direct_backward(s, A, W, dZ, dA, dW, db);
    case ConvPath::Blocked: {
      if (dA && take_winograd<R>(s, Pass::InputGrad) && winograd_input_grad(s, W, dZ, dA)) dA = nullptr;
      if (dW && take_winograd<R>(s, Pass::WeightGrad) && winograd_weight_grad(s, A, dZ, dW)) {
        bias_grad(s, dZ, db);
        dW = nullptr;
      }
      if constexpr (kDotRows)
        if (dW && rows_fit_dot<R>(s)) return dot_backward(s, A, W, dZ, dA, dW, db);
      if (dW) return outer_backward(s, A, W, dZ, dA, dW, db);
      if (dA) blocked_input_grad(s, W, dZ, dA);
      return;
    }
    case ConvPath::Blas:
      blas_backward(s, A, W, dZ, dA, dW, db, gemm);
      // The products sum the bias gradient in float along with dW: sum it
      // again in double, as the direct loops do.
      if constexpr (std::is_same_v<R, float>)
        if (dW) bias_grad(s, dZ, db);
      return;
  }
}

template void conv_forward(const ConvShape&, const double*, const double*, const double*, double*, GemmOf<double>);
template void conv_forward(const ConvShape&, const float*, const float*, const float*, float*, GemmOf<float>);
template void conv_backward(const ConvShape&, const double*, const double*, const double*, double*, double*, double*,
                            GemmOf<double>);
template void conv_backward(const ConvShape&, const float*, const float*, const float*, float*, float*, float*,
                            GemmOf<float>);

QK_ISA_END
}  // namespace qk
