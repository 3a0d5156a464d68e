#include "kernels/rnn.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "kernels/gemm.hpp"
#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

namespace {

constexpr int64_t kDepth = 256;     // rows of B per pass: a kDepth x kCols block stays in L2
constexpr int64_t kCols = 8 * kNR;  // columns of C per task

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
  double p = 1.0 / 6227020800.0;
  for (double c : {1.0 / 479001600.0, 1.0 / 39916800.0, 1.0 / 3628800.0, 1.0 / 362880.0, 1.0 / 40320.0, 1.0 / 5040.0,
                   1.0 / 720.0, 1.0 / 120.0, 1.0 / 24.0, 1.0 / 6.0, 0.5, 1.0, 1.0})
    p = p * r + c;
  uint64_t bits;
  std::memcpy(&bits, &t, sizeof bits);
  bits = (bits + 1023) << 52;
  double scale;
  std::memcpy(&scale, &bits, sizeof scale);
  return p * scale;
}

inline double sigmoid(double x) {
  const double e = exp_(-std::fabs(x));  // in (0, 1]: never overflows
  return x >= 0.0 ? 1.0 / (1.0 + e) : e / (1.0 + e);
}

// tanh |x| = expm1(2|x|) / (expm1(2|x|) + 2), expm1 by its Taylor series below
// 1 (to y^17; no cancellation near 0) and through exp above.
inline double tanh_(double x) {
  const double y = std::min(2.0 * std::fabs(x), 40.0);  // tanh(20) rounds to 1
  double s = 1.0 / 355687428096000.0;
  for (double c : {1.0 / 20922789888000.0, 1.0 / 1307674368000.0, 1.0 / 87178291200.0, 1.0 / 6227020800.0,
                   1.0 / 479001600.0, 1.0 / 39916800.0, 1.0 / 3628800.0, 1.0 / 362880.0, 1.0 / 40320.0, 1.0 / 5040.0,
                   1.0 / 720.0, 1.0 / 120.0, 1.0 / 24.0, 1.0 / 6.0, 0.5, 1.0})
    s = s * y + c;
  const double m = y < 1.0 ? s * y : exp_(y) - 1.0;
  const double v = m / (m + 2.0);
  return x < 0.0 ? -v : (x == x ? v : x);
}

size_t sz(int64_t n) { return static_cast<size_t>(n); }

// C (M x N, row stride ldc) = op(A) @ B, or C += op(A) @ B with `accumulate`.
// op(A) is M x K: A itself (row stride lda) or, with `trans_a`, the transpose
// of the K x M matrix at A.  B is K x N with row stride ldb.  Columns that
// fill no whole block of the kernel go through padded copies.
void mm(int64_t M, int64_t N, int64_t K, const double* A, int64_t lda, bool trans_a, const double* B, int64_t ldb,
        double* C, int64_t ldc, bool accumulate) {
  if (M <= 0 || N <= 0) return;
  if (K <= 0) {
    if (!accumulate)
      for (int64_t i = 0; i < M; ++i) std::fill(C + i * ldc, C + i * ldc + N, 0.0);
    return;
  }
  const int64_t Np = round_up(N, kNR), panels = round_up(M, kMR) / kMR;
  std::unique_ptr<Scratch<>> bpad, cpad;
  const double* b = B;
  double* c = C;
  int64_t ldb_ = ldb, ldc_ = ldc;
  if (Np != N) {
    bpad.reset(new Scratch<>(sz(K * Np)));
    double* bp = bpad->data();
    for (int64_t k = 0; k < K; ++k) {
      std::memcpy(bp + k * Np, B + k * ldb, sz(N) * sizeof(double));
      std::fill(bp + k * Np + N, bp + (k + 1) * Np, 0.0);
    }
    cpad.reset(new Scratch<>(sz(M * Np)));
    b = bp;
    c = cpad->data();
    ldb_ = ldc_ = Np;
  }
  const bool acc = accumulate && c == C;
  Scratch<> ap(packed_size(M, K));
  double* app = ap.data();
  parallel_for(panels, double(kMR) * double(K), [&](int64_t lo, int64_t hi) {
    for (int64_t p = lo; p < hi; ++p) {
      const int64_t rows = std::min(kMR, M - p * kMR);
      const double* src = trans_a ? A + p * kMR : A + p * kMR * lda;
      pack_rows(src, lda, trans_a, rows, K, app + p * K * kMR);
    }
  });
  const int64_t cols = std::min(kCols, Np), blocks = (Np + cols - 1) / cols;
  parallel_for(panels * blocks, 2.0 * double(kMR) * double(cols) * double(K), [&](int64_t lo, int64_t hi) {
    for (int64_t k0 = 0; k0 < K; k0 += kDepth) {
      const int64_t kb = std::min(kDepth, K - k0);
      for (int64_t task = lo; task < hi; ++task) {
        const int64_t j = (task / panels) * cols, p = task % panels;
        gemm_packed(std::min(kMR, M - p * kMR), std::min(cols, Np - j), kb, app + p * K * kMR + k0 * kMR,
                    b + k0 * ldb_ + j, ldb_, c + p * kMR * ldc_ + j, ldc_, acc || k0 > 0);
      }
    }
  });
  if (c != C)
    for (int64_t i = 0; i < M; ++i) {
      double* dst = C + i * ldc;
      const double* src = c + i * ldc_;
      if (accumulate)
        for (int64_t n = 0; n < N; ++n) dst[n] += src[n];
      else
        std::memcpy(dst, src, sz(N) * sizeof(double));
    }
}

// The transpose of W (rows x cols) into out (cols x ld), columns from rows on zero.
void transpose_padded(const double* W, int64_t rows, int64_t cols, double* out, int64_t ld) {
  for (int64_t c = 0; c < cols; ++c) {
    double* o = out + c * ld;
    for (int64_t r = 0; r < rows; ++r) o[r] = W[r * cols + c];
    std::fill(o + rows, o + ld, 0.0);
  }
}

// W (rows x cols) into out (rows x ld), columns from cols on zero.
void copy_padded(const double* W, int64_t rows, int64_t cols, double* out, int64_t ld) {
  for (int64_t r = 0; r < rows; ++r) {
    std::memcpy(out + r * ld, W + r * cols, sz(cols) * sizeof(double));
    std::fill(out + r * ld + cols, out + (r + 1) * ld, 0.0);
  }
}

// One step of the cell for one batch row: gx (the input projection with b_ih),
// gh (W_hh h_prev without bias), bh (b_hh or zeros), the previous state, and
// the values kept for backward (sv), whose last H are the new h.
void cell_row(CellKind kind, int64_t H, const double* __restrict gx, const double* __restrict gh,
              const double* __restrict bh, const double* __restrict hp, const double* __restrict cp,
              double* __restrict sv) {
  switch (kind) {
    case CellKind::RnnTanh:
      for (int64_t j = 0; j < H; ++j) sv[j] = tanh_(gx[j] + gh[j] + bh[j]);
      break;
    case CellKind::RnnRelu:
      for (int64_t j = 0; j < H; ++j) {
        const double a = gx[j] + gh[j] + bh[j];
        sv[j] = a < 0.0 ? 0.0 : a;  // NaN stays NaN
      }
      break;
    case CellKind::Gru: {
      double *r = sv, *z = sv + H, *n = sv + 2 * H, *hn = sv + 3 * H, *h = sv + 4 * H;
      for (int64_t j = 0; j < H; ++j) {
        r[j] = sigmoid(gx[j] + gh[j] + bh[j]);
        z[j] = sigmoid(gx[H + j] + gh[H + j] + bh[H + j]);
        hn[j] = gh[2 * H + j] + bh[2 * H + j];
        n[j] = tanh_(gx[2 * H + j] + r[j] * hn[j]);
        const double prev = hp ? hp[j] : 0.0;
        h[j] = (1.0 - z[j]) * n[j] + z[j] * prev;
      }
      break;
    }
    case CellKind::Lstm: {
      double *i = sv, *f = sv + H, *g = sv + 2 * H, *o = sv + 3 * H, *c = sv + 4 * H, *tc = sv + 5 * H, *h = sv + 6 * H;
      for (int64_t j = 0; j < H; ++j) {
        i[j] = sigmoid(gx[j] + gh[j] + bh[j]);
        f[j] = sigmoid(gx[H + j] + gh[H + j] + bh[H + j]);
        g[j] = tanh_(gx[2 * H + j] + gh[2 * H + j] + bh[2 * H + j]);
        o[j] = sigmoid(gx[3 * H + j] + gh[3 * H + j] + bh[3 * H + j]);
        c[j] = f[j] * (cp ? cp[j] : 0.0) + i[j] * g[j];
        tc[j] = tanh_(c[j]);
        h[j] = o[j] * tc[j];
      }
      break;
    }
  }
}

// Backward of one step for one batch row.  dh: the gradient of the new h
// (dY + the next step's), dc: of the new c (LSTM; replaced by that of c_prev).
// Writes the gate gradients for the input side (dgx) and the hidden side
// (dgh: differs for the GRU's n gate), and in dhp the part of dh_prev that
// does not go through W_hh (the GRU's z h_prev; zeros otherwise).
void cell_row_backward(CellKind kind, int64_t H, const double* __restrict sv, const double* __restrict hp,
                       const double* __restrict cp, const double* __restrict dh, double* __restrict dc,
                       double* __restrict dgx, double* __restrict dgh, double* __restrict dhp) {
  switch (kind) {
    case CellKind::RnnTanh:
      for (int64_t j = 0; j < H; ++j) {
        dgx[j] = dh[j] * (1.0 - sv[j] * sv[j]);
        dhp[j] = 0.0;
      }
      break;
    case CellKind::RnnRelu:
      for (int64_t j = 0; j < H; ++j) {
        dgx[j] = sv[j] > 0.0 ? dh[j] : 0.0;
        dhp[j] = 0.0;
      }
      break;
    case CellKind::Gru: {
      const double *r = sv, *z = sv + H, *n = sv + 2 * H, *hn = sv + 3 * H;
      for (int64_t j = 0; j < H; ++j) {
        const double prev = hp ? hp[j] : 0.0;
        const double dn = dh[j] * (1.0 - z[j]) * (1.0 - n[j] * n[j]);
        const double dz = dh[j] * (prev - n[j]) * z[j] * (1.0 - z[j]);
        const double dr = dn * hn[j] * r[j] * (1.0 - r[j]);
        dgx[j] = dgh[j] = dr;
        dgx[H + j] = dgh[H + j] = dz;
        dgx[2 * H + j] = dn;
        dgh[2 * H + j] = dn * r[j];
        dhp[j] = dh[j] * z[j];
      }
      break;
    }
    case CellKind::Lstm: {
      const double *i = sv, *f = sv + H, *g = sv + 2 * H, *o = sv + 3 * H, *tc = sv + 5 * H;
      for (int64_t j = 0; j < H; ++j) {
        const double dct = dc[j] + dh[j] * o[j] * (1.0 - tc[j] * tc[j]);
        dgx[j] = dct * g[j] * i[j] * (1.0 - i[j]);
        dgx[H + j] = cp ? dct * cp[j] * f[j] * (1.0 - f[j]) : 0.0;
        dgx[2 * H + j] = dct * i[j] * (1.0 - g[j] * g[j]);
        dgx[3 * H + j] = dh[j] * tc[j] * o[j] * (1.0 - o[j]);
        dc[j] = dct * f[j];
        dhp[j] = 0.0;
      }
      break;
    }
  }
}

}  // namespace

void rnn_forward(const RnnShape& s, const double* X, const double* W_ih, const double* W_hh, const double* b_ih,
                 const double* b_hh, const double* h0, const double* c0, double* Y, int64_t ldy, double* hT, double* cT,
                 double* saved) {
  const int64_t T = s.T, B = s.B, I = s.I, H = s.H, G = cell_gates(s.kind) * H, S = cell_saved(s.kind) * H;
  const int64_t Gp = round_up(G, kNR), panels = round_up(B, kMR) / kMR, hoff = S - H;
  if (T <= 0 || B <= 0) return;
  // Every step's input projection with b_ih, at once.
  Scratch<> wt(sz(std::max<int64_t>(I, H) * Gp)), gx(sz(T * B * Gp));
  transpose_padded(W_ih, G, I, wt.data(), Gp);
  mm(T * B, Gp, I, X, I, false, wt.data(), Gp, gx.data(), Gp, false);
  if (b_ih)
    for (int64_t r = 0; r < T * B; ++r)
      for (int64_t k = 0; k < G; ++k) gx[sz(r * Gp + k)] += b_ih[k];
  transpose_padded(W_hh, G, H, wt.data(), Gp);
  std::unique_ptr<double[]> bh(new double[sz(G)]());
  if (b_hh) std::memcpy(bh.get(), b_hh, sz(G) * sizeof(double));
  Scratch<> ap(sz(panels * kMR * H)), gh(sz(panels * kMR * Gp));
  const double* whT = wt.data();
  for (int64_t step = 0; step < T; ++step) {
    const int64_t t = s.reverse ? T - 1 - step : step, tp = s.reverse ? t + 1 : t - 1;
    const double* hp = step ? saved + tp * B * S + hoff : h0;
    const double* cp = step ? saved + tp * B * S + 4 * H : c0;
    const int64_t ldh = step ? S : H;
    parallel_for(panels, 2.0 * double(kMR) * double(Gp) * double(H) + 30.0 * double(kMR * G),
                 [&](int64_t lo, int64_t hi) {
                   for (int64_t p = lo; p < hi; ++p) {
                     const int64_t rows = std::min(kMR, B - p * kMR);
                     double* g = gh.data() + p * kMR * Gp;
                     if (hp) {
                       double* a = ap.data() + p * kMR * H;
                       pack_rows(hp + p * kMR * ldh, ldh, false, rows, H, a);
                       gemm_packed(rows, Gp, H, a, whT, Gp, g, Gp);
                     } else {
                       std::fill(g, g + rows * Gp, 0.0);
                     }
                     for (int64_t r = 0; r < rows; ++r) {
                       const int64_t b = p * kMR + r, row = t * B + b;
                       double* sv = saved + row * S;
                       cell_row(s.kind, H, gx.data() + row * Gp, g + r * Gp, bh.get(), hp ? hp + b * ldh : nullptr,
                                cp ? cp + b * (step ? S : H) : nullptr, sv);
                       std::memcpy(Y + row * ldy, sv + hoff, sz(H) * sizeof(double));
                     }
                   }
                 });
  }
  const int64_t last = s.reverse ? 0 : T - 1;
  for (int64_t b = 0; b < B; ++b) {
    const double* sv = saved + (last * B + b) * S;
    std::memcpy(hT + b * H, sv + hoff, sz(H) * sizeof(double));
    if (s.kind == CellKind::Lstm && cT) std::memcpy(cT + b * H, sv + 4 * H, sz(H) * sizeof(double));
  }
}

void rnn_backward(const RnnShape& s, const double* X, const double* W_ih, const double* W_hh, const double* h0,
                  const double* c0, const double* saved, const double* dY, int64_t ldy, const double* dhT,
                  const double* dcT, double* dX, bool accumulate_dx, double* dh0, double* dc0, double* dW_ih,
                  double* dW_hh, double* db_ih, double* db_hh) {
  const int64_t T = s.T, B = s.B, I = s.I, H = s.H, G = cell_gates(s.kind) * H, S = cell_saved(s.kind) * H;
  const int64_t Hp = round_up(H, kNR), panels = round_up(B, kMR) / kMR, hoff = S - H;
  const bool gru = s.kind == CellKind::Gru, lstm = s.kind == CellKind::Lstm;
  if (T <= 0 || B <= 0) return;
  Scratch<> wh(sz(G * Hp)), dgx(sz(T * B * G)), dn(sz(B * Hp)), dcs(sz(lstm ? B * H : 1)), ap(sz(panels * kMR * G)),
      dhs(sz(panels * kMR * H));
  std::unique_ptr<Scratch<>> dgh_own;
  if (gru) dgh_own.reset(new Scratch<>(sz(T * B * G)));
  double* dgh = gru ? dgh_own->data() : dgx.data();
  copy_padded(W_hh, G, H, wh.data(), Hp);
  for (int64_t b = 0; b < B; ++b) {
    for (int64_t j = 0; j < H; ++j) dn[sz(b * Hp + j)] = dhT ? dhT[b * H + j] : 0.0;
    if (lstm)
      for (int64_t j = 0; j < H; ++j) dcs[sz(b * H + j)] = dcT ? dcT[b * H + j] : 0.0;
  }
  for (int64_t step = T - 1; step >= 0; --step) {
    const int64_t t = s.reverse ? T - 1 - step : step, tp = s.reverse ? t + 1 : t - 1;
    const double* hp = step ? saved + tp * B * S + hoff : h0;
    const double* cp = step ? saved + tp * B * S + 4 * H : c0;
    const int64_t ldh = step ? S : H;
    parallel_for(
        panels, 2.0 * double(kMR) * double(Hp) * double(G) + 10.0 * double(kMR * G), [&](int64_t lo, int64_t hi) {
          for (int64_t p = lo; p < hi; ++p) {
            const int64_t rows = std::min(kMR, B - p * kMR);
            double* dh = dhs.data() + p * kMR * H;
            for (int64_t r = 0; r < rows; ++r) {
              const int64_t b = p * kMR + r, row = t * B + b;
              double* next = dn.data() + b * Hp;
              for (int64_t j = 0; j < H; ++j) dh[r * H + j] = next[j] + (dY ? dY[row * ldy + j] : 0.0);
              cell_row_backward(s.kind, H, saved + row * S, hp ? hp + b * ldh : nullptr,
                                cp ? cp + b * (step ? S : H) : nullptr, dh + r * H, lstm ? dcs.data() + b * H : nullptr,
                                dgx.data() + row * G, dgh + row * G, next);
            }
            double* a = ap.data() + p * kMR * G;
            pack_rows(dgh + (t * B + p * kMR) * G, G, false, rows, G, a);
            gemm_packed(rows, Hp, G, a, wh.data(), Hp, dn.data() + p * kMR * Hp, Hp, gru);
          }
        });
  }
  for (int64_t b = 0; b < B; ++b) {
    std::memcpy(dh0 + b * H, dn.data() + b * Hp, sz(H) * sizeof(double));
    if (lstm && dc0) std::memcpy(dc0 + b * H, dcs.data() + b * H, sz(H) * sizeof(double));
  }
  // The weight gradients over all steps at once.  Step t's previous state is
  // the saved h of step t - 1 (t + 1 in reverse), or h0 for the first step.
  mm(G, I, T * B, dgx.data(), G, true, X, I, dW_ih, I, false);
  const int64_t first = s.reverse ? T - 1 : 0;
  const double* dg_rest = dgh + (s.reverse ? 0 : B * G);
  const double* h_rest = saved + (s.reverse ? B * S : 0) + hoff;
  mm(G, H, (T - 1) * B, dg_rest, G, true, h_rest, S, dW_hh, H, false);
  if (h0) mm(G, H, B, dgh + first * B * G, G, true, h0, H, dW_hh, H, true);
  if (db_ih) {
    std::fill(db_ih, db_ih + G, 0.0);
    std::fill(db_hh, db_hh + G, 0.0);
    for (int64_t r = 0; r < T * B; ++r) {
      const double* x = dgx.data() + r * G;
      const double* h = dgh + r * G;
      for (int64_t k = 0; k < G; ++k) {
        db_ih[k] += x[k];
        db_hh[k] += h[k];
      }
    }
  }
  mm(T * B, I, G, dgx.data(), G, false, W_ih, I, dX, I, accumulate_dx);
}

void embedding_forward(const int64_t* idx, int64_t n, const double* W, int64_t d, double* Z) {
  parallel_for(n, double(d), [&](int64_t lo, int64_t hi) {
    for (int64_t i = lo; i < hi; ++i) std::memcpy(Z + i * d, W + idx[i] * d, sz(d) * sizeof(double));
  });
}

void embedding_backward(const int64_t* idx, int64_t n, const double* dZ, int64_t d, int64_t skip, double* dW) {
  // Rows repeat, so one thread adds them all, in order (as np.add.at does).
  for (int64_t i = 0; i < n; ++i) {
    if (idx[i] == skip) continue;
    double* __restrict w = dW + idx[i] * d;
    const double* __restrict g = dZ + i * d;
    for (int64_t k = 0; k < d; ++k) w[k] += g[k];
  }
}

QK_ISA_END
}  // namespace qk
