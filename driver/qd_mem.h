// The tracked allocator: all driver memory is taken here, zeroed and without sleeping, and
// released all at once at unload. There is no single free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ksys/mutex.h"

// Header in front of every tracked block; the caller's area follows it, so it keeps the
// alignment that kmem_alloc gives.
struct alignas(alignof(std::max_align_t)) qd_mem_hdr {
  qd_mem_hdr* next;   // the block allocated before this one
  std::uint32_t size; // total bytes, header included
};

extern qd_mem_hdr* qd_mem_head; // newest block first
extern kmutex_t qd_mem_mutex;
extern int qd_mem_mutex_made; // qd_mem_mutex has been initialised

// A zeroed area of len bytes, or null when memory is short.
void* qd_malloc(std::size_t len);
// Frees every tracked block and destroys qd_mem_mutex; the next qd_malloc starts afresh.
void qd_freeall();
