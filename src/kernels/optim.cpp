#include "kernels/optim.hpp"

#include <cmath>

#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

namespace {

// a * b + c, rounded once where the machine fuses it (as PyTorch's vectorised
// `add(x, y, alpha)` and `lerp` do), in two roundings elsewhere.
inline double madd(double a, double b, double c) {
#ifdef __FMA__
  return std::fma(a, b, c);
#else
  return a * b + c;
#endif
}

// torch.lerp: start + w * (end - start) for |w| < 0.5, else end + (w - 1) * (end - start).
inline double lerp(double start, double end, double w) {
  return std::fabs(w) < 0.5 ? madd(w, end - start, start) : madd(w - 1.0, end - start, end);
}

}  // namespace

void sgd_step(const SgdRule& r, double* p, const double* g, double* buf, bool first, int64_t n) {
  parallel_for(n, 4.0, [&](int64_t lo, int64_t hi) {
    for (int64_t i = lo; i < hi; ++i) {
      double d = g[i];
      if (r.weight_decay != 0.0) d = madd(r.weight_decay, p[i], d);
      if (r.momentum != 0.0) {
        buf[i] = first ? d : buf[i] * r.momentum + d;  // dampening 0
        d = r.nesterov ? madd(r.momentum, buf[i], d) : buf[i];
      }
      p[i] = madd(-r.lr, d, p[i]);
    }
  });
}

void adam_step(const AdamRule& r, double* p, const double* g, double* m, double* v, int64_t step, int64_t n) {
  // Python's arithmetic on floats, as PyTorch computes these scalars.
  const double s = static_cast<double>(step);
  const double correction1 = 1.0 - std::pow(r.beta1, s);
  const double correction2 = 1.0 - std::pow(r.beta2, s);
  const double step_size = r.lr / correction1;
  const double correction2_sqrt = std::pow(correction2, 0.5);
  const double shrink = 1.0 - r.lr * r.weight_decay;
  const double w1 = 1.0 - r.beta1, w2 = 1.0 - r.beta2;
  parallel_for(n, 12.0, [&](int64_t lo, int64_t hi) {
    for (int64_t i = lo; i < hi; ++i) {
      double d = g[i];
      if (r.weight_decay != 0.0) {
        if (r.decoupled)
          p[i] *= shrink;
        else
          d = madd(r.weight_decay, p[i], d);
      }
      m[i] = lerp(m[i], d, w1);
      const double decayed = v[i] * r.beta2;
      v[i] = decayed + w2 * d * d;
      const double denom = std::sqrt(v[i]) / correction2_sqrt + r.eps;
      p[i] = madd(-step_size, m[i] / denom, p[i]);
    }
  });
}

QK_ISA_END
}  // namespace qk
