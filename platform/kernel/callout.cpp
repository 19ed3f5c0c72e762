// Clock ticks, callouts and delays.
#include <algorithm>
#include <cstdint>
#include <ctime>

#include "kernel_impl.h"
#include "ksys/time.h"

using namespace kemu::detail;
using Impl = kemu::Kernel::Impl;

namespace {
Impl& kernel() {
  return kemu::Kernel::current().impl();
}
} // namespace

timeout_id_t timeout(void (*func)(void*), void* arg, clock_t ticks) {
  Work w;
  w.seq = next_seq();
  w.callout = true;
  w.func = func;
  w.arg = arg;
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  const std::uint64_t id = k.queue_work(std::move(w), ticks);
  return reinterpret_cast<timeout_id_t>(static_cast<std::uintptr_t>(id));
}

clock_t untimeout(timeout_id_t id) {
  if (id == nullptr) {
    return -1;
  }
  const auto seq = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(id));
  Work dead;
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  auto it = k.works.find(seq);
  if (it == k.works.end() || !it->second.callout) {
    return -1; // ran, running (never waited for), or unknown
  }
  k.sync();
  const clock_t left = std::max<clock_t>(it->second.due - k.lbolt, 0);
  k.timed.erase({it->second.due, seq}); // a due one sits in the ready queue and is skipped
  dead = std::move(it->second);
  k.works.erase(it);
  return left;
}

void delay(clock_t ticks) {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  kthread* t = self();
  if (t == nullptr) {
    fatal("delay called outside a kernel context");
  }
  if (!t->kill) {
    k.check_sleep(t, "delay", nullptr);
  }
  if (ticks <= 0) {
    return;
  }
  if (t->kill) {
    if (std::uncaught_exceptions() != 0) {
      return;
    }
    throw Unwind{};
  }
  k.sync();
  k.arm_wake(t, k.lbolt + ticks);
  t->blocked_what = "delay";
  k.block(t, lk);
}

int drv_getparm(unsigned int parm, void* valuep) {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  k.sync();
  switch (parm) {
  case LBOLT:
    *static_cast<clock_t*>(valuep) = k.lbolt;
    return 0;
  case TIME:
    *static_cast<std::time_t*>(valuep) = static_cast<std::time_t>(k.wall_boot + k.lbolt / hz);
    return 0;
  default:
    return -1;
  }
}

clock_t ddi_get_lbolt() {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  k.sync();
  return k.lbolt;
}

clock_t drv_usectohz(clock_t usec) {
  if (usec <= 0) {
    return 0;
  }
  constexpr clock_t per_tick = 1000000 / hz;
  return usec / per_tick + (usec % per_tick != 0 ? 1 : 0);
}
