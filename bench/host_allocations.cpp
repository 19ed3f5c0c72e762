// Counts the process's heap allocations by interposing malloc, calloc and realloc (operator
// new, the STREAMS blocks and kmem all end there). The counting versions hand every call
// on to the C library's own.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bench_meter.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t n, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
}

namespace {
std::atomic<std::uint64_t> g_allocs{0};
}

extern "C" void* malloc(std::size_t size) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t n, std::size_t size) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, size);
}

extern "C" void* realloc(void* p, std::size_t size) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, size);
}

namespace qdbench {

std::uint64_t host_allocations() {
  return g_allocs.load(std::memory_order_relaxed);
}

} // namespace qdbench
