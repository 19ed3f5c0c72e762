// The kernel object: its lifetime (one at a time per process), orderly shutdown, the
// report list, and the calls with which tests and the host drive the CPU and the clock.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <optional>

#include "kemu/host_log.h"
#include "kernel_impl.h"

using namespace kemu::detail;
using Impl = kemu::Kernel::Impl;

namespace kemu {

namespace {
std::atomic<Kernel*> g_kernel{nullptr};

// Virtual time starts at a fixed date so that TIME reads the same on every run.
constexpr std::int64_t kVirtualEpoch = 946684800; // 2000-01-01T00:00:00Z
} // namespace

Impl::Impl(KernelOptions o) : opts(std::move(o)), boot(std::chrono::steady_clock::now()) {
  if (opts.clock == ClockMode::kReal) {
    if (!(opts.speed > 0)) {
      fatal("real clock speed must be positive");
    }
    wall_boot = static_cast<std::int64_t>(std::time(nullptr));
    reactor = Reactor::make();
    if (!reactor) {
      fatal("cannot make the CPU thread's descriptors");
    }
    cpu_thread = std::thread([this] { cpu_main(); });
    cpu_id = cpu_thread.get_id();
  } else {
    wall_boot = kVirtualEpoch;
  }
}

Impl::~Impl() = default;

// With m held: the log only takes the line (qdhost's is buffered; written elsewhere).
void Impl::report(std::string what) {
  log_text("kernel: " + what + "\n");
  reports.push_back(Report{std::move(what)});
}

void Impl::reportf(const char* fmt, ...) {
  char buf[512];
  std::va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  report(buf);
}

void Impl::do_shutdown() {
  Lock lk(m);
  if (stopping) {
    return;
  }
  if (self() != nullptr) {
    fatal("the kernel cannot be stopped from inside a kernel context");
  }
  stopping = true;

  // Give every context up: each unwinds from where it is blocked, in queue order.
  std::vector<kthread*> ctxs;
  for (auto& [id, t] : live) {
    ctxs.push_back(t);
  }
  for (kthread* t : ctxs) {
    report(describe(t) + " at shutdown");
  }
  for (kthread* t : ctxs) {
    kill(t);
  }
  const bool real = opts.clock == ClockMode::kReal;
  std::optional<Drive> drive; // virtual clock: until the workers have ended
  if (real) {
    kick();
    waiters_cv.wait(lk, [this] { return live.empty(); });
  } else {
    drive.emplace(*this, lk);
    run_ready(lk);
    if (!live.empty()) {
      fatal("a context could not be unwound at shutdown");
    }
  }

  std::size_t callouts = 0;
  std::size_t others = 0;
  for (auto& [seq, w] : works) {
    ++(w.callout ? callouts : others);
  }
  if (callouts != 0) {
    reportf("%zu callout(s) still pending at shutdown", callouts);
  }
  if (others != 0) {
    reportf("%zu interrupt work item(s) still pending at shutdown", others);
  }
  std::vector<Work> dead;
  for (auto& [seq, w] : works) {
    dead.push_back(std::move(w));
  }
  works.clear();
  timed.clear();
  ready.clear();

  std::thread cpu;
  if (real) {
    cpu_exit = true;
    cpu_sleeping = true; // wake it whatever it is doing
    wake_cpu();
    cpu = std::move(cpu_thread);
  } else {
    end_workers();
    drive.reset();
  }
  lk.unlock();
  if (cpu.joinable()) {
    cpu.join();
    reactor->close();
  }
  dead.clear(); // captured state may call into the kernel as it goes
  lk.lock();
  free_all_kmem();
  stopped = true;
}

// ---- Kernel ----------------------------------------------------------------------------------

Kernel::Kernel(KernelOptions opts) {
  Kernel* expected = nullptr;
  if (!g_kernel.compare_exchange_strong(expected, this)) {
    fatal("a second Kernel was created while one is alive");
  }
  impl_ = std::make_unique<Impl>(std::move(opts));
}

Kernel::~Kernel() {
  impl_->do_shutdown();
  {
    Impl::Lock lk(impl_->m);
    for (const auto& link : impl_->links) {
      link->k = nullptr;
      link->t = nullptr;
      link->finished = true;
    }
  }
  impl_.reset();
  g_kernel.store(nullptr);
}

Kernel& Kernel::current() {
  Kernel* k = g_kernel.load();
  if (k == nullptr) {
    fatal("a kernel interface was called while no Kernel exists");
  }
  return *k;
}

bool Kernel::exists() {
  return g_kernel.load() != nullptr;
}

void Kernel::shutdown() {
  impl_->do_shutdown();
}

WorkId Kernel::interrupt(std::function<void()> fn, clock_t ticks) {
  Work w;
  w.seq = next_seq();
  w.fn = std::move(fn);
  Impl::Lock lk(impl_->m);
  return impl_->queue_work(std::move(w), ticks);
}

WorkId Kernel::interrupt(void (*fn)(void*), void* arg, clock_t ticks) {
  Work w;
  w.seq = next_seq();
  w.func = fn;
  w.arg = arg;
  Impl::Lock lk(impl_->m);
  return impl_->queue_work(std::move(w), ticks);
}

WorkId Kernel::interrupt_or_request(std::function<void()> fn, clock_t ticks) {
  const WorkId id = interrupt(std::move(fn), ticks);
  Impl& k = *impl_;
  if (k.opts.clock == ClockMode::kReal && ticks > 0) {
    // Should it have run meanwhile, bring_forward finds it gone.
    Impl::Lock lk(k.m);
    std::erase_if(k.early_works, [&](std::uint64_t seq) { return !k.works.contains(seq); });
    k.early_works.push_back(id);
  }
  return id;
}

bool Kernel::cancel_interrupt(WorkId id) {
  Work dead;
  Impl::Lock lk(impl_->m);
  auto it = impl_->works.find(id);
  if (it == impl_->works.end() || it->second.callout) {
    return false;
  }
  impl_->timed.erase({it->second.due, id});
  dead = std::move(it->second);
  impl_->works.erase(it);
  lk.unlock();
  return true;
}

HostWatch Kernel::watch(int fd, HostWatcher* w) {
  return impl_->reactor ? impl_->reactor->watch(fd, w) : HostWatch{};
}

namespace {
void not_in_context(const char* what) {
  if (self() != nullptr) {
    fatal("Kernel::%s called from inside a kernel context", what);
  }
}
} // namespace

void Kernel::settle() {
  not_in_context("settle");
  Impl& k = *impl_;
  Impl::Lock lk(k.m);
  Impl::Drive drive(k, lk);
  k.wait_idle(lk);
}

void Kernel::advance(clock_t ticks) {
  not_in_context("advance");
  Impl& k = *impl_;
  Impl::Lock lk(k.m);
  if (k.opts.clock != ClockMode::kVirtual) {
    k.report("advance() used on the real clock");
    return;
  }
  Impl::Drive drive(k, lk);
  k.wait_idle(lk);
  for (clock_t i = 0; i < ticks; ++i) {
    ++k.lbolt;
    k.release_due();
    k.wait_idle(lk);
  }
}

bool Kernel::run_until(const std::function<bool()>& pred, clock_t limit) {
  not_in_context("run_until");
  Impl& k = *impl_;
  Impl::Lock lk(k.m);
  if (k.opts.clock == ClockMode::kVirtual) {
    return k.run_virtual(pred, true, limit, lk);
  }
  return k.run_real(pred, true, limit, lk);
}

clock_t Kernel::lbolt() const {
  Impl::Lock lk(impl_->m);
  impl_->sync();
  return impl_->lbolt;
}

ClockMode Kernel::clock_mode() const {
  return impl_->opts.clock;
}

void Kernel::report(std::string what) {
  Impl::Lock lk(impl_->m);
  impl_->report(std::move(what));
}

std::vector<Report> Kernel::take_reports() {
  Impl::Lock lk(impl_->m);
  return std::exchange(impl_->reports, {});
}

std::size_t Kernel::report_count() const {
  Impl::Lock lk(impl_->m);
  return impl_->reports.size();
}

} // namespace kemu
