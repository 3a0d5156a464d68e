#include "kernels/runtime.hpp"

namespace qk {

const Api* table() {
  static const Api api = {
      kApiVersion, sizeof(Api),
#define QK_ENTRY(name) &::qk::name,
      QK_KERNELS(QK_ENTRY)
#undef QK_ENTRY
  };
  return &api;
}

}  // namespace qk
