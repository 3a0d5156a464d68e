// The optimizers' parameter updates, over flat float64 buffers.
#pragma once

#include <cstdint>

#include "kernels/isa.hpp"

namespace qk {

// The hyper-parameters of an SGD step (dampening 0, as PyTorch's default).
struct SgdRule {
  double lr, momentum, weight_decay;
  bool nesterov;
};

// The hyper-parameters of an Adam or AdamW step.
struct AdamRule {
  double lr, beta1, beta2, eps, weight_decay;
  bool decoupled;  // AdamW: p *= 1 - lr * weight_decay; Adam: g += weight_decay * p
};

QK_ISA_BEGIN

// The optimizers' updates follow PyTorch's single-tensor formulation operation
// by operation (the same intermediate roundings, fused multiply-adds where its
// vectorised CPU kernels use them), so a run agrees with PyTorch's to rounding.
//
// One SGD step on p (n values) with gradient g.  With momentum, `buf` is the
// momentum buffer; `first` means it holds nothing yet and is set to the
// (decayed) gradient, as PyTorch does on the first step.
template <class R>
void sgd_step(const SgdRule& rule, R* p, const R* g, R* buf, bool first, int64_t n);
// One Adam/AdamW step on p with gradient g and the moments m and v; `step`
// counts this step (1 on the first), for the bias corrections.
template <class R>
void adam_step(const AdamRule& rule, R* p, const R* g, R* m, R* v, int64_t step, int64_t n);

QK_ISA_END
}  // namespace qk
