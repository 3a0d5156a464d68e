// The kernel table of one instruction-set level: compiled once per level, like
// the kernels it lists.
#include "kernels/api.hpp"

namespace qk {
QK_ISA_BEGIN

const Api& table() {
#define QK_ENTRY(name) &name<double>,
#define QK_ENTRY_F32(name) &name<float>,
  static const Api api{kApiVersion, sizeof(Api), QK_KERNELS(QK_ENTRY) QK_KERNELS(QK_ENTRY_F32)};
#undef QK_ENTRY
#undef QK_ENTRY_F32
  return api;
}

QK_ISA_END
}  // namespace qk
