// User memory: the in-process default, the per-context choice, and copyin/copyout.
#include <cerrno>
#include <cstring>

#include "kemu/usermem.h"
#include "kernel_impl.h"
#include "ksys/usercopy.h"

namespace kemu {
namespace {

class InProcessMemory final : public UserMemory {
public:
  int copyin(std::uintptr_t uaddr, void* dst, std::size_t n) override {
    if (n == 0) {
      return 0;
    }
    if (uaddr == 0) {
      return EFAULT;
    }
    std::memcpy(dst, reinterpret_cast<const void*>(uaddr), n);
    return 0;
  }
  int copyout(const void* src, std::uintptr_t uaddr, std::size_t n) override {
    if (n == 0) {
      return 0;
    }
    if (uaddr == 0) {
      return EFAULT;
    }
    std::memcpy(reinterpret_cast<void*>(uaddr), src, n);
    return 0;
  }
};

// Outside a context (host code calling copyin for itself), the scope belongs to the thread.
thread_local UserMemory* t_current = nullptr;

// A context's scope travels with the context, not with the host thread that runs it.
UserMemory*& current_slot() {
  if (kthread* t = detail::self()) {
    return t->user_mem;
  }
  return t_current;
}

} // namespace

UserMemory& in_process_memory() {
  static InProcessMemory mem;
  return mem;
}

UserMemory& current_user_memory() {
  UserMemory* mem = current_slot();
  return mem != nullptr ? *mem : in_process_memory();
}

UserMemoryScope::UserMemoryScope(UserMemory& mem) : saved_(current_slot()) {
  current_slot() = &mem;
}
UserMemoryScope::~UserMemoryScope() {
  current_slot() = saved_;
}

} // namespace kemu

int copyin(const void* uaddr, void* kaddr, std::size_t count) {
  return kemu::current_user_memory().copyin(reinterpret_cast<std::uintptr_t>(uaddr), kaddr,
                                            count) == 0
             ? 0
             : -1;
}

int copyout(const void* kaddr, void* uaddr, std::size_t count) {
  return kemu::current_user_memory().copyout(kaddr, reinterpret_cast<std::uintptr_t>(uaddr),
                                             count) == 0
             ? 0
             : -1;
}
