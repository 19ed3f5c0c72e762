// A clock that moves only when told to: for tests, and for any host loop that wants to
// step the emulated units itself.
#pragma once

#include <cstddef>
#include <map>
#include <utility>

#include "qdemu/clock.h"

namespace qdemu {

class ManualClock final : public Clock {
public:
  explicit ManualClock(Tick start = 0) : now_(start) {}

  Tick now() const override { return now_; }
  TimerId call_at(Tick at, std::function<void()> fn) override;
  void cancel(TimerId id) override;

  // Moves time forward by `ticks`, stopping at every tick that has callbacks due and
  // running them (in the order they were asked for) with now() at that tick.
  void advance(Tick ticks);
  // Runs the callbacks that are due at the current tick, including those they add.
  void run_due();
  // Tick of the earliest callback, kNever when none is pending.
  Tick next_due() const;
  std::size_t pending() const { return due_.size(); }

private:
  Tick now_;
  TimerId next_id_ = 1;
  std::map<std::pair<Tick, TimerId>, std::function<void()>> due_;
};

} // namespace qdemu
