// The emulated kernel's own control surface: what tests, benchmarks, the emulated
// hardware and qdhost use to run kernel code. The driver never includes this.
//
// Why the execution model is what it is:
//
// Driver code assumes that nothing else runs between two of its blocking points and that
// timeouts, completions and service procedures run later, never inside the call that
// caused them. Tests also need the same order of events on every run, whatever the load
// of the machine. So the layer runs one emulated CPU: every piece of kernel code runs in a
// context, and only the context holding the CPU runs; it gives the CPU up only when it
// blocks (a condition variable, a held mutex, delay, a polled SCSI command) or returns.
// The next context comes from a FIFO ready queue under one lock, never from the host's
// thread scheduler, so a race in the driver becomes an order a test can provoke and repeat.
//
// How it is built: every context (a call, a spawned task, a callout, a completion, a
// service procedure, a bufcall callback, other interrupt work) is a fiber, a stackful
// coroutine with a stack of its own from a pool (a guard page below each: an overflow
// dies by SIGSEGV, named on standard error). All fibers run on one host thread at a time,
// the CPU's: a hand-off is a fiber switch, not a host thread waking another. Interrupt-level
// work gets a context of its own because it may block on a mutex held by a sleeping user
// context; running it inline would deadlock or reorder events.
//
// Which host thread is the CPU: on the virtual clock, the thread that drives (a test inside
// call(), settle(), advance(), run_until() or Task::join()) runs the fibers for as long as
// it drives; another thread that wants to drive meanwhile waits, and its context is run by
// the one driving. On the real clock (qdhost) the kernel has a thread of its own for the
// CPU, asleep in epoll on an eventfd, a timerfd and the host descriptors it watches for
// others (watch(): qdhost's sockets, pty masters, emulated modules' TCP) while nothing is
// ready; their callbacks run on it between contexts, so host I/O costs no thread and no
// hand-off. Other host threads never run kernel code: call() from one hands the context to
// the CPU's thread (the ready queue, then the eventfd) and waits for it; interrupt(),
// post_signal() and start() only queue.
//
// Time is kept apart from the host's clock so that tests never sleep: on the virtual clock
// it moves only when a test says so (advance, or a jump to the next deadline once every
// context is blocked), so a 60-second hold-off costs nothing. qdhost runs the real clock
// through the same code; only the rule for when time may move differs.
//
// Consequences for users: in virtual mode nothing runs unless the test is inside call(),
// settle(), advance(), run_until() or Task::join(), so between those the test may look at
// kernel state without racing it. Blocking kernel functions (mutex_enter, cv_wait, delay)
// need a context: call them inside call(), a Task or interrupt work. Inside a context the
// host thread is not the context: use context_id(), never thread ids or thread_local
// state, to tell contexts apart. When the kernel gives a context up (shutdown, a stuck
// call) its blocking call throws an internal exception that unwinds the context's code;
// do not block in destructors and do not swallow `...`.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kemu/host_watch.h"
#include "ksys/cred.h"
#include "ksys/time.h"
#include "ksys/types.h"

namespace kemu {

enum class ClockMode {
  kVirtual, // time moves only by advance(), or by jumps when a call asks for them
  kReal,    // time follows the wall clock, optionally sped up
};

struct KernelOptions {
  ClockMode clock = ClockMode::kVirtual;
  double speed = 1.0; // real mode: emulated seconds per wall-clock second
  // Mutex names in the order they must be taken; taking a mutex while holding one of
  // the same or a later rank is reported. Unlisted names are not checked.
  std::vector<std::string> lock_order = {"intr_mutex", "unit_mutex", "qmx_mutex", "qd_mem_mutex",
                                         "trace_mutex"};
  // Virtual mode: how far a Wait::kJump call may move the clock before it is given up as
  // stuck (reported, unwound, call() returns false). Keeps a hung test from hanging.
  clock_t call_limit = 3600L * hz;
};

// What kmem_alloc (not kmem_zalloc) fills a fresh block with, repeated.
inline constexpr unsigned char kKmemGarbage[4] = {0xBA, 0xDD, 0xCA, 0xFE};

// A fault the layer detected in kernel code (lock misuse, bad free, leak, ...).
struct Report {
  std::string what;
};

// How a user-context call waits for virtual time.
enum class Wait {
  kNoJump, // the call completes only if it can do so without time passing on its own
  kJump,   // when every context is blocked, the clock jumps to the next deadline
};

enum class ContextKind {
  kNone,      // host code outside the kernel (a test body, a qdhost thread between calls)
  kUser,      // call() or a spawned Task: has credentials and can take signals
  kInterrupt, // callouts, interrupt(): root credentials, no signals
};

// Names one context for as long as it lives; never reused within a process.
using ContextId = std::uint64_t;
// Names one queued interrupt(); never reused within a process.
using WorkId = std::uint64_t;

class Kernel {
public:
  explicit Kernel(KernelOptions opts = {});
  // Stops every context (reporting those that had not finished, pending callouts and
  // outstanding memory): each is unwound from where it stands, so the process never hangs
  // here. Makes room for the next Kernel.
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The one live kernel of this process (the kernel interfaces act on it). Aborts when
  // there is none.
  static Kernel& current();
  static bool exists();

  // ---- Running code -------------------------------------------------------------------
  // Runs fn as a user context (with the given credentials) and returns when fn returns;
  // exceptions other than the kernel's own unwinding are rethrown here. Virtual clock: the
  // calling thread is the CPU meanwhile. Real clock: the CPU's thread runs it and the
  // calling thread waits. While fn is blocked other contexts run; with Wait::kJump the
  // virtual clock jumps to the next deadline whenever every context is blocked. Work that
  // fn leaves behind (a 0-tick timeout, a woken task) runs at the next settle()/advance()/
  // call(), not before call() returns.
  // Returns false when fn could not complete and was unwound: nothing could run and time
  // could not move (kNoJump, or no deadline left, or call_limit reached), or the kernel
  // is stopping. A report says which. Called from inside a context, runs fn inline.
  bool call(const std::function<void()>& fn, Wait wait = Wait::kJump,
            const cred_t& cred = root_cred());

  // Starts fn as a user context with a handle to join; it runs when the CPU is given to
  // it (virtual mode: by settle(), advance(), run_until(), join() or another call()).
  class Task;
  std::unique_ptr<Task> spawn(std::function<void()> fn, std::string name = "user",
                              const cred_t& cred = root_cred());

  // Starts fn as a user context with no host thread waiting for it (an event loop's
  // request): done(completed) runs once fn has returned (true) or was unwound (false), on
  // the CPU's thread outside every context. It must not block and must not drive the
  // kernel (call, settle, ...): hand the result on (a queue and an eventfd). Returns the
  // context's id, for post_signal(); 0, and no callback, when the kernel is stopping.
  ContextId start(std::function<void()> fn, std::function<void(bool completed)> done,
                  const cred_t& cred = root_cred());

  // Queues interrupt-level work: fn runs in a context of its own at the current tick
  // (or `ticks` later), after the work queued before it. Callable from anywhere.
  WorkId interrupt(std::function<void()> fn, clock_t ticks = 0);
  // The same for a plain function and its argument: nothing is allocated per item.
  WorkId interrupt(void (*fn)(void*), void* arg, clock_t ticks = 0);
  // As interrupt(fn, ticks), but on the real clock the work falls due sooner when host
  // events start contexts (start() from a watcher): once the CPU has run what they started.
  // For a wait that new requests should cut short. On the virtual clock, interrupt().
  WorkId interrupt_or_request(std::function<void()> fn, clock_t ticks);
  // Cancels queued interrupt work that has not started; false when it has started or is
  // unknown.
  bool cancel_interrupt(WorkId id);

  // ---- Host descriptors (real clock) ----------------------------------------------------
  // The CPU's thread also waits on host descriptors, so that host I/O (qdhost's clients, pty
  // masters, the sockets of emulated modules) needs no host thread of its own and starts
  // kernel work without a hand-off between threads. While fd is ready for the events its
  // handle wants (HostWatch::want), w->ready() runs on the CPU's thread outside every
  // context and without the kernel's lock, once the CPU has nothing left to run, or, while
  // work remains, between slices of work (64 contexts given the CPU) once 20 ms have passed
  // since the last look, so that work that keeps coming due cannot starve the host
  // descriptors.
  // It may start(), interrupt(), cancel_interrupt(), post_signal(), watch() and use any
  // handle, must not block, and must never call(), settle() or anything else that waits for
  // the CPU. A watcher that leaves a hangup or an error pending is called again at once: it
  // must unwatch (or stop) its descriptor.
  // The handle watches nothing until its want() names events. Empty on the virtual clock,
  // and once the kernel has stopped.
  HostWatch watch(int fd, HostWatcher* w);

  // Virtual clock: runs everything due now until every context is blocked or done.
  // Real clock: waits until the CPU is idle.
  void settle();
  // Virtual clock: moves time forward tick by tick, settling at each step.
  void advance(clock_t ticks);
  // Settles, then while pred() is false advances to the next deadline and settles again;
  // returns pred(). Gives up when the next deadline lies more than `limit` ticks ahead of
  // the start (or, on the real clock, when that much time has passed).
  bool run_until(const std::function<bool()>& pred, clock_t limit = 3600L * hz);
  // Stops everything as the destructor does, but leaves the reports readable.
  void shutdown();

  // ---- Time ---------------------------------------------------------------------------
  clock_t lbolt() const;
  ClockMode clock_mode() const;

  // ---- The current context --------------------------------------------------------------
  // What the calling host thread is running as (any thread may ask).
  ContextKind context_kind() const;
  ContextId context_id() const; // 0 outside a context
  Task* current_task() const;   // the Task of a spawned context, else nullptr
  std::string context_name() const;

  // ---- Signals ------------------------------------------------------------------------
  // Posts a signal to a user context: a cv_wait_sig it is (or will be) blocked in returns
  // 0. The signal stays pending until the context ends or clears it.
  void post_signal(Task& task);
  bool post_signal(ContextId id); // false when no live user context has that id
  void post_signal_current();     // to the calling context (from inside a call)
  void clear_signal_current();
  bool signal_pending_current() const;

  // ---- Memory -------------------------------------------------------------------------
  // The nth KM_NOSLEEP allocation from now fails (1 = the next one); n <= 0 cancels.
  void fail_kmem_nth(long n);
  // KM_NOSLEEP fails when the bytes handed out from now on (by either kind of call) would
  // pass this budget.
  void fail_kmem_after(std::size_t budget_bytes);
  void clear_kmem_faults();
  std::size_t kmem_outstanding_count() const;
  std::size_t kmem_outstanding_bytes() const;
  // kmem_alloc and kmem_zalloc calls since boot (refused ones included): benchmarks tell
  // from it whether a path allocates.
  std::uint64_t kmem_alloc_calls() const;

  // Deepest any context's stack has gone so far, in bytes, and the size of each stack.
  static std::size_t stack_high_water();
  static std::size_t stack_size();

  // ---- Reports (the console is kemu/console.h) ------------------------------------------
  // Layer code (STREAMS, DDI, SCSA) reports the faults it detects here too.
  void report(std::string what);
  std::vector<Report> take_reports();
  std::size_t report_count() const;

  // ---- Internals shared with the rest of the layer --------------------------------------
  struct Impl;
  Impl& impl() { return *impl_; }

  static cred_t root_cred() { return cred_t{0, 0, 0, 0}; }

private:
  std::unique_ptr<Impl> impl_;
};

class Kernel::Task {
public:
  // Joins. A task that has not finished is reported, unwound and then joined.
  ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  bool done() const;
  ContextId id() const;
  // Runs the kernel (virtual clock: jumping to deadlines) until the task has finished;
  // false when it did not finish within the limit.
  bool join(clock_t limit = 3600L * hz);
  struct Impl;
  explicit Task(std::unique_ptr<Impl> impl);

private:
  friend class Kernel;
  std::unique_ptr<Impl> impl_;
};

// While one of these lives, the calling context may block (cv_wait, delay) holding
// mutexes other than the one it waits with without a report. For layer code that sleeps
// on behalf of a caller that legitimately holds a lock (scsi_poll under unit_mutex).
class SleepWithLocksHeld {
public:
  SleepWithLocksHeld();
  ~SleepWithLocksHeld();
  SleepWithLocksHeld(const SleepWithLocksHeld&) = delete;
  SleepWithLocksHeld& operator=(const SleepWithLocksHeld&) = delete;
};

} // namespace kemu
