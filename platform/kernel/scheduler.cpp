// The one emulated CPU: who holds it, the ready queue, hand-off between contexts, and the
// rules for when time may move.
//
// Every decision here is taken under Impl::m from queues in a fixed order, so the order
// of events never depends on how the host schedules its threads.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "kernel_impl.h"

namespace kemu::detail {

namespace {
thread_local kthread* tl_self = nullptr;
std::atomic<std::uint64_t> g_seq{0};

// Runs a context's code; what escaped it, as text (empty when nothing, or when the kernel
// unwound the context on purpose).
template <class F> std::string run_body(F&& body) {
  try {
    body();
  } catch (const Unwind&) {
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
  return {};
}
} // namespace

kthread* self() {
  return tl_self;
}
void set_self(kthread* t) {
  tl_self = t;
}
std::uint64_t next_seq() {
  return ++g_seq;
}

void fatal(const char* fmt, ...) {
  std::va_list ap;
  va_start(ap, fmt);
  std::fputs("kernel: fatal: ", stderr);
  std::vfprintf(stderr, fmt, ap);
  std::fputc('\n', stderr);
  va_end(ap);
  std::abort();
}

} // namespace kemu::detail

using namespace kemu::detail;
using Impl = kemu::Kernel::Impl;

void Impl::push_ready(kthread* t) {
  t->state = CtxState::kReady;
  ready.push_back({t, 0});
}

void Impl::kick() {
  if (running == nullptr && may_run()) {
    dispatch();
  }
}

void Impl::give_cpu(kthread* t) {
  running = t;
  t->state = CtxState::kRunning;
  t->cv->notify_all();
}

void Impl::dispatch() {
  while (!ready.empty()) {
    const ReadyEntry e = ready.front();
    ready.pop_front();
    if (e.t != nullptr) {
      give_cpu(e.t);
      return;
    }
    if (stopping) {
      continue; // left in `works`; shutdown counts and drops it
    }
    auto it = works.find(e.work_seq);
    if (it == works.end()) {
      continue; // cancelled after it became due
    }
    kthread* w = idle_worker();
    w->work = std::move(it->second);
    works.erase(it);
    w->id = next_seq(); // each item is a context of its own
    w->kill = false;
    live.emplace(w->id, w);
    give_cpu(w);
    return;
  }
  driver_cv.notify_all();
}

void Impl::release_cpu() {
  running = nullptr;
  if (may_run()) {
    dispatch();
  } else {
    driver_cv.notify_all();
  }
}

kthread* Impl::idle_worker() {
  if (!idle_workers.empty()) {
    auto it = idle_workers.begin();
    kthread* t = it->second;
    idle_workers.erase(it);
    return t;
  }
  auto t = std::make_unique<kthread>();
  t->name = "interrupt";
  t->kind = CtxKind::kInterrupt;
  t->cred = Kernel::root_cred();
  t->slot = worker_count++;
  kthread* p = t.get();
  threads.push_back(std::move(t));
  p->host = std::thread([this, p] { worker_main(p); });
  return p;
}

void Impl::block(kthread* t, Lock& lk) {
  t->state = CtxState::kBlocked;
  release_cpu();
  wait_cpu(t, lk);
}

void Impl::wait_cpu(kthread* t, Lock& lk) {
  for (;;) {
    if (running == t) {
      break;
    }
    if (t->driver && idle()) {
      // Every context is blocked and this call is waiting: only time can help.
      if (t->wait == Wait::kJump && jump(t->jump_limit)) {
        continue;
      }
      std::string why;
      if (t->wait == Wait::kNoJump) {
        why = "call cannot complete without time passing";
      } else if (timed.empty()) {
        why = "deadlock: every context is blocked and nothing is pending";
      } else {
        why = "call did not complete within " + std::to_string(opts.call_limit) + " ticks";
      }
      abandon(t, why);
      continue;
    }
    t->cv->wait(lk);
  }
  t->blocked_what = nullptr;
  t->blocked_obj = nullptr;
  if (t->kill && std::uncaught_exceptions() == 0) {
    throw Unwind{};
  }
}

std::string Impl::describe(const kthread* t) const {
  std::string s = t->name;
  switch (t->state) {
  case CtxState::kBlocked:
    s += " blocked in ";
    s += t->blocked_what != nullptr ? t->blocked_what : "?";
    if (t->blocked_obj != nullptr) {
      s += " on ";
      s += t->blocked_obj;
    }
    break;
  case CtxState::kReady:
    s += " ready to run";
    break;
  case CtxState::kRunning:
    s += " running";
    break;
  default:
    break;
  }
  return s;
}

void Impl::abandon(kthread* t, const std::string& why) {
  report(why + " (" + describe(t) + ")");
  unlink_waits(t);
  t->kill = true;
  give_cpu(t); // the CPU is idle: let it unwind
}

void Impl::wl_append(kthread*& head, kthread*& tail, kthread* t) {
  t->next_wait = nullptr;
  if (tail != nullptr) {
    tail->next_wait = t;
  } else {
    head = t;
  }
  tail = t;
}

bool Impl::wl_remove(kthread*& head, kthread*& tail, kthread* t) {
  kthread* prev = nullptr;
  for (kthread* p = head; p != nullptr; prev = p, p = p->next_wait) {
    if (p != t) {
      continue;
    }
    (prev != nullptr ? prev->next_wait : head) = p->next_wait;
    if (tail == p) {
      tail = prev;
    }
    p->next_wait = nullptr;
    return true;
  }
  return false;
}

void Impl::unlink_waits(kthread* t) {
  if (t->wait_mutex != nullptr) {
    wl_remove(t->wait_mutex->wait_head, t->wait_mutex->wait_tail, t);
    t->wait_mutex = nullptr;
  }
  if (t->wait_cv != nullptr) {
    wl_remove(t->wait_cv->wait_head, t->wait_cv->wait_tail, t);
    t->wait_cv = nullptr;
  }
  if (t->timer_armed) {
    timed.erase(t->timer_key);
    t->timer_armed = false;
  }
}

void Impl::wake_from_cv(kthread* t) {
  t->wait_cv = nullptr;
  if (t->timer_armed) {
    timed.erase(t->timer_key);
    t->timer_armed = false;
  }
  push_ready(t);
}

void Impl::signal(kthread* t) {
  if (t->kind != CtxKind::kUser || t->state == CtxState::kDone) {
    return;
  }
  t->sig_pending = true;
  if (t->state == CtxState::kBlocked && t->interruptible && t->wait_cv != nullptr) {
    wl_remove(t->wait_cv->wait_head, t->wait_cv->wait_tail, t);
    wake_from_cv(t);
    kick();
  }
}

void Impl::kill(kthread* t) {
  t->kill = true;
  if (t->state == CtxState::kBlocked) {
    unlink_waits(t);
    push_ready(t);
  }
}

void Impl::finish_context(kthread* t) {
  while (!t->held.empty()) {
    kmutex_t* mp = t->held.back();
    if (!t->kill) {
      reportf("%s ended holding %s", t->name.c_str(), mp->name != nullptr ? mp->name : "a mutex");
    }
    release_mutex(t, mp);
  }
  t->sig_pending = false;
  t->sleep_ok = 0;
}

// ---- Time ----------------------------------------------------------------------------------

void Impl::add_timed(TimedKey key, Timed what) {
  const bool earliest = timed.empty() || key < timed.begin()->first;
  timed.emplace(key, what);
  if (earliest && opts.clock == ClockMode::kReal) {
    sched_cv.notify_all();
  }
}

void Impl::arm_wake(kthread* t, clock_t due) {
  t->timer_key = {due, next_seq()};
  t->timer_armed = true;
  add_timed(t->timer_key, {0, t});
}

std::uint64_t Impl::queue_work(std::unique_ptr<Work> w, clock_t ticks) {
  sync();
  ticks = std::max<clock_t>(ticks, 0);
  const std::uint64_t seq = w->seq;
  w->due = lbolt + ticks;
  const clock_t due = w->due;
  works.emplace(seq, std::move(w));
  if (ticks == 0) {
    ready.push_back({nullptr, seq});
    kick();
  } else {
    add_timed({due, seq}, {seq, nullptr});
  }
  return seq;
}

void Impl::release_due() {
  while (!timed.empty() && timed.begin()->first.first <= lbolt) {
    const Timed what = timed.begin()->second;
    timed.erase(timed.begin());
    if (what.wake == nullptr) {
      ready.push_back({nullptr, what.work_seq});
      continue;
    }
    kthread* t = what.wake;
    t->timer_armed = false;
    if (t->wait_cv != nullptr) {
      wl_remove(t->wait_cv->wait_head, t->wait_cv->wait_tail, t);
      t->wait_cv = nullptr;
      t->timed_out = true;
    }
    push_ready(t);
  }
}

bool Impl::jump(clock_t limit) {
  if (timed.empty()) {
    return false;
  }
  const clock_t due = timed.begin()->first.first;
  if (due > limit) {
    return false;
  }
  lbolt = std::max(lbolt, due);
  release_due();
  kick();
  return true;
}

void Impl::wait_idle(Lock& lk) {
  kick();
  driver_cv.wait(lk, [this] { return idle(); });
}

clock_t Impl::wall_ticks() const {
  const std::chrono::duration<double> since = std::chrono::steady_clock::now() - boot;
  return static_cast<clock_t>(std::floor(since.count() * opts.speed * hz));
}

std::chrono::steady_clock::time_point Impl::tick_time(clock_t tick) const {
  const std::chrono::duration<double> at(static_cast<double>(tick) / (opts.speed * hz));
  return boot + std::chrono::ceil<std::chrono::steady_clock::duration>(at);
}

void Impl::sync() {
  if (opts.clock != ClockMode::kReal) {
    return;
  }
  const clock_t now = wall_ticks();
  if (now > lbolt) {
    lbolt = now;
    release_due();
    kick();
  }
}

void Impl::sched_main() {
  Lock lk(m);
  while (!sched_exit) {
    sync();
    if (timed.empty()) {
      sched_cv.wait(lk);
    } else {
      sched_cv.wait_until(lk, tick_time(timed.begin()->first.first));
    }
  }
}

// ---- Drive loops -----------------------------------------------------------------------------

bool Impl::run_virtual(const std::function<bool()>& pred, bool pred_unlocked, clock_t limit,
                       Lock& lk) {
  const clock_t end = lbolt + limit;
  ++driving;
  bool ok = false;
  for (;;) {
    wait_idle(lk);
    --driving; // nothing runs while the predicate looks at kernel state
    if (pred_unlocked) {
      lk.unlock();
      ok = pred();
      lk.lock();
    } else {
      ok = pred();
    }
    ++driving;
    if (ok || timed.empty() || timed.begin()->first.first > end) {
      break;
    }
    lbolt = std::max(lbolt, timed.begin()->first.first);
    release_due();
  }
  --driving;
  return ok;
}

bool Impl::run_real(const std::function<bool()>& pred, bool pred_unlocked, clock_t limit,
                    Lock& lk) {
  sync();
  const auto end = tick_time(lbolt + limit);
  for (;;) {
    bool ok;
    if (pred_unlocked) {
      lk.unlock();
      ok = pred();
      lk.lock();
    } else {
      ok = pred();
    }
    if (ok) {
      return true;
    }
    if (stopping || std::chrono::steady_clock::now() >= end) {
      return false;
    }
    driver_cv.wait_until(lk, end);
  }
}

// ---- Contexts with host threads of their own --------------------------------------------------

void Impl::worker_main(kthread* t) {
  set_self(t);
  Lock lk(m);
  for (;;) {
    t->cv->wait(lk, [&] { return running == t || t->exit; });
    if (running != t) {
      break;
    }
    std::unique_ptr<Work> w = std::move(t->work);
    lk.unlock();
    const std::string failure = run_body([&] {
      if (w->func != nullptr) {
        w->func(w->arg);
      } else {
        w->fn();
      }
    });
    w.reset(); // captures may call into the kernel as they go
    lk.lock();
    if (!failure.empty()) {
      reportf("uncaught exception in interrupt work: %s", failure.c_str());
    }
    finish_context(t);
    live.erase(t->id);
    t->state = CtxState::kIdle;
    t->kill = false;
    idle_workers.emplace(t->slot, t);
    release_cpu();
  }
  set_self(nullptr);
}

void Impl::task_main(kthread* t) {
  set_self(t);
  Lock lk(m);
  bool started = true;
  try {
    wait_cpu(t, lk);
  } catch (const Unwind&) {
    started = false;
  }
  lk.unlock();
  const std::string failure = started ? run_body([&] { t->task_fn(); }) : std::string{};
  t->task_fn = nullptr;
  lk.lock();
  if (!failure.empty()) {
    reportf("uncaught exception in task %s: %s", t->name.c_str(), failure.c_str());
  }
  finish_context(t);
  t->state = CtxState::kDone;
  live.erase(t->id);
  if (t->link) {
    t->link->finished = true;
  }
  driver_cv.notify_all();
  release_cpu();
  set_self(nullptr);
}
