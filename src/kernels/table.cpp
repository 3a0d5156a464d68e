// The kernel table of one instruction-set level: compiled once per level, like
// the kernels it lists.
#include "kernels/api.hpp"

namespace qk {
QK_ISA_BEGIN

const Api& table() {
#define QK_ENTRY(name) &name<double>,
#define QK_ENTRY_F32(name) &name<float>,
#define QK_ENTRY_F64(name) &name,
  static const Api api{kApiVersion, sizeof(Api),
                       QK_KERNELS(QK_ENTRY) QK_KERNELS(QK_ENTRY_F32) QK_KERNELS_F64(QK_ENTRY_F64)};
#undef QK_ENTRY
#undef QK_ENTRY_F32
#undef QK_ENTRY_F64
  return api;
}

QK_ISA_END
}  // namespace qk
