// Instruction-set levels.  The hot kernels are compiled once per level the
// target supports (baseline x86-64, AVX2+FMA, AVX-512 on x86-64; the baseline
// elsewhere), each copy in a namespace of its own, and the package picks the
// best level the CPU runs once, at import (runtime.cpp).  A kernel source
// puts its functions between QK_ISA_BEGIN and QK_ISA_END; its types stay in qk.
#pragma once

#if defined(QK_ISA_AVX512)
#define QK_ISA isa_avx512
#elif defined(QK_ISA_AVX2)
#define QK_ISA isa_avx2
#else
#define QK_ISA isa_base
#endif

#define QK_ISA_BEGIN namespace QK_ISA {
#define QK_ISA_END }
