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

kemu::HostWatch KernelEngineHost::watch(int fd, kemu::HostWatcher* w) {
  return kernel_.watch(fd, w);
}

} // namespace qdemu
