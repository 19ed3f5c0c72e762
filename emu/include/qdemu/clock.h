// Time as the emulated units see it. The engine never reads a wall clock: it asks a Clock
// for the current tick and for a call back at a later tick. Tests drive a ManualClock; the
// SCSI target and the Lanvara module bind the kernel's clock (Kernel::interrupt and
// cancel_interrupt) behind the same interface.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>

namespace qdemu {

using Tick = std::uint64_t;
using TimerId = std::uint64_t;

inline constexpr Tick kTicksPerSecond = 100; // the kernel's hz
inline constexpr Tick kNever = std::numeric_limits<Tick>::max();

class Clock {
public:
  virtual ~Clock() = default;
  virtual Tick now() const = 0;
  // Runs fn once at tick `at`, or as soon as possible when `at` has passed; never inside
  // this call. The id is never 0.
  virtual TimerId call_at(Tick at, std::function<void()> fn) = 0;
  // Forgets a callback that has not run yet; spent or unknown ids are ignored.
  virtual void cancel(TimerId id) = 0;
};

} // namespace qdemu
