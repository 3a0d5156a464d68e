#include "kernels/gemm.hpp"

#include <algorithm>

namespace qk {
QK_ISA_BEGIN

namespace {

typedef double vd __attribute__((vector_size(sizeof(double) * kVec)));
typedef double vdu __attribute__((vector_size(sizeof(double) * kVec), aligned(sizeof(double))));

inline vd load(const double* p) { return *reinterpret_cast<const vdu*>(p); }
inline void store(double* p, vd v) { *reinterpret_cast<vdu*>(p) = v; }
inline vd splat(double x) { return x - vd{}; }  // x - 0 is exact, so this folds to a broadcast
// One kMR x kNR block of C = Ap @ B.
template <bool Accumulate>
inline void block_nn(int64_t K, const double* __restrict ap, const double* __restrict b, int64_t ldb,
                     double* __restrict c, int64_t ldc, int64_t rows) {
  vd acc0[kMR], acc1[kMR];
  for (int64_t i = 0; i < kMR; ++i) {
    acc0[i] = Accumulate && i < rows ? load(c + i * ldc) : vd{};
    acc1[i] = Accumulate && i < rows ? load(c + i * ldc + kVec) : vd{};
  }
  for (int64_t k = 0; k < K; ++k) {
    const vd b0 = load(b + k * ldb), b1 = load(b + k * ldb + kVec);
    const double* a = ap + k * kMR;
    for (int64_t i = 0; i < kMR; ++i) {
      const vd ai = splat(a[i]);
      acc0[i] += ai * b0;
      acc1[i] += ai * b1;
    }
  }
  for (int64_t i = 0; i < rows; ++i) {
    store(c + i * ldc, acc0[i]);
    store(c + i * ldc + kVec, acc1[i]);
  }
}

}  // namespace

void pack_rows(const double* A, int64_t lda, bool trans, int64_t M, int64_t K, double* out) {
  const int64_t panels = round_up(M, kMR) / kMR;
  for (int64_t p = 0; p < panels; ++p)
    for (int64_t k = 0; k < K; ++k)
      for (int64_t i = 0; i < kMR; ++i) {
        const int64_t r = p * kMR + i;
        out[(p * K + k) * kMR + i] = r < M ? (trans ? A[k * lda + r] : A[r * lda + k]) : 0.0;
      }
}

void gemm_packed(int64_t M, int64_t N, int64_t K, const double* Ap, const double* B, int64_t ldb, double* C,
                 int64_t ldc, bool accumulate, bool padded_rows) {
  const int64_t panels = round_up(M, kMR) / kMR;
  // Column blocks outside, panels inside: a K x kNR slice of B stays in L1
  // while every panel of A passes over it.
  for (int64_t j = 0; j < N; j += kNR)
    for (int64_t p = 0; p < panels; ++p) {
      const int64_t rows = padded_rows ? kMR : std::min(kMR, M - p * kMR);
      if (accumulate)
        block_nn<true>(K, Ap + p * K * kMR, B + j, ldb, C + p * kMR * ldc + j, ldc, rows);
      else
        block_nn<false>(K, Ap + p * K * kMR, B + j, ldb, C + p * kMR * ldc + j, ldc, rows);
    }
}

QK_ISA_END
}  // namespace qk
