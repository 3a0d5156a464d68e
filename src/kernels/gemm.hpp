// Register-blocked matrix products for the blocks a convolution works on:
// a few dozen to a few hundred rows, cache-resident operands, one thread each.
// At these sizes a BLAS call spends much of its time on dispatch and thread
// hand-off; these loops keep every core busy on its own batch chunk instead.
// Large products still go to the BLAS (see conv.cpp for the rule).
#pragma once

#include "kernels/isa.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace qk {

QK_ISA_BEGIN

// Block sizes of the outer-product kernel, chosen per instruction set so the
// accumulators fit the vector registers.
// A block is kMR rows by two vectors of columns, whatever the element type:
// 8 x 16 doubles or 8 x 32 floats with AVX-512, 6 x 8 doubles or 6 x 16 floats
// with AVX2.
#if defined(__AVX512F__)
constexpr int64_t kVecBytes = 64;
constexpr int64_t kMR = 8;  // rows of C per block
#elif defined(__AVX__)
constexpr int64_t kVecBytes = 32;
constexpr int64_t kMR = 6;
#else
constexpr int64_t kVecBytes = 16;
constexpr int64_t kMR = 4;
#endif
template <class R>
constexpr int64_t kLanes = kVecBytes / int64_t{sizeof(R)};  // elements per vector
template <class R>
constexpr int64_t kCols = 2 * kLanes<R>;  // columns of C per block
constexpr int64_t kVec = kLanes<double>;
constexpr int64_t kNR = kCols<double>;

// One vector of R (of the level's width, or of `Bytes`), and the same for
// unaligned memory.
template <class R, int64_t Bytes = kVecBytes>
struct Vec {
  typedef R v __attribute__((vector_size(Bytes)));
  typedef R u __attribute__((vector_size(Bytes), aligned(sizeof(R))));
};

template <class R, int64_t Bytes = kVecBytes>
inline typename Vec<R, Bytes>::v load(const R* p) {
  return *reinterpret_cast<const typename Vec<R, Bytes>::u*>(p);
}
template <class R, int64_t Bytes = kVecBytes>
inline void store(R* p, typename Vec<R, Bytes>::v v) {
  *reinterpret_cast<typename Vec<R, Bytes>::u*>(p) = v;
}
template <class R>
inline typename Vec<R>::v splat(R x) {
  return x - typename Vec<R>::v{};  // x - 0 is exact, so this folds to a broadcast
}

// One stage of transpose_lanes: lanes whose index has bit D set swap with the
// matching lanes of the vector D further on.
template <size_t D, class V, size_t... I>
inline void swap_stage(V* v, std::index_sequence<I...>) {
  constexpr size_t L = sizeof...(I);
  for (size_t i = 0; i < L; ++i)
    if (!(i & D)) {
      const V a = v[i], b = v[i + D];
      v[i] = __builtin_shufflevector(a, b, ((I & D) ? L + I - D : I)...);
      v[i + D] = __builtin_shufflevector(a, b, ((I & D) ? L + I : I + D)...);
    }
}

// v[i][l] becomes v[l][i], for as many vectors as V has lanes.
template <class V>
inline void transpose_lanes(V* v) {
  constexpr size_t L = sizeof(V) / sizeof(v[0][0]);
  const auto lanes = std::make_index_sequence<L>{};
  swap_stage<1>(v, lanes);
  if constexpr (L > 2) swap_stage<2>(v, lanes);
  if constexpr (L > 4) swap_stage<4>(v, lanes);
  if constexpr (L > 8) swap_stage<8>(v, lanes);
  static_assert(L <= 16, "four stages");
}

// Lanes [Off, Off + sizeof...(I)) of x, as a vector of that many lanes.
template <size_t Off, class V, size_t... I>
inline auto lanes_from(V x, std::index_sequence<I...>) {
  return __builtin_shufflevector(x, x, (Off + I)...);
}

// A vector of R in double: sizeof(double) / sizeof(R) vectors of doubles
// (one for double, two for float), each of the level's width.  A wider
// vector type would be lowered lane by lane.
template <class R>
struct InDouble {
  static constexpr size_t kParts = sizeof(double) / sizeof(R);
  typename Vec<double>::v part[kParts];
  double operator[](int64_t l) const { return part[l / kLanes<double>][l % kLanes<double>]; }
  InDouble& operator+=(typename Vec<R>::v x) {
    if constexpr (kParts == 1) {
      part[0] += x;
    } else {
      constexpr auto half = std::make_index_sequence<kLanes<double>>{};
      part[0] += __builtin_convertvector(lanes_from<0>(x, half), typename Vec<double>::v);
      part[1] += __builtin_convertvector(lanes_from<kLanes<double>>(x, half), typename Vec<double>::v);
    }
    return *this;
  }
};

inline int64_t round_up(int64_t x, int64_t m) { return (x + m - 1) / m * m; }

// A last panel of at most kShort rows goes through a kernel of its own when C
// is at least two column blocks wide (kCols<R> each), with no padding rows.
#if defined(__AVX512F__)
constexpr int64_t kShort = 4;  // 16 accumulators + 4 vectors of B
#else
constexpr int64_t kShort = 2;  // 8 + 4: a third row would not fit 16 registers
#endif
inline bool short_last_panel(int64_t M) { return M > 0 && (M - 1) % kMR + 1 <= kShort; }

// Space for A (M x K) packed into panels of kMR rows: round_up(M, kMR) * K.
inline size_t packed_size(int64_t M, int64_t K) { return static_cast<size_t>(round_up(M, kMR) * K); }

// Packs A (M x K, row stride lda), or, with `trans`, the transpose of the
// K x M matrix stored at A with row stride lda.  Missing rows are zero.
template <class R>
void pack_rows(const R* A, int64_t lda, bool trans, int64_t M, int64_t K, R* out);

// C = Ap @ B (or C += Ap @ B with `accumulate`) for Ap packed by pack_rows
// (M rows), B of K rows (stride ldb) and N columns, N a multiple of kCols<R>.  C has
// M rows of stride ldc; with `padded_rows` it has round_up(M, kMR) rows and the
// padding rows receive zeros.
template <class R>
void gemm_packed(int64_t M, int64_t N, int64_t K, const R* Ap, const R* B, int64_t ldb, R* C, int64_t ldc,
                 bool accumulate = false, bool padded_rows = false);

// C = Ap @ B for a B whose row k (N columns, N a multiple of kCols<R>) starts
// at B[k]: a convolution's taps read where they lie, with no column matrix.
template <class R>
void gemm_rowptrs(int64_t M, int64_t N, int64_t K, const R* Ap, const R* const* B, R* C, int64_t ldc);

// C[i] += (Ap @ B)[i] for each row i, the product summed first and then added
// (as a product into scratch and a loop of adds would): row i of C starts at
// C[i].  A convolution's column gradients, added where they belong in dA.
template <class R>
void gemm_add_rows(int64_t M, int64_t N, int64_t K, const R* Ap, const R* B, int64_t ldb, R* const* C);

// The same for A (M x K) read in place from rows lda apart, without packing:
// for an A used once, as a recurrent layer's state at each step.
template <class R>
void gemm_rows(int64_t M, int64_t N, int64_t K, const R* A, int64_t lda, const R* B, int64_t ldb, R* C, int64_t ldc,
               bool accumulate = false);

// The same in panels of 4 rows by 3 vectors (a last vector or two apart),
// N a multiple of kLanes<R>: the same sums, in the same order, as gemm_rows.
// Where kMR is 6, batches of 16 or 32 rows split evenly between two threads
// in panels of 4 at no loss, 12 accumulators filling AVX2's registers as
// 6 x 2 vectors do.
template <class R>
void gemm_rows4(int64_t M, int64_t N, int64_t K, const R* A, int64_t lda, const R* B, int64_t ldb, R* C, int64_t ldc,
                bool accumulate = false);

QK_ISA_END
}  // namespace qk
