#include "kernels/runtime.hpp"

#include <atomic>

namespace qk {

// The other levels' copies of the kernels, declared like the baseline's.
// Each level's table is made by that level's copy of table.cpp.
#ifdef QUILLET_HAVE_AVX2
namespace isa_avx2 {
const Api& table();
}
#endif
#ifdef QUILLET_HAVE_AVX512
namespace isa_avx512 {
const Api& table();
}
#endif

namespace {

bool runs_avx2() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

bool runs_avx512() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return runs_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
#else
  return false;
#endif
}

std::atomic<int> g_forced_conv_path{-1};

}  // namespace

const std::vector<Level>& levels() {
  static const std::vector<Level> all = [] {
    std::vector<Level> v;
    {
      const Api& api = ::qk::isa_base::table();
#ifdef QUILLET_NATIVE_BUILD
      v.push_back({"native", &api, true});
#else
      v.push_back({"baseline", &api, true});
#endif
    }
#ifdef QUILLET_HAVE_AVX2
    {
      const Api& api = ::qk::isa_avx2::table();
      v.push_back({"avx2", &api, runs_avx2()});
    }
#endif
#ifdef QUILLET_HAVE_AVX512
    {
      const Api& api = ::qk::isa_avx512::table();
      v.push_back({"avx512", &api, runs_avx512()});
    }
#endif
    return v;
  }();
  return all;
}

void force_conv_path(int path) { g_forced_conv_path.store(path < 0 || path > kForceWinograd ? -1 : path); }
int forced_conv_path() { return g_forced_conv_path.load(std::memory_order_relaxed); }

}  // namespace qk
