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

clock_t KernelClock::ticks_until(Tick at) const {
  const Tick current = now();
  constexpr Tick kLongest = static_cast<Tick>(std::numeric_limits<clock_t>::max());
  return at > current ? static_cast<clock_t>(std::min(at - current, kLongest)) : 0;
}

TimerId KernelClock::call_at(Tick at, std::function<void()> fn) {
  // Work ids are never 0, as Clock promises for its ids.
  return kernel_.interrupt(std::move(fn), ticks_until(at));
}

TimerId KernelClock::call_at_or_request(Tick at, std::function<void()> fn) {
  return kernel_.interrupt_or_request(std::move(fn), ticks_until(at));
}

void KernelClock::cancel(TimerId id) {
  if (id != 0 && kernel_alive()) {
    kernel_.cancel_interrupt(id);
  }
}

} // namespace qdemu
