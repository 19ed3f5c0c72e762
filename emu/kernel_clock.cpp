#include "qdemu/kernel_clock.h"

#include <algorithm>
#include <limits>

namespace qdemu {

bool KernelClock::kernel_alive() const {
  return kemu::Kernel::exists() && &kemu::Kernel::current() == &kernel_;
}

Tick KernelClock::now() const {
  const clock_t t = kernel_.lbolt();
  return t > 0 ? static_cast<Tick>(t) : 0;
}

TimerId KernelClock::call_at(Tick at, std::function<void()> fn) {
  const Tick current = now();
  constexpr Tick kLongest = static_cast<Tick>(std::numeric_limits<clock_t>::max());
  const clock_t ticks = at > current ? static_cast<clock_t>(std::min(at - current, kLongest)) : 0;
  // Work ids are never 0, as Clock promises for its ids.
  return kernel_.interrupt(std::move(fn), ticks);
}

void KernelClock::cancel(TimerId id) {
  if (id != 0 && kernel_alive()) {
    kernel_.cancel_interrupt(id);
  }
}

} // namespace qdemu
