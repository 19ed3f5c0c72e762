// Copies between kernel memory and the calling program's memory. The "user address" is
// served by the user memory of the current call (kemu/usermem.h).
#pragma once

#include <cstddef>

// 0 on success, -1 when the user address cannot be read or written.
int copyin(const void* uaddr, void* kaddr, std::size_t count);
int copyout(const void* kaddr, void* uaddr, std::size_t count);
