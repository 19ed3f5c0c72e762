#include "qdemu/manual_clock.h"

#include <algorithm>

namespace qdemu {

TimerId ManualClock::call_at(Tick at, std::function<void()> fn) {
  const TimerId id = next_id_++;
  due_.emplace(std::make_pair(at, id), std::move(fn));
  return id;
}

void ManualClock::cancel(TimerId id) {
  for (auto it = due_.begin(); it != due_.end(); ++it) {
    if (it->first.second == id) {
      due_.erase(it);
      return;
    }
  }
}

void ManualClock::run_due() {
  while (!due_.empty() && due_.begin()->first.first <= now_) {
    auto node = due_.extract(due_.begin());
    node.mapped()();
  }
}

void ManualClock::advance(Tick ticks) {
  const Tick target = now_ + ticks;
  run_due();
  while (!due_.empty() && due_.begin()->first.first <= target) {
    now_ = std::max(now_, due_.begin()->first.first);
    run_due();
  }
  now_ = target;
}

Tick ManualClock::next_due() const {
  return due_.empty() ? kNever : due_.begin()->first.first;
}

} // namespace qdemu
