// Mutexes and condition variables, with the checks tests rely on: recursive entry, exit
// by a non-owner, destroy while in use, sleeping with other locks held, and lock order.
//
// A mutex is handed to its first waiter on exit (no barging), so waiters get it in the
// order they asked; that keeps runs repeatable and matches what the driver expects.
#include <algorithm>
#include <cstring>
#include <exception>

#include "kernel_impl.h"
#include "ksys/mutex.h"

using namespace kemu::detail;
using Impl = kemu::Kernel::Impl;

namespace {

Impl& kernel() {
  return kemu::Kernel::current().impl();
}

kthread* need_self(const char* what) {
  kthread* t = self();
  if (t == nullptr) {
    fatal("%s called outside a kernel context", what);
  }
  return t;
}

const char* mname(const kmutex_t* mp) {
  return mp->name != nullptr ? mp->name : "(unnamed mutex)";
}
const char* cvname(const kcondvar_t* cv) {
  return cv->name != nullptr ? cv->name : "(unnamed condition variable)";
}

} // namespace

// ---- Checks and hand-off (Impl, with m held) ----------------------------------------------------

int Impl::rank(const kmutex_t* mp) const {
  if (mp->name == nullptr) {
    return -1;
  }
  for (std::size_t i = 0; i < opts.lock_order.size(); ++i) {
    if (opts.lock_order[i] == mp->name) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void Impl::check_order(kthread* t, kmutex_t* mp) {
  const int r = rank(mp);
  if (r < 0) {
    return;
  }
  for (const kmutex_t* h : t->held) {
    if (rank(h) >= r) {
      reportf("lock order: %s taken while holding %s (in %s)", mname(mp), mname(h),
              t->name.c_str());
      return;
    }
  }
}

void Impl::check_sleep(kthread* t, const char* what, const kmutex_t* except) {
  if (t->sleep_ok > 0) {
    return;
  }
  for (const kmutex_t* h : t->held) {
    if (h != except) {
      reportf("%s while holding %s (in %s)", what, mname(h), t->name.c_str());
    }
  }
}

void Impl::take_mutex(kthread* t, kmutex_t* mp, Lock& lk) {
  if (mp->owner == nullptr) {
    mp->owner = t;
    t->held.push_back(mp);
    return;
  }
  if (t->kill) {
    if (std::uncaught_exceptions() != 0) {
      return; // unwinding already: cannot block and cannot throw
    }
    throw Unwind{};
  }
  wl_append(mp->wait_head, mp->wait_tail, t);
  t->wait_mutex = mp;
  t->blocked_what = "mutex_enter";
  t->blocked_obj = mname(mp);
  block(t, lk); // release_mutex() makes us the owner before we run again
}

void Impl::release_mutex(kthread* t, kmutex_t* mp) {
  auto it = std::find(t->held.rbegin(), t->held.rend(), mp);
  if (it != t->held.rend()) {
    t->held.erase(std::next(it).base());
  }
  kthread* w = mp->wait_head;
  if (w == nullptr) {
    mp->owner = nullptr;
    return;
  }
  wl_remove(mp->wait_head, mp->wait_tail, w);
  w->wait_mutex = nullptr;
  mp->owner = w;
  w->held.push_back(mp);
  push_ready(w);
  kick();
}

// ---- Mutexes ------------------------------------------------------------------------------------

void mutex_init(kmutex_t* mp, const char* name, kmutex_type_t /*type*/, void* /*arg*/) {
  if (!kemu::Kernel::exists()) {
    *mp = kmutex_t{};
  } else {
    Impl& k = kernel();
    Impl::Lock lk(k.m);
    if (mp->owner != nullptr || mp->wait_head != nullptr) {
      k.reportf("mutex_init of %s while it is in use", mname(mp));
    } else {
      *mp = kmutex_t{};
    }
  }
  mp->name = name;
  mp->initialised = 1;
  mp->destroyed = 0;
}

void mutex_destroy(kmutex_t* mp) {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  if (mp->owner != nullptr) {
    k.reportf("mutex_destroy of %s while it is held", mname(mp));
  }
  if (mp->wait_head != nullptr) {
    k.reportf("mutex_destroy of %s with contexts waiting for it", mname(mp));
  }
  mp->destroyed = 1;
  mp->initialised = 0;
}

void mutex_enter(kmutex_t* mp) {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  kthread* t = need_self("mutex_enter");
  if (mp->owner == t) {
    if (!t->kill) {
      k.reportf("recursive mutex_enter of %s (in %s)", mname(mp), t->name.c_str());
    }
    return; // blocking on ourselves would never end
  }
  if (!t->kill) {
    if (mp->destroyed != 0) {
      k.reportf("mutex_enter of destroyed mutex %s", mname(mp));
    }
    k.check_order(t, mp);
  }
  k.take_mutex(t, mp, lk);
}

int mutex_tryenter(kmutex_t* mp) {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  kthread* t = need_self("mutex_tryenter");
  if (mp->owner == t) {
    k.reportf("recursive mutex_tryenter of %s (in %s)", mname(mp), t->name.c_str());
    return 0;
  }
  if (mp->owner != nullptr) {
    return 0;
  }
  if (mp->destroyed != 0) {
    k.reportf("mutex_tryenter of destroyed mutex %s", mname(mp));
  }
  k.take_mutex(t, mp, lk);
  return 1;
}

void mutex_exit(kmutex_t* mp) {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  kthread* t = need_self("mutex_exit");
  if (mp->owner != t) {
    if (!t->kill) {
      k.reportf("mutex_exit of %s by %s, which does not hold it", mname(mp), t->name.c_str());
    }
    return;
  }
  k.release_mutex(t, mp);
}

int mutex_owned(const kmutex_t* mp) {
  const kthread* t = self();
  if (t == nullptr || !kemu::Kernel::exists()) {
    return 0;
  }
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  return mp->owner == t ? 1 : 0;
}

// ---- Condition variables ------------------------------------------------------------------------

void cv_init(kcondvar_t* cvp, const char* name, kcv_type_t /*type*/, void* /*arg*/) {
  if (!kemu::Kernel::exists()) {
    *cvp = kcondvar_t{};
  } else {
    Impl& k = kernel();
    Impl::Lock lk(k.m);
    if (cvp->wait_head != nullptr) {
      k.reportf("cv_init of %s with contexts waiting on it", cvname(cvp));
    } else {
      *cvp = kcondvar_t{};
    }
  }
  cvp->name = name;
}

void cv_destroy(kcondvar_t* cvp) {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  if (cvp->wait_head != nullptr) {
    k.reportf("cv_destroy of %s with contexts waiting on it", cvname(cvp));
  }
}

namespace {

// The one sleep behind every cv_*wait*: 0 signalled, -1 timed out, 1 woken.
clock_t cv_sleep(kcondvar_t* cv, kmutex_t* mp, bool sig, clock_t abstime, const char* what) {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  kthread* t = need_self(what);
  const bool sigs = sig && t->kind == CtxKind::kUser;
  if (sigs && t->sig_pending) {
    return 0;
  }
  const bool held = mp->owner == t;
  if (!t->kill) {
    if (!held) {
      k.reportf("%s on %s without holding %s (in %s)", what, cvname(cv), mname(mp),
                t->name.c_str());
    }
    k.check_sleep(t, what, mp);
  }
  if (abstime >= 0) {
    k.sync();
    if (abstime <= k.lbolt) {
      return -1;
    }
  }
  if (t->kill) {
    if (std::uncaught_exceptions() != 0) {
      return 1;
    }
    throw Unwind{};
  }
  Impl::wl_append(cv->wait_head, cv->wait_tail, t);
  t->wait_cv = cv;
  t->interruptible = sigs;
  t->timed_out = false;
  t->blocked_what = what;
  t->blocked_obj = cvname(cv);
  if (abstime >= 0) {
    k.arm_wake(t, abstime);
  }
  if (held) {
    k.release_mutex(t, mp);
  }
  k.block(t, lk);
  t->interruptible = false;
  if (held) {
    k.take_mutex(t, mp, lk); // back where it was in the order: not checked again
  }
  if (sigs && t->sig_pending) {
    return 0;
  }
  return t->timed_out ? -1 : 1;
}

} // namespace

void cv_wait(kcondvar_t* cvp, kmutex_t* mp) {
  cv_sleep(cvp, mp, false, -1, "cv_wait");
}

int cv_wait_sig(kcondvar_t* cvp, kmutex_t* mp) {
  return cv_sleep(cvp, mp, true, -1, "cv_wait_sig") == 0 ? 0 : 1;
}

clock_t cv_timedwait(kcondvar_t* cvp, kmutex_t* mp, clock_t abstime) {
  return cv_sleep(cvp, mp, false, std::max<clock_t>(abstime, 0), "cv_timedwait");
}

clock_t cv_timedwait_sig(kcondvar_t* cvp, kmutex_t* mp, clock_t abstime) {
  return cv_sleep(cvp, mp, true, std::max<clock_t>(abstime, 0), "cv_timedwait_sig");
}

void cv_signal(kcondvar_t* cvp) {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  if (kthread* w = cvp->wait_head) {
    Impl::wl_remove(cvp->wait_head, cvp->wait_tail, w);
    k.wake_from_cv(w);
    k.kick();
  }
}

void cv_broadcast(kcondvar_t* cvp) {
  Impl& k = kernel();
  Impl::Lock lk(k.m);
  while (kthread* w = cvp->wait_head) {
    Impl::wl_remove(cvp->wait_head, cvp->wait_tail, w);
    k.wake_from_cv(w);
  }
  k.kick();
}
