// Kernel memory: every block is tracked so that bad frees and leaks are reported, fresh
// blocks carry a recognisable pattern so that reads of uninitialised memory show, and
// KM_NOSLEEP can be made to fail on request.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "kernel_impl.h"
#include "ksys/kmem.h"

using namespace kemu::detail;
using Impl = kemu::Kernel::Impl;

namespace {

Impl& kernel() {
  return kemu::Kernel::current().impl();
}

// The pattern, then the filled part copied onto what follows it in doubling steps: a
// polled unit's idle READ allocates and frees a buffer of tens of KiB many times a second.
void fill(void* p, std::size_t n, const unsigned char (&pattern)[4]) {
  auto* b = static_cast<unsigned char*>(p);
  std::memcpy(b, pattern, std::min<std::size_t>(n, 4));
  for (std::size_t done = 4; done < n; done *= 2) {
    std::memcpy(b + done, b, std::min(done, n - done));
  }
}

constexpr unsigned char kFreed[4] = {0xDE, 0xAD, 0xBE, 0xEF};

// Blocks of the usual sizes go back to a free list by size class instead of the heap, so
// that a steady flow of SCSI packets stops calling it. Sanitizer builds use the heap every
// time, so that a use after free is still caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooling = false;
#else
constexpr bool kPooling = true;
#endif
constexpr std::size_t kNoClass = std::size(Impl::kKmemClasses);

std::size_t size_class(std::size_t size) {
  for (std::size_t c = 0; c < kNoClass; ++c) {
    if (size <= Impl::kKmemClasses[c]) {
      return kPooling ? c : kNoClass;
    }
  }
  return kNoClass;
}

void* take_block(Impl& k, std::size_t size) {
  const std::size_t c = size_class(size);
  if (c == kNoClass) {
    return std::malloc(size == 0 ? 1 : size);
  }
  auto& spare = k.kmem_spare[c];
  if (!spare.empty()) {
    void* p = spare.back();
    spare.pop_back();
    return p;
  }
  return std::malloc(Impl::kKmemClasses[c]);
}

void give_block(Impl& k, void* p, std::size_t size) {
  const std::size_t c = size_class(size);
  if (c == kNoClass) {
    std::free(p);
  } else {
    k.kmem_spare[c].push_back(p);
  }
}

void* allocate(std::size_t size, int flags, bool zero) {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  ++k.alloc_calls;
  if ((flags & KM_NOSLEEP) != 0) {
    if (k.fail_nth > 0 && --k.fail_nth == 0) {
      return nullptr;
    }
    if (k.budget_on && size > k.budget_left) {
      return nullptr;
    }
  }
  // A zero-byte request still gets a unique, tracked block, so KM_SLEEP never fails.
  void* p = take_block(k, size);
  if (p == nullptr) {
    fatal("host out of memory for a %zu-byte kmem_alloc", size);
  }
  if (zero) {
    std::memset(p, 0, size);
  } else {
    fill(p, size, kemu::kKmemGarbage);
  }
  if (k.budget_on) {
    k.budget_left -= std::min(size, k.budget_left);
  }
  k.allocs.emplace(p, Impl::Alloc{size});
  k.alloc_bytes += size;
  return p;
}

} // namespace

void* kmem_alloc(std::size_t size, int flags) {
  return allocate(size, flags, false);
}
void* kmem_zalloc(std::size_t size, int flags) {
  return allocate(size, flags, true);
}

void kmem_free(void* buf, std::size_t size) {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  if (buf == nullptr) {
    k.reportf("kmem_free of a null pointer (%zu bytes)", size);
    return;
  }
  auto it = k.allocs.find(buf);
  if (it == k.allocs.end()) {
    k.reportf("kmem_free of %zu bytes that kmem_alloc did not hand out (or freed twice)", size);
    return;
  }
  const std::size_t real = it->second.size;
  if (real != size) {
    k.reportf("kmem_free of a %zu-byte block with size %zu", real, size);
  }
  fill(buf, real, kFreed);
  give_block(k, buf, real);
  k.alloc_bytes -= real;
  k.allocs.erase(it);
}

void Impl::free_all_kmem() {
  for (auto& spare : kmem_spare) {
    for (void* p : spare) {
      std::free(p);
    }
    spare.clear();
  }
  if (allocs.empty()) {
    return;
  }
  reportf("%zu kmem allocation(s) of %zu bytes still outstanding at shutdown", allocs.size(),
          alloc_bytes);
  for (auto& [p, a] : allocs) {
    std::free(p);
  }
  allocs.clear();
  alloc_bytes = 0;
}

namespace kemu {

void Kernel::fail_kmem_nth(long n) {
  Impl::Lock lk(impl_->m);
  impl_->fail_nth = n > 0 ? n : 0;
}

void Kernel::fail_kmem_after(std::size_t budget_bytes) {
  Impl::Lock lk(impl_->m);
  impl_->budget_on = true;
  impl_->budget_left = budget_bytes;
}

void Kernel::clear_kmem_faults() {
  Impl::Lock lk(impl_->m);
  impl_->fail_nth = 0;
  impl_->budget_on = false;
}

std::size_t Kernel::kmem_outstanding_count() const {
  Impl::Lock lk(impl_->m);
  return impl_->allocs.size();
}

std::size_t Kernel::kmem_outstanding_bytes() const {
  Impl::Lock lk(impl_->m);
  return impl_->alloc_bytes;
}

std::uint64_t Kernel::kmem_alloc_calls() const {
  Impl::Lock lk(impl_->m);
  return impl_->alloc_calls;
}

} // namespace kemu
