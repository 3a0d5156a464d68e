// What only the package module itself reaches: the kernel table it exports,
// and the process-wide settings behind it.
#pragma once

#include "kernels/api.hpp"
#include "kernels/parallel.hpp"

namespace qk {

// The table of kernels for this CPU.
const Api* table();

}  // namespace qk
