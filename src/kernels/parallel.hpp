// A minimal parallel loop for the kernels.  Work below a threshold runs on the
// calling thread; above it the range is split over the machine's cores with
// plain std::threads (no pool: nothing survives the call, so fork() and
// interpreter shutdown need no care).  Callers pass an estimate of the cost of
// one item in arithmetic operations.
#pragma once

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

namespace qk {

int hardware_threads();

// Below this many operations a second thread costs more than it saves.
constexpr double kParallelThreshold = 4e5;

template <class F>
void parallel_for(int64_t n, double cost_per_item, F&& fn) {
  if (n <= 0) return;
  int threads = hardware_threads();
  const double total = cost_per_item * static_cast<double>(n);
  if (threads > 1 && total > kParallelThreshold) {
    threads = static_cast<int>(std::min<int64_t>(threads, n));
    threads = std::min<int>(threads, static_cast<int>(total / (kParallelThreshold / 2)) + 1);
  } else {
    threads = 1;
  }
  if (threads == 1) {
    fn(int64_t{0}, n);
    return;
  }
  std::vector<std::thread> workers;
  workers.reserve(static_cast<size_t>(threads - 1));
  const int64_t chunk = (n + threads - 1) / threads;
  for (int t = 1; t < threads; ++t) {
    const int64_t lo = t * chunk, hi = std::min(n, lo + chunk);
    if (lo >= hi) break;
    workers.emplace_back([&fn, lo, hi] { fn(lo, hi); });
  }
  fn(int64_t{0}, std::min(n, chunk));
  for (auto& w : workers) w.join();
}

}  // namespace qk
