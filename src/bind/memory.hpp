// Memory for the arrays this package creates (see memory.cpp for why).
#pragma once

#include <cstddef>

#include "bind/array.hpp"

namespace qb {

// While one exists, arrays NumPy creates take their memory from a cache that
// keeps large freed blocks for reuse.
class OwnMemory {
 public:
  // For an allocation of about `bytes` (small ones are left to NumPy).
  explicit OwnMemory(size_t bytes);
  ~OwnMemory();
  OwnMemory(const OwnMemory&) = delete;
  OwnMemory& operator=(const OwnMemory&) = delete;

 private:
  PyObject* previous_ = nullptr;
};

}  // namespace qb
