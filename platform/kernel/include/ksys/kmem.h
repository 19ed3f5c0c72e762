// Kernel memory.
#pragma once

#include <cstddef>

inline constexpr int KM_SLEEP = 0;
inline constexpr int KM_NOSLEEP = 1;

// KM_NOSLEEP may return nullptr (fault injection); KM_SLEEP never does, not even for 0
// bytes. kmem_alloc's memory is not zeroed (it holds a garbage pattern).
void* kmem_alloc(std::size_t size, int flags);
void* kmem_zalloc(std::size_t size, int flags);
// The size must be the one given to the allocation; a mismatch is reported.
void kmem_free(void* buf, std::size_t size);
