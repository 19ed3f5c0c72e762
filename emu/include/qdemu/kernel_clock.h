// The emulated kernel's clock as the emulated units see it: now() is lbolt, and a call
// back is interrupt-level work queued on the kernel. So an engine runs on virtual time in
// tests and on real time in qdhost with no change, and its timed work takes its turn with
// the driver's callouts and completions like any device's interrupt.
#pragma once

#include "kemu/kernel.h"
#include "qdemu/clock.h"

namespace qdemu {

class KernelClock final : public Clock {
public:
  explicit KernelClock(kemu::Kernel& kernel) : kernel_(kernel) {}

  Tick now() const override;
  TimerId call_at(Tick at, std::function<void()> fn) override;
  // The same, but on the real clock fn also runs once the kernel has run what new host
  // requests started (Kernel::interrupt_or_request), if that comes first.
  TimerId call_at_or_request(Tick at, std::function<void()> fn);
  // Ignored once the kernel is gone: its queued work went with it.
  void cancel(TimerId id) override;

private:
  bool kernel_alive() const;
  clock_t ticks_until(Tick at) const;

  kemu::Kernel& kernel_;
};

} // namespace qdemu
