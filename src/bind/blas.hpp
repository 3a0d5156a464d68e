// Releasing the GIL, and the large matrix products that go to the BLAS NumPy
// ships (and that threadpoolctl controls).
#pragma once

#include <cstdint>

#include "bind/ref.hpp"

namespace qb {

class NoGil {
 public:
  NoGil() : state_(PyEval_SaveThread()) {}
  ~NoGil() { PyEval_RestoreThread(state_); }
  NoGil(const NoGil&) = delete;
  NoGil& operator=(const NoGil&) = delete;

 private:
  PyThreadState* state_;
};

// Batched row-major GEMM through numpy's matmul, in R (double or float32): for b < batch,
// C_b = op(A_b) @ op(B_b), where X_b starts at x + b * stride_x (stride 0
// shares one matrix); C is overwritten.  May be called without the GIL: it
// takes the GIL for the call, and numpy releases it again while the BLAS
// runs.  A Python error (MemoryError) comes back as qb::Error.
template <class R>
void gemm(bool trans_a, bool trans_b, int64_t batch, int64_t m, int64_t n, int64_t k, const R* a, int64_t lda,
          int64_t stride_a, const R* b, int64_t ldb, int64_t stride_b, R* c, int64_t ldc, int64_t stride_c);

}  // namespace qb
