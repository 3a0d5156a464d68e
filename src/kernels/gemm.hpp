// Register-blocked matrix products for the blocks a convolution works on:
// a few dozen to a few hundred rows, cache-resident operands, one thread each.
// At these sizes a BLAS call spends much of its time on dispatch and thread
// hand-off; these loops keep every core busy on its own batch chunk instead.
// Large products still go to the BLAS (see conv.cpp for the rule).
#pragma once

#include "kernels/isa.hpp"

#include <cstddef>
#include <cstdint>

namespace qk {

QK_ISA_BEGIN

// Block sizes of the outer-product kernel, chosen per instruction set so the
// accumulators fit the vector registers.
#if defined(__AVX512F__)
constexpr int64_t kVec = 8;  // doubles per vector
constexpr int64_t kMR = 8;   // rows of C per block
#elif defined(__AVX__)
constexpr int64_t kVec = 4;
constexpr int64_t kMR = 6;
#else
constexpr int64_t kVec = 2;
constexpr int64_t kMR = 4;
#endif
constexpr int64_t kNR = 2 * kVec;  // columns of C per block

inline int64_t round_up(int64_t x, int64_t m) { return (x + m - 1) / m * m; }

// Space for A (M x K) packed into panels of kMR rows: round_up(M, kMR) * K.
inline size_t packed_size(int64_t M, int64_t K) { return static_cast<size_t>(round_up(M, kMR) * K); }

// Packs A (M x K, row stride lda), or, with `trans`, the transpose of the
// K x M matrix stored at A with row stride lda.  Missing rows are zero.
void pack_rows(const double* A, int64_t lda, bool trans, int64_t M, int64_t K, double* out);

// C = Ap @ B (or C += Ap @ B with `accumulate`) for Ap packed by pack_rows
// (M rows), B of K rows (stride ldb) and N columns, N a multiple of kNR.  C has
// M rows of stride ldc; with `padded_rows` it has round_up(M, kMR) rows and the
// padding rows receive zeros.
void gemm_packed(int64_t M, int64_t N, int64_t K, const double* Ap, const double* B, int64_t ldb, double* C,
                 int64_t ldc, bool accumulate = false, bool padded_rows = false);

QK_ISA_END
}  // namespace qk
