// User contexts (call() and spawned tasks, each a fiber of its own),
// what a context knows about itself (credentials, signals), and the queries layer code
// uses to find out what it runs in.
#include <algorithm>
#include <cerrno>
#include <exception>

#include "kernel_impl.h"
#include "ksys/cred.h"

using namespace kemu::detail;
using Impl = kemu::Kernel::Impl;

namespace kemu {

// ---- call() ----------------------------------------------------------------------------------

bool Kernel::call(const std::function<void()>& fn, Wait wait, const cred_t& cred) {
  if (self() != nullptr) {
    fn();
    return true;
  }
  Impl& k = *impl_;
  kthread t;
  t.k = &k;
  t.id = next_seq();
  t.name = "call";
  t.kind = CtxKind::kUser;
  t.cred = cred;
  t.call_fn = &fn;
  const bool virt = k.opts.clock == ClockMode::kVirtual;
  std::condition_variable done;

  if (!virt && std::this_thread::get_id() == k.cpu_id) {
    fatal("Kernel::call from the CPU's own thread (a host watcher or a start() callback)");
  }
  Impl::Lock lk(k.m);
  if (k.stopping) {
    return false;
  }
  if (virt) {
    // This thread waits for its own context, so it is also the one to move time.
    t.owns_clock = true;
    t.done_cv = &k.waiters_cv;
    t.wait = wait;
    t.jump_limit = k.lbolt + k.opts.call_limit;
    ++k.drive_depth;
  } else {
    k.sync();
    t.done_cv = &done;
  }
  t.fiber.start(&Impl::call_entry, &t, "call", &k.m);
  k.live.emplace(t.id, &t);
  k.push_ready(&t);

  auto finished = [&] { return t.state == CtxState::kDone; };
  if (!virt) {
    k.kick(); // the CPU's thread runs it; this one only waits
    done.wait(lk, finished);
  } else if (k.take_role(lk, finished)) {
    for (;;) {
      k.run_ready(lk);
      if (finished()) {
        break;
      }
      // Every context is blocked and this call is waiting: only time can help.
      if (t.wait == Wait::kJump && k.jump(t.jump_limit)) {
        continue;
      }
      std::string why;
      if (t.wait == Wait::kNoJump) {
        why = "call cannot complete without time passing";
      } else if (k.timed.empty()) {
        why = "deadlock: every context is blocked and nothing is pending";
      } else {
        why = "call did not complete within " + std::to_string(k.opts.call_limit) + " ticks";
      }
      k.abandon(&t, why);
    }
    k.drop_role();
  }
  const bool completed = t.completed;
  const std::exception_ptr failure = t.failure;
  lk.unlock();
  if (failure) {
    std::rethrow_exception(failure);
  }
  return completed;
}

ContextId Kernel::start(std::function<void()> fn, std::function<void(bool)> done,
                        const cred_t& cred) {
  Impl& k = *impl_;
  Impl::Lock lk(k.m);
  if (k.stopping) {
    return 0;
  }
  auto t = std::make_unique<kthread>();
  t->k = &k;
  t->id = next_seq();
  t->name = "request";
  t->kind = CtxKind::kUser;
  t->cred = cred;
  t->task_fn = std::move(fn);
  t->call_fn = &t->task_fn;
  t->on_done = std::move(done);
  kthread* p = t.get();
  k.threads.push_back(std::move(t));
  k.sync();
  p->fiber.start(&Impl::call_entry, p, "request", &k.m);
  k.live.emplace(p->id, p);
  k.push_ready(p);
  ++k.starts;
  k.kick();
  return p->id;
}

std::size_t Kernel::stack_high_water() {
  return StackPool::instance().high_water();
}

std::size_t Kernel::stack_size() {
  return kStackSize;
}

// ---- Tasks -----------------------------------------------------------------------------------

struct Kernel::Task::Impl {
  std::shared_ptr<TaskLink> link;
  ContextId id = 0;
  std::string name;
};

Kernel::Task::Task(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Kernel::Task> Kernel::spawn(std::function<void()> fn, std::string name,
                                            const cred_t& cred) {
  Kernel::Impl& k = *impl_;
  auto link = std::make_shared<TaskLink>();
  auto ti = std::make_unique<Task::Impl>();
  ti->link = link;
  ti->id = next_seq();
  ti->name = name;
  auto task = std::make_unique<Task>(std::move(ti));

  Kernel::Impl::Lock lk(k.m);
  if (k.stopping) {
    link->finished = true;
    return task;
  }
  auto t = std::make_unique<kthread>();
  t->k = &k;
  t->id = task->id();
  t->name = "task " + name;
  t->kind = CtxKind::kUser;
  t->cred = cred;
  t->task_fn = std::move(fn);
  t->link = link;
  link->k = &k;
  link->t = t.get();
  link->task = task.get();
  k.links.insert(link);
  kthread* p = t.get();
  k.threads.push_back(std::move(t));
  p->fiber.start(&Kernel::Impl::task_entry, p, p->name.c_str(), &k.m);
  k.live.emplace(p->id, p);
  k.push_ready(p);
  k.kick();
  return task;
}

Kernel::Task::~Task() {
  const std::shared_ptr<TaskLink> link = impl_->link;
  Kernel::Impl* k = link->k;
  if (k == nullptr) {
    return; // never started, or its kernel is gone (and has joined it)
  }
  Kernel::Impl::Lock lk(k->m);
  link->task = nullptr;
  if (!link->finished) {
    if (self() != nullptr) {
      fatal("an unfinished Task was destroyed from inside a kernel context");
    }
    k->reportf("task %s destroyed before it finished", impl_->name.c_str());
    if (k->opts.clock == ClockMode::kVirtual) {
      {
        Kernel::Impl::Drive drive(*k, lk);
        k->kill(link->t);
        k->run_ready(lk);
      }
      if (!link->finished) {
        fatal("task %s could not be unwound", impl_->name.c_str());
      }
    } else {
      k->kill(link->t);
      k->kick();
      k->waiters_cv.wait(lk, [&] { return link->finished; });
    }
  }
  auto it = std::find_if(k->threads.begin(), k->threads.end(),
                         [&](const std::unique_ptr<kthread>& p) { return p.get() == link->t; });
  std::unique_ptr<kthread> dead;
  if (it != k->threads.end()) {
    dead = std::move(*it);
    k->threads.erase(it);
  }
  link->t = nullptr;
  k->links.erase(link);
}

bool Kernel::Task::done() const {
  const auto& link = impl_->link;
  if (link->k == nullptr) {
    return link->finished;
  }
  Kernel::Impl::Lock lk(link->k->m);
  return link->finished;
}

ContextId Kernel::Task::id() const {
  return impl_->id;
}

bool Kernel::Task::join(clock_t limit) {
  const auto& link = impl_->link;
  Kernel::Impl* k = link->k;
  if (k == nullptr) {
    return link->finished;
  }
  if (self() != nullptr) {
    fatal("Task::join called from inside a kernel context");
  }
  Kernel::Impl::Lock lk(k->m);
  auto finished = [&] { return link->finished; };
  if (k->opts.clock == ClockMode::kVirtual) {
    return k->run_virtual(finished, false, limit, lk);
  }
  return k->run_real(finished, false, limit, lk);
}

// ---- The current context ---------------------------------------------------------------------

ContextKind Kernel::context_kind() const {
  const kthread* t = self();
  if (t == nullptr) {
    return ContextKind::kNone;
  }
  return t->kind == CtxKind::kUser ? ContextKind::kUser : ContextKind::kInterrupt;
}

ContextId Kernel::context_id() const {
  const kthread* t = self();
  return t != nullptr ? t->id : 0;
}

Kernel::Task* Kernel::current_task() const {
  const kthread* t = self();
  if (t == nullptr || !t->link) {
    return nullptr;
  }
  Impl::Lock lk(impl_->m);
  return t->link->task;
}

std::string Kernel::context_name() const {
  const kthread* t = self();
  return t != nullptr ? t->name : std::string("host");
}

// ---- Signals ---------------------------------------------------------------------------------

void Kernel::post_signal(Task& task) {
  const auto& link = task.impl_->link;
  if (link->k != impl_.get()) {
    return;
  }
  Impl::Lock lk(impl_->m);
  if (!link->finished) {
    impl_->signal(link->t);
  }
}

bool Kernel::post_signal(ContextId id) {
  Impl::Lock lk(impl_->m);
  auto it = impl_->live.find(id);
  if (it == impl_->live.end() || it->second->kind != CtxKind::kUser) {
    return false;
  }
  impl_->signal(it->second);
  return true;
}

void Kernel::post_signal_current() {
  kthread* t = self();
  Impl::Lock lk(impl_->m);
  if (t == nullptr || t->kind != CtxKind::kUser) {
    impl_->report("signal posted outside a user context");
    return;
  }
  t->sig_pending = true;
}

void Kernel::clear_signal_current() {
  kthread* t = self();
  if (t == nullptr) {
    return;
  }
  Impl::Lock lk(impl_->m);
  t->sig_pending = false;
}

bool Kernel::signal_pending_current() const {
  const kthread* t = self();
  if (t == nullptr) {
    return false;
  }
  Impl::Lock lk(impl_->m);
  return t->sig_pending;
}

// ---- Sleeping with locks held ------------------------------------------------------------------

SleepWithLocksHeld::SleepWithLocksHeld() {
  if (kthread* t = self()) {
    ++t->sleep_ok;
  }
}

SleepWithLocksHeld::~SleepWithLocksHeld() {
  if (kthread* t = self()) {
    --t->sleep_ok;
  }
}

} // namespace kemu

// ---- Credentials -------------------------------------------------------------------------------

int drv_priv(cred_t* cr) {
  return cr != nullptr && cr->cr_uid == 0 ? 0 : EPERM;
}

cred_t* ddi_get_cred() {
  if (kthread* t = self()) {
    return &t->cred;
  }
  static thread_local cred_t root = kemu::Kernel::root_cred();
  root = kemu::Kernel::root_cred();
  return &root;
}
