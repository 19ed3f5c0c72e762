// Where an engine's calls run when host threads drive it (a socket's I/O thread, a test).
// The engine is single-threaded: every call into it, and every callback of its clock, must
// be serialised. An EngineHost gives that order:
//   - KernelEngineHost (kernel_engine_host.h): each call is interrupt-level work queued on
//     the emulated kernel, and the clock is the kernel's; used whenever a kernel runs, so
//     the unit takes its turn with the driver's work on the kernel's time.
//   - LockedEngineHost (below): no kernel; calls run at once on the caller's thread under a
//     mutex, on a manual clock that only the host's advance() moves. For tools' tests, where
//     time inside the unit does not matter.
#pragma once

#include <functional>
#include <mutex>

#include "kemu/host_watch.h"
#include "qdemu/clock.h"
#include "qdemu/manual_clock.h"

namespace qdemu {

class EngineHost {
public:
  virtual ~EngineHost() = default;
  // The clock to build the engine with.
  virtual Clock& clock() = 0;
  // Runs fn serialised with every other fn of this host and with the clock's callbacks:
  // now or later, on this thread or another. fn must not post again and must not block.
  virtual void post(std::function<void()> fn) = 0;
  // Has w called where posted calls run, while fd is ready for the events its handle wants,
  // so that socket I/O needs no thread of its own: as Kernel::watch. An empty handle when
  // this host cannot (then the caller waits for the descriptor itself).
  virtual kemu::HostWatch watch(int /*fd*/, kemu::HostWatcher* /*w*/) { return {}; }
};

class LockedEngineHost final : public EngineHost {
public:
  Clock& clock() override { return clock_; }
  void post(std::function<void()> fn) override {
    std::lock_guard lock(mutex_);
    fn();
  }
  // Moves the manual clock, running the engine's timed work that falls due.
  void advance(Tick ticks) {
    std::lock_guard lock(mutex_);
    clock_.advance(ticks);
  }

private:
  std::mutex mutex_;
  ManualClock clock_;
};

} // namespace qdemu
