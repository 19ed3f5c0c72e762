// The one emulated CPU: who holds it, the ready queue, hand-off between contexts (fiber
// switches on the CPU's host thread), and the rules for when time may move.
//
// Every decision here is taken under Impl::m from queues in a fixed order, so the order
// of events never depends on how the host schedules its threads. Impl::m is held at every
// fiber switch, though not all along: a context's own code runs without it, takes it in a
// kernel primitive and gives the CPU up from inside it, with m held; the scheduler loop,
// which holds m while it resumes fibers, resumes the next context inside its primitive (or
// its entry), which lets m go on its way back to the context's code. Outside the contexts
// the CPU's thread lets m go while it waits on the host, runs host watchers or tells a
// start()ed context's owner that it has ended.
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
  ++dispatches;
  running = t;
  t->state = CtxState::kRunning;
  wake_cpu();
}

void Impl::wake_cpu() {
  if (!cpu_sleeping) {
    return; // the CPU's thread is at work and sees `running` before it sleeps
  }
  cpu_sleeping = false;
  reactor->wake();
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
  wake_waiters();
}

void Impl::release_cpu() {
  running = nullptr;
  if (may_run()) {
    dispatch();
  } else {
    wake_waiters();
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
  t->k = this;
  t->name = "interrupt";
  t->kind = CtxKind::kInterrupt;
  t->cred = Kernel::root_cred();
  t->slot = worker_count++;
  kthread* p = t.get();
  threads.push_back(std::move(t));
  p->fiber.start(&Impl::worker_entry, p, "interrupt", &m);
  return p;
}

void Impl::block(kthread* t, Lock& lk) {
  t->state = CtxState::kBlocked;
  release_cpu();
  wait_cpu(t, lk);
}

void Impl::wait_cpu(kthread* t, Lock& /*lk*/) {
  while (running != t) {
    t->fiber.yield(); // back to the scheduler loop, m held; it resumes us when running == t
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

void Impl::end_context(kthread* t) {
  while (!t->held.empty()) {
    kmutex_t* mp = t->held.back();
    if (!t->kill) {
      reportf("%s ended holding %s", t->name.c_str(), mp->name != nullptr ? mp->name : "a mutex");
    }
    release_mutex(t, mp);
  }
  t->sig_pending = false;
  t->sleep_ok = 0;
  live.erase(t->id);
  if (t->kind == CtxKind::kInterrupt) {
    t->state = CtxState::kIdle;
    t->kill = false;
    idle_workers.emplace(t->slot, t);
  } else {
    t->state = CtxState::kDone;
    if (t->link) {
      t->link->finished = true;
      wake_waiters();
    }
    if (t->owns_clock) {
      --drive_depth;
    }
    if (t->done_cv != nullptr) {
      ++waiters_woken;
      t->done_cv->notify_all();
    }
  }
  release_cpu();
}

// ---- Time ----------------------------------------------------------------------------------

void Impl::add_timed(TimedKey key, Timed what) {
  const bool earliest = timed.empty() || key < timed.begin()->first;
  timed.emplace(key, what);
  if (earliest && opts.clock == ClockMode::kReal) {
    wake_cpu(); // to set its timer again
  }
}

void Impl::arm_wake(kthread* t, clock_t due) {
  t->timer_key = {due, next_seq()};
  t->timer_armed = true;
  add_timed(t->timer_key, {0, t});
}

std::uint64_t Impl::queue_work(Work&& w, clock_t ticks) {
  sync();
  ticks = std::max<clock_t>(ticks, 0);
  const std::uint64_t seq = w.seq;
  w.due = lbolt + ticks;
  const clock_t due = w.due;
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

bool Impl::bring_forward() {
  bool any = false;
  for (const std::uint64_t seq : early_works) {
    auto it = works.find(seq);
    if (it != works.end() && timed.erase({it->second.due, seq}) != 0) {
      it->second.due = lbolt;
      ready.push_back({nullptr, seq});
      any = true;
    }
  }
  early_works.clear();
  if (any) {
    kick();
  }
  return any;
}

void Impl::wait_idle(Lock& lk) {
  if (have_role()) {
    run_ready(lk);
    return;
  }
  kick();
  waiters_cv.wait(lk, [this] { return idle(); });
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

// The CPU's thread passes here before every wait; the reactor calls the system only when the
// deadline changed.
void Impl::arm_timer() {
  std::int64_t ns = 0;
  if (!timed.empty()) {
    const auto at = tick_time(timed.begin()->first.first).time_since_epoch();
    ns = std::max<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(at).count(),
                                1); // zero would disarm
  }
  reactor->arm(ns);
}

void Impl::cpu_main() {
  StackPool::watch_thread();
  Lock lk(m);
  role_taken = true;
  role_owner = std::this_thread::get_id();
  role_depth = 1;
  bool requests = false; // host events started contexts since the CPU was last idle
  auto looked = std::chrono::steady_clock::now(); // at the host descriptors
  while (!cpu_exit) {
    sync();
    // Slices of work, with host events between them: a chain of contexts that keeps becoming
    // ready must not keep the sockets waiting. While work remains they are looked at without
    // waiting, kBusyLook after the last look.
    const bool idle_now = run_ready(lk, kSlice);
    if (cpu_exit) {
      break;
    }
    if (!idle_now && std::chrono::steady_clock::now() - looked < kBusyLook) {
      continue;
    }
    if (idle_now && requests) {
      requests = false;
      if (bring_forward()) {
        continue;
      }
    }
    if (idle_now) {
      arm_timer();
      cpu_sleeping = true;
    }
    lk.unlock();
    const bool watched = reactor->wait(idle_now);
    looked = std::chrono::steady_clock::now();
    lk.lock();
    cpu_sleeping = false;
    if (watched) {
      const std::uint64_t before = starts;
      lk.unlock();
      reactor->run_watchers();
      lk.lock();
      requests = requests || starts != before;
    }
  }
  end_workers();
  role_taken = false;
  role_depth = 0;
}

// ---- The CPU role ------------------------------------------------------------------------------

bool Impl::run_ready(Lock& lk, std::size_t budget) {
  slice_end = budget == SIZE_MAX ? UINT64_MAX : dispatches + budget;
  for (;;) {
    if (running == nullptr) {
      kick();
    }
    kthread* t = running;
    if (t == nullptr || dispatches >= slice_end) {
      slice_end = UINT64_MAX;
      return t == nullptr;
    }
    set_self(t);
    t->fiber.resume();
    set_self(nullptr);
    if (t->on_done && t->state == CtxState::kDone) {
      finish_started(t, lk);
    }
  }
}

void Impl::finish_started(kthread* t, Lock& lk) {
  auto it = std::find_if(threads.begin(), threads.end(),
                         [&](const std::unique_ptr<kthread>& p) { return p.get() == t; });
  std::unique_ptr<kthread> dead = std::move(*it);
  threads.erase(it);
  if (dead->failure) {
    try {
      std::rethrow_exception(dead->failure);
    } catch (const std::exception& e) {
      reportf("uncaught exception in %s: %s", dead->name.c_str(), e.what());
    } catch (...) {
      reportf("uncaught exception in %s", dead->name.c_str());
    }
  }
  const std::function<void(bool)> done = std::move(dead->on_done);
  const bool completed = dead->completed;
  lk.unlock();
  done(completed);
  dead.reset();
  lk.lock();
}

bool Impl::have_role() const {
  return role_taken && role_owner == std::this_thread::get_id();
}

bool Impl::take_role(Lock& lk, const std::function<bool()>& done) {
  if (have_role()) {
    ++role_depth; // a predicate of run_until drives again
    return true;
  }
  while (role_taken) {
    if (done && done()) {
      return false;
    }
    waiters_cv.wait(lk);
  }
  StackPool::watch_thread();
  role_taken = true;
  role_owner = std::this_thread::get_id();
  role_depth = 1;
  return true;
}

void Impl::drop_role() {
  if (--role_depth > 0) {
    return;
  }
  role_taken = false;
  role_owner = {};
  wake_waiters();
}

Impl::Drive::Drive(Impl& k, Lock& lk) : k_(k) {
  if (k.opts.clock == ClockMode::kVirtual) {
    k.take_role(lk, nullptr);
    ++k.drive_depth;
  }
}

Impl::Drive::~Drive() {
  if (k_.opts.clock == ClockMode::kVirtual) {
    --k_.drive_depth;
    k_.drop_role();
  }
}

void Impl::end_workers() {
  for (auto& t : threads) {
    if (t->kind == CtxKind::kInterrupt && t->fiber.started()) {
      t->exit = true;
      set_self(t.get());
      t->fiber.resume();
      set_self(nullptr);
    }
  }
}

// ---- Drive loops -----------------------------------------------------------------------------

bool Impl::run_virtual(const std::function<bool()>& pred, bool pred_unlocked, clock_t limit,
                       Lock& lk) {
  const clock_t end = lbolt + limit;
  Drive drive(*this, lk);
  for (;;) {
    run_ready(lk);
    bool ok;
    {
      --drive_depth; // nothing runs while the predicate looks at kernel state
      struct Resume {
        int& depth;
        ~Resume() { ++depth; }
      } resume{drive_depth};
      ok = holds(pred, pred_unlocked, lk);
    }
    if (ok || timed.empty() || timed.begin()->first.first > end) {
      return ok;
    }
    lbolt = std::max(lbolt, timed.begin()->first.first);
    release_due();
  }
}

bool Impl::run_real(const std::function<bool()>& pred, bool pred_unlocked, clock_t limit,
                    Lock& lk) {
  sync();
  const auto end = tick_time(lbolt + limit);
  for (;;) {
    const std::uint64_t seen = waiters_woken;
    if (holds(pred, pred_unlocked, lk)) {
      return true;
    }
    if (stopping || std::chrono::steady_clock::now() >= end) {
      return false;
    }
    if (waiters_woken == seen) {
      waiters_cv.wait_until(lk, end);
    }
  }
}

bool Impl::holds(const std::function<bool()>& pred, bool unlocked, Lock& lk) {
  if (!unlocked) {
    return pred();
  }
  lk.unlock();
  struct Relock {
    Lock& lk;
    ~Relock() { lk.lock(); }
  } relock{lk};
  return pred();
}

// ---- Fiber entries -----------------------------------------------------------------------------

void Impl::worker_entry(void* p) {
  auto* t = static_cast<kthread*>(p);
  Impl& k = *t->k;
  Lock lk(k.m, std::adopt_lock);
  while (!t->exit) {
    Work w = std::move(t->work);
    lk.unlock();
    const std::string failure = run_body([&] {
      if (w.func != nullptr) {
        w.func(w.arg);
      } else {
        w.fn();
      }
    });
    w.fn = nullptr; // captures may call into the kernel as they go
    lk.lock();
    if (!failure.empty()) {
      k.reportf("uncaught exception in interrupt work: %s", failure.c_str());
    }
    k.end_context(t);
    // Given the next item at once, it still lets the scheduler have its chance to look at
    // the host once the slice is used up.
    while ((k.running != t || k.dispatches >= k.slice_end) && !t->exit) {
      t->fiber.yield();
    }
  }
  lk.release(); // the scheduler goes on holding m
}

void Impl::task_entry(void* p) {
  auto* t = static_cast<kthread*>(p);
  Impl& k = *t->k;
  Lock lk(k.m, std::adopt_lock);
  const bool started = !t->kill; // given up before it ever ran
  lk.unlock();
  const std::string failure = started ? run_body([&] { t->task_fn(); }) : std::string{};
  t->task_fn = nullptr;
  lk.lock();
  if (!failure.empty()) {
    k.reportf("uncaught exception in task %s: %s", t->name.c_str(), failure.c_str());
  }
  k.end_context(t);
  lk.release();
}

void Impl::call_entry(void* p) {
  auto* t = static_cast<kthread*>(p);
  Impl& k = *t->k;
  Lock lk(k.m, std::adopt_lock);
  bool completed = !t->kill;
  if (completed) {
    lk.unlock();
    try {
      (*t->call_fn)();
    } catch (const Unwind&) {
      completed = false;
    } catch (...) {
      t->failure = std::current_exception();
    }
    lk.lock();
  }
  t->completed = completed && !t->kill;
  k.end_context(t);
  lk.release();
}
