// An EngineHost on the emulated kernel: posted calls and the engine's timed work run as
// interrupt-level work, in the order queued, on the kernel's clock. With the virtual clock
// they run when the test lets the kernel run (settle, advance, run_until, call); with the
// real clock (qdhost) at once, and descriptors are watched on the CPU's thread. Kernel headers stay
// out of this one, so that socket code can include it beside <fcntl.h>. Calls posted after the
// kernel has gone are dropped.
#pragma once

#include <memory>

#include "qdemu/engine_host.h"

namespace kemu {
class Kernel;
}

namespace qdemu {

class KernelEngineHost final : public EngineHost {
public:
  // The kernel must outlive this host and everything posted through it.
  explicit KernelEngineHost(kemu::Kernel& kernel);
  ~KernelEngineHost() override;

  Clock& clock() override { return *clock_; }
  void post(std::function<void()> fn) override;
  // On the real clock, on the kernel's CPU thread.
  kemu::HostWatch watch(int fd, kemu::HostWatcher* w) override;

private:
  kemu::Kernel& kernel_;
  std::unique_ptr<Clock> clock_;
};

} // namespace qdemu
