// What only the package module itself reaches: the kernel tables of the
// instruction-set levels this build holds, and the process-wide settings.
#pragma once

#include <vector>

#include "kernels/api.hpp"
#include "kernels/parallel.hpp"

namespace qk {

struct Level {
  const char* name;  // "baseline", "avx2", "avx512"; "native" for a build tuned to its machine
  const Api* api;
  bool supported;  // whether this CPU runs it
};

// The levels compiled in, lowest first.
const std::vector<Level>& levels();

}  // namespace qk
