// The real clock, sped up. These tests assert only that things complete, never how long
// they took.
#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "kemu/host_watch.h"
#include "kemu/kernel.h"
#include "ksys/mutex.h"
#include "ksys/time.h"

namespace {

using kemu::ClockMode;
using kemu::Kernel;
using kemu::KernelOptions;

// Only a bound against hanging: an hour of wall-clock time at this speed.
constexpr clock_t kGenerous = 3600L * hz * 1000;

KernelOptions fast() {
  KernelOptions o;
  o.clock = ClockMode::kReal;
  o.speed = 1000;
  return o;
}

TEST(RealClock, DelayAndCalloutsComplete) {
  Kernel k(fast());
  EXPECT_EQ(k.clock_mode(), ClockMode::kReal);
  EXPECT_TRUE(k.call([] { delay(1); }));
  EXPECT_GE(k.lbolt(), 1);
  static std::atomic<bool> fired;
  fired = false;
  k.call([] { timeout([](void*) { fired = true; }, nullptr, 5); });
  EXPECT_TRUE(k.run_until([] { return fired.load(); }, kGenerous));
  EXPECT_EQ(k.report_count(), 0u);
}

TEST(RealClock, HostThreadsEnteringTogetherAreSerialised) {
  Kernel k(fast());
  kmutex_t m{};
  kcondvar_t cv{};
  bool posted = false;
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  auto enter = [&] {
    if (inside.fetch_add(1) != 0) {
      overlap = true;
    }
  };
  auto leave = [&] { inside.fetch_sub(1); };
  std::thread waiter([&] {
    EXPECT_TRUE(k.call([&] {
      enter();
      mutex_enter(&m);
      while (!posted) {
        leave();
        cv_wait(&cv, &m);
        enter();
      }
      mutex_exit(&m);
      leave();
    }));
  });
  std::thread poster([&] {
    EXPECT_TRUE(k.call([&] {
      enter();
      leave();
      delay(2);
      enter();
      mutex_enter(&m);
      posted = true;
      cv_broadcast(&cv);
      mutex_exit(&m);
      leave();
    }));
  });
  waiter.join();
  poster.join();
  EXPECT_FALSE(overlap.load());
}

TEST(RealClock, TasksJoinAndShutdownUnwindsTheBlocked) {
  Kernel k(fast());
  auto quick = k.spawn([] { delay(3); });
  EXPECT_TRUE(quick->join(kGenerous));
  auto stuck = k.spawn([] { delay(1000000000L); }, "stuck");
  k.shutdown();
  EXPECT_TRUE(stuck->done());
  auto r = k.take_reports();
  ASSERT_EQ(r.size(), 1u); // blocked, or not yet there: either way it had not finished
  EXPECT_EQ(r[0].what.rfind("task stuck ", 0), 0u) << r[0].what;
}

// The CPU's completion of work lands while run_until looks at its predicate (which lets the
// kernel run meanwhile): run_until sees the change at once, not at its limit.
TEST(RealClock, RunUntilSeesAWakeThatLandsWhileItLooks) {
  Kernel k(fast());
  constexpr clock_t kLimit = 20000L * hz; // 20 s of wall-clock time at this speed
  const clock_t from = k.lbolt();
  static std::atomic<bool> ran;
  ran = false;
  bool queued = false;
  EXPECT_TRUE(k.run_until(
      [&] {
        if (!queued) {
          queued = true;
          k.interrupt([] { ran = true; });
          k.settle(); // done, and the CPU idle again: its wake-up has come and gone
          return false;
        }
        return ran.load();
      },
      kLimit));
  EXPECT_LT(k.lbolt() - from, kLimit / 20) << "woke only at the limit";
}

// Timed work queued by a host thread while the CPU sleeps with no deadline: the CPU must
// wake to set its timer.
TEST(RealClock, TimedWorkFromAHostThreadWakesAnIdleCpu) {
  Kernel k(fast());
  ASSERT_TRUE(k.call([] {})); // the CPU has run and gone to sleep before this returns
  static std::atomic<bool> ran;
  ran = false;
  k.interrupt([] { ran = true; }, 5);
  EXPECT_TRUE(k.run_until([] { return ran.load(); }, 5000L * hz)) << "5 s of wall-clock time";
}

// Reads a byte each time its descriptor is ready; a host thread waits for the first.
struct ByteWatcher final : kemu::HostWatcher {
  int fd = -1;
  std::mutex mu;
  std::condition_variable cv;
  bool seen = false;
  void ready(unsigned) override {
    char c;
    EXPECT_EQ(::read(fd, &c, 1), 1);
    std::lock_guard<std::mutex> lk(mu);
    seen = true;
    cv.notify_all();
  }
  bool saw() {
    std::unique_lock<std::mutex> lk(mu);
    return cv.wait_for(lk, std::chrono::seconds(20), [&] { return seen; });
  }
};

// Work that keeps coming due (each item queues the next) leaves room for host events.
TEST(RealClock, HostEventsAreServedWhileWorkKeepsComingDue) {
  Kernel k(fast());
  static std::atomic<bool> stop;
  stop = false;
  struct Chain {
    static void link(void* kp) {
      if (!stop) {
        static_cast<Kernel*>(kp)->interrupt(&Chain::link, kp);
      }
    }
  };
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ByteWatcher w;
  w.fd = fds[0];
  kemu::HostWatch watch = k.watch(fds[0], &w);
  ASSERT_TRUE(watch.want(EPOLLIN));
  k.interrupt(&Chain::link, &k);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  EXPECT_TRUE(w.saw()) << "20 s wall-clock";
  stop = true;
  k.settle();
  watch.unwatch();
  ::close(fds[0]);
  ::close(fds[1]);
}

// A request that a host event starts brings work queued with interrupt_or_request forward,
// after the request has run; work queued with interrupt() keeps its time.
TEST(RealClock, ARequestBringsForwardTheWorkThatWaitsForOne) {
  Kernel k(fast());
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  static kmutex_t m;
  static kcondvar_t cv;
  static bool early_ran;
  static std::atomic<bool> request_ran, early_after_request, plain_ran;
  m = {};
  cv = {};
  early_ran = false;
  request_ran = early_after_request = plain_ran = false;
  struct Requests final : kemu::HostWatcher {
    Kernel* k;
    int fd;
    void ready(unsigned) override {
      char c;
      EXPECT_EQ(::read(fd, &c, 1), 1);
      k->start([] { request_ran = true; }, [](bool) {});
    }
  } requests;
  requests.k = &k;
  requests.fd = fds[0];
  kemu::HostWatch watch = k.watch(fds[0], &requests);
  ASSERT_TRUE(watch.want(EPOLLIN));
  // Were the request not to bring it forward, the plain work would run first.
  k.interrupt_or_request(
      [] {
        mutex_enter(&m);
        early_after_request = request_ran.load();
        early_ran = true;
        cv_broadcast(&cv);
        mutex_exit(&m);
      },
      2 * kGenerous);
  const kemu::WorkId plain = k.interrupt([] { plain_ran = true; }, kGenerous);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  EXPECT_TRUE(k.call([] {
    mutex_enter(&m);
    while (!early_ran) {
      cv_wait(&cv, &m);
    }
    mutex_exit(&m);
  }));
  EXPECT_TRUE(early_after_request);
  EXPECT_FALSE(plain_ran);
  EXPECT_TRUE(k.cancel_interrupt(plain));
  watch.unwatch();
  EXPECT_EQ(k.report_count(), 0u);
  ::close(fds[0]);
  ::close(fds[1]);
}

// A descriptor closed while watched, and its number watched again by another handle: the
// old handle, when it goes, leaves the new watch alone.
TEST(RealClock, AReusedDescriptorNumberKeepsItsNewWatch) {
  Kernel k(fast());
  int old_fds[2];
  ASSERT_EQ(pipe(old_fds), 0);
  ByteWatcher stale;
  kemu::HostWatch old_watch = k.watch(old_fds[0], &stale);
  ASSERT_TRUE(old_watch.want(EPOLLIN));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(::dup2(fds[0], old_fds[0]), old_fds[0]); // closes the watched descriptor
  ::close(fds[0]);
  fds[0] = old_fds[0];
  ByteWatcher w;
  w.fd = fds[0];
  kemu::HostWatch watch = k.watch(fds[0], &w);
  ASSERT_TRUE(watch.want(EPOLLIN));
  old_watch = {};
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  EXPECT_TRUE(w.saw()) << "20 s wall-clock";
  watch = {};
  ::close(old_fds[1]);
  ::close(fds[0]);
  ::close(fds[1]);
}

} // namespace
