// Kernel lifetime: shutdown with contexts still blocked, stuck calls, exceptions, and
// kernels in sequence.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kemu/kernel.h"
#include "kemu/usermem.h"
#include "ksys/mutex.h"
#include "ksys/time.h"

namespace {

using kemu::Kernel;
using kemu::KernelOptions;

bool has_report(const std::vector<kemu::Report>& r, const std::string& text) {
  for (const auto& x : r) {
    if (x.what.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Sets its flag when the stack it lives on unwinds.
struct Unwound {
  bool* flag;
  ~Unwound() { *flag = true; }
};

TEST(Lifecycle, ShutdownUnwindsEveryBlockedContextAndReportsIt) {
  Kernel k;
  kmutex_t m{};
  kcondvar_t cv{};
  mutex_init(&m, "unit_mutex", MUTEX_DRIVER, nullptr);
  cv_init(&cv, "qd_cv", CV_DRIVER, nullptr);
  bool unwound[4] = {};
  bool reached_end = false;
  auto sleeper = k.spawn(
      [&] {
        Unwound u{&unwound[0]};
        mutex_enter(&m);
        cv_wait(&cv, &m);
        reached_end = true;
      },
      "sleeper");
  auto holder = k.spawn(
      [&] {
        Unwound u{&unwound[1]};
        mutex_enter(&m);
        kemu::SleepWithLocksHeld hold;
        delay(100000);
        reached_end = true;
      },
      "holder");
  auto queued = k.spawn(
      [&] {
        Unwound u{&unwound[2]};
        mutex_enter(&m);
        reached_end = true;
      },
      "queued");
  k.interrupt([&] {
    Unwound u{&unwound[3]};
    mutex_enter(&m);
    reached_end = true;
  });
  k.call([] { timeout([](void*) {}, nullptr, 500); });
  k.settle();
  ASSERT_EQ(k.report_count(), 0u);

  k.shutdown();
  auto r = k.take_reports();
  EXPECT_TRUE(has_report(r, "task sleeper blocked in cv_wait on qd_cv at shutdown"));
  EXPECT_TRUE(has_report(r, "task holder blocked in delay at shutdown"));
  EXPECT_TRUE(has_report(r, "task queued blocked in mutex_enter on unit_mutex at shutdown"));
  EXPECT_TRUE(has_report(r, "interrupt blocked in mutex_enter on unit_mutex at shutdown"));
  EXPECT_TRUE(has_report(r, "1 callout(s) still pending at shutdown"));
  EXPECT_EQ(r.size(), 5u) << "locks held by contexts given up are not misuse";
  for (bool u : unwound) {
    EXPECT_TRUE(u);
  }
  EXPECT_FALSE(reached_end);
  EXPECT_TRUE(sleeper->done());
  EXPECT_TRUE(holder->done());
  EXPECT_TRUE(queued->done());
  EXPECT_FALSE(k.call([] {})) << "a stopped kernel runs nothing";
}

TEST(Lifecycle, TaskMayOutliveItsKernel) {
  std::unique_ptr<Kernel::Task> t;
  {
    Kernel k;
    t = k.spawn([] { delay(1000000); });
    k.settle();
  }
  EXPECT_TRUE(t->done());
  EXPECT_TRUE(t->join());
  t.reset();
  Kernel next; // and the next kernel can start
  EXPECT_TRUE(next.call([] { delay(1); }));
}

TEST(Lifecycle, DestroyingAnUnfinishedTaskUnwindsIt) {
  Kernel k;
  bool unwound = false, started = false, never_started_ran = false;
  {
    auto t = k.spawn([&] {
      Unwound u{&unwound};
      started = true;
      delay(100);
    });
    EXPECT_FALSE(t->join(50)) << "its deadline lies beyond the limit";
    EXPECT_EQ(k.lbolt(), 0);
    auto idle = k.spawn([&] { never_started_ran = true; }); // never given the CPU
  }
  EXPECT_TRUE(started);
  EXPECT_TRUE(unwound);
  EXPECT_FALSE(never_started_ran);
  auto r = k.take_reports();
  EXPECT_EQ(r.size(), 2u);
  EXPECT_TRUE(has_report(r, "destroyed before it finished"));
}

TEST(Lifecycle, DeadlockedCallIsGivenUpAndTheKernelGoesOn) {
  Kernel k;
  kmutex_t m{};
  kcondvar_t cv{};
  bool unwound = false;
  EXPECT_FALSE(k.call([&] {
    Unwound u{&unwound};
    mutex_enter(&m);
    cv_wait(&cv, &m);
  }));
  EXPECT_TRUE(unwound);
  auto r = k.take_reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0].what.find("deadlock"), std::string::npos) << r[0].what;
  EXPECT_NE(r[0].what.find("cv_wait"), std::string::npos) << r[0].what;
  // The given-up call's mutex is free again.
  EXPECT_TRUE(k.call([&] {
    mutex_enter(&m);
    mutex_exit(&m);
  }));
  EXPECT_EQ(k.report_count(), 0u);
}

TEST(Lifecycle, JumpingCallGivesUpAtItsLimit) {
  KernelOptions o;
  o.call_limit = 50;
  Kernel k(o);
  static void (*tick)(void*) = [](void*) { timeout(tick, nullptr, 10); };
  k.call([] { timeout(tick, nullptr, 10); });
  kmutex_t m{};
  kcondvar_t cv{};
  EXPECT_FALSE(k.call([&] {
    mutex_enter(&m);
    cv_wait(&cv, &m);
  }));
  EXPECT_EQ(k.lbolt(), 50);
  auto r = k.take_reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0].what.find("did not complete within 50 ticks"), std::string::npos) << r[0].what;
}

TEST(Lifecycle, ExceptionsLeaveContextsCleanly) {
  Kernel k;
  kmutex_t m{};
  mutex_init(&m, "unit_mutex", MUTEX_DRIVER, nullptr);
  EXPECT_THROW(k.call([&] {
    mutex_enter(&m);
    throw std::runtime_error("boom");
  }),
               std::runtime_error);
  auto t = k.spawn([] { throw std::logic_error("task boom"); }, "thrower");
  EXPECT_TRUE(t->join());
  auto r = k.take_reports();
  EXPECT_TRUE(has_report(r, "call ended holding unit_mutex"));
  EXPECT_TRUE(has_report(r, "uncaught exception in task task thrower: task boom"));
  EXPECT_TRUE(k.call([&] {
    mutex_enter(&m); // released when the throwing call ended
    mutex_exit(&m);
  }));
}

TEST(Lifecycle, NestedCallRunsInline) {
  Kernel k;
  kemu::ContextId outer = 0, inner = 0;
  k.call([&] {
    outer = k.context_id();
    EXPECT_TRUE(k.call([&] { inner = k.context_id(); }));
  });
  EXPECT_NE(outer, 0u);
  EXPECT_EQ(outer, inner);
}

TEST(Lifecycle, ManyKernelsInSequence) {
  for (int i = 0; i < 30; ++i) {
    Kernel k;
    EXPECT_EQ(&Kernel::current(), &k);
    kmutex_t m{};
    kcondvar_t cv{};
    bool ready = false;
    auto t = k.spawn([&] {
      mutex_enter(&m);
      while (!ready) {
        cv_wait(&cv, &m);
      }
      mutex_exit(&m);
    });
    k.interrupt(
        [&] {
          mutex_enter(&m);
          ready = true;
          cv_signal(&cv);
          mutex_exit(&m);
        },
        i);
    EXPECT_TRUE(t->join());
    EXPECT_EQ(k.lbolt(), i);
    EXPECT_EQ(k.report_count(), 0u);
  }
  EXPECT_FALSE(Kernel::exists());
}

TEST(Lifecycle, StartedContextTellsItsEndWithNoThreadWaiting) {
  Kernel k;
  kmutex_t m{};
  kcondvar_t cv{};
  std::vector<bool> ends;
  auto waits = [&] {
    mutex_enter(&m);
    const int r = cv_wait_sig(&cv, &m);
    mutex_exit(&m);
    EXPECT_EQ(r, 0);
  };
  const auto signalled = k.start(waits, [&](bool completed) { ends.push_back(completed); });
  const auto stuck = k.start(waits, [&](bool completed) { ends.push_back(completed); });
  ASSERT_NE(signalled, 0u);
  k.settle();
  EXPECT_TRUE(ends.empty());
  EXPECT_TRUE(k.post_signal(signalled));
  k.settle();
  EXPECT_EQ(ends, std::vector<bool>{true});
  k.shutdown(); // the other is given up, and says so
  EXPECT_EQ(ends, (std::vector<bool>{true, false}));
  EXPECT_FALSE(k.post_signal(stuck));
  EXPECT_EQ(k.start([] {}, [&](bool) { ends.push_back(true); }), 0u);
  EXPECT_EQ(ends.size(), 2u);
}

// Two contexts inside catch blocks at once: each rethrows its own exception, not the one
// most recently caught on the host thread they share.
TEST(Lifecycle, EachContextKeepsItsOwnCaughtException) {
  Kernel k;
  kmutex_t m{};
  kcondvar_t cv{};
  int turn = 0;
  auto catcher = [&](int mine) {
    try {
      try {
        throw mine;
      } catch (int) {
        mutex_enter(&m);
        turn = mine;
        cv_broadcast(&cv);
        while (turn != 3) { // both are inside their catch blocks before either rethrows
          if (turn == 2 && mine == 1) {
            turn = 3;
            cv_broadcast(&cv);
            break;
          }
          cv_wait(&cv, &m);
        }
        mutex_exit(&m);
        throw;
      }
    } catch (int got) {
      EXPECT_EQ(got, mine);
    }
  };
  auto a = k.spawn([&] { catcher(1); });
  auto b = k.spawn([&] { catcher(2); });
  EXPECT_TRUE(a->join());
  EXPECT_TRUE(b->join());
  EXPECT_EQ(turn, 3);
}

// A context's user memory stays its own while it sleeps and another runs on the same
// host thread.
TEST(Lifecycle, UserMemoryScopeBelongsToItsContext) {
  Kernel k;
  struct NoMemory final : kemu::UserMemory {
    int copyin(std::uintptr_t, void*, std::size_t) override { return EFAULT; }
    int copyout(const void*, std::uintptr_t, std::size_t) override { return EFAULT; }
  } mine;
  kmutex_t m{};
  kcondvar_t cv{};
  bool other_ran = false;
  kemu::UserMemory* seen_by_other = nullptr;
  kemu::UserMemory* seen_after = nullptr;
  auto scoped = k.spawn([&] {
    kemu::UserMemoryScope scope(mine);
    mutex_enter(&m);
    while (!other_ran) {
      cv_wait(&cv, &m);
    }
    mutex_exit(&m);
    seen_after = &kemu::current_user_memory();
  });
  auto other = k.spawn([&] {
    seen_by_other = &kemu::current_user_memory();
    mutex_enter(&m);
    other_ran = true;
    cv_signal(&cv);
    mutex_exit(&m);
  });
  EXPECT_TRUE(scoped->join());
  EXPECT_TRUE(other->join());
  EXPECT_EQ(seen_by_other, &kemu::in_process_memory());
  EXPECT_EQ(seen_after, &mine);
}

// Touches about `bytes` of its stack and returns something that depends on all of it.
__attribute__((noinline)) int use_stack(std::size_t bytes) {
  volatile char buf[1024];
  for (auto& c : buf) {
    c = static_cast<char>(bytes);
  }
  return bytes <= sizeof buf ? buf[0] : use_stack(bytes - sizeof buf) + buf[1];
}

TEST(Lifecycle, StackHighWaterSeesTheDeepestContext) {
  Kernel k;
  const std::size_t deep = Kernel::stack_size() / 2;
  ASSERT_TRUE(k.call([&] { use_stack(deep); }));
  EXPECT_GE(Kernel::stack_high_water(), deep);
  EXPECT_LT(Kernel::stack_high_water(), Kernel::stack_size());
}

TEST(LifecycleDeathTest, StackOverflowDiesOnTheGuardPage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Kernel k;
        k.call([] { use_stack(Kernel::stack_size() * 2); });
      },
      "stack overflow in context call|stack-overflow");
}

TEST(LifecycleDeathTest, SecondLiveKernelIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Kernel a;
        Kernel b;
      },
      "second Kernel");
}

} // namespace
