// The emulated kernel's own control surface: what tests, benchmarks, the emulated
// hardware and qdhost use to run kernel code. The driver never includes this.
//
// Execution model: one emulated CPU. Exactly one kernel context runs at a time; a context
// gives up the CPU only when it blocks (cv_wait, a held mutex, delay, scsi_poll, ...) or
// returns. Interrupt-level work (callouts, device completions, STREAMS service procedures,
// bufcall callbacks) is queued and runs in the order it was queued, each item in a context
// of its own that may block. The same inputs give the same order of events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ksys/cred.h"
#include "ksys/types.h"

namespace kemu {

enum class ClockMode {
  kVirtual, // time moves only by advance(), or by jumps when a call asks for them
  kReal,    // time follows the wall clock, optionally sped up
};

struct KernelOptions {
  ClockMode clock = ClockMode::kVirtual;
  double speed = 1.0;          // real mode: emulated seconds per wall-clock second
  // Mutex names in the order they must be taken; taking a mutex while holding one of
  // the same or a later rank is reported. Unlisted names are not checked.
  std::vector<std::string> lock_order = {"intr_mutex", "unit_mutex", "qmx_mutex",
                                         "qd_mem_mutex", "trace_mutex"};
};

// A fault the layer detected in kernel code (lock misuse, bad free, leak, ...).
struct Report {
  std::string what;
};

class Kernel;

// How a user-context call waits for virtual time.
enum class Wait {
  kNoJump, // the call returns only if it can complete without time passing on its own
  kJump,   // when every context is blocked, the clock jumps to the next deadline
};

class Kernel {
public:
  explicit Kernel(KernelOptions opts = {});
  ~Kernel(); // stops every context; reports outstanding callouts as it finds them
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The one live kernel of this process (the kernel interfaces act on it).
  static Kernel& current();

  // ---- Running code -------------------------------------------------------------------
  // Runs fn as a user context on the calling thread (with the given credentials) and
  // returns when fn returns. While fn is blocked other contexts run; with Wait::kJump the
  // virtual clock jumps to the next deadline whenever every context is blocked.
  void call(const std::function<void()>& fn, Wait wait = Wait::kJump,
            const cred_t& cred = root_cred());

  // Starts fn as a user context on a thread of its own; it runs when the CPU is given to
  // it (by advance(), settle(), or another call()).
  class Task;
  std::unique_ptr<Task> spawn(std::function<void()> fn, std::string name = "user",
                              const cred_t& cred = root_cred());

  // Queues interrupt-level work: fn runs in a context of its own at the current tick
  // (or `ticks` later), after the work queued before it.
  void interrupt(std::function<void()> fn, clock_t ticks = 0);

  // Virtual clock: runs everything due now until every context is blocked or done.
  void settle();
  // Virtual clock: moves time forward tick by tick, settling at each step.
  void advance(clock_t ticks);
  // Virtual clock: advances to the next deadline while pred() is false (and settles);
  // returns pred(). Gives up after `limit` ticks.
  bool run_until(const std::function<bool()>& pred, clock_t limit = 3600L * hz);

  // ---- Time ---------------------------------------------------------------------------
  clock_t lbolt() const;
  ClockMode clock_mode() const;

  // ---- Signals ------------------------------------------------------------------------
  // Posts a signal to a user context: a cv_wait_sig it is (or will be) blocked in returns
  // 0. The signal stays pending until the context's call ends or clear_signal().
  void post_signal(Task& task);
  void post_signal_current(); // to the calling context (from inside a call)
  void clear_signal_current();
  bool signal_pending_current() const;

  // ---- Memory -------------------------------------------------------------------------
  void fail_kmem_nth(long n);          // the nth KM_NOSLEEP allocation from now fails
  void fail_kmem_after(std::size_t budget_bytes); // KM_NOSLEEP fails past this many bytes
  void clear_kmem_faults();
  std::size_t kmem_outstanding_count() const;
  std::size_t kmem_outstanding_bytes() const;

  // ---- Reports (the console is kemu/console.h) ------------------------------------------
  std::vector<Report> take_reports();
  std::size_t report_count() const;

  // ---- Internals shared with the rest of the layer (STREAMS, DDI, SCSA) ----------------
  struct Impl;
  Impl& impl() { return *impl_; }

  static cred_t root_cred() { return cred_t{0, 0, 0, 0}; }

private:
  std::unique_ptr<Impl> impl_;
};

class Kernel::Task {
public:
  ~Task(); // joins; the task must have finished
  bool done() const;
  // Runs the kernel (virtual clock: jumping to deadlines) until the task has finished;
  // false when it did not finish within the limit.
  bool join(clock_t limit = 3600L * hz);
  struct Impl;
  explicit Task(std::unique_ptr<Impl> impl);

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace kemu
