// User memory: the in-process default, the per-context choice, and copyin/copyout.
#include <cerrno>
#include <cstring>

#include "kemu/usermem.h"
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

// Each kernel context runs on a host thread of its own, so the thread is the context.
thread_local UserMemory* t_current = nullptr;

} // namespace

UserMemory& in_process_memory() {
  static InProcessMemory mem;
  return mem;
}

UserMemory& current_user_memory() {
  return t_current != nullptr ? *t_current : in_process_memory();
}

UserMemoryScope::UserMemoryScope(UserMemory& mem) : saved_(t_current) {
  t_current = &mem;
}
UserMemoryScope::~UserMemoryScope() {
  t_current = saved_;
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
