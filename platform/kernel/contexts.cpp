// User contexts (call() on the caller's thread, spawned tasks on threads of their own),
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
  t.id = next_seq();
  t.name = "call";
  t.kind = CtxKind::kUser;
  t.cred = cred;
  const bool virt = k.opts.clock == ClockMode::kVirtual;

  Impl::Lock lk(k.m);
  if (k.stopping) {
    return false;
  }
  if (virt) {
    // This thread waits for its own context, so it is also the one to move time.
    t.driver = true;
    t.cv = &k.driver_cv;
    t.wait = wait;
    t.jump_limit = k.lbolt + k.opts.call_limit;
    ++k.driving;
  } else {
    k.sync();
  }
  k.live.emplace(t.id, &t);
  k.push_ready(&t);
  k.kick();

  bool completed = true;
  std::exception_ptr failure;
  try {
    k.wait_cpu(&t, lk);
  } catch (const Unwind&) {
    completed = false;
  }
  if (completed) {
    lk.unlock();
    set_self(&t);
    try {
      fn();
    } catch (const Unwind&) {
      completed = false;
    } catch (...) {
      failure = std::current_exception();
    }
    set_self(nullptr);
    lk.lock();
  }
  if (t.kill) {
    completed = false;
  }
  k.finish_context(&t);
  t.state = CtxState::kDone;
  k.live.erase(t.id);
  if (virt) {
    --k.driving;
  }
  k.release_cpu();
  lk.unlock();
  if (failure) {
    std::rethrow_exception(failure);
  }
  return completed;
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
  k.live.emplace(p->id, p);
  k.push_ready(p);
  p->host = std::thread([&k, p] { k.task_main(p); });
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
    ++k->driving;
    k->kill(link->t);
    k->kick();
    k->driver_cv.wait(lk, [&] { return link->finished; });
    --k->driving;
  }
  auto it = std::find_if(k->threads.begin(), k->threads.end(),
                         [&](const std::unique_ptr<kthread>& p) { return p.get() == link->t; });
  std::thread host;
  if (it != k->threads.end()) {
    host = std::move((*it)->host);
  }
  lk.unlock();
  if (host.joinable()) {
    host.join();
  }
  lk.lock();
  it = std::find_if(k->threads.begin(), k->threads.end(),
                    [&](const std::unique_ptr<kthread>& p) { return p.get() == link->t; });
  if (it != k->threads.end()) {
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
