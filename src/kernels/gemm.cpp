#include "kernels/gemm.hpp"

#include <algorithm>

namespace qk {
QK_ISA_BEGIN

namespace {

// A's rows for a block: packed by pack_rows (value i of step k at k * kMR + i),
// or read in place from rows lda apart.
template <class R>
struct Packed {
  const R* __restrict p;
  R operator()(int64_t i, int64_t k) const { return p[k * kMR + i]; }
};
template <class R>
struct InPlace {
  const R* row[kMR];
  // Rows past `rows` repeat the last one: read, never stored.
  InPlace(const R* a, int64_t lda, int64_t rows) {
    for (int64_t i = 0; i < kMR; ++i) row[i] = a + std::min(i, rows - 1) * lda;
  }
  R operator()(int64_t i, int64_t k) const { return row[i][k]; }
};

// B's rows for a block, from column j on: rows ldb apart, or each where a
// table of row pointers says (the taps of a convolution, read in place).
template <class R>
struct Strided {
  const R* b;
  int64_t ldb;
  const R* operator()(int64_t k) const { return b + k * ldb; }
  Strided at(int64_t j) const { return {b + j, ldb}; }
};
template <class R>
struct RowTable {
  const R* const* row;
  int64_t j;
  const R* operator()(int64_t k) const { return row[k] + j; }
  RowTable at(int64_t dj) const { return {row, j + dj}; }
};

// C's rows, from row i0 and column j on: rows ldc apart, or each where a
// table of row pointers says (a convolution's column gradients, added onto
// the input gradient where they belong).
template <class R>
struct StridedOut {
  R* c;
  int64_t ldc;
  R* operator()(int64_t i) const { return c + i * ldc; }
  StridedOut at(int64_t i0, int64_t j) const { return {c + i0 * ldc + j, ldc}; }
};
template <class R>
struct TableOut {
  R* const* row;
  int64_t j;
  R* operator()(int64_t i) const { return row[i] + j; }
  TableOut at(int64_t i0, int64_t dj) const { return {row + i0, j + dj}; }
};

// What a block does with C: overwrite it, add the product to it
// (C += A @ B, the sums starting from C), or sum the product apart and then
// add it (C + (A @ B), the rounding of a product made first and added after).
enum class Onto { Store, Accumulate, AddAfter };

template <Onto How, class R, class V>
inline void put(R* c, V v) {
  if constexpr (How == Onto::AddAfter)
    store(c, load(c) + v);
  else
    store(c, v);
}

// One kMR x kCols<R> block of C = A @ B.
template <Onto How, class R, class Rows, class BRows, class COut>
inline void block_nn(int64_t K, const Rows& a, const BRows& b, const COut& c, int64_t rows) {
  using vd = typename Vec<R>::v;
  constexpr int64_t kVec = kLanes<R>;
  vd acc0[kMR], acc1[kMR];
  for (int64_t i = 0; i < kMR; ++i) {
    acc0[i] = How == Onto::Accumulate && i < rows ? load(c(i)) : vd{};
    acc1[i] = How == Onto::Accumulate && i < rows ? load(c(i) + kVec) : vd{};
  }
  for (int64_t k = 0; k < K; ++k) {
    const R* __restrict bk = b(k);
    const vd b0 = load(bk), b1 = load(bk + kVec);
    for (int64_t i = 0; i < kMR; ++i) {
      const vd ai = splat(a(i, k));
      acc0[i] += ai * b0;
      acc1[i] += ai * b1;
    }
  }
  if (rows == kMR) {  // the common case in registers: a loop to `rows` would spill them
    for (int64_t i = 0; i < kMR; ++i) {
      put<How>(c(i), acc0[i]);
      put<How>(c(i) + kVec, acc1[i]);
    }
    return;
  }
  for (int64_t i = 0; i < rows; ++i) {
    put<How>(c(i), acc0[i]);
    put<How>(c(i) + kVec, acc1[i]);
  }
}

// A last panel of at most kShort rows (gemm.hpp) is multiplied two column
// blocks at a time, kShort x 4 vectors, instead of filling a whole kMR-row
// block with rows that are thrown away (2 of 32 rows with AVX2 leave 4 of 36
// idle).  The same sums in the same order: the results do not change.
template <Onto How, class R, class Rows, class BRows, class COut>
inline void block_short(int64_t K, const Rows& a, const BRows& b, const COut& c, int64_t rows) {
  using vd = typename Vec<R>::v;
  constexpr int64_t kVec = kLanes<R>;
  vd acc[kShort][4];
  for (int64_t i = 0; i < kShort; ++i)
    for (int64_t v = 0; v < 4; ++v) acc[i][v] = How == Onto::Accumulate && i < rows ? load(c(i) + v * kVec) : vd{};
  for (int64_t k = 0; k < K; ++k) {
    const R* __restrict bk = b(k);
    vd bv[4];
    for (int64_t v = 0; v < 4; ++v) bv[v] = load(bk + v * kVec);
    for (int64_t i = 0; i < kShort; ++i) {
      const vd ai = splat(a(i, k));
      for (int64_t v = 0; v < 4; ++v) acc[i][v] += ai * bv[v];
    }
  }
  if (rows == kShort) {  // in registers, as in block_nn
    for (int64_t i = 0; i < kShort; ++i)
      for (int64_t v = 0; v < 4; ++v) put<How>(c(i) + v * kVec, acc[i][v]);
    return;
  }
  for (int64_t i = 0; i < rows; ++i)
    for (int64_t v = 0; v < 4; ++v) put<How>(c(i) + v * kVec, acc[i][v]);
}

// C = A @ B block by block; rows_of(p, rows) gives panel p's rows.  Column
// blocks outside, panels inside: a K x kNR slice of B stays in L1 while every
// panel of A passes over it.
template <Onto How, class R, class RowsOf, class BRows, class COut>
void blocks(int64_t M, int64_t N, int64_t K, RowsOf rows_of, const BRows& B, const COut& C, bool padded_rows) {
  constexpr int64_t kNR = kCols<R>;
  if (M <= 0) return;
  const int64_t panels = round_up(M, kMR) / kMR, last = M - (panels - 1) * kMR;
  const bool short_tail = !padded_rows && short_last_panel(M) && N >= 2 * kNR;
  const int64_t whole = short_tail ? panels - 1 : panels;
  for (int64_t j = 0; j < N; j += kNR)
    for (int64_t p = 0; p < whole; ++p) {
      const int64_t rows = padded_rows ? kMR : std::min(kMR, M - p * kMR);
      block_nn<How, R>(K, rows_of(p, rows), B.at(j), C.at(p * kMR, j), rows);
    }
  if (!short_tail) return;
  const int64_t p = panels - 1;
  const auto a = rows_of(p, last);
  int64_t j = 0;
  for (; j + 2 * kNR <= N; j += 2 * kNR) block_short<How, R>(K, a, B.at(j), C.at(p * kMR, j), last);
  if (j < N) block_nn<How, R>(K, a, B.at(j), C.at(p * kMR, j), last);
}

// blocks() with the mode chosen at run time.
template <class R, class RowsOf, class BRows>
void blocks(int64_t M, int64_t N, int64_t K, RowsOf rows_of, const BRows& B, R* C, int64_t ldc, bool accumulate,
            bool padded_rows) {
  if (accumulate)
    blocks<Onto::Accumulate, R>(M, N, K, rows_of, B, StridedOut<R>{C, ldc}, padded_rows);
  else
    blocks<Onto::Store, R>(M, N, K, rows_of, B, StridedOut<R>{C, ldc}, padded_rows);
}

}  // namespace

template <class R>
void pack_rows(const R* A, int64_t lda, bool trans, int64_t M, int64_t K, R* out) {
  const int64_t panels = round_up(M, kMR) / kMR;
  for (int64_t p = 0; p < panels; ++p) {
    R* o = out + p * K * kMR;
    const int64_t rows = std::min(kMR, M - p * kMR);
    if (rows < kMR) std::fill(o, o + K * kMR, R(0));
    if (trans) {  // each k's kMR values lie side by side: a vector copy
      const R* a = A + p * kMR;
      if (rows == kMR)
        for (int64_t k = 0; k < K; ++k)
          for (int64_t i = 0; i < kMR; ++i) o[k * kMR + i] = a[k * lda + i];
      else
        for (int64_t k = 0; k < K; ++k)
          for (int64_t i = 0; i < rows; ++i) o[k * kMR + i] = a[k * lda + i];
    } else {  // row by row: reads in order, stores kMR apart within L1
      const R* a = A + p * kMR * lda;
      for (int64_t i = 0; i < rows; ++i)
        for (int64_t k = 0; k < K; ++k) o[k * kMR + i] = a[i * lda + k];
    }
  }
}

namespace {

// One block of C = A @ B of at most 4 rows (A in place, rows lda apart) by V
// vectors of columns.
template <int64_t V, bool Accumulate, class R>
inline void block_4(int64_t K, const R* a, int64_t lda, int64_t rows, const R* __restrict b, int64_t ldb,
                    R* __restrict c, int64_t ldc) {
  using vd = typename Vec<R>::v;
  constexpr int64_t kVec = kLanes<R>;
  const R* row[4];
  for (int64_t i = 0; i < 4; ++i) row[i] = a + std::min(i, rows - 1) * lda;
  vd acc[4][V];
  for (int64_t i = 0; i < 4; ++i)
    for (int64_t v = 0; v < V; ++v) acc[i][v] = Accumulate && i < rows ? load(c + i * ldc + v * kVec) : vd{};
  for (int64_t k = 0; k < K; ++k) {
    vd bv[V];
    for (int64_t v = 0; v < V; ++v) bv[v] = load(b + k * ldb + v * kVec);
    for (int64_t i = 0; i < 4; ++i) {
      const vd ai = splat(row[i][k]);
      for (int64_t v = 0; v < V; ++v) acc[i][v] += ai * bv[v];
    }
  }
  for (int64_t i = 0; i < rows; ++i)
    for (int64_t v = 0; v < V; ++v) store(c + i * ldc + v * kVec, acc[i][v]);
}

template <bool Accumulate, class R>
void rows4(int64_t M, int64_t N, int64_t K, const R* A, int64_t lda, const R* B, int64_t ldb, R* C, int64_t ldc) {
  constexpr int64_t kVec = kLanes<R>;
  // Column blocks outside, panels inside, as in blocks() above.
  int64_t j = 0;
  for (; j + 3 * kVec <= N; j += 3 * kVec)
    for (int64_t i = 0; i < M; i += 4)
      block_4<3, Accumulate>(K, A + i * lda, lda, std::min<int64_t>(4, M - i), B + j, ldb, C + i * ldc + j, ldc);
  for (; j < N; j += kVec)
    for (int64_t i = 0; i < M; i += 4)
      block_4<1, Accumulate>(K, A + i * lda, lda, std::min<int64_t>(4, M - i), B + j, ldb, C + i * ldc + j, ldc);
}

}  // namespace

template <class R>
void gemm_rows4(int64_t M, int64_t N, int64_t K, const R* A, int64_t lda, const R* B, int64_t ldb, R* C, int64_t ldc,
                bool accumulate) {
  if (accumulate)
    rows4<true>(M, N, K, A, lda, B, ldb, C, ldc);
  else
    rows4<false>(M, N, K, A, lda, B, ldb, C, ldc);
}

template <class R>
void gemm_packed(int64_t M, int64_t N, int64_t K, const R* Ap, const R* B, int64_t ldb, R* C, int64_t ldc,
                 bool accumulate, bool padded_rows) {
  blocks(
      M, N, K, [&](int64_t p, int64_t) { return Packed<R>{Ap + p * K * kMR}; }, Strided<R>{B, ldb}, C, ldc, accumulate,
      padded_rows);
}

template <class R>
void gemm_rowptrs(int64_t M, int64_t N, int64_t K, const R* Ap, const R* const* B, R* C, int64_t ldc) {
  blocks(
      M, N, K, [&](int64_t p, int64_t) { return Packed<R>{Ap + p * K * kMR}; }, RowTable<R>{B, 0}, C, ldc, false,
      false);
}

template <class R>
void gemm_add_rows(int64_t M, int64_t N, int64_t K, const R* Ap, const R* B, int64_t ldb, R* const* C) {
  constexpr int64_t kNR = kCols<R>;
  if (2 * kShort == kMR && N % (2 * kNR) == 0) {
    // Each panel as two halves of kShort rows by four vectors: over the few
    // steps of K a convolution's filters give, four vectors of B a step
    // feed 16 FMAs for 8 loads, where kMR rows by two vectors feed 16 for 10.
    for (int64_t j = 0; j < N; j += 2 * kNR)
      for (int64_t i = 0; i < M; i += kShort) {
        const Packed<R> a{Ap + (i / kMR) * K * kMR + i % kMR};
        block_short<Onto::AddAfter, R>(K, a, Strided<R>{B + j, ldb}, TableOut<R>{C + i, j}, std::min(kShort, M - i));
      }
    return;
  }
  blocks<Onto::AddAfter, R>(
      M, N, K, [&](int64_t p, int64_t) { return Packed<R>{Ap + p * K * kMR}; }, Strided<R>{B, ldb}, TableOut<R>{C, 0},
      false);
}

template <class R>
void gemm_rows(int64_t M, int64_t N, int64_t K, const R* A, int64_t lda, const R* B, int64_t ldb, R* C, int64_t ldc,
               bool accumulate) {
  blocks(
      M, N, K, [&](int64_t p, int64_t rows) { return InPlace<R>(A + p * kMR * lda, lda, rows); }, Strided<R>{B, ldb}, C,
      ldc, accumulate, false);
}

template void pack_rows(const double*, int64_t, bool, int64_t, int64_t, double*);
template void pack_rows(const float*, int64_t, bool, int64_t, int64_t, float*);
template void gemm_packed(int64_t, int64_t, int64_t, const double*, const double*, int64_t, double*, int64_t, bool,
                          bool);
template void gemm_packed(int64_t, int64_t, int64_t, const float*, const float*, int64_t, float*, int64_t, bool, bool);
template void gemm_rowptrs(int64_t, int64_t, int64_t, const double*, const double* const*, double*, int64_t);
template void gemm_rowptrs(int64_t, int64_t, int64_t, const float*, const float* const*, float*, int64_t);
template void gemm_add_rows(int64_t, int64_t, int64_t, const double*, const double*, int64_t, double* const*);
template void gemm_add_rows(int64_t, int64_t, int64_t, const float*, const float*, int64_t, float* const*);
template void gemm_rows(int64_t, int64_t, int64_t, const double*, int64_t, const double*, int64_t, double*, int64_t,
                        bool);
template void gemm_rows(int64_t, int64_t, int64_t, const float*, int64_t, const float*, int64_t, float*, int64_t, bool);
template void gemm_rows4(int64_t, int64_t, int64_t, const double*, int64_t, const double*, int64_t, double*, int64_t,
                         bool);
template void gemm_rows4(int64_t, int64_t, int64_t, const float*, int64_t, const float*, int64_t, float*, int64_t,
                         bool);

QK_ISA_END
}  // namespace qk
