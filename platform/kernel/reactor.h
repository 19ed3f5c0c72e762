// The real clock's host side of the CPU thread: one epoll set holding an eventfd (other
// threads hand the CPU work), a timerfd (the earliest deadline) and the host descriptors
// watched for others (Kernel::watch). The only code of the layer that calls epoll.
//
// Locking: its own, never the kernel's (Kernel::Impl::m), and nothing here takes a lock
// while m is held:
//   - the descriptors are made before the CPU thread starts and closed after it has ended;
//   - wake() is for any thread and takes no lock;
//   - the timer's deadline and the events of the last wait are the CPU thread's alone
//     (arm, wait, run_watchers);
//   - the watch slots are under mu_. A watcher's callback runs with no lock held; an
//     unwatch from another thread waits for it to end.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kemu/host_watch.h"

namespace kemu::detail {

class Reactor {
public:
  // Null when the system will not give the descriptors.
  static std::unique_ptr<Reactor> make();
  ~Reactor();
  Reactor(const Reactor&) = delete;
  Reactor& operator=(const Reactor&) = delete;

  // Any thread: the CPU thread's wait returns (now, or the next one).
  void wake();

  // ---- The CPU thread's -------------------------------------------------------------------
  // The timer fires at `ns` on the monotonic clock (0: never). No system call when that is
  // already so.
  void arm(std::int64_t ns);
  // Waits for the eventfd, the timer or a watched descriptor (`block` false: only looks);
  // true when a watched descriptor is ready, for run_watchers.
  bool wait(bool block);
  // Runs the callbacks of the watched descriptors the last wait found ready.
  void run_watchers();

  // ---- Watches (any thread) -----------------------------------------------------------------
  // A slot for fd and w, watching nothing yet (HostWatch::want); an empty handle once close()
  // was called.
  HostWatch watch(int fd, HostWatcher* w);
  // The CPU thread has ended: no descriptor is watched from now on.
  void close();

private:
  friend class kemu::HostWatch;
  // The handle's calls. drop: the handle goes, and its slot with it.
  bool want(std::uint32_t slot, unsigned events);
  void unwatch(std::uint32_t slot, bool drop);

  Reactor(int epoll_fd, int event_fd, int timer_fd);

  static constexpr std::uint32_t kNoSlot = 0xffffffff;
  static constexpr std::uint64_t kEventTag = ~std::uint64_t{0}; // the eventfd's epoll data
  static constexpr std::uint64_t kTimerTag = ~std::uint64_t{1}; // the timerfd's
  static constexpr std::size_t kEvents = 64;                    // taken per wait

  const int epoll_fd_;
  const int event_fd_;
  const int timer_fd_;

  // The CPU thread's.
  std::int64_t deadline_ = 0; // the timerfd's, in ns; 0 while disarmed
  struct Ready {
    std::uint64_t tag; // slot | generation << 32
    unsigned events;
  };
  Ready ready_[kEvents];
  std::size_t ready_count_ = 0;

  // Under mu_. One slot per handle. An epoll event names its slot and the slot's generation,
  // which changes whenever the slot leaves the epoll set, so that an event taken before is
  // dropped.
  struct Slot {
    HostWatcher* w = nullptr; // null while free
    int fd = -1;
    unsigned events = 0; // as epoll has them
    std::uint32_t gen = 0;
    bool added = false; // in the epoll set
  };
  std::mutex mu_;
  std::condition_variable ended_; // a callback ended
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> free_;
  std::vector<std::uint32_t> slot_of_fd_; // the slot added for each descriptor, or kNoSlot
  std::uint32_t running_ = kNoSlot;       // the slot whose callback runs now
  std::thread::id running_on_;            // and the thread it runs on
  bool closed_ = false;
};

} // namespace kemu::detail
