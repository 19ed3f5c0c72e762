// The emulated kernel's internal state, shared by the files of the layer. Everything here
// is guarded by Kernel::Impl::m, and so are kmutex_t and kcondvar_t fields, except what is
// set once at boot (the options, the CPU's thread, the boot times) and the reactor, which
// has its own locking (reactor.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "fiber.h"
#include "kemu/kernel.h"
#include "kemu/usermem.h"
#include "kernel_pools.h"
#include "ksys/mutex.h"
#include "reactor.h"

namespace kemu::detail {

// Thrown through a context's code when the kernel gives the context up (shutdown, a
// stuck call, a Task destroyed early). Deliberately not a std::exception so that code
// catching those lets it pass. The context's trampoline catches it.
struct Unwind {};

enum class CtxKind { kUser, kInterrupt };
enum class CtxState { kReady, kRunning, kBlocked, kDone, kIdle };

// One piece of interrupt-level work: a callout (func, arg) or an interrupt() (fn, moved in
// from the caller: the kernel makes no callable of its own per item).
struct Work {
  std::uint64_t seq = 0;
  clock_t due = 0;
  bool callout = false;
  void (*func)(void*) = nullptr;
  void* arg = nullptr;
  std::function<void()> fn;
};

// A key in the timed queue: deadline first, then the order of arming.
using TimedKey = std::pair<clock_t, std::uint64_t>;
struct Timed {
  std::uint64_t work_seq; // work to make ready, or 0
  kthread* wake;          // a context to wake (delay, timed cv wait), or nullptr
};

// A ready-queue entry: a context to resume or a work item to start.
struct ReadyEntry {
  kthread* t;
  std::uint64_t work_seq;
};

struct TaskLink; // a Task handle's tie to its kernel

std::uint64_t next_seq(); // process-wide, never 0

[[noreturn]] void fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The context the calling host thread runs as, or nullptr.
kthread* self();
void set_self(kthread* t);

} // namespace kemu::detail

struct kthread {
  kemu::Kernel::Impl* k = nullptr;
  std::uint64_t id = 0;
  std::string name;
  kemu::detail::CtxKind kind = kemu::detail::CtxKind::kUser;
  kemu::detail::CtxState state = kemu::detail::CtxState::kReady;
  cred_t cred{};

  // Where the context runs: its own stack on the CPU's host thread.
  kemu::detail::Fiber fiber;
  kemu::UserMemory* user_mem = nullptr; // the innermost UserMemoryScope of this context

  // call(): the caller's function, what became of it, and (real clock) where the waiting
  // host thread hears that it is done.
  const std::function<void()>* call_fn = nullptr;
  bool completed = false;
  std::exception_ptr failure;
  std::condition_variable* done_cv = nullptr;
  std::function<void(bool)> on_done; // start(): told on the CPU's thread once it has ended

  // A virtual-mode call(): its thread also decides when time moves, and the call counts in
  // drive_depth until it ends.
  bool owns_clock = false;
  kemu::Wait wait = kemu::Wait::kJump;
  clock_t jump_limit = 0;

  bool kill = false; // given up: the next blocking point throws Unwind
  bool sig_pending = false;

  // What it is blocked in.
  const char* blocked_what = nullptr; // the primitive
  const char* blocked_obj = nullptr;  // the mutex or condition variable's name
  kmutex_t* wait_mutex = nullptr;
  kcondvar_t* wait_cv = nullptr;
  bool interruptible = false;
  bool timer_armed = false;
  kemu::detail::TimedKey timer_key{};
  bool timed_out = false;
  kthread* next_wait = nullptr; // link in a kmutex_t or kcondvar_t wait list

  boost::container::small_vector<kmutex_t*, 8> held; // in the order taken
  int sleep_ok = 0;
  int slot = 0; // interrupt workers: place in the pool, the lowest free one runs next

  // Contexts kept by the kernel (tasks, interrupt workers).
  kemu::detail::Work work; // a worker's current item
  bool exit = false;       // a worker leaves the pool
  std::function<void()> task_fn;
  std::shared_ptr<kemu::detail::TaskLink> link; // tasks
};

namespace kemu::detail {

struct TaskLink {
  Kernel::Impl* k = nullptr; // nullptr once the kernel is gone
  kthread* t = nullptr;
  Kernel::Task* task = nullptr;
  bool finished = false;
};

} // namespace kemu::detail

struct kemu::Kernel::Impl {
  using Lock = std::unique_lock<std::mutex>;

  explicit Impl(KernelOptions o);
  ~Impl();

  KernelOptions opts;
  mutable std::mutex m;
  // Host threads waiting on the kernel: the CPU went idle, the CPU role came free, a task or
  // a call ended.
  std::condition_variable waiters_cv;
  // Counts waiters_cv's notifications, so that a waiter that looked at its condition with `m`
  // released can tell it missed one.
  std::uint64_t waiters_woken = 0;
  void wake_waiters() {
    ++waiters_woken;
    waiters_cv.notify_all();
  }

  clock_t lbolt = 0;
  kthread* running = nullptr; // holds the CPU: its fiber runs, or runs next
  int drive_depth = 0;        // virtual clock: contexts may run only while someone drives
  bool stopping = false;
  bool stopped = false;

  // The CPU role: the one host thread that runs fibers. Virtual clock: whichever thread
  // drives (call, settle, advance, run_until, join), one at a time. Real clock: cpu_thread.
  bool role_taken = false;
  std::thread::id role_owner;
  int role_depth = 0;

  detail::Ring<detail::ReadyEntry> ready;
  detail::PooledMap<detail::TimedKey, detail::Timed> timed;
  detail::PooledMap<std::uint64_t, detail::Work> works; // not started yet

  std::vector<std::unique_ptr<kthread>> threads; // tasks and workers
  detail::PooledMap<int, kthread*> idle_workers; // by slot: the lowest runs next
  int worker_count = 0;
  detail::PooledMap<std::uint64_t, kthread*> live; // contexts that have not ended
  std::set<std::shared_ptr<detail::TaskLink>> links;

  std::vector<Report> reports;

  // Memory.
  struct Alloc {
    std::size_t size;
  };
  detail::NodeFreeList alloc_nodes;
  std::unordered_map<void*, Alloc, std::hash<void*>, std::equal_to<void*>,
                     detail::FreeListAlloc<std::pair<void* const, Alloc>>>
      allocs{64, std::hash<void*>{}, std::equal_to<void*>{},
             detail::FreeListAlloc<std::pair<void* const, Alloc>>(&alloc_nodes)};
  // Freed blocks by size class, handed out again before the heap is asked.
  static constexpr std::size_t kKmemClasses[] = {64, 256, 1024, 4096};
  std::vector<void*> kmem_spare[std::size(kKmemClasses)];
  std::size_t alloc_bytes = 0;
  std::uint64_t alloc_calls = 0; // kmem_alloc and kmem_zalloc, refused ones included
  long fail_nth = 0;
  bool budget_on = false;
  std::size_t budget_left = 0;

  // Real clock: the CPU's own host thread, asleep in the reactor (work handed over by other
  // host threads, the earliest deadline, the watched host descriptors) while nothing is
  // ready. cpu_sleeping is under m; the reactor has its own locking.
  std::thread cpu_thread;
  bool cpu_exit = false;
  bool cpu_sleeping = false;
  std::unique_ptr<detail::Reactor> reactor;
  std::chrono::steady_clock::time_point boot;
  std::int64_t wall_boot = 0; // seconds since the epoch at boot
  std::thread::id cpu_id;
  // Under m: start() calls so far, and timed work that a pass of host events that started
  // some brings forward (interrupt_or_request; entries whose work has gone are dropped).
  std::uint64_t starts = 0;
  std::vector<std::uint64_t> early_works;

  // ---- reports
  void report(std::string what);
  std::string describe(const kthread* t) const;
  void reportf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  // ---- scheduling (all with m held)
  bool may_run() const { return opts.clock == ClockMode::kReal || drive_depth > 0; }
  bool idle() const { return running == nullptr && ready.empty(); }
  void push_ready(kthread* t);
  void kick(); // start the next ready entry when the CPU is free and running is allowed
  void dispatch();
  void give_cpu(kthread* t);
  void wake_cpu();
  void release_cpu();
  kthread* idle_worker();
  void block(kthread* t, Lock& lk);
  void wait_cpu(kthread* t, Lock& lk);
  void unlink_waits(kthread* t);
  void wake_from_cv(kthread* t);
  void signal(kthread* t);
  void sync(); // real clock: bring lbolt up to the wall clock
  void kill(kthread* t);
  void abandon(kthread* t, const std::string& why);
  // The end of a context's code: it lets go of its mutexes and leaves the live set, whoever
  // waits for it hears (an interrupt worker goes back to the pool), and the CPU goes on.
  void end_context(kthread* t);
  void release_due();
  void arm_wake(kthread* t, clock_t due);
  void add_timed(detail::TimedKey key, detail::Timed what);
  bool jump(clock_t limit);
  // Makes the work of early_works due now; false when there was none.
  bool bring_forward();
  void wait_idle(Lock& lk);
  std::uint64_t queue_work(detail::Work&& w, clock_t ticks);

  // ---- the CPU role (with m held)
  // Real clock, while work remains: contexts given the CPU between two chances to look at the
  // host descriptors, and the least time between two such looks. A read taken in the middle
  // of a burst of work finds the stream head that the burst is filling empty and ends with
  // the first bytes to come; looking after every slice made reads a tenth of their size and
  // requests ten times as many, and their work made the bursts longer still.
  static constexpr std::size_t kSlice = 64;
  static constexpr std::chrono::milliseconds kBusyLook{20};
  std::uint64_t dispatches = 0;         // contexts given the CPU so far
  std::uint64_t slice_end = UINT64_MAX; // run_ready stops once dispatches reach it
  // Runs fibers on the calling thread until nothing is ready or allowed to run (true), or
  // until `budget` contexts have been given the CPU (false).
  bool run_ready(Lock& lk, std::size_t budget = SIZE_MAX);
  // Virtual clock: makes the calling thread the CPU, waiting while another thread is;
  // false (and no role) when done() came true while waiting.
  bool take_role(Lock& lk, const std::function<bool()>& done);
  void drop_role();
  bool have_role() const;
  // Virtual clock: for as long as it lives, the calling thread is the CPU (waiting while
  // another thread is) and contexts may run. Real clock: nothing (the CPU's own thread runs
  // them, always). Made and destroyed with m held.
  class Drive {
  public:
    Drive(Impl& k, Lock& lk);
    ~Drive();
    Drive(const Drive&) = delete;
    Drive& operator=(const Drive&) = delete;

  private:
    Impl& k_;
  };
  // A start()ed context has ended: tell its owner (m unlocked meanwhile) and forget it.
  void finish_started(kthread* t, Lock& lk);
  // Ends the idle interrupt workers' fibers (on the CPU's thread, at shutdown).
  void end_workers();

  // ---- locks (with m held)
  int rank(const kmutex_t* mp) const;
  void check_order(kthread* t, kmutex_t* mp);
  void check_sleep(kthread* t, const char* what, const kmutex_t* except);
  void take_mutex(kthread* t, kmutex_t* mp, Lock& lk);
  void release_mutex(kthread* t, kmutex_t* mp);
  static void wl_append(kthread*& head, kthread*& tail, kthread* t);
  static bool wl_remove(kthread*& head, kthread*& tail, kthread* t);

  // ---- real clock
  void cpu_main();
  void arm_timer();
  clock_t wall_ticks() const;
  std::chrono::steady_clock::time_point tick_time(clock_t tick) const;

  // ---- fiber entries: each starts with m held and ends with it held
  static void call_entry(void* t);
  static void worker_entry(void* t);
  static void task_entry(void* t);

  // ---- drive loops, lock held
  bool run_virtual(const std::function<bool()>& pred, bool pred_unlocked, clock_t limit, Lock& lk);
  bool run_real(const std::function<bool()>& pred, bool pred_unlocked, clock_t limit, Lock& lk);
  // pred(), with m let go meanwhile when `unlocked`.
  static bool holds(const std::function<bool()>& pred, bool unlocked, Lock& lk);

  void do_shutdown();
  void free_all_kmem();
};
