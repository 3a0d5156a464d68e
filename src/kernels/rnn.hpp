// Recurrent layers: one layer in one direction over a whole sequence, forward
// and backward through time, for the Elman (tanh or ReLU), GRU and LSTM cells
// with the gate order and layout of PyTorch's weights.  A single step of a
// cell is a sequence of length 1.  Also the gather and scatter-add of an
// embedding table.
//
// Each step multiplies the previous hidden state by W_hh.T and, when the
// batch gives every thread rows of its own, its rows of X by W_ih.T, then
// applies the gates in the same pass over each block of batch rows (one block
// per thread when the step is large enough).  With fewer rows the input
// projections of all steps are one product, X @ W_ih.T, made first.  Backward
// walks the steps in reverse, producing every step's gate gradients and the
// hidden-state gradient of the step before it; then one pass over all steps'
// gate gradients makes both weight gradients and the bias gradients, and one
// product the input gradient.  Every product is a register-blocked kernel of
// gemm.hpp.
#pragma once

#include "kernels/isa.hpp"

#include <cstdint>

namespace qk {

enum class CellKind { RnnTanh, RnnRelu, Gru, Lstm };

// Rows of W_ih / W_hh per hidden unit: 1, 3 (r, z, n) or 4 (i, f, g, o).
inline int64_t cell_gates(CellKind k) { return k == CellKind::Lstm ? 4 : k == CellKind::Gru ? 3 : 1; }
// Values forward keeps per time step, batch row and hidden unit for backward:
//   Elman: h;  GRU: r, z, n, W_hn h + b_hn, h;  LSTM: i, f, g, o, c, tanh c, h.
// The new hidden state is always the last of them.
inline int64_t cell_saved(CellKind k) { return k == CellKind::Lstm ? 7 : k == CellKind::Gru ? 5 : 1; }

struct RnnShape {
  int64_t T, B, I, H;  // steps, batch, input features, hidden units
  CellKind kind;
  bool reverse;  // walk the steps from T - 1 down to 0
};

QK_ISA_BEGIN

// The kernels are templates on the element type R (double or float).  Under
// float the gates are computed in float; the bias gradients and an embedding
// row's gradient are summed in double, the weight gradients in float blocks
// of 256 steps-and-rows added in double.

// X (T, B, I) time-major; W_ih (G*H, I), W_hh (G*H, H); b_ih, b_hh (G*H) or
// null (no bias); h0, c0 (B, H) or null (zeros; c0 for the LSTM only).  Writes
// each step's hidden state into Y (row t*B + b at Y + (t*B + b) * ldy), the
// last step's state into hT (and cT), and what backward needs into saved
// (T, B, cell_saved * H).
template <class R>
void rnn_forward(const RnnShape& s, const R* X, const R* W_ih, const R* W_hh, const R* b_ih, const R* b_hh, const R* h0,
                 const R* c0, R* Y, int64_t ldy, R* hT, R* cT, R* saved);

// From dY (rows like Y; null: zeros), dhT and dcT (B, H; null: zeros): dX
// (T, B, I; added to with accumulate_dx, else overwritten), dh0 and dc0
// (B, H), and the parameter gradients dW_ih, dW_hh, db_ih, db_hh
// (overwritten; the biases' may be null).
template <class R>
void rnn_backward(const RnnShape& s, const R* X, const R* W_ih, const R* W_hh, const R* h0, const R* c0, const R* saved,
                  const R* dY, int64_t ldy, const R* dhT, const R* dcT, R* dX, bool accumulate_dx, R* dh0, R* dc0,
                  R* dW_ih, R* dW_hh, R* db_ih, R* db_hh);

// Z (n, d) = W[idx] for W (rows, d); the indices are already checked.
template <class R>
void embedding_forward(const int64_t* idx, int64_t n, const R* W, int64_t d, R* Z);
// dW[idx[i]] += dZ[i] for every i whose index is not `skip` (-1: none).
template <class R>
void embedding_backward(const int64_t* idx, int64_t n, const R* dZ, int64_t d, int64_t skip, R* dW);

QK_ISA_END
}  // namespace qk
