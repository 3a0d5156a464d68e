#include "kernels/rnn.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "kernels/gemm.hpp"
#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

namespace {

constexpr int64_t kDepth = 256;  // rows of B per pass: a kDepth x kTaskCols block stays in L2
template <class R>
constexpr int64_t kTaskCols = 8 * kCols<R>;  // columns of C per task

// p(x) with coefficients from the highest power down, written out in full
// (a loop over a list of constants keeps the gate loops from vectorising).
template <class T, class... C>
inline T horner(T x, T p, C... c) {
  ((p = p * x + c), ...);
  return p;
}

// exp, sigmoid and tanh without library calls or branches, so that the gate
// loops vectorise; within a few units in the last place of the library's.
// exp: x = k ln 2 + r with |r| <= ln 2 / 2, exp(r) by its Taylor series to
// r^13 (the next term is below 1e-17), 2^k built in the exponent bits (k comes
// from rounding by adding 1.5 * 2^52, which leaves it in the low bits).
inline double exp_(double x) {
  x = std::min(std::max(x, -708.0), 709.0);   // NaN passes through
  const double shifter = 6755399441055744.0;  // 1.5 * 2^52
  const double t = x * 1.4426950408889634 + shifter, k = t - shifter;
  const double r = (x - k * 6.93147180369123816490e-01) - k * 1.90821492927058770002e-10;
  const double p = horner(r, 1.0 / 6227020800.0, 1.0 / 479001600.0, 1.0 / 39916800.0, 1.0 / 3628800.0, 1.0 / 362880.0,
                          1.0 / 40320.0, 1.0 / 5040.0, 1.0 / 720.0, 1.0 / 120.0, 1.0 / 24.0, 1.0 / 6.0, 0.5, 1.0, 1.0);
  const uint64_t bits = (__builtin_bit_cast(uint64_t, t) + 1023) << 52;
  return p * __builtin_bit_cast(double, bits);
}

inline double sigmoid(double x) {
  const double e = exp_(-std::fabs(x));  // in (0, 1]: never overflows
  return (x >= 0.0 ? 1.0 : e) / (1.0 + e);
}

// tanh |x| = expm1(2|x|) / (expm1(2|x|) + 2), expm1 by its Taylor series below
// 1 (to y^17; no cancellation near 0) and through exp above.
inline double tanh_(double x) {
  const double y = std::min(2.0 * std::fabs(x), 40.0);  // tanh(20) rounds to 1
  const double s =
      horner(y, 1.0 / 355687428096000.0, 1.0 / 20922789888000.0, 1.0 / 1307674368000.0, 1.0 / 87178291200.0,
             1.0 / 6227020800.0, 1.0 / 479001600.0, 1.0 / 39916800.0, 1.0 / 3628800.0, 1.0 / 362880.0, 1.0 / 40320.0,
             1.0 / 5040.0, 1.0 / 720.0, 1.0 / 120.0, 1.0 / 24.0, 1.0 / 6.0, 0.5, 1.0);
  // Both sides taken, then one chosen: a select, not a branch.
  const double below = s * y, above = exp_(y) - 1.0;
  const double m = y < 1.0 ? below : above;
  const double v = m / (m + 2.0);
  return x < 0.0 ? -v : (x == x ? v : x);
}

// The same in float, for float layers: twice the lanes and half the terms,
// within a few units in float's last place.  exp scales by 2^k in two
// factors, so that results down to float's smallest subnormals come out.
inline float exp_(float x) {
  x = std::min(std::max(x, -104.0f), 88.8f);  // exp(-104) rounds to 0, exp(88.8) to inf; NaN passes
  const float shifter = 12582912.0f;          // 1.5 * 2^23
  const float t = x * 1.44269504f + shifter, k = t - shifter;
  const float r = (x - k * 0.693359375f) + k * 2.12194440e-4f;
  const float p = horner(r, 1.0f / 5040.0f, 1.0f / 720.0f, 1.0f / 120.0f, 1.0f / 24.0f, 1.0f / 6.0f, 0.5f, 1.0f, 1.0f);
  // k from the low bits of t, as exp_(double) takes it
  const int32_t ki = __builtin_bit_cast(int32_t, t) - __builtin_bit_cast(int32_t, shifter), k1 = ki / 2, k2 = ki - k1;
  const float s1 = __builtin_bit_cast(float, uint32_t(k1 + 127) << 23);
  const float s2 = __builtin_bit_cast(float, uint32_t(k2 + 127) << 23);
  return p * s1 * s2;
}

inline float sigmoid(float x) {
  const float e = exp_(-std::fabs(x));
  return (x >= 0.0f ? 1.0f : e) / (1.0f + e);
}

// In float, one expm1 serves every |x|: with y = k ln 2 + r, expm1(y) =
// 2^k expm1(r) + (2^k - 1), expm1(r) by its Taylor series (|r| <= ln 2 / 2),
// so there is no second series to take below 1 (and half the work).
inline float tanh_(float x) {
  const float y = std::min(2.0f * std::fabs(x), 20.0f);  // tanh(10) rounds to 1
  const float shifter = 12582912.0f;                     // 1.5 * 2^23, as in exp_
  const float t = y * 1.44269504f + shifter, k = t - shifter;
  const float r = (y - k * 0.693359375f) + k * 2.12194440e-4f;
  const float e = r * horner(r, 1.0f / 5040.0f, 1.0f / 720.0f, 1.0f / 120.0f, 1.0f / 24.0f, 1.0f / 6.0f, 0.5f, 1.0f);
  const int32_t ki = __builtin_bit_cast(int32_t, t) - __builtin_bit_cast(int32_t, shifter);  // k, at most 29
  const float s = __builtin_bit_cast(float, uint32_t(ki + 127) << 23);                       // 2^k
  const float m = s * e + (s - 1.0f);
  const float v = m / (m + 2.0f);
  return x < 0.0f ? -v : (x == x ? v : x);
}

size_t sz(int64_t n) { return static_cast<size_t>(n); }

// A row stride for rows of n elements, one cache line longer when the rows
// would lie a multiple of 1 KiB apart: a block read down such rows falls
// into a few sets of L1 and evicts itself.
template <class R>
int64_t skewed(int64_t n) {
  return n * int64_t(sizeof(R)) % 1024 == 0 ? n + 64 / int64_t(sizeof(R)) : n;
}

// Batch rows per task of a recurrent step.  AVX2's panels of 6 would split a
// batch of 32 rows 18/14 between two threads; panels of 4 split it 16/16.
constexpr int64_t kStepRows = kMR == 6 ? 4 : kMR;

// C = A @ B (or C += A @ B) for a step's rows, as gemm_rows computes it.
template <class R>
void step_product(int64_t M, int64_t N, int64_t K, const R* A, int64_t lda, const R* B, int64_t ldb, R* C, int64_t ldc,
                  bool accumulate) {
  if constexpr (kStepRows == kMR)
    gemm_rows(M, N, K, A, lda, B, ldb, C, ldc, accumulate);
  else
    gemm_rows4(M, N, K, A, lda, B, ldb, C, ldc, accumulate);
}

// One lookup of an embedding row: the row and where in the batch it was made.
// (A type of this level's namespace, so the sort made for it is this level's.)
struct Lookup {
  int64_t row, at;
};

// C (M x N, row stride ldc) = A @ B, or C += A @ B with `accumulate`, for A
// (M x K, row stride lda, read in place) and B (K x N, row stride ldb).
// Columns that fill no whole block of the kernel go through padded copies.
template <class R>
void mm(int64_t M, int64_t N, int64_t K, const R* A, int64_t lda, const R* B, int64_t ldb, R* C, int64_t ldc,
        bool accumulate) {
  if (M <= 0 || N <= 0) return;
  if (K <= 0) {
    if (!accumulate)
      for (int64_t i = 0; i < M; ++i) std::fill(C + i * ldc, C + i * ldc + N, R(0));
    return;
  }
  const int64_t Np = round_up(N, kCols<R>), panels = round_up(M, kMR) / kMR;
  std::unique_ptr<Scratch<R>> bpad, cpad;
  const R* b = B;
  R* c = C;
  int64_t ldb_ = ldb, ldc_ = ldc;
  if (Np != N) {
    bpad.reset(new Scratch<R>(sz(K * Np)));
    R* bp = bpad->data();
    for (int64_t k = 0; k < K; ++k) {
      std::memcpy(bp + k * Np, B + k * ldb, sz(N) * sizeof(R));
      std::fill(bp + k * Np + N, bp + (k + 1) * Np, R(0));
    }
    cpad.reset(new Scratch<R>(sz(M * Np)));
    b = bp;
    c = cpad->data();
    ldb_ = ldc_ = Np;
  }
  const bool acc = accumulate && c == C;
  const int64_t cols = std::min(kTaskCols<R>, Np), blocks = (Np + cols - 1) / cols;
  parallel_for(panels * blocks, 2.0 * double(kMR) * double(cols) * double(K), [&](int64_t lo, int64_t hi) {
    for (int64_t k0 = 0; k0 < K; k0 += kDepth) {
      const int64_t kb = std::min(kDepth, K - k0);
      for (int64_t task = lo; task < hi; ++task) {
        const int64_t j = (task / panels) * cols, p = task % panels, rows = std::min(kMR, M - p * kMR);
        R* cb = c + p * kMR * ldc_ + j;
        gemm_rows(rows, std::min(cols, Np - j), kb, A + p * kMR * lda + k0, lda, b + k0 * ldb_ + j, ldb_, cb, ldc_,
                  acc || k0 > 0);
      }
    }
  });
  if (c != C)
    for (int64_t i = 0; i < M; ++i) {
      R* dst = C + i * ldc;
      const R* src = c + i * ldc_;
      if (accumulate)
        for (int64_t n = 0; n < N; ++n) dst[n] += src[n];
      else
        std::memcpy(dst, src, sz(N) * sizeof(R));
    }
}

// The weight gradients of every step at once,
//   dW_ih = dgx^T @ X  and  dW_hh = dgh^T @ h_prev,
// h_prev being the state each row's step started from, in one pass over the
// gate gradients: each worker takes whole panels of kMR gates through every
// block of kDepth rows, packing a panel of dgx^T once for both products (the
// GRU's dgh^T apart) and for the bias gradients, the packed panel's sums in
// double.  Each block of X and of h_prev is first copied into a worker's own
// contiguous, zero-padded rows, which every panel then reads from L2.  For
// float each block is summed in float and the blocks are added in double, as
// the convolutions' weight gradients are.
template <class R>
void weight_grads(const RnnShape& s, const R* X, const R* h0, const R* saved, const R* dgx, const R* dgh, int64_t ldg,
                  R* dW_ih, R* dW_hh, R* db_ih, R* db_hh) {
  const int64_t T = s.T, B = s.B, I = s.I, H = s.H, G = cell_gates(s.kind) * H, S = cell_saved(s.kind) * H;
  const int64_t K = T * B, Ni = round_up(I, kCols<R>), Nh = round_up(H, kCols<R>), ldc = Ni + Nh, hoff = S - H;
  const int64_t first = s.reverse ? (T - 1) * B : 0;  // the first step's rows, whose previous state is h0
  const bool own_dgh = dgh != dgx;
  Scratch<double> ct(sz(round_up(G, kMR) * ldc));                       // [dW_ih | dW_hh], padded
  std::vector<double> bias(sz(db_ih ? 2 * round_up(G, kMR) : 0), 0.0);  // [db_ih | db_hh]
  // Adds the kMR gates' values of kb rows of a packed panel to sum, every
  // fourth row into one of four sums (four chains of additions, not one).
  auto sum_panel = [](const R* a, int64_t kb, double* sum) {
    double acc[4][kMR] = {};
    int64_t k = 0;
    for (; k + 4 <= kb; k += 4)
      for (int64_t u = 0; u < 4; ++u)
        for (int64_t i = 0; i < kMR; ++i) acc[u][i] += double(a[(k + u) * kMR + i]);
    for (; k < kb; ++k)
      for (int64_t i = 0; i < kMR; ++i) acc[0][i] += double(a[k * kMR + i]);
    for (int64_t i = 0; i < kMR; ++i) sum[i] += (acc[0][i] + acc[1][i]) + (acc[2][i] + acc[3][i]);
  };
  parallel_for(round_up(G, kMR) / kMR, 2.0 * double(kMR) * double(ldc) * double(K), [&](int64_t lo, int64_t hi) {
    constexpr bool wide = std::is_same_v<R, double>;  // sums straight into ct
    Scratch<R> xb(sz(kDepth * Ni)), hb(sz(kDepth * Nh)), ax(sz(kMR * kDepth)), ah(sz(own_dgh ? kMR * kDepth : 1)),
        part(sz(wide ? 1 : kMR * ldc));
    for (int64_t k0 = 0; k0 < K; k0 += kDepth) {
      const int64_t kb = std::min(kDepth, K - k0);
      for (int64_t k = 0; k < kb; ++k) {
        const int64_t r = k0 + k;
        R *x = xb.data() + k * Ni, *h = hb.data() + k * Nh;
        std::memcpy(x, X + r * I, sz(I) * sizeof(R));
        std::fill(x + I, x + Ni, R(0));
        const bool first_step = r >= first && r < first + B;
        const R* hp = !first_step ? saved + (s.reverse ? r + B : r - B) * S + hoff
                      : h0        ? h0 + (r - first) * H
                                  : nullptr;
        if (hp)
          std::memcpy(h, hp, sz(H) * sizeof(R));
        else
          std::fill(h, h + H, R(0));
        std::fill(h + H, h + Nh, R(0));
      }
      for (int64_t p = lo; p < hi; ++p) {
        const int64_t rows = std::min(kMR, G - p * kMR);
        pack_rows(dgx + k0 * ldg + p * kMR, ldg, true, rows, kb, ax.data());
        if (own_dgh) pack_rows(dgh + k0 * ldg + p * kMR, ldg, true, rows, kb, ah.data());
        const R* a_h = own_dgh ? ah.data() : ax.data();
        if (db_ih) {
          sum_panel(ax.data(), kb, bias.data() + p * kMR);
          if (own_dgh) sum_panel(ah.data(), kb, bias.data() + round_up(G, kMR) + p * kMR);
        }
        double* c = ct.data() + p * kMR * ldc;
        if constexpr (wide) {
          gemm_packed(kMR, Ni, kb, ax.data(), xb.data(), Ni, c, ldc, k0 > 0);
          gemm_packed(kMR, Nh, kb, a_h, hb.data(), Nh, c + Ni, ldc, k0 > 0);
        } else {
          R* q = part.data();
          gemm_packed(kMR, Ni, kb, ax.data(), xb.data(), Ni, q, ldc);
          gemm_packed(kMR, Nh, kb, a_h, hb.data(), Nh, q + Ni, ldc);
          if (k0 > 0)
            for (int64_t j = 0; j < kMR * ldc; ++j) c[j] += double(q[j]);
          else
            for (int64_t j = 0; j < kMR * ldc; ++j) c[j] = double(q[j]);
        }
      }
    }
  });
  const double* c = ct.data();
  parallel_for(G, double(I + H), [&](int64_t lo, int64_t hi) {
    for (int64_t g = lo; g < hi; ++g) {
      for (int64_t i = 0; i < I; ++i) dW_ih[g * I + i] = R(c[g * ldc + i]);
      for (int64_t j = 0; j < H; ++j) dW_hh[g * H + j] = R(c[g * ldc + Ni + j]);
    }
  });
  if (db_ih)
    for (int64_t g = 0; g < G; ++g) {
      db_ih[g] = R(bias[sz(g)]);
      db_hh[g] = R(bias[sz(own_dgh ? round_up(G, kMR) + g : g)]);
    }
}

// The transpose of W (rows x cols) into out (cols x ld), columns from rows on
// zero: in tiles of 16 x 16, so that both sides are read and written a cache
// line at a time.
template <class R>
void transpose_padded(const R* W, int64_t rows, int64_t cols, R* out, int64_t ld) {
  constexpr int64_t kTile = 16;
  parallel_for((cols + kTile - 1) / kTile, 4.0 * double(kTile) * double(rows), [&](int64_t lo, int64_t hi) {
    for (int64_t c0 = lo * kTile; c0 < std::min(cols, hi * kTile); c0 += kTile) {
      const int64_t c1 = std::min(cols, c0 + kTile);
      for (int64_t r0 = 0; r0 < rows; r0 += kTile)
        for (int64_t c = c0; c < c1; ++c)
          for (int64_t r = r0; r < std::min(rows, r0 + kTile); ++r) out[c * ld + r] = W[r * cols + c];
      for (int64_t c = c0; c < c1; ++c) std::fill(out + c * ld + rows, out + (c + 1) * ld, R(0));
    }
  });
}

// W (rows x cols) into out (rows x ld), columns from cols on zero.
template <class R>
void copy_padded(const R* W, int64_t rows, int64_t cols, R* out, int64_t ld) {
  for (int64_t r = 0; r < rows; ++r) {
    std::memcpy(out + r * ld, W + r * cols, sz(cols) * sizeof(R));
    std::fill(out + r * ld + cols, out + (r + 1) * ld, R(0));
  }
}

// out = a + b over n values (a loop of its own, so that it vectorises).
template <class R>
void add_vectors(int64_t n, const R* __restrict a, const R* __restrict b, R* __restrict out) {
  for (int64_t j = 0; j < n; ++j) out[j] = a[j] + b[j];
}

// One step of the cell for one batch row: gx and gh (W_ih x and W_hh h_prev,
// without bias), bx and bh (b_ih and b_hh, or zeros), the previous state
// (zeros before the first step when none is given), and the values kept for
// backward (sv), whose last H are the new h.  The gates
// are computed in R from the stored values, with the exp and tanh of R's
// precision.
template <class R>
void cell_row(CellKind kind, int64_t H, const R* __restrict gx, const R* __restrict bx, const R* __restrict gh,
              const R* __restrict bh, const R* __restrict hp, const R* __restrict cp, R* __restrict sv) {
  using D = R;
  switch (kind) {
    case CellKind::RnnTanh:
      for (int64_t j = 0; j < H; ++j) sv[j] = R(tanh_(D(gx[j]) + bx[j] + gh[j] + bh[j]));
      break;
    case CellKind::RnnRelu:
      for (int64_t j = 0; j < H; ++j) {
        const D a = D(gx[j]) + bx[j] + gh[j] + bh[j];
        sv[j] = R(a < D(0) ? D(0) : a);  // NaN stays NaN
      }
      break;
    case CellKind::Gru: {
      R *r = sv, *z = sv + H, *n = sv + 2 * H, *hn = sv + 3 * H, *h = sv + 4 * H;
      // The two sigmoid gates in loops of their own (fewer live registers).
      for (int64_t j = 0; j < H; ++j) r[j] = R(sigmoid(D(gx[j]) + bx[j] + gh[j] + bh[j]));
      for (int64_t j = 0; j < H; ++j) z[j] = R(sigmoid(D(gx[H + j]) + bx[H + j] + gh[H + j] + bh[H + j]));
      for (int64_t j = 0; j < H; ++j) {
        const D rj = r[j], zj = z[j];
        const D hnj = D(gh[2 * H + j]) + bh[2 * H + j];
        const D nj = tanh_(D(gx[2 * H + j]) + bx[2 * H + j] + rj * hnj);
        const D prev = hp[j];
        hn[j] = R(hnj);
        n[j] = R(nj);
        h[j] = R((D(1) - zj) * nj + zj * prev);
      }
      break;
    }
    case CellKind::Lstm: {
      R *i = sv, *f = sv + H, *g = sv + 2 * H, *o = sv + 3 * H, *c = sv + 4 * H, *tc = sv + 5 * H, *h = sv + 6 * H;
      // In blocks, the gates first, then the state: two loops small enough for
      // the vectoriser.
      constexpr int64_t kBlock = 64;
      D ib[kBlock], fb[kBlock], gb[kBlock], ob[kBlock];
      for (int64_t j0 = 0; j0 < H; j0 += kBlock) {
        const int64_t n = std::min(kBlock, H - j0);
        const R *x = gx + j0, *w = bx + j0, *y = gh + j0, *z = bh + j0;
        // One gate per loop: the four in one body spill registers with AVX2.
        for (int64_t j = 0; j < n; ++j) ib[j] = sigmoid(D(x[j]) + w[j] + y[j] + z[j]);
        for (int64_t j = 0; j < n; ++j) fb[j] = sigmoid(D(x[H + j]) + w[H + j] + y[H + j] + z[H + j]);
        for (int64_t j = 0; j < n; ++j) gb[j] = tanh_(D(x[2 * H + j]) + w[2 * H + j] + y[2 * H + j] + z[2 * H + j]);
        for (int64_t j = 0; j < n; ++j) ob[j] = sigmoid(D(x[3 * H + j]) + w[3 * H + j] + y[3 * H + j] + z[3 * H + j]);
        for (int64_t j = 0; j < n; ++j) {
          i[j0 + j] = R(ib[j]);
          f[j0 + j] = R(fb[j]);
          g[j0 + j] = R(gb[j]);
          o[j0 + j] = R(ob[j]);
          c[j0 + j] = R(fb[j] * cp[j0 + j] + ib[j] * gb[j]);
        }
        // c is the state carried to the next step: the tanh is taken of it as kept.
        for (int64_t j = 0; j < n; ++j) {
          const D tcj = tanh_(c[j0 + j]);
          tc[j0 + j] = R(tcj);
          h[j0 + j] = R(ob[j] * tcj);
        }
      }
      break;
    }
  }
}

// Backward of one step for one batch row.  dh: the gradient of the new h
// (dY + the next step's), dc: of the new c (LSTM; replaced by that of c_prev).
// Writes the gate gradients for the input side (dgx) and the hidden side
// (dgh: differs for the GRU's n gate), and in dhp the part of dh_prev that
// does not go through W_hh (the GRU's z h_prev; zeros otherwise).  Computed in
// R from the kept values.  hp and cp are
// `zeros` (H of them) before the first step when no initial state was given.
template <class R>
void cell_row_backward(CellKind kind, int64_t H, const R* __restrict sv, const R* __restrict hp, const R* __restrict cp,
                       const R* zeros, const R* __restrict dh, R* __restrict dc, R* __restrict dgx, R* __restrict dgh,
                       R* __restrict dhp) {
  using D = R;
  switch (kind) {
    case CellKind::RnnTanh:
      for (int64_t j = 0; j < H; ++j) {
        dgx[j] = R(dh[j] * (D(1) - D(sv[j]) * sv[j]));
        dhp[j] = R(0);
      }
      break;
    case CellKind::RnnRelu:
      for (int64_t j = 0; j < H; ++j) {
        dgx[j] = sv[j] > R(0) ? dh[j] : R(0);
        dhp[j] = R(0);
      }
      break;
    case CellKind::Gru: {
      const R *r = sv, *z = sv + H, *n = sv + 2 * H, *hn = sv + 3 * H;
      for (int64_t j = 0; j < H; ++j) {
        const D prev = hp[j];
        const D dn = dh[j] * (D(1) - z[j]) * (D(1) - D(n[j]) * n[j]);
        const D dz = dh[j] * (prev - n[j]) * z[j] * (D(1) - z[j]);
        const D dr = dn * hn[j] * r[j] * (D(1) - r[j]);
        dgx[j] = dgh[j] = R(dr);
        dgx[H + j] = dgh[H + j] = R(dz);
        dgx[2 * H + j] = R(dn);
        dgh[2 * H + j] = R(dn * r[j]);
        dhp[j] = R(D(dh[j]) * z[j]);
      }
      break;
    }
    case CellKind::Lstm: {
      const R *i = sv, *f = sv + H, *g = sv + 2 * H, *o = sv + 3 * H, *tc = sv + 5 * H;
      const bool has_c = cp != zeros;
      for (int64_t j = 0; j < H; ++j) {
        const D dct = dc[j] + D(dh[j]) * o[j] * (D(1) - D(tc[j]) * tc[j]);
        dgx[j] = R(dct * g[j] * i[j] * (D(1) - i[j]));
        const R df = R(dct * cp[j] * f[j] * (D(1) - f[j]));
        dgx[H + j] = has_c ? df : R(0);  // exactly 0 without an initial state, whatever dct is
        dgx[2 * H + j] = R(dct * i[j] * (D(1) - D(g[j]) * g[j]));
        dgx[3 * H + j] = R(D(dh[j]) * tc[j] * o[j] * (D(1) - o[j]));
        dc[j] = R(dct * f[j]);
        dhp[j] = R(0);
      }
      break;
    }
  }
}

}  // namespace

template <class R>
void rnn_forward(const RnnShape& s, const R* X, const R* W_ih, const R* W_hh, const R* b_ih, const R* b_hh, const R* h0,
                 const R* c0, R* Y, int64_t ldy, R* hT, R* cT, R* saved) {
  const int64_t T = s.T, B = s.B, I = s.I, H = s.H, G = cell_gates(s.kind) * H, S = cell_saved(s.kind) * H;
  const int64_t Gp = round_up(G, kCols<R>), panels = round_up(B, kStepRows) / kStepRows, hoff = S - H;
  if (T <= 0 || B <= 0) return;
  // The input projections X @ W_ih^T: one product over every step when the
  // steps leave threads idle (fewer panels of batch rows than threads, or
  // steps too small to split), else a product within each step, beside the
  // state's, so that they never go out to memory.  Both sum in the same order.
  const double step_cost = 2.0 * double(kStepRows) * double(Gp) * double(H + I) + 30.0 * double(kStepRows * G);
  const bool at_once = panels < num_threads() || step_cost * double(panels) <= kParallelThreshold;
  const int64_t ldw = skewed<R>(Gp);
  Scratch<R> wi(sz(I * ldw)), wh(sz(H * ldw)), gx(sz((at_once ? T * B : panels * kStepRows) * Gp));
  transpose_padded(W_ih, G, I, wi.data(), ldw);
  transpose_padded(W_hh, G, H, wh.data(), ldw);
  if (at_once) mm(T * B, Gp, I, X, I, wi.data(), ldw, gx.data(), Gp, false);
  std::unique_ptr<R[]> bx(new R[sz(G)]()), bh(new R[sz(G)]());
  if (b_ih) std::memcpy(bx.get(), b_ih, sz(G) * sizeof(R));
  if (b_hh) std::memcpy(bh.get(), b_hh, sz(G) * sizeof(R));
  // The state before the first step when none is given: zeros, so that the
  // gate loops read it without a test.
  const std::vector<R> none(sz(H), R(0));
  Scratch<R> gh(sz(panels * kStepRows * Gp));
  for (int64_t step = 0; step < T; ++step) {
    const int64_t t = s.reverse ? T - 1 - step : step, tp = s.reverse ? t + 1 : t - 1;
    const R* hp = step ? saved + tp * B * S + hoff : h0;
    const R* cp = step ? saved + tp * B * S + 4 * H : c0;
    const int64_t ldh = step ? S : H;
    const double cost = step_cost - (at_once ? 2.0 * double(kStepRows) * double(Gp) * double(I) : 0.0);
    parallel_for(panels, cost, [&](int64_t lo, int64_t hi) {
      for (int64_t p = lo; p < hi; ++p) {
        const int64_t b0 = p * kStepRows, rows = std::min(kStepRows, B - b0);
        R* g = gh.data() + b0 * Gp;
        if (hp)
          step_product(rows, Gp, H, hp + b0 * ldh, ldh, wh.data(), ldw, g, Gp, false);
        else
          std::fill(g, g + rows * Gp, R(0));
        R* x = gx.data() + (at_once ? t * B : 0) * Gp;
        if (!at_once) step_product(rows, Gp, I, X + (t * B + b0) * I, I, wi.data(), ldw, x + b0 * Gp, Gp, false);
        for (int64_t b = b0; b < b0 + rows; ++b) {
          const int64_t row = t * B + b;
          R* sv = saved + row * S;
          cell_row(s.kind, H, x + b * Gp, bx.get(), gh.data() + b * Gp, bh.get(), hp ? hp + b * ldh : none.data(),
                   cp ? cp + b * (step ? S : H) : none.data(), sv);
          std::memcpy(Y + row * ldy, sv + hoff, sz(H) * sizeof(R));
        }
      }
    });
  }
  const int64_t last = s.reverse ? 0 : T - 1;
  for (int64_t b = 0; b < B; ++b) {
    const R* sv = saved + (last * B + b) * S;
    std::memcpy(hT + b * H, sv + hoff, sz(H) * sizeof(R));
    if (s.kind == CellKind::Lstm && cT) std::memcpy(cT + b * H, sv + 4 * H, sz(H) * sizeof(R));
  }
}

template <class R>
void rnn_backward(const RnnShape& s, const R* X, const R* W_ih, const R* W_hh, const R* h0, const R* c0, const R* saved,
                  const R* dY, int64_t ldy, const R* dhT, const R* dcT, R* dX, bool accumulate_dx, R* dh0, R* dc0,
                  R* dW_ih, R* dW_hh, R* db_ih, R* db_hh) {
  const int64_t T = s.T, B = s.B, I = s.I, H = s.H, G = cell_gates(s.kind) * H, S = cell_saved(s.kind) * H;
  const int64_t Hp = round_up(H, kCols<R>), Gp = round_up(G, kCols<R>), panels = round_up(B, kStepRows) / kStepRows;
  const int64_t hoff = S - H, ldg = skewed<R>(Gp);
  const bool gru = s.kind == CellKind::Gru, lstm = s.kind == CellKind::Lstm;
  if (T <= 0 || B <= 0) return;
  // The gate gradients of every step, rows ldg apart (the padding is never
  // read); the GRU's hidden side differs from its input side.
  Scratch<R> wh(sz(G * Hp)), dgx(sz(T * B * ldg)), dn(sz(B * Hp)), dcs(sz(lstm ? B * H : 1)),
      dhs(sz(panels * kStepRows * H));
  std::unique_ptr<Scratch<R>> dgh_own;
  if (gru) dgh_own.reset(new Scratch<R>(sz(T * B * ldg)));
  R* dgh = gru ? dgh_own->data() : dgx.data();
  const std::vector<R> none(sz(H), R(0));  // the state before the first step when none is given
  copy_padded(W_hh, G, H, wh.data(), Hp);
  for (int64_t b = 0; b < B; ++b) {
    for (int64_t j = 0; j < H; ++j) dn[sz(b * Hp + j)] = dhT ? dhT[b * H + j] : R(0);
    if (lstm)
      for (int64_t j = 0; j < H; ++j) dcs[sz(b * H + j)] = dcT ? dcT[b * H + j] : R(0);
  }
  for (int64_t step = T - 1; step >= 0; --step) {
    const int64_t t = s.reverse ? T - 1 - step : step, tp = s.reverse ? t + 1 : t - 1;
    const R* hp = step ? saved + tp * B * S + hoff : h0;
    const R* cp = step ? saved + tp * B * S + 4 * H : c0;
    const int64_t ldh = step ? S : H;
    parallel_for(
        panels, 2.0 * double(kStepRows) * double(Hp) * double(G) + 10.0 * double(kStepRows * G),
        [&](int64_t lo, int64_t hi) {
          for (int64_t p = lo; p < hi; ++p) {
            const int64_t b0 = p * kStepRows, rows = std::min(kStepRows, B - b0);
            for (int64_t b = b0; b < b0 + rows; ++b) {
              const int64_t row = t * B + b;
              R* next = dn.data() + b * Hp;
              R* dh = dhs.data() + b * H;
              add_vectors(H, next, dY ? dY + row * ldy : none.data(), dh);
              cell_row_backward(s.kind, H, saved + row * S, hp ? hp + b * ldh : none.data(),
                                cp ? cp + b * (step ? S : H) : none.data(), none.data(), dh,
                                lstm ? dcs.data() + b * H : nullptr, dgx.data() + row * ldg, dgh + row * ldg, next);
            }
            step_product(rows, Hp, G, dgh + (t * B + b0) * ldg, ldg, wh.data(), Hp, dn.data() + b0 * Hp, Hp, gru);
          }
        });
  }
  for (int64_t b = 0; b < B; ++b) {
    std::memcpy(dh0 + b * H, dn.data() + b * Hp, sz(H) * sizeof(R));
    if (lstm && dc0) std::memcpy(dc0 + b * H, dcs.data() + b * H, sz(H) * sizeof(R));
  }
  weight_grads(s, X, h0, saved, dgx.data(), dgh, ldg, dW_ih, dW_hh, db_ih, db_hh);
  mm(T * B, I, G, dgx.data(), ldg, W_ih, I, dX, I, accumulate_dx);
}

template <class R>
void embedding_forward(const int64_t* idx, int64_t n, const R* W, int64_t d, R* Z) {
  parallel_for(n, double(d), [&](int64_t lo, int64_t hi) {
    for (int64_t i = lo; i < hi; ++i) std::memcpy(Z + i * d, W + idx[i] * d, sz(d) * sizeof(R));
  });
}

template <class R>
void embedding_backward(const int64_t* idx, int64_t n, const R* dZ, int64_t d, int64_t skip, R* dW) {
  if constexpr (std::is_same_v<R, double>) {
    // Rows repeat, so one thread adds them all, in order (as np.add.at does).
    for (int64_t i = 0; i < n; ++i) {
      if (idx[i] == skip) continue;
      double* __restrict w = dW + idx[i] * d;
      const double* __restrict g = dZ + i * d;
      for (int64_t k = 0; k < d; ++k) w[k] += g[k];
    }
  } else {
    // A row looked up many times (a frequent token) sums all its gradients in
    // double first, then adds them to dW at once: the lookups sorted by row
    // (in their order within a row), each row's run summed by one thread.
    std::vector<Lookup> order(sz(n));
    for (int64_t i = 0; i < n; ++i) order[sz(i)] = {idx[i], i};
    std::sort(order.begin(), order.end(),
              [](const Lookup& a, const Lookup& b) { return a.row < b.row || (a.row == b.row && a.at < b.at); });
    std::vector<int64_t> runs(sz(n + 1));  // where each row's run starts, then n
    int64_t count = 0;
    for (int64_t i = 0; i < n; ++i)
      if (i == 0 || order[sz(i)].row != order[sz(i - 1)].row) runs[sz(count++)] = i;
    runs[sz(count)] = n;
    parallel_for(count, double(d) * double(n) / double(std::max<int64_t>(count, 1)), [&](int64_t lo, int64_t hi) {
      std::vector<double> sum(sz(d));
      for (int64_t u = lo; u < hi; ++u) {
        const int64_t row = order[sz(runs[sz(u)])].row;
        if (row == skip) continue;
        std::fill(sum.begin(), sum.end(), 0.0);
        for (int64_t i = runs[sz(u)]; i < runs[sz(u + 1)]; ++i) {
          const R* __restrict g = dZ + order[sz(i)].at * d;
          for (int64_t k = 0; k < d; ++k) sum[sz(k)] += g[k];
        }
        R* __restrict w = dW + row * d;
        for (int64_t k = 0; k < d; ++k) w[k] = R(w[k] + sum[sz(k)]);
      }
    });
  }
}

#define QK_RNN(R)                                                                                                      \
  template void rnn_forward(const RnnShape&, const R*, const R*, const R*, const R*, const R*, const R*, const R*, R*, \
                            int64_t, R*, R*, R*);                                                                      \
  template void rnn_backward(const RnnShape&, const R*, const R*, const R*, const R*, const R*, const R*, const R*,    \
                             int64_t, const R*, const R*, R*, bool, R*, R*, R*, R*, R*, R*);                           \
  template void embedding_forward(const int64_t*, int64_t, const R*, int64_t, R*);                                     \
  template void embedding_backward(const int64_t*, int64_t, const R*, int64_t, int64_t, R*);
QK_RNN(double)
QK_RNN(float)
#undef QK_RNN

QK_ISA_END
}  // namespace qk
