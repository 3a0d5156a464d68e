#include "kernels/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

namespace qk {

namespace {

int affinity_cpus() {
#ifdef CPU_COUNT
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int c = CPU_COUNT(&set);
    if (c > 0) return c;
  }
#endif
  const unsigned h = std::thread::hardware_concurrency();
  return h ? static_cast<int>(h) : 1;
}

// The CPU quota of the process's cgroup, rounded up to whole CPUs, or 0 for
// none.  cgroup v2 keeps "quota period" in cpu.max; v1 keeps them apart.
int cgroup_cpus() {
  std::string v2_path, v1_path;
  std::ifstream groups("/proc/self/cgroup");
  for (std::string line; std::getline(groups, line);) {
    const size_t a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
    if (controllers.empty()) v2_path = path;
    std::stringstream list(controllers);
    for (std::string c; std::getline(list, c, ',');)
      if (c == "cpu") v1_path = path;
  }
  auto ratio = [](double quota, double period) {
    return quota > 0 && period > 0 ? static_cast<int>(std::ceil(quota / period)) : 0;
  };
  for (const std::string& dir : {"/sys/fs/cgroup" + v2_path, std::string("/sys/fs/cgroup")}) {
    std::ifstream f(dir + "/cpu.max");
    std::string quota;
    double period = 0;
    if (f >> quota >> period) return quota == "max" ? 0 : ratio(std::atof(quota.c_str()), period);
  }
  for (const std::string& dir :
       {"/sys/fs/cgroup/cpu" + v1_path, std::string("/sys/fs/cgroup/cpu"), "/sys/fs/cgroup/cpu,cpuacct" + v1_path}) {
    std::ifstream q(dir + "/cpu.cfs_quota_us"), p(dir + "/cpu.cfs_period_us");
    double quota = 0, period = 0;
    if (q >> quota && p >> period) return ratio(quota, period);
  }
  return 0;
}

}  // namespace

int default_num_threads() {
  static const int n = [] {
    const int cpus = affinity_cpus(), quota = cgroup_cpus();
    return quota > 0 ? std::max(1, std::min(cpus, quota)) : cpus;
  }();
  return n;
}

namespace {
std::atomic<int> g_threads{0};  // 0: the default
}  // namespace

int num_threads() {
  const int n = g_threads.load(std::memory_order_relaxed);
  return n > 0 ? n : default_num_threads();
}

namespace {

// How long a worker keeps looking for the next job before it sleeps, and the
// caller for the workers to finish before it does.  Loops come in runs (a
// recurrent layer makes two per time step, a network several per layer), and
// waking a sleeping thread costs tens of microseconds; looking costs the core
// it runs on, which is otherwise idle.  Between a layer's loops there may be
// single-threaded work longer than 60 us (padding the input of the benchmark's
// conv2d alone takes about 70): a worker woken late made the caller wait at
// the loop's end (transposed conv2d and LSTM 4-6 % faster with 250).
constexpr auto kSpin = std::chrono::microseconds(250);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Spins until ready() holds or kSpin has passed; returns ready().
template <class F>
bool spin_for(F&& ready) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (int i = 1;; ++i) {
    if (ready()) return true;
    if (i % 64 == 0 && std::chrono::steady_clock::now() > until) return ready();
    cpu_relax();
  }
}

// The current job is one word: a generation number above the piece count, so
// that a worker reads both at once.  Its range and function are written
// before the word is published and read only by the workers that take part,
// which the caller waits for.  The objects are never destroyed: at
// interpreter exit the detached workers simply stop with the process.
constexpr int kPieceBits = 16;

struct Pool {
  std::mutex busy;  // held by the thread whose loop the pool is running
  std::mutex m;
  std::condition_variable wake, done;
  std::atomic<uint64_t> job{0};
  std::atomic<int> pending{0};      // pieces of the current job not yet done by workers
  std::atomic<int> limit{1 << 30};  // workers above this index stop
  int sleepers = 0;                 // workers waiting on `wake` (under m)
  int64_t n = 0;
  const std::function<void(int64_t, int64_t)>* fn = nullptr;
  int workers = 0;      // worker i (1-based) runs piece i; only threads that started count
  int start_error = 0;  // errno of the last thread that could not be started, 0 once one starts

  std::exception_ptr error;  // the first exception of a piece, rethrown by the caller

  void piece(int index, int pieces) {
    const int64_t chunk = (n + pieces - 1) / pieces;
    const int64_t lo = index * chunk, hi = std::min(n, lo + chunk);
    try {
      if (lo < hi) (*fn)(lo, hi);
    } catch (...) {
      std::lock_guard<std::mutex> lock(m);
      if (!error) error = std::current_exception();
    }
  }

  // `seen` is the job word when the worker was started: it waits for the next.
  void work(int index, uint64_t seen) {
    for (;;) {
      uint64_t j = seen;
      auto ready = [&] {
        j = job.load(std::memory_order_acquire);
        return j != seen || index > limit.load(std::memory_order_relaxed);
      };
      if (!spin_for(ready)) {
        std::unique_lock<std::mutex> lock(m);
        ++sleepers;
        wake.wait(lock, ready);
        --sleepers;
      }
      if (index > limit.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lock(m);
        --workers;
        done.notify_all();
        return;
      }
      seen = j;
      const int pieces = static_cast<int>(j & ((1u << kPieceBits) - 1));
      if (index >= pieces) continue;
      piece(index, pieces);  // takes m itself on failure
      if (pending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard<std::mutex> lock(m);
        done.notify_all();
      }
    }
  }

  // Starts workers until there are `count` (called with m held, before the
  // job is published, so a new worker waits for that job); returns how many
  // there are.  A thread the system refuses (EAGAIN under a process or memory
  // limit) is not counted: the loop is split over the workers there are, and
  // the next loop tries again.
  int ensure(int count) {
    count = std::min(count, (1 << kPieceBits) - 2);
    const uint64_t now = job.load(std::memory_order_relaxed);
    while (workers < count) {
      const int index = workers + 1;  // piece 0 is the caller's
      try {
        std::thread([this, index, now] { work(index, now); }).detach();
      } catch (const std::system_error& e) {
        start_error = e.code().value();
        break;
      } catch (const std::bad_alloc&) {  // the thread's own state
        start_error = ENOMEM;
        break;
      }
      workers = index;
      start_error = 0;
    }
    return workers;
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

void set_num_threads(int n) {
  n = std::max(1, n);
  g_threads.store(n, std::memory_order_relaxed);
  Pool& p = the_pool();
  std::lock_guard<std::mutex> busy(p.busy);  // after any loop in flight
  std::unique_lock<std::mutex> lock(p.m);
  p.limit.store(n - 1, std::memory_order_relaxed);
  p.wake.notify_all();
  p.done.wait(lock, [&] { return p.workers <= n - 1; });
  p.limit.store(1 << 30, std::memory_order_relaxed);
}

int running_workers() {
  Pool& p = the_pool();
  std::lock_guard<std::mutex> lock(p.m);
  return p.workers;
}

int worker_start_error() {
  Pool& p = the_pool();
  std::lock_guard<std::mutex> lock(p.m);
  return p.start_error;
}

void run_parallel(int64_t n, int threads, const std::function<void(int64_t, int64_t)>& fn) {
  Pool& p = the_pool();
  std::unique_lock<std::mutex> busy(p.busy, std::try_to_lock);
  if (!busy.owns_lock()) {
    fn(0, n);  // the pool is running another thread's loop
    return;
  }
  int pieces;
  bool sleepers;
  {
    std::lock_guard<std::mutex> lock(p.m);
    pieces = std::min(threads, p.ensure(threads - 1) + 1);
    if (pieces > 1) {
      p.n = n;
      p.fn = &fn;
      p.pending.store(pieces - 1, std::memory_order_relaxed);
      const uint64_t generation = (p.job.load(std::memory_order_relaxed) >> kPieceBits) + 1;
      p.job.store(generation << kPieceBits | static_cast<uint64_t>(pieces), std::memory_order_release);
    }
    sleepers = p.sleepers > 0;
  }
  if (pieces == 1) {
    fn(0, n);  // no worker could be started
    return;
  }
  if (sleepers) p.wake.notify_all();
  p.piece(0, pieces);
  auto finished = [&] { return p.pending.load(std::memory_order_acquire) == 0; };
  std::unique_lock<std::mutex> lock(p.m);
  if (!finished()) {
    lock.unlock();
    if (!spin_for(finished)) {
      lock.lock();
      p.done.wait(lock, finished);
    } else {
      lock.lock();
    }
  }
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

ScratchBlock::ScratchBlock(size_t n) {
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

ScratchBlock::~ScratchBlock() {
  std::lock_guard<std::mutex> lock(scratch_mutex);
  if (!scratch_cache) scratch_cache = new std::vector<std::unique_ptr<std::vector<double>>>();
  if (scratch_cache->size() < kScratchKept) scratch_cache->push_back(std::move(buf_));
}

}  // namespace qk
