#include "kernels/winograd.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>
#include <vector>

#include "kernels/gemm.hpp"
#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

namespace {

// The transforms take tiles a vector at a time along a row of tiles, in
// vectors of at most 32 bytes: wider ones would ask for longer rows and gain
// little, the products being where the time goes.
constexpr int64_t kTileBytes = kVecBytes < 32 ? kVecBytes : 32;
template <class R>
constexpr int64_t kTL = kTileBytes / int64_t{sizeof(R)};

template <class R>
struct TV {
  typedef R v __attribute__((vector_size(kTileBytes)));
  typedef R u __attribute__((vector_size(kTileBytes), aligned(sizeof(R))));
};
template <class R>
inline typename TV<R>::v ld(const R* p) {
  return *reinterpret_cast<const typename TV<R>::u*>(p);
}
template <class R>
inline void st(R* p, typename TV<R>::v v) {
  *reinterpret_cast<typename TV<R>::u*>(p) = v;
}

// Lanes 0, 2, 4, ... (or 1, 3, 5, ... with Odd) of a and then of b.
template <size_t Odd, class V, size_t... I>
inline V deal(V a, V b, std::index_sequence<I...>) {
  return __builtin_shufflevector(a, b, (2 * I + Odd)...);
}
// a[0], b[0], a[1], b[1], ... from lane H * L / 2 on.
template <size_t H, class V, size_t... I>
inline V weave(V a, V b, std::index_sequence<I...>) {
  constexpr size_t L = sizeof...(I);
  return __builtin_shufflevector(a, b, (H * L / 2 + I / 2 + (I % 2) * L)...);
}

// The tiles of one image: th rows of tw, the 4x4 input block of tile (i, j)
// at rows 2i.., columns 2j.. of the input, its 2x2 outputs at the same place
// of the output.
struct Grid {
  int64_t cin, cout;  // channels in and out of the correlation
  int64_t th, tw;     // tiles
  int64_t kt;         // tile rows per unit of work
  int64_t ld;         // columns of the transformed blocks: kt * tw, rounded up for the products
  // Elements from one of the 16 matrices of V (M) to the next.  The
  // transforms touch all 16 at once: 64 bytes past a multiple of 4 KiB, they
  // fall in 16 different sets of L1 (at multiples of 4 KiB they would fight
  // over one).
  int64_t vslab, mslab;
};

template <class R>
int64_t slab(int64_t n) {
  return round_up(n, 4096 / int64_t{sizeof(R)}) + 64 / int64_t{sizeof(R)};
}

// G g G^T for the 3x3 filter g(p, q), in double.
template <class F>
void filter_transform(F g, double u[16]) {
  double t[4][3];
  for (int q = 0; q < 3; ++q) {
    t[0][q] = g(0, q);
    t[1][q] = 0.5 * (g(0, q) + g(1, q) + g(2, q));
    t[2][q] = 0.5 * (g(0, q) - g(1, q) + g(2, q));
    t[3][q] = g(2, q);
  }
  for (int i = 0; i < 4; ++i) {
    u[4 * i + 0] = t[i][0];
    u[4 * i + 1] = 0.5 * (t[i][0] + t[i][1] + t[i][2]);
    u[4 * i + 2] = 0.5 * (t[i][0] - t[i][1] + t[i][2]);
    u[4 * i + 3] = t[i][2];
  }
}

// The 16 transformed filter matrices (cout x cin each), packed for the
// products.  With `input_grad` filter (o, c) serves output c from input o,
// turned by 180 degrees.
// Empty where a transformed filter is not finite.
template <class R>
std::vector<R> filters(const ConvShape& s, const R* W, bool input_grad) {
  const int64_t rows = input_grad ? s.c : s.o, cols = input_grad ? s.o : s.c;
  const size_t per = packed_size(rows, cols);
  std::vector<R> U(static_cast<size_t>(16 * rows * cols)), packed(16 * per);
  double u[16];
  for (int64_t o = 0; o < s.o; ++o)
    for (int64_t c = 0; c < s.c; ++c) {
      const R* g = W + (o * s.c + c) * 9;
      if (input_grad)
        filter_transform([g](int p, int q) { return double(g[(2 - p) * 3 + 2 - q]); }, u);
      else
        filter_transform([g](int p, int q) { return double(g[p * 3 + q]); }, u);
      const int64_t at = input_grad ? c * cols + o : o * cols + c;
      for (int e = 0; e < 16; ++e) {
        const R v = R(u[e]);
        if (v - v != R(0)) return {};
        U[static_cast<size_t>(e * rows * cols + at)] = v;
      }
    }
  for (int e = 0; e < 16; ++e)
    pack_rows(U.data() + e * rows * cols, cols, false, rows, cols, packed.data() + static_cast<size_t>(e) * per);
  return packed;
}

// V[(e * cin + c) * ld + r * tw + j] = element e of B^T d B for the block d
// of tile (r, j), r < kt, of channel c; src holds channel c's rows from that
// of tile row 0 on, `plane` apart, `row` apart within.  The reads stay within
// 2 tw + 2 columns and 2 kt + 2 rows.  The last vector of a row of tiles
// ends at its last tile, overlapping the one before it (tw >= kTL).
// Returns false where a value of V is not finite (or their sum overflows):
// the transforms would then turn an infinity of the input into NaNs where
// the direct sums give infinities.
template <class R>
bool input_transform(const Grid& g, int64_t kt, const R* src, int64_t plane, int64_t row, R* V) {
  using Vt = typename TV<R>::v;
  constexpr int64_t L = kTL<R>;
  const auto lanes = std::make_index_sequence<L>{};
  const int64_t slab = g.vslab;
  Vt sum{};
  for (int64_t c = 0; c < g.cin; ++c)
    for (int64_t r = 0; r < kt; ++r)
      for (int64_t j0 = 0; j0 < g.tw; j0 += L) {
        const int64_t j = std::min(j0, g.tw - L);
        Vt t[4][4];  // t[i] = row i of the blocks times B
        for (int i = 0; i < 4; ++i) {
          const R* q = src + c * plane + (2 * r + i) * row + 2 * j;
          const Vt a = ld(q), b = ld(q + L), a2 = ld(q + 2), b2 = ld(q + 2 + L);
          const Vt e0 = deal<0>(a, b, lanes), o0 = deal<1>(a, b, lanes);
          const Vt e1 = deal<0>(a2, b2, lanes), o1 = deal<1>(a2, b2, lanes);
          t[i][0] = e0 - e1;
          t[i][1] = o0 + e1;
          t[i][2] = e1 - o0;
          t[i][3] = o0 - o1;
        }
        R* v = V + c * g.ld + r * g.tw + j;
        for (int k = 0; k < 4; ++k) {
          const Vt v0 = t[0][k] - t[2][k], v1 = t[1][k] + t[2][k], v2 = t[2][k] - t[1][k], v3 = t[1][k] - t[3][k];
          st(v + (0 + k) * slab, v0);
          st(v + (4 + k) * slab, v1);
          st(v + (8 + k) * slab, v2);
          st(v + (12 + k) * slab, v3);
          sum += (v0 + v1) + (v2 + v3);
        }
      }
  R total = 0;
  for (int64_t l = 0; l < L; ++l) total += sum[l];
  return total - total == R(0);
}

// The outputs of kt tile rows from the products M (laid out as V, cout
// channels): out holds the image's output planes from the unit's first row
// on; `rows` of them are left in the image (the last tile row may have one),
// and wo columns (the last tile may have one).
template <class R>
void output_transform(const Grid& g, int64_t kt, const R* M, const R* bias, R* out, int64_t plane, int64_t rows,
                      int64_t wo) {
  using Vt = typename TV<R>::v;
  constexpr int64_t L = kTL<R>;
  const auto lanes = std::make_index_sequence<L>{};
  const int64_t slab = g.mslab, full = wo / 2;
  for (int64_t o = 0; o < g.cout; ++o) {
    const R b0 = bias ? bias[o] : R(0);
    for (int64_t r = 0; r < kt; ++r) {
      const bool second = 2 * r + 1 < rows;
      R* y0 = out + o * plane + 2 * r * wo;
      R* y1 = y0 + wo;
      const R* m = M + o * g.ld + r * g.tw;
      for (int64_t j0 = 0; j0 < full; j0 += L) {
        const int64_t j = std::min(j0, full - L);
        Vt s0[4], s1[4];
        for (int i = 0; i < 4; ++i) {
          const Vt m0 = ld(m + (4 * i) * slab + j), m1 = ld(m + (4 * i + 1) * slab + j);
          const Vt m2 = ld(m + (4 * i + 2) * slab + j), m3 = ld(m + (4 * i + 3) * slab + j);
          s0[i] = m0 + m1 + m2;
          s1[i] = m1 - m2 - m3;
        }
        const Vt y00 = s0[0] + s0[1] + s0[2] + b0, y01 = s1[0] + s1[1] + s1[2] + b0;
        st(y0 + 2 * j, weave<0>(y00, y01, lanes));
        st(y0 + 2 * j + L, weave<1>(y00, y01, lanes));
        if (second) {
          const Vt y10 = s0[1] - s0[2] - s0[3] + b0, y11 = s1[1] - s1[2] - s1[3] + b0;
          st(y1 + 2 * j, weave<0>(y10, y11, lanes));
          st(y1 + 2 * j + L, weave<1>(y10, y11, lanes));
        }
      }
      if (wo % 2) {  // the last tile has one column
        R s[4];
        for (int i = 0; i < 4; ++i)
          s[i] = m[4 * i * slab + full] + m[(4 * i + 1) * slab + full] + m[(4 * i + 2) * slab + full];
        y0[2 * full] = s[0] + s[1] + s[2] + b0;
        if (second) y1[2 * full] = s[1] - s[2] - s[3] + b0;
      }
    }
  }
}

// out (n, cout, ho, wo) = the correlation of the planes `in` (n, cin, hi, wi),
// set at (pad, pad) in zeros, with the filters U (from `filters`), + bias.
// False, with out partly written, where the input or the filters hold a
// value that is not finite.
template <class R>
bool run(const R* in, int64_t n, int64_t hi, int64_t wi, int64_t pad, const std::vector<R>& U, const R* bias,
         int64_t cin, int64_t cout, int64_t ho, int64_t wo, R* out) {
  if (U.empty()) return false;
  Grid g{};
  g.cin = cin;
  g.cout = cout;
  g.th = (ho + 1) / 2;
  g.tw = (wo + 1) / 2;
  // About 128 tiles a unit: its transformed blocks stay in L2.
  g.kt = std::max<int64_t>(1, std::min<int64_t>(g.th, 128 / g.tw));
  g.ld = round_up(g.kt * g.tw, kCols<R>);
  g.vslab = slab<R>(cin * g.ld);
  g.mslab = slab<R>(cout * g.ld);
  const int64_t bands = (g.th + g.kt - 1) / g.kt, units = n * bands, per = static_cast<int64_t>(packed_size(cout, cin));
  const int64_t wb = 2 * g.tw + 2;  // columns a row of tiles reads
  const double cost = 2.0 * 16 * double(cin) * double(cout) * double(g.kt * g.tw);
  std::atomic<bool> finite{true};
  parallel_for(units, cost, [&](int64_t lo, int64_t hi_) {
    Scratch<R> V(static_cast<size_t>(16 * g.vslab)), M(static_cast<size_t>(16 * g.mslab)),
        stage(static_cast<size_t>(cin * (2 * g.kt + 2) * wb));
    // Columns past a unit's tiles go through the products unread: zeros, not
    // whatever the scratch held.
    std::fill(V.data(), V.data() + 16 * g.vslab, R(0));
    for (int64_t u = lo; u < hi_ && finite.load(std::memory_order_relaxed); ++u) {
      const int64_t img = u / bands, ti0 = (u % bands) * g.kt, kt = std::min(g.kt, g.th - ti0);
      const int64_t y0 = 2 * ti0, nrows = 2 * kt + 2;  // input rows the unit reads
      const R* plane0 = in + img * cin * hi * wi;
      bool ok;
      if (pad == 0 && y0 + nrows <= hi && wb <= wi) {
        ok = input_transform(g, kt, plane0 + y0 * wi, hi * wi, wi, V.data());
      } else {
        // A copy of the rows, in zeros where they leave the input.
        R* sp = stage.data();
        for (int64_t c = 0; c < cin; ++c)
          for (int64_t y = 0; y < nrows; ++y) {
            R* d = sp + (c * nrows + y) * wb;
            const int64_t sy = y0 + y - pad;
            std::fill(d, d + wb, R(0));
            if (sy < 0 || sy >= hi) continue;
            const int64_t x0 = std::min(pad, wb), len = std::max<int64_t>(0, std::min(wi, wb - pad));
            std::memcpy(d + x0, plane0 + (c * hi + sy) * wi, static_cast<size_t>(len) * sizeof(R));
          }
        ok = input_transform(g, kt, sp, nrows * wb, wb, V.data());
      }
      if (!ok) {
        finite.store(false, std::memory_order_relaxed);
        break;
      }
      for (int64_t e = 0; e < 16; ++e)
        gemm_packed(cout, g.ld, cin, U.data() + e * per, V.data() + e * g.vslab, g.ld, M.data() + e * g.mslab, g.ld);
      output_transform(g, kt, M.data(), bias, out + (img * cout * ho + y0) * wo, ho * wo, ho - y0, wo);
    }
  });
  return finite.load();
}

}  // namespace

template <class R>
bool winograd_fits(const ConvShape& s) {
  return s.kh == 3 && s.kw == 3 && s.sh == 1 && s.sw == 1 && s.n > 0 && s.c > 0 && s.o > 0 && s.ho > 0 &&
         s.wo / 2 >= kTL<R> && s.wd / 2 >= kTL<R> && s.hd >= s.ho + 2 && s.h >= s.ho + 2 && s.w >= s.wo + 2;
}

template <class R>
bool winograd_forward(const ConvShape& s, const R* A, const R* W, const R* b, R* Z) {
  return run(A, s.n, s.h, s.w, 0, filters(s, W, false), b, s.c, s.o, s.ho, s.wo, Z);
}

template <class R>
bool winograd_input_grad(const ConvShape& s, const R* W, const R* dZ, R* dA) {
  return run(dZ, s.n, s.ho, s.wo, 2, filters(s, W, true), static_cast<const R*>(nullptr), s.o, s.c, s.hd, s.wd, dA);
}

template bool winograd_fits<double>(const ConvShape&);
template bool winograd_fits<float>(const ConvShape&);
template bool winograd_forward(const ConvShape&, const double*, const double*, const double*, double*);
template bool winograd_forward(const ConvShape&, const float*, const float*, const float*, float*);
template bool winograd_input_grad(const ConvShape&, const double*, const double*, double*);
template bool winograd_input_grad(const ConvShape&, const float*, const float*, float*);

QK_ISA_END
}  // namespace qk
