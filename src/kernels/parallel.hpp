// The kernels' parallel loop and scratch memory.
//
// parallel_for runs small ranges on the calling thread and splits large ones
// over a pool of worker threads that sleep between calls (one per extra core).
// Callers pass an estimate of the cost of one item in arithmetic operations.
// The pool serves one loop at a time: a loop started while another runs (from
// a second Python thread) simply runs on its own thread.  After fork() the
// child starts without workers and makes new ones on first use.  A worker
// thread the system refuses to start leaves the loop to the threads there are
// (the caller's at least); later loops try to start it again.
//
// Scratch hands out reusable buffers, so the large column matrices of a
// convolution are not mapped and faulted in afresh on every call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace qk {

// The threads a loop may use: one per available core by default (the CPU
// affinity mask and the cgroup CPU quota both count), or what
// set_num_threads asked for.  1 means no worker threads at all.
int default_num_threads();
int num_threads();
// Sets the thread count (n >= 1).  Workers beyond it stop before this returns.
void set_num_threads(int n);

// The worker threads started so far, and the error number (errno) of the last
// attempt to start one if it failed and none has started since (0 otherwise).
// A loop runs on the workers there are when the system refuses more threads.
int running_workers();
int worker_start_error();

// Below this many operations a second thread costs more than it saves.
constexpr double kParallelThreshold = 2e5;

// Runs fn(lo, hi) over [0, n) in up to `threads` contiguous pieces, the first
// on the calling thread.  Returns when all are done.
void run_parallel(int64_t n, int threads, const std::function<void(int64_t, int64_t)>& fn);

template <class F>
void parallel_for(int64_t n, double cost_per_item, F&& fn) {
  if (n <= 0) return;
  const double total = cost_per_item * static_cast<double>(n);
  int threads = num_threads();
  if (threads > 1 && total > kParallelThreshold && n > 1) {
    threads = static_cast<int>(std::min<int64_t>(threads, n));
    threads = std::min<int>(threads, static_cast<int>(total / (kParallelThreshold / 2)) + 1);
  } else {
    threads = 1;
  }
  if (threads == 1) {
    fn(int64_t{0}, n);
    return;
  }
  run_parallel(n, threads, std::function<void(int64_t, int64_t)>(std::ref(fn)));
}

// A block of at least `n` doubles' worth of memory, taken from a shared cache
// and returned to it on destruction.  Contents are undefined on entry.
class ScratchBlock {
 public:
  explicit ScratchBlock(size_t n);
  ~ScratchBlock();
  ScratchBlock(const ScratchBlock&) = delete;
  ScratchBlock& operator=(const ScratchBlock&) = delete;
  void* data() { return buf_->data(); }

 private:
  std::unique_ptr<std::vector<double>> buf_;
};

// A buffer of at least `n` elements of R (double or float) from that cache:
// the buffers serve either type.
template <class R = double>
class Scratch {
 public:
  explicit Scratch(size_t n) : block_((n * sizeof(R) + sizeof(double) - 1) / sizeof(double)) {}
  R* data() { return static_cast<R*>(block_.data()); }
  R& operator[](size_t i) { return data()[i]; }

 private:
  ScratchBlock block_;
};

}  // namespace qk
