#include "kernels/optim.hpp"

#include <cmath>

#include "kernels/parallel.hpp"

namespace qk {
QK_ISA_BEGIN

namespace {

// a * b + c, rounded once where the machine fuses it (as PyTorch's vectorised
// `add(x, y, alpha)` and `lerp` do), in two roundings elsewhere.
// In the element type: float parameters are updated in float.
template <class R>
inline R madd(R a, R b, R c) {
#ifdef __FMA__
  return std::fma(a, b, c);
#else
  return a * b + c;
#endif
}

// torch.lerp: start + w * (end - start) for |w| < 0.5, else end + (w - 1) * (end - start).
template <class R>
inline R lerp(R start, R end, R w) {
  return std::fabs(w) < R(0.5) ? madd(w, end - start, start) : madd(w - R(1), end - start, end);
}

}  // namespace

template <class R>
void sgd_step(const SgdRule& r, R* p, const R* g, R* buf, bool first, int64_t n) {
  parallel_for(n, 4.0, [&](int64_t lo, int64_t hi) {
    for (int64_t i = lo; i < hi; ++i) {
      R d = g[i];
      if (r.weight_decay != 0.0) d = madd(R(r.weight_decay), p[i], d);
      if (r.momentum != 0.0) {
        buf[i] = first ? d : buf[i] * R(r.momentum) + d;  // dampening 0
        d = r.nesterov ? madd(R(r.momentum), buf[i], d) : buf[i];
      }
      p[i] = madd(R(-r.lr), d, p[i]);
    }
  });
}

template <class R>
void adam_step(const AdamRule& r, R* p, const R* g, R* m, R* v, int64_t step, int64_t n) {
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
      R d = g[i];
      if (r.weight_decay != 0.0) {
        if (r.decoupled)
          p[i] *= R(shrink);
        else
          d = madd(R(r.weight_decay), p[i], d);
      }
      m[i] = lerp(m[i], d, R(w1));
      const R decayed = v[i] * R(r.beta2);
      v[i] = decayed + R(w2) * d * d;
      const R denom = std::sqrt(v[i]) / R(correction2_sqrt) + R(r.eps);
      p[i] = madd(R(-step_size), m[i] / denom, p[i]);
    }
  });
}

template void sgd_step(const SgdRule&, double*, const double*, double*, bool, int64_t);
template void sgd_step(const SgdRule&, float*, const float*, float*, bool, int64_t);
template void adam_step(const AdamRule&, double*, const double*, double*, double*, int64_t, int64_t);
template void adam_step(const AdamRule&, float*, const float*, float*, float*, int64_t, int64_t);

QK_ISA_END
}  // namespace qk
