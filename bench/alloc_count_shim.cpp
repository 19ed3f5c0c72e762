// Loaded with LD_PRELOAD into a process under measurement: counts its heap allocations
// (malloc, calloc, realloc, reallocarray and the aligned ones; operator new and the aligned
// operator new end in these) into a 64-bit counter at the start of the file named by
// $QD_ALLOC_COUNT_FILE, mapped shared, which the benchmark reads while the process runs. No
// signal, no thread: the process under measurement runs as it would without it. Every call
// goes on to the C library's own allocator.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "alloc_counter.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t n, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void* __libc_valloc(std::size_t size);
void* __libc_pvalloc(std::size_t size);
}

namespace {

// Allocations before the file is mapped (the dynamic loader's, other constructors') land
// here and are carried over.
alignas(8) std::uint64_t g_early = 0;
std::atomic<std::uint64_t*> g_counter{&g_early};

void count() {
  std::atomic_ref<std::uint64_t>(*g_counter.load(std::memory_order_relaxed))
      .fetch_add(1, std::memory_order_relaxed);
}

__attribute__((constructor)) void map_counter() {
  const char* path = std::getenv(qdbench::kAllocCountFileEnv);
  if (path == nullptr) {
    return;
  }
  const int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  void* p = ::mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) {
    return;
  }
  auto* shared = static_cast<std::uint64_t*>(p);
  std::atomic_ref<std::uint64_t>(*shared).fetch_add(
      std::atomic_ref<std::uint64_t>(g_early).load(std::memory_order_relaxed));
  g_counter.store(shared);
}

bool valid_alignment(std::size_t alignment) {
  return alignment % sizeof(void*) == 0 && (alignment & (alignment - 1)) == 0;
}

} // namespace

extern "C" {

void* malloc(std::size_t size) {
  count();
  return __libc_malloc(size);
}

void* calloc(std::size_t n, std::size_t size) {
  count();
  return __libc_calloc(n, size);
}

void* realloc(void* p, std::size_t size) {
  count();
  return __libc_realloc(p, size);
}

void* reallocarray(void* p, std::size_t n, std::size_t size) {
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(n, size, &bytes)) {
    errno = ENOMEM;
    return nullptr;
  }
  count();
  return __libc_realloc(p, bytes);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  count();
  return __libc_memalign(alignment, size);
}

void* memalign(std::size_t alignment, std::size_t size) {
  count();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  if (!valid_alignment(alignment)) {
    return EINVAL;
  }
  count();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) {
    return ENOMEM;
  }
  *out = p;
  return 0;
}

void* valloc(std::size_t size) {
  count();
  return __libc_valloc(size);
}

void* pvalloc(std::size_t size) {
  count();
  return __libc_pvalloc(size);
}

} // extern "C"
