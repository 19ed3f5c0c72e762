#include "qdemu/kernel_engine_host.h"

#include "kemu/kernel.h"
#include "qdemu/kernel_clock.h"

namespace qdemu {

KernelEngineHost::KernelEngineHost(kemu::Kernel& kernel)
    : kernel_(kernel), clock_(std::make_unique<KernelClock>(kernel)) {}

KernelEngineHost::~KernelEngineHost() = default;

void KernelEngineHost::post(std::function<void()> fn) {
  // Once the kernel is gone there is nowhere to run; fn is dropped unrun.
  if (kemu::Kernel::exists() && &kemu::Kernel::current() == &kernel_) {
    kernel_.interrupt(std::move(fn));
  }
}

bool KernelEngineHost::watch(int fd, unsigned events, kemu::HostWatcher* w) {
  return kernel_.watch(fd, events, w);
}

void KernelEngineHost::unwatch(int fd) {
  kernel_.unwatch(fd);
}

} // namespace qdemu
