// Memory for the arrays this package creates.
//
// A training loop allocates and frees the same few large arrays on every step.
// Through malloc, each of them is mapped afresh and faulted in page by page
// (glibc returns large freed blocks to the system), which costs a noticeable
// share of a step.  Arrays made by the binding layer therefore take their
// memory through a NumPy memory handler of our own that keeps freed blocks of
// 64 KiB and more for reuse, up to a bounded total per module.  The handler is
// installed only around our own allocations (NumPy keeps handlers in a
// context variable), and each array remembers it, so its memory comes back
// here whoever frees it.  The arrays are ordinary NumPy arrays that own their
// data.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "bind/memory.hpp"

namespace qb {

namespace {

constexpr size_t kHeader = 16;                 // keeps NumPy's 16-byte alignment
constexpr size_t kSmallest = size_t{1} << 16;  // smaller blocks go straight to malloc
#ifdef QUILLET_SANITIZE
constexpr size_t kKeptBytes = 0;  // every block back to malloc, where ASan watches it
#else
constexpr size_t kKeptBytes = size_t{1} << 27;  // at most 128 MiB waiting for reuse
#endif

struct Cache {
  std::mutex mutex;
  std::unordered_map<size_t, std::vector<void*>> blocks;  // by size class
  size_t bytes = 0;
};

Cache* cache = new Cache();  // never destroyed: arrays may outlive interpreter teardown order

size_t size_class(size_t n) { return (n + 4095) & ~size_t{4095}; }

// Every block starts with its size class (0 for blocks from malloc as is).
void* finish(void* base, size_t cls) {
  if (!base) return nullptr;
  *static_cast<size_t*>(base) = cls;
  return static_cast<char*>(base) + kHeader;
}

void* take(size_t n) {
  if (n > SIZE_MAX - kHeader - 4096) return nullptr;
  if (n + kHeader < kSmallest) return finish(std::malloc(n + kHeader), 0);
  const size_t cls = size_class(n + kHeader);
  {
    std::lock_guard<std::mutex> lock(cache->mutex);
    auto it = cache->blocks.find(cls);
    if (it != cache->blocks.end() && !it->second.empty()) {
      void* base = it->second.back();
      it->second.pop_back();
      cache->bytes -= cls;
      return finish(base, cls);
    }
  }
  return finish(std::malloc(cls), cls);
}

void give_back(void* ptr) {
  if (!ptr) return;
  void* base = static_cast<char*>(ptr) - kHeader;
  const size_t cls = *static_cast<size_t*>(base);
  if (cls && cls <= kKeptBytes) {
    std::vector<void*> evicted;
    {
      std::lock_guard<std::mutex> lock(cache->mutex);
      // Make room by dropping blocks of other sizes: the newest frees are the
      // likeliest to be asked for again (the next step of the same loop).
      for (auto it = cache->blocks.begin(); cache->bytes + cls > kKeptBytes && it != cache->blocks.end(); ++it)
        while (it->first != cls && !it->second.empty() && cache->bytes + cls > kKeptBytes) {
          evicted.push_back(it->second.back());
          it->second.pop_back();
          cache->bytes -= it->first;
        }
      if (cache->bytes + cls <= kKeptBytes) {
        cache->blocks[cls].push_back(base);
        cache->bytes += cls;
        base = nullptr;
      }
    }
    for (void* block : evicted) std::free(block);
  }
  std::free(base);
}

void* h_malloc(void*, size_t n) { return take(n); }

void* h_calloc(void*, size_t count, size_t size) {
  size_t n;
  if (__builtin_mul_overflow(count, size, &n)) return nullptr;
  void* p = take(n);
  if (p) std::memset(p, 0, n);
  return p;
}

void* h_realloc(void*, void* ptr, size_t n) {
  if (!ptr) return take(n);
  void* base = static_cast<char*>(ptr) - kHeader;
  const size_t cls = *static_cast<size_t*>(base);
  if (!cls && n + kHeader < kSmallest) return finish(std::realloc(base, n + kHeader), 0);
  void* fresh = take(n);
  if (!fresh) return nullptr;
  // A block's usable size is its class (or, for a malloc'd block, at least
  // what the caller asked for, which NumPy never exceeds when it grows).
  const size_t old = cls ? cls - kHeader : n;
  std::memcpy(fresh, ptr, old < n ? old : n);
  give_back(ptr);
  return fresh;
}

void h_free(void*, void* ptr, size_t) { give_back(ptr); }

PyDataMem_Handler handler = {"quillet_reuse", 1, {nullptr, h_malloc, h_calloc, h_realloc, h_free}};

PyObject* handler_capsule() {
  static PyObject* capsule = nullptr;
  if (!capsule) capsule = check(PyCapsule_New(&handler, "mem_handler", nullptr)).release();
  return capsule;
}

}  // namespace

OwnMemory::OwnMemory(size_t bytes) {
  if (bytes + kHeader < kSmallest) return;  // plain malloc either way: skip the switch
  previous_ = PyDataMem_SetHandler(handler_capsule());
  if (!previous_) throw Error{};
}

OwnMemory::~OwnMemory() {
  if (!previous_) return;
  PyObject* ours = PyDataMem_SetHandler(previous_);
  Py_XDECREF(ours);
  Py_DECREF(previous_);
}

}  // namespace qb
