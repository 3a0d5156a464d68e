#include "bind/blas.hpp"

#include "bind/array.hpp"

namespace qb {

namespace {

// A (batch, rows, cols) view of foreign memory (float64 or float32); strides in
// elements.
template <class R>
Ref wrap(int64_t batch, int64_t rows, int64_t cols, int64_t batch_stride, int64_t row_stride, int64_t col_stride,
         const R* p, bool writeable) {
  constexpr npy_intp e = sizeof(R);
  constexpr int type = sizeof(R) == sizeof(double) ? NPY_DOUBLE : NPY_FLOAT;
  npy_intp d[3] = {batch, rows, cols};
  npy_intp s[3] = {batch_stride * e, row_stride * e, col_stride * e};
  int flags = NPY_ARRAY_ALIGNED | (writeable ? NPY_ARRAY_WRITEABLE : 0);
  return check(PyArray_New(&PyArray_Type, 3, d, type, s, const_cast<R*>(p), 0, flags, nullptr));
}

}  // namespace

template <class R>
void gemm(bool trans_a, bool trans_b, int64_t batch, int64_t m, int64_t n, int64_t k, const R* a, int64_t lda,
          int64_t stride_a, const R* b, int64_t ldb, int64_t stride_b, R* c, int64_t ldc, int64_t stride_c) {
  if (batch == 0 || m == 0 || n == 0) return;
  PyGILState_STATE g = PyGILState_Ensure();
  try {
    static PyObject* matmul = nullptr;
    static PyObject* kw = nullptr;
    if (!matmul) {
      matmul = numpy_attr(QB_ID(matmul)).release();
      kw = tuple({QB_ID(out)}).release();
    }
    Ref A = trans_a ? wrap(batch, m, k, stride_a, 1, lda, a, false) : wrap(batch, m, k, stride_a, lda, 1, a, false);
    Ref B = trans_b ? wrap(batch, k, n, stride_b, 1, ldb, b, false) : wrap(batch, k, n, stride_b, ldb, 1, b, false);
    Ref C = wrap(batch, m, n, stride_c, ldc, 1, c, true);
    PyObject* argv[] = {A.get(), B.get(), C.get()};
    check(PyObject_Vectorcall(matmul, argv, 2, kw));
  } catch (...) {
    PyGILState_Release(g);
    throw;
  }
  PyGILState_Release(g);
}

template void gemm(bool, bool, int64_t, int64_t, int64_t, int64_t, const double*, int64_t, int64_t, const double*,
                   int64_t, int64_t, double*, int64_t, int64_t);
template void gemm(bool, bool, int64_t, int64_t, int64_t, int64_t, const float*, int64_t, int64_t, const float*,
                   int64_t, int64_t, float*, int64_t, int64_t);

}  // namespace qb
