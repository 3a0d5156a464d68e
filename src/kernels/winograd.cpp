#include "kernels/winograd.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <type_traits>
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

// Tiles of F(4x4, 3x3) per unit of work: its 36 blocks of inputs and of
// products stay in L2.
constexpr int64_t kTiles4 = 32;

template <class R>
using TV = Vec<R, kTileBytes>;
template <class R>
inline typename TV<R>::v ld(const R* p) {
  return load<R, kTileBytes>(p);
}
template <class R>
inline void st(R* p, typename TV<R>::v v) {
  store<R, kTileBytes>(p, v);
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

// Lanes 1, 2, ... of a, then lane X of b.
template <size_t X, class V, size_t... I>
inline V next_block(V a, V b, std::index_sequence<I...>) {
  constexpr size_t L = sizeof...(I);
  return __builtin_shufflevector(a, b, (I + 1 < L ? I + 1 : L + X)...);
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

// G g G^T for F(4x4, 3x3), 6x6 of them, in double: G's rows are
// [1/4 0 0], -[1 1 1]/6, -[1 -1 1]/6, [1 2 4]/24, [1 -2 4]/24, [0 0 1].
template <class F>
void filter_transform4(F g, double u[36]) {
  auto col = [](double a, double b, double c, double out[6]) {
    out[0] = 0.25 * a;
    out[1] = -(a + b + c) / 6.0;
    out[2] = -(a - b + c) / 6.0;
    out[3] = (a + 2.0 * b + 4.0 * c) / 24.0;
    out[4] = (a - 2.0 * b + 4.0 * c) / 24.0;
    out[5] = c;
  };
  double t[3][6];  // t[q] = G times column q of g
  for (int q = 0; q < 3; ++q) col(g(0, q), g(1, q), g(2, q), t[q]);
  for (int i = 0; i < 6; ++i) {
    double row[6];
    col(t[0][i], t[1][i], t[2][i], row);
    for (int k = 0; k < 6; ++k) u[6 * i + k] = row[k];
  }
}

// The E transformed filter matrices (cout x cin each) of F(T x T, 3x3), E =
// (T + 2)^2, packed for the products.  With `input_grad` filter (o, c)
// serves output c from input o, turned by 180 degrees.
// Empty where a transformed filter is not finite.
template <int T, class R>
std::vector<R> filters(const ConvShape& s, const R* W, bool input_grad) {
  constexpr int E = (T + 2) * (T + 2);
  const int64_t rows = input_grad ? s.c : s.o, cols = input_grad ? s.o : s.c;
  const size_t per = packed_size(rows, cols);
  std::vector<R> U(static_cast<size_t>(E * rows * cols)), packed(E * per);
  double u[E];
  for (int64_t o = 0; o < s.o; ++o)
    for (int64_t c = 0; c < s.c; ++c) {
      const R* g = W + (o * s.c + c) * 9;
      auto turned = [g](int p, int q) { return double(g[(2 - p) * 3 + 2 - q]); };
      auto plain = [g](int p, int q) { return double(g[p * 3 + q]); };
      if constexpr (T == 2) {
        if (input_grad)
          filter_transform(turned, u);
        else
          filter_transform(plain, u);
      } else {
        if (input_grad)
          filter_transform4(turned, u);
        else
          filter_transform4(plain, u);
      }
      const int64_t at = input_grad ? c * cols + o : o * cols + c;
      for (int e = 0; e < E; ++e) {
        const R v = R(u[e]);
        if (v - v != R(0)) return {};
        U[static_cast<size_t>(e * rows * cols + at)] = v;
      }
    }
  for (int e = 0; e < E; ++e)
    pack_rows(U.data() + e * rows * cols, cols, false, rows, cols, packed.data() + static_cast<size_t>(e) * per);
  return packed;
}

// Prefetches the rows that the input transform of tiles of T x T outputs
// reads first after tile row r of channel c (the next channel's first T + 2,
// or the T past this tile row's): a tile row's rows are too short for the
// hardware to fetch ahead.
template <int T, class R>
inline void prefetch_next(const Grid& g, int64_t kt, const R* src, int64_t plane, int64_t row, int64_t c, int64_t r) {
  const bool same = r + 1 < kt;
  if (!same && c + 1 >= g.cin) return;
  const R* next = same ? src + c * plane + (T * r + T + 2) * row : src + (c + 1) * plane;
  const int64_t width = T * g.tw + 2;
  for (int64_t i = 0; i < (same ? T : T + 2); ++i)
    for (int64_t x = 0; x < width; x += 64 / int64_t{sizeof(R)}) __builtin_prefetch(next + i * row + x);
}

// The loops of an input transform on tiles of T x T outputs: block(q, v)
// transforms the L tiles whose blocks start at q into V from v on, and
// returns the sum of what it wrote; false where that sum, over all tiles,
// is not finite.  The last vector of a row of tiles ends at its last tile,
// overlapping the one before it (tw >= kTL).
template <int T, class R, class Block>
bool each_tile_vector(const Grid& g, int64_t kt, const R* src, int64_t plane, int64_t row, R* V, Block block) {
  constexpr int64_t L = kTL<R>;
  typename TV<R>::v sum{};
  for (int64_t c = 0; c < g.cin; ++c)
    for (int64_t r = 0; r < kt; ++r) {
      prefetch_next<T>(g, kt, src, plane, row, c, r);
      for (int64_t j0 = 0; j0 < g.tw; j0 += L) {
        const int64_t j = std::min(j0, g.tw - L);
        sum += block(src + c * plane + T * r * row + T * j, V + c * g.ld + r * g.tw + j);
      }
    }
  R total = 0;
  for (int64_t l = 0; l < L; ++l) total += sum[l];
  return total - total == R(0);
}

// V[(e * cin + c) * ld + r * tw + j] = element e of B^T d B for the block d
// of tile (r, j), r < kt, of channel c; src holds channel c's rows from that
// of tile row 0 on, `plane` apart, `row` apart within.  The reads stay within
// 2 tw + 2 columns and 2 kt + 2 rows.  Returns false where a value of V is
// not finite (or their sum overflows): the transforms would then turn an
// infinity of the input into NaNs where the direct sums give infinities.
template <class R>
bool input_transform(const Grid& g, int64_t kt, const R* src, int64_t plane, int64_t row, R* V) {
  using Vt = typename TV<R>::v;
  constexpr int64_t L = kTL<R>;
  const auto lanes = std::make_index_sequence<L>{};
  const int64_t slab = g.vslab;
  return each_tile_vector<2>(g, kt, src, plane, row, V, [&](const R* q0, R* v) {
    Vt t[4][4];  // t[i] = row i of the blocks times B
    for (int i = 0; i < 4; ++i) {
      const R* q = q0 + i * row;
      const Vt a = ld(q), b = ld(q + L), a2 = ld(q + 2), b2 = ld(q + 2 + L);
      const Vt e0 = deal<0>(a, b, lanes), o0 = deal<1>(a, b, lanes);
      const Vt e1 = deal<0>(a2, b2, lanes), o1 = deal<1>(a2, b2, lanes);
      t[i][0] = e0 - e1;
      t[i][1] = o0 + e1;
      t[i][2] = e1 - o0;
      t[i][3] = o0 - o1;
    }
    Vt sum{};
    for (int k = 0; k < 4; ++k) {
      const Vt v0 = t[0][k] - t[2][k], v1 = t[1][k] + t[2][k], v2 = t[2][k] - t[1][k], v3 = t[1][k] - t[3][k];
      st(v + (0 + k) * slab, v0);
      st(v + (4 + k) * slab, v1);
      st(v + (8 + k) * slab, v2);
      st(v + (12 + k) * slab, v3);
      sum += (v0 + v1) + (v2 + v3);
    }
    return sum;
  });
}

// Whether every lane of v is 0 (and not NaN).
template <class V>
inline bool finite_lanes(V v) {
  bool zero = true;
  for (size_t l = 0; l < sizeof(V) / sizeof(v[0]); ++l) zero = zero && v[l] == 0;
  return zero;
}

// The outputs of kt tile rows from the products M (laid out as V, cout
// channels): out holds the image's output planes from the unit's first row
// on; `rows` of them are left in the image (the last tile row may have one),
// and wo columns (the last tile may have one).  False where an output is not
// finite: with finite inputs only the transforms' sums can have overflowed,
// where the direct sums may not, and the caller takes another path.
template <class R>
bool output_transform(const Grid& g, int64_t kt, const R* M, const R* bias, R* out, int64_t plane, int64_t rows,
                      int64_t wo) {
  using Vt = typename TV<R>::v;
  constexpr int64_t L = kTL<R>;
  const auto lanes = std::make_index_sequence<L>{};
  const int64_t slab = g.mslab, full = wo / 2;
  Vt bad{};  // y - y over the outputs: 0 while they are finite, NaN after
  R bad_tail = 0;
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
        bad += (y00 - y00) + (y01 - y01);
        st(y0 + 2 * j, weave<0>(y00, y01, lanes));
        st(y0 + 2 * j + L, weave<1>(y00, y01, lanes));
        if (second) {
          const Vt y10 = s0[1] - s0[2] - s0[3] + b0, y11 = s1[1] - s1[2] - s1[3] + b0;
          bad += (y10 - y10) + (y11 - y11);
          st(y1 + 2 * j, weave<0>(y10, y11, lanes));
          st(y1 + 2 * j + L, weave<1>(y10, y11, lanes));
        }
      }
      if (wo % 2) {  // the last tile has one column
        R s[4];
        for (int i = 0; i < 4; ++i)
          s[i] = m[4 * i * slab + full] + m[(4 * i + 1) * slab + full] + m[(4 * i + 2) * slab + full];
        y0[2 * full] = s[0] + s[1] + s[2] + b0;
        bad_tail += y0[2 * full] - y0[2 * full];
        if (second) {
          y1[2 * full] = s[1] - s[2] - s[3] + b0;
          bad_tail += y1[2 * full] - y1[2 * full];
        }
      }
    }
  }
  return finite_lanes(bad) && bad_tail == R(0);
}

// The same for F(4x4, 3x3) in double: the 6x6 input block of tile (i, j)
// at rows 4i.., columns 4j.., 36 elements of B^T d B, with B^T's rows
// [4 0 -5 0 1 0], [0 -4 -4 1 1 0], [0 4 -4 -1 1 0], [0 -2 -1 2 1 0],
// [0 2 -1 -2 1 0], [0 4 0 -5 0 1].  The reads stay within 4 tw + 2 columns
// and 4 kt + 2 rows.
template <class Vt>
inline void bt6(const Vt p[6], Vt t[6]) {
  const Vt a = p[4] - p[2], b = p[3] - p[1];
  t[0] = 4 * (p[0] - p[2]) + (p[4] - p[2]);
  t[1] = (p[3] + p[4]) - 4 * (p[1] + p[2]);
  t[2] = (p[4] - p[3]) + 4 * (p[1] - p[2]);
  t[3] = a + 2 * b;
  t[4] = a - 2 * b;
  t[5] = 4 * (p[1] - p[3]) + (p[5] - p[3]);
}

template <class R>
bool input_transform4(const Grid& g, int64_t kt, const R* src, int64_t plane, int64_t row, R* V) {
  using Vt = typename TV<R>::v;
  constexpr int64_t L = kTL<R>;
  const auto lanes = std::make_index_sequence<L>{};
  const int64_t slab = g.vslab;
  return each_tile_vector<4>(g, kt, src, plane, row, V, [&](const R* q0, R* v) {
    Vt t[6][6];  // t[i] = row i of the blocks times B
    for (int i = 0; i < 6; ++i) {
      const R* q = q0 + i * row;
      // Columns 4l + k of the L blocks, k < 4 from four vectors; k = 4, 5
      // are those of k = 0, 1 one block on, the last from a vector that
      // ends at the last block's last column.
      const Vt a = ld(q), b = ld(q + L), c = ld(q + 2 * L), d = ld(q + 3 * L), x = ld(q + 3 * L + 2);
      const Vt ea = deal<0>(a, b, lanes), oa = deal<1>(a, b, lanes);
      const Vt ec = deal<0>(c, d, lanes), oc = deal<1>(c, d, lanes);
      Vt p[6];
      p[0] = deal<0>(ea, ec, lanes);
      p[1] = deal<0>(oa, oc, lanes);
      p[2] = deal<1>(ea, ec, lanes);
      p[3] = deal<1>(oa, oc, lanes);
      p[4] = next_block<L - 2>(p[0], x, lanes);
      p[5] = next_block<L - 1>(p[1], x, lanes);
      bt6(p, t[i]);
    }
    Vt sum{};
    for (int k = 0; k < 6; ++k) {
      const Vt col[6] = {t[0][k], t[1][k], t[2][k], t[3][k], t[4][k], t[5][k]};
      Vt out[6];
      bt6(col, out);
      for (int i = 0; i < 6; ++i) st(v + (6 * i + k) * slab, out[i]);
      sum += ((out[0] + out[1]) + (out[2] + out[3])) + (out[4] + out[5]);
    }
    return sum;
  });
}

// A^T m for one column of 6 products: A^T's rows [1 1 1 1 1 0],
// [0 1 -1 2 -2 0], [0 1 1 4 4 0], [0 1 -1 8 -8 1].
template <class V>
inline void at6(const V m[6], V y[4]) {
  const V a = m[1] + m[2], b = m[1] - m[2], c = m[3] + m[4], d = m[3] - m[4];
  y[0] = m[0] + a + c;
  y[1] = b + 2 * d;
  y[2] = a + 4 * c;
  y[3] = b + 8 * d + m[5];
}

// The outputs of kt tile rows from the products M of F(4x4, 3x3), as
// output_transform: `rows` output rows left in the image, wo columns (the
// last tile may have 1 to 3); false likewise where an output is not finite.
template <class R>
bool output_transform4(const Grid& g, int64_t kt, const R* M, const R* bias, R* out, int64_t plane, int64_t rows,
                       int64_t wo) {
  using Vt = typename TV<R>::v;
  constexpr int64_t L = kTL<R>;
  const auto lanes = std::make_index_sequence<L>{};
  const int64_t slab = g.mslab, full = wo / 4, rest = wo % 4;
  Vt bad{};
  R bad_tail = 0;
  for (int64_t o = 0; o < g.cout; ++o) {
    const R b0 = bias ? bias[o] : R(0);
    for (int64_t r = 0; r < kt; ++r) {
      const int64_t nr = std::min<int64_t>(4, rows - 4 * r);
      R* y0 = out + o * plane + 4 * r * wo;
      const R* m = M + o * g.ld + r * g.tw;
      for (int64_t j0 = 0; j0 < full; j0 += L) {
        const int64_t j = std::min(j0, full - L);
        Vt s[4][6];  // s[k][i]: column k of A^T applied to row i
        for (int i = 0; i < 6; ++i) {
          Vt row[6], y[4];
          for (int k = 0; k < 6; ++k) row[k] = ld(m + (6 * i + k) * slab + j);
          at6(row, y);
          for (int k = 0; k < 4; ++k) s[k][i] = y[k];
        }
        Vt y[4][4];  // y[k][yr]: output row yr, column 4l + k
        for (int k = 0; k < 4; ++k) {
          at6(s[k], y[k]);
          for (int yr = 0; yr < 4; ++yr) {
            y[k][yr] += b0;
            bad += y[k][yr] - y[k][yr];
          }
        }
        for (int64_t yr = 0; yr < nr; ++yr) {
          // Lanes l of y[0..3] to columns 4l..4l+3.
          const Vt a = weave<0>(y[0][yr], y[2][yr], lanes), b = weave<1>(y[0][yr], y[2][yr], lanes);
          const Vt c = weave<0>(y[1][yr], y[3][yr], lanes), d = weave<1>(y[1][yr], y[3][yr], lanes);
          R* dst = y0 + yr * wo + 4 * j;
          st(dst, weave<0>(a, c, lanes));
          st(dst + L, weave<1>(a, c, lanes));
          st(dst + 2 * L, weave<0>(b, d, lanes));
          st(dst + 3 * L, weave<1>(b, d, lanes));
        }
      }
      if (rest) {  // the last tile has 1 to 3 columns
        R s[4][6];
        for (int i = 0; i < 6; ++i) {
          R row[6], y[4];
          for (int k = 0; k < 6; ++k) row[k] = m[(6 * i + k) * slab + full];
          at6(row, y);
          for (int k = 0; k < 4; ++k) s[k][i] = y[k];
        }
        for (int64_t k = 0; k < rest; ++k) {
          R y[4];
          at6(s[k], y);
          for (int64_t yr = 0; yr < nr; ++yr) {
            const R v = y[yr] + b0;
            y0[yr * wo + 4 * full + k] = v;
            bad_tail += v - v;
          }
        }
      }
    }
  }
  return finite_lanes(bad) && bad_tail == R(0);
}

// Rows [y0, y0 + nrows) of one image's planes (ch of them, hi x wi), set at
// (pad, pad) in zeros, as planes of nrows x wb: zeros where they leave the input.
template <class R>
void stage_rows(const R* planes, int64_t ch, int64_t hi, int64_t wi, int64_t pad, int64_t y0, int64_t nrows, int64_t wb,
                R* out) {
  for (int64_t c = 0; c < ch; ++c)
    for (int64_t y = 0; y < nrows; ++y) {
      R* d = out + (c * nrows + y) * wb;
      const int64_t sy = y0 + y - pad;
      std::fill(d, d + wb, R(0));
      if (sy < 0 || sy >= hi) continue;
      const int64_t x0 = std::min(pad, wb), len = std::max<int64_t>(0, std::min(wi, wb - pad));
      std::memcpy(d + x0, planes + (c * hi + sy) * wi, static_cast<size_t>(len) * sizeof(R));
    }
}

// V of the unit of kt tile rows from tile row ti0 of image img of `in` (the
// planes of run() below), tiles of T x T outputs: in place where the unit's
// rows lie inside the input, else through a copy in `stage`.
template <int T, class R>
bool unit_input(const Grid& g, int64_t kt, const R* in, int64_t img, int64_t hi, int64_t wi, int64_t pad, int64_t ti0,
                R* stage, R* V) {
  const int64_t y0 = T * ti0, nrows = T * kt + 2, wb = T * g.tw + 2;
  const R* planes = in + img * g.cin * hi * wi;
  auto transform = [&](const R* src, int64_t plane, int64_t row) {
    if constexpr (T == 2)
      return input_transform(g, kt, src, plane, row, V);
    else
      return input_transform4(g, kt, src, plane, row, V);
  };
  if (pad == 0 && y0 + nrows <= hi && wb <= wi) return transform(planes + y0 * wi, hi * wi, wi);
  stage_rows(planes, g.cin, hi, wi, pad, y0, nrows, wb, stage);
  return transform(stage, nrows * wb, wb);
}

// The tiles of T x T outputs of a unit and its scratch, shared by the
// passes below.
template <int T, class R>
Grid grid(int64_t cin, int64_t cout, int64_t ho, int64_t wo) {
  Grid g{};
  g.cin = cin;
  g.cout = cout;
  g.th = (ho + T - 1) / T;
  g.tw = (wo + T - 1) / T;
  // About 128 tiles of 2x2 a unit, 32 of 4x4: its transformed blocks stay in L2.
  g.kt = std::max<int64_t>(1, std::min<int64_t>(g.th, (T == 2 ? 128 : kTiles4) / g.tw));
  g.ld = round_up(g.kt * g.tw, kCols<R>);
  g.vslab = slab<R>(cin * g.ld);
  g.mslab = slab<R>(cout * g.ld);
  return g;
}

// out (n, cout, ho, wo) = the correlation of the planes `in` (n, cin, hi, wi),
// set at (pad, pad) in zeros, with the filters U (from `filters<T>`), + bias,
// by F(T x T, 3x3).  False, with out partly written, where the input or the
// filters hold a value that is not finite, or an output overflowed.
template <int T, class R>
bool run(const R* in, int64_t n, int64_t hi, int64_t wi, int64_t pad, const std::vector<R>& U, const R* bias,
         int64_t cin, int64_t cout, int64_t ho, int64_t wo, R* out) {
  constexpr int64_t E = (T + 2) * (T + 2);
  if (U.empty()) return false;
  const Grid g = grid<T, R>(cin, cout, ho, wo);
  const int64_t bands = (g.th + g.kt - 1) / g.kt, units = n * bands, per = static_cast<int64_t>(packed_size(cout, cin));
  const int64_t wb = T * g.tw + 2;  // columns a row of tiles reads
  const double cost = 2.0 * E * double(cin) * double(cout) * double(g.kt * g.tw);
  std::atomic<bool> finite{true};
  parallel_for(units, cost, [&](int64_t lo, int64_t hi_) {
    Scratch<R> V(static_cast<size_t>(E * g.vslab)), M(static_cast<size_t>(E * g.mslab)),
        stage(static_cast<size_t>(cin * (T * g.kt + 2) * wb));
    // Columns past a unit's tiles go through the products unread: zeros, not
    // whatever the scratch held.
    std::fill(V.data(), V.data() + E * g.vslab, R(0));
    for (int64_t u = lo; u < hi_ && finite.load(std::memory_order_relaxed); ++u) {
      const int64_t img = u / bands, ti0 = (u % bands) * g.kt, kt = std::min(g.kt, g.th - ti0);
      const int64_t y0 = T * ti0;
      const bool ok = unit_input<T>(g, kt, in, img, hi, wi, pad, ti0, stage.data(), V.data());
      if (!ok) {
        finite.store(false, std::memory_order_relaxed);
        break;
      }
      for (int64_t e = 0; e < E; ++e)
        gemm_packed(cout, g.ld, cin, U.data() + e * per, V.data() + e * g.vslab, g.ld, M.data() + e * g.mslab, g.ld);
      R* dst = out + (img * cout * ho + y0) * wo;
      bool done;
      if constexpr (T == 2)
        done = output_transform(g, kt, M.data(), bias, dst, ho * wo, ho - y0, wo);
      else
        done = output_transform4(g, kt, M.data(), bias, dst, ho * wo, ho - y0, wo);
      if (!done) {
        finite.store(false, std::memory_order_relaxed);
        break;
      }
    }
  });
  return finite.load();
}

// Q[e * qslab + (r * tw + j) * ldq + o] = element e of A dy A^T for the 2x2
// block dy of output gradients of tile (r, j), r < kt, in channel o < cout
// (columns from cout to ldq get copies of the last channel's); src holds
// channel o's rows of dZ from that of tile row 0 on, `plane` apart, `row`
// apart within, 2 tw columns and 2 kt rows read.  Tile by channel, so that
// the products below take the tiles as their inner dimension.  False where
// dZ holds a value that is not finite.
template <class R>
bool grad_transform(const Grid& g, int64_t kt, const R* src, int64_t plane, int64_t row, int64_t ldq, int64_t qslab,
                    R* Q) {
  using Vt = typename TV<R>::v;
  constexpr int64_t L = kTL<R>;
  const auto lanes = std::make_index_sequence<L>{};
  Vt sum{};
  Vt q[16][L];
  for (int64_t r = 0; r < kt; ++r)
    for (int64_t j0 = 0; j0 < g.tw; j0 += L) {
      const int64_t j = std::min(j0, g.tw - L);
      for (int64_t o0 = 0; o0 < g.cout; o0 += L) {
        for (int64_t oo = 0; oo < L; ++oo) {
          const R* p = src + std::min(o0 + oo, g.cout - 1) * plane + 2 * r * row + 2 * j;
          const Vt a = ld(p), b = ld(p + L), c = ld(p + row), d = ld(p + row + L);
          const Vt y00 = deal<0>(a, b, lanes), y01 = deal<1>(a, b, lanes);
          const Vt y10 = deal<0>(c, d, lanes), y11 = deal<1>(c, d, lanes);
          sum += (y00 + y01) + (y10 + y11);
          // A dy: the rows y0, y0 + y1, y0 - y1, -y1; then the same along each row.
          const Vt u[4] = {y00, y00 + y10, y00 - y10, -y10}, w[4] = {y01, y01 + y11, y01 - y11, -y11};
          for (int i = 0; i < 4; ++i) {
            q[4 * i][oo] = u[i];
            q[4 * i + 1][oo] = u[i] + w[i];
            q[4 * i + 2][oo] = u[i] - w[i];
            q[4 * i + 3][oo] = -w[i];
          }
        }
        for (int e = 0; e < 16; ++e) {
          transpose_lanes(q[e]);
          R* dst = Q + e * qslab + (r * g.tw + j) * ldq + o0;
          for (int64_t t = 0; t < L; ++t) st(dst + t * ldq, q[e][t]);
        }
      }
    }
  R total = 0;
  for (int64_t l = 0; l < L; ++l) total += sum[l];
  return total - total == R(0);
}

// dW (o, c, 3, 3) from A (the forward input) and dZ: for each of the 16
// elements e, dU_e (c x o) = the sum over tiles of V_e (c x tiles) @ Q_e
// (tiles x o), then dW = G^T dU G.  A unit's products are summed in R, the
// units in double.  False where A or dZ holds a value that is not finite.
template <class R>
bool weight_grad(const ConvShape& s, const R* A, const R* dZ, R* dW) {
  const Grid g = grid<2, R>(s.c, s.o, s.ho, s.wo);
  const int64_t bands = (g.th + g.kt - 1) / g.kt, units = s.n * bands, wb = 2 * g.tw + 2, wq = 2 * g.tw;
  const int64_t ldq = round_up(s.o, kCols<R>), qslab = slab<R>(g.kt * g.tw * ldq), per = s.c * ldq;
  const int threads = static_cast<int>(std::min<int64_t>(units, num_threads()));
  std::vector<double> acc(static_cast<size_t>(threads * 16 * per), 0.0);
  std::atomic<bool> finite{true};
  const int64_t per_thread = (units + threads - 1) / threads;
  parallel_for(threads, 1e9, [&](int64_t lo, int64_t hi) {
    Scratch<R> V(static_cast<size_t>(16 * g.vslab)), Q(static_cast<size_t>(16 * qslab)),
        P(static_cast<size_t>(16 * per)),
        stage(static_cast<size_t>(std::max(s.c * (2 * g.kt + 2) * wb, s.o * 2 * g.kt * wq)));
    // The transform writes channels in groups of kTL: the columns past the
    // last group go through the products unread, as zeros.
    const int64_t written = round_up(s.o, kTL<R>);
    for (int64_t e = 0; e < 16; ++e)
      for (int64_t t = 0; t < g.kt * g.tw; ++t) {
        R* q = Q.data() + e * qslab + t * ldq;
        std::fill(q + written, q + ldq, R(0));
      }
    for (int64_t th = lo; th < hi; ++th) {
      double* mine = acc.data() + th * 16 * per;
      for (int64_t u = th * per_thread; u < std::min(units, (th + 1) * per_thread); ++u) {
        if (!finite.load(std::memory_order_relaxed)) return;
        const int64_t img = u / bands, ti0 = (u % bands) * g.kt, kt = std::min(g.kt, g.th - ti0), y0 = 2 * ti0;
        bool ok = unit_input<2>(g, kt, A, img, s.h, s.w, 0, ti0, stage.data(), V.data());
        const R* dz = dZ + img * s.o * s.ho * s.wo;
        if (y0 + 2 * kt <= s.ho && wq <= s.wo) {
          ok = grad_transform(g, kt, dz + y0 * s.wo, s.ho * s.wo, s.wo, ldq, qslab, Q.data()) && ok;
        } else {
          stage_rows(dz, s.o, s.ho, s.wo, 0, y0, 2 * kt, wq, stage.data());
          ok = grad_transform(g, kt, stage.data(), 2 * kt * wq, wq, ldq, qslab, Q.data()) && ok;
        }
        if (!ok) {
          finite.store(false, std::memory_order_relaxed);
          return;
        }
        const int64_t tiles = kt * g.tw;
        for (int64_t e = 0; e < 16; ++e)
          gemm_rows(s.c, ldq, tiles, V.data() + e * g.vslab, g.ld, Q.data() + e * qslab, ldq, P.data() + e * per, ldq);
        for (int64_t k = 0; k < 16 * per; ++k) mine[k] += P[static_cast<size_t>(k)];
      }
    }
  });
  if (!finite.load()) return false;
  for (int64_t o = 0; o < s.o; ++o)
    for (int64_t c = 0; c < s.c; ++c) {
      double du[16], t[3][4];
      for (int e = 0; e < 16; ++e) {
        double v = 0.0;
        for (int th = 0; th < threads; ++th) v += acc[static_cast<size_t>((th * 16 + e) * per + c * ldq + o)];
        du[e] = v;
      }
      // G^T dU G, G^T = [[1, 1/2, 1/2, 0], [0, 1/2, -1/2, 0], [0, 1/2, 1/2, 1]].
      for (int k = 0; k < 4; ++k) {
        t[0][k] = du[k] + 0.5 * (du[4 + k] + du[8 + k]);
        t[1][k] = 0.5 * (du[4 + k] - du[8 + k]);
        t[2][k] = 0.5 * (du[4 + k] + du[8 + k]) + du[12 + k];
      }
      R* w = dW + (o * s.c + c) * 9;
      for (int p = 0; p < 3; ++p) {
        w[p * 3 + 0] = R(t[p][0] + 0.5 * (t[p][1] + t[p][2]));
        w[p * 3 + 1] = R(0.5 * (t[p][1] - t[p][2]));
        w[p * 3 + 2] = R(0.5 * (t[p][1] + t[p][2]) + t[p][3]);
      }
    }
  return true;
}

}  // namespace

template <class R>
bool winograd_weight_grad(const ConvShape& s, const R* A, const R* dZ, R* dW) {
  return weight_grad(s, A, dZ, dW);
}

template <class R>
bool winograd_fits(const ConvShape& s) {
  return s.kh == 3 && s.kw == 3 && s.sh == 1 && s.sw == 1 && s.n > 0 && s.c > 0 && s.o > 0 && s.ho > 0 &&
         s.wo / 2 >= kTL<R> && s.wd / 2 >= kTL<R> && s.hd >= s.ho + 2 && s.h >= s.ho + 2 && s.w >= s.wo + 2;
}

// Double takes F(4x4, 3x3), a quarter of the direct sums' multiplications
// instead of 4/9, where rows of outputs hold a vector of its tiles, an image
// at least 16 of them (a unit of work is never more than one image: fewer
// tiles leave the products too narrow), and its 36 filter matrices fit in
// 512 KiB, half of a 1 MiB L2, beside the unit's blocks (a unit's products
// read them all).
template <class R>
bool winograd_wide(int64_t h, int64_t w, int64_t cin, int64_t cout) {
  const int64_t tiles = ((h + 3) / 4) * ((w + 3) / 4);
  return std::is_same_v<R, double> && w / 4 >= kTL<R> && tiles >= 16 &&
         36 * cin * cout * int64_t{sizeof(R)} <= 512 * 1024;
}

template <class R>
bool winograd_forward(const ConvShape& s, const R* A, const R* W, const R* b, R* Z) {
  if (winograd_wide<R>(s.ho, s.wo, s.c, s.o))
    return run<4>(A, s.n, s.h, s.w, 0, filters<4>(s, W, false), b, s.c, s.o, s.ho, s.wo, Z);
  return run<2>(A, s.n, s.h, s.w, 0, filters<2>(s, W, false), b, s.c, s.o, s.ho, s.wo, Z);
}

template <class R>
bool winograd_input_grad(const ConvShape& s, const R* W, const R* dZ, R* dA) {
  const R* none = nullptr;
  if (winograd_wide<R>(s.hd, s.wd, s.o, s.c))
    return run<4>(dZ, s.n, s.ho, s.wo, 2, filters<4>(s, W, true), none, s.o, s.c, s.hd, s.wd, dA);
  return run<2>(dZ, s.n, s.ho, s.wo, 2, filters<2>(s, W, true), none, s.o, s.c, s.hd, s.wd, dA);
}

template bool winograd_wide<double>(int64_t, int64_t, int64_t, int64_t);
template bool winograd_wide<float>(int64_t, int64_t, int64_t, int64_t);
template bool winograd_fits<double>(const ConvShape&);
template bool winograd_fits<float>(const ConvShape&);
template bool winograd_forward(const ConvShape&, const double*, const double*, const double*, double*);
template bool winograd_forward(const ConvShape&, const float*, const float*, const float*, float*);
template bool winograd_input_grad(const ConvShape&, const double*, const double*, double*);
template bool winograd_input_grad(const ConvShape&, const float*, const float*, float*);
template bool winograd_weight_grad(const ConvShape&, const double*, const double*, double*);
template bool winograd_weight_grad(const ConvShape&, const float*, const float*, float*);

QK_ISA_END
}  // namespace qk
