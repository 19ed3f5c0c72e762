// User memory as the kernel sees it: what a "user address" in an ioctl refers to. In-process
// callers pass plain pointers; qdhost serves the addresses of a program on the other side of
// a socket through its own implementation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kemu {

class UserMemory {
public:
  virtual ~UserMemory() = default;
  // 0, or EFAULT when the range cannot be read (written).
  virtual int copyin(std::uintptr_t uaddr, void* dst, std::size_t n) = 0;
  virtual int copyout(const void* src, std::uintptr_t uaddr, std::size_t n) = 0;
};

// Plain pointers of this process; address 0 is a fault.
UserMemory& in_process_memory();

// The user memory of the calling context: the innermost scope's, else in_process_memory().
UserMemory& current_user_memory();

// Makes mem the calling context's user memory for the scope's lifetime. Scopes belong to the
// host thread that runs the context, so they follow a context across its blocking waits.
class UserMemoryScope {
public:
  explicit UserMemoryScope(UserMemory& mem);
  ~UserMemoryScope();
  UserMemoryScope(const UserMemoryScope&) = delete;
  UserMemoryScope& operator=(const UserMemoryScope&) = delete;

private:
  UserMemory* saved_;
};

} // namespace kemu
