// Integer-factor resampling over batches of planes stored contiguously.
// One-dimensional signals are planes with a single row.
#pragma once

#include "kernels/isa.hpp"

#include <cstdint>

namespace qk {

QK_ISA_BEGIN

// Spreading onto a grid: out[p, i*k, j*k] = in[p, i, j] for i < h, j < w.
// `in` holds planes of h x w, `out` planes of ho x wo with (h-1)*k < ho and
// (w-1)*k < wo; every other entry of `out` is set to zero, so `out` may come
// uninitialised (each worker then touches the memory it writes first).
template <class R>
void spread(const R* in, R* out, int64_t planes, int64_t h, int64_t w, int64_t ho, int64_t wo, int64_t k);

// Picking from a grid: out[p, i, j] = in[p, i*k, j*k] for i < ho, j < wo.
// `in` holds planes of h x w with (ho-1)*k < h and (wo-1)*k < w.
template <class R>
void pick(const R* in, R* out, int64_t planes, int64_t h, int64_t w, int64_t ho, int64_t wo, int64_t k);

// Zero padding: out[p, i + ph, j + pw] = in[p, i, j] for i < h, j < w, in
// planes of (h + 2 ph) x (w + 2 pw); every other entry of `out` is set to
// zero, so `out` may come uninitialised.
template <class R>
void pad_planes(const R* in, R* out, int64_t planes, int64_t h, int64_t w, int64_t ph, int64_t pw);

QK_ISA_END
}  // namespace qk
