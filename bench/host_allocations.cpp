// Counts the process's C++ heap allocations by replacing the global operator new. The
// emulated kernel's own bookkeeping (callout records, context queues) shows here; the
// driver's memory shows in the kernel's kmem and allocb counts instead.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "bench_meter.h"

namespace {
std::atomic<std::uint64_t> g_news{0};
}

void* operator new(std::size_t size) {
  g_news.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
  std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace qdbench {

std::uint64_t host_allocations() {
  return g_news.load(std::memory_order_relaxed);
}

} // namespace qdbench
