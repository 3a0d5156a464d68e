// The kernels as the package's modules reach them.
//
// The kernels, their thread pool and their scratch memory live in one
// extension, the `quillet` package module itself, which picks the
// instruction-set level of every kernel once, at import.  It exports a table
// of the kernel functions (qk::Api) in a capsule; every other module connects
// to that table when it is created and calls the kernels through it:
//
//   qk::kernels().conv_forward(shape, A, W, b, Z, qb::gemm);
//
// So the process has one pool of worker threads and one thread count, however
// many modules it imports, and a kernel is compiled into one place only.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "kernels/activation.hpp"
#include "kernels/conv.hpp"
#include "kernels/norm.hpp"
#include "kernels/optim.hpp"
#include "kernels/pool.hpp"
#include "kernels/resample.hpp"
#include "kernels/rnn.hpp"
#include "kernels/transposed.hpp"

namespace qk {

// Every function of the table, in order.  A new kernel is declared in its
// header as a template on the element type R (double or float), instantiated
// for both in its source, and added here: the table holds each kernel for
// double under its name and for float under name_f32.
#define QK_KERNELS(X)        \
  X(conv_forward)            \
  X(conv_backward)           \
  X(transposed_forward)      \
  X(transposed_backward)     \
  X(zero_off_grid)           \
  X(max_forward)             \
  X(mean_forward)            \
  X(max_forward_mask)        \
  X(max_backward)            \
  X(mean_backward)           \
  X(spread)                  \
  X(pick)                    \
  X(pad_planes)              \
  X(activate)                \
  X(activate_grad)           \
  X(softmax)                 \
  X(softmax_grad)            \
  X(dropout)                 \
  X(dropout_grad)            \
  X(batchnorm_stats)         \
  X(batchnorm_forward)       \
  X(batchnorm_backward)      \
  X(softmax_cross_entropy)   \
  X(mean_squared_error)      \
  X(mean_squared_error_grad) \
  X(sgd_step)                \
  X(adam_step)               \
  X(rnn_forward)             \
  X(rnn_backward)            \
  X(embedding_forward)       \
  X(embedding_backward)

struct Api {
  uint32_t version;  // kApiVersion of the package that made the table
  uint32_t size;     // sizeof(Api) there
#define QK_FIELD(name) decltype(&::qk::QK_ISA::name<double>) name;
  QK_KERNELS(QK_FIELD)
#undef QK_FIELD
#define QK_FIELD(name) decltype(&::qk::QK_ISA::name<float>) name##_f32;
  QK_KERNELS(QK_FIELD)
#undef QK_FIELD
};

// Bumped whenever the table changes: a module built for another table
// refuses to import rather than call the wrong function.
constexpr uint32_t kApiVersion = 8;
constexpr const char* kCapsuleName = "quillet._kernels";

// The table of the connected package (modules).
const Api& kernels();
// Connects this module to the package's table (the binding layer does it when
// a module is created).
void connect(const Api* api);

// The table's kernels for element type R, for code templated on it:
// Of<R>::conv_forward(…) calls conv_forward or conv_forward_f32.
template <class R>
struct Of {
  static_assert(std::is_same_v<R, double> || std::is_same_v<R, float>, "kernels exist for double and float");
#define QK_OF(name)                                             \
  template <class... Args>                                      \
  static decltype(auto) name(Args&&... args) {                  \
    if constexpr (std::is_same_v<R, float>)                     \
      return kernels().name##_f32(std::forward<Args>(args)...); \
    else                                                        \
      return kernels().name(std::forward<Args>(args)...);       \
  }
  QK_KERNELS(QK_OF)
#undef QK_OF
};

QK_ISA_BEGIN
// This level's table (table.cpp, compiled once per level).
const Api& table();
QK_ISA_END

}  // namespace qk
