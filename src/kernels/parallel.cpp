#include "kernels/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <condition_variable>
#include <exception>
#include <new>
#include <mutex>
#include <thread>

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

namespace {

// Workers wait for a generation number to change, run their piece of the
// current job and count themselves done.  The objects are never destroyed:
// at interpreter exit the detached workers simply stop with the process.
struct Pool {
  std::mutex busy;  // held by the thread whose loop the pool is running
  std::mutex m;
  std::condition_variable wake, done;
  uint64_t generation = 0;
  int pending = 0;
  int64_t n = 0;
  int pieces = 0;
  const std::function<void(int64_t, int64_t)>* fn = nullptr;
  int workers = 0;

  std::exception_ptr error;  // the first exception of a piece, rethrown by the caller

  void piece(int index) {
    const int64_t chunk = (n + pieces - 1) / pieces;
    const int64_t lo = index * chunk, hi = std::min(n, lo + chunk);
    try {
      if (lo < hi) (*fn)(lo, hi);
    } catch (...) {
      std::lock_guard<std::mutex> lock(m);
      if (!error) error = std::current_exception();
    }
  }

  void work(int index) {
    uint64_t seen = 0;
    for (;;) {
      std::unique_lock<std::mutex> lock(m);
      wake.wait(lock, [&] { return generation != seen; });
      seen = generation;
      if (index >= pieces) continue;
      lock.unlock();
      piece(index);  // takes m itself on failure
      lock.lock();
      if (--pending == 0) done.notify_one();
    }
  }

  void ensure(int count) {
    while (workers < count) {
      const int index = ++workers;  // piece 0 is the caller's
      std::thread([this, index] { work(index); }).detach();
    }
  }
};

Pool* pool = nullptr;

std::mutex scratch_mutex;

// The child of a fork has none of the workers, and no other thread to release
// a lock it happened to hold.
void after_fork_in_child() {
  pool = nullptr;
  new (&scratch_mutex) std::mutex();
}

Pool& the_pool() {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(nullptr, nullptr, after_fork_in_child); });
  if (!pool) pool = new Pool();
  return *pool;
}

}  // namespace

void run_parallel(int64_t n, int threads, const std::function<void(int64_t, int64_t)>& fn) {
  Pool& p = the_pool();
  std::unique_lock<std::mutex> busy(p.busy, std::try_to_lock);
  if (!busy.owns_lock()) {
    fn(0, n);  // the pool is running another thread's loop
    return;
  }
  {
    std::lock_guard<std::mutex> lock(p.m);
    p.ensure(threads - 1);
    p.n = n;
    p.pieces = threads;
    p.fn = &fn;
    p.pending = threads - 1;
    ++p.generation;
  }
  p.wake.notify_all();
  p.piece(0);
  std::unique_lock<std::mutex> lock(p.m);
  p.done.wait(lock, [&] { return p.pending == 0; });
  if (p.error) {
    std::exception_ptr e = p.error;
    p.error = nullptr;
    std::rethrow_exception(e);
  }
}

// ---------------------------------------------------------------- scratch

namespace {
std::vector<std::unique_ptr<std::vector<double>>>* scratch_cache = nullptr;
constexpr size_t kScratchKept = 32;
}  // namespace

Scratch::Scratch(size_t n) {
  the_pool();  // registers the fork handler
  {
    std::lock_guard<std::mutex> lock(scratch_mutex);
    if (scratch_cache && !scratch_cache->empty()) {
      // The first cached buffer that is large enough, else the largest.
      auto& c = *scratch_cache;
      size_t pick = 0;
      for (size_t i = 0; i < c.size(); ++i) {
        if (c[i]->size() >= n) {
          pick = i;
          break;
        }
        if (c[i]->size() > c[pick]->size()) pick = i;
      }
      buf_ = std::move(c[pick]);
      c.erase(c.begin() + static_cast<std::ptrdiff_t>(pick));
    }
  }
  if (!buf_) buf_ = std::make_unique<std::vector<double>>();
  if (buf_->size() < n) {
    buf_->clear();
    buf_->shrink_to_fit();
    buf_->resize(n);
  }
}

Scratch::~Scratch() {
  std::lock_guard<std::mutex> lock(scratch_mutex);
  if (!scratch_cache) scratch_cache = new std::vector<std::unique_ptr<std::vector<double>>>();
  if (scratch_cache->size() < kScratchKept) scratch_cache->push_back(std::move(buf_));
}

}  // namespace qk
