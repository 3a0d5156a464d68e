#include "kernels/parallel.hpp"

#include <sched.h>

namespace qk {

int hardware_threads() {
  static const int n = [] {
#ifdef CPU_COUNT
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
      int c = CPU_COUNT(&set);
      if (c > 0) return c;
    }
#endif
    unsigned h = std::thread::hardware_concurrency();
    return h ? static_cast<int>(h) : 1;
  }();
  return n;
}

}  // namespace qk
