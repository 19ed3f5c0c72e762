// Callouts, delays and the virtual clock.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "kemu/kernel.h"
#include "ksys/mutex.h"
#include "ksys/time.h"

namespace {

using kemu::Kernel;
using kemu::Wait;

// Contexts run one at a time and hand over through the kernel's lock, so a plain vector
// is a safe journal.
std::vector<std::string> g_log;

void log_tick(void* arg) {
  g_log.push_back(std::string(static_cast<const char*>(arg)) + "@" +
                  std::to_string(ddi_get_lbolt()));
}

class CalloutTest : public ::testing::Test {
protected:
  void SetUp() override { g_log.clear(); }
  void TearDown() override { EXPECT_EQ(k.report_count(), 0u); }
  Kernel k;
};

TEST_F(CalloutTest, SameTickCalloutsRunInArmingOrderAndLaterTicksAfter) {
  static char a[] = "a", b[] = "b", c[] = "c", d[] = "d", e[] = "e";
  k.call([] {
    timeout(log_tick, c, 2);
    timeout(log_tick, a, 1);
    timeout(log_tick, d, 2);
    timeout(log_tick, b, 1);
    timeout(log_tick, e, 0);
  });
  EXPECT_TRUE(g_log.empty()) << "nothing runs before the caller returns and the test drives";
  k.advance(3);
  EXPECT_EQ(g_log, (std::vector<std::string>{"e@0", "a@1", "b@1", "c@2", "d@2"}));
}

TEST_F(CalloutTest, ZeroTickCalloutRunsInAnotherContextAfterCallerBlocks) {
  kemu::ContextId caller = 0, callee = 0;
  bool ran_before_block = true;
  kmutex_t m{};
  kcondvar_t cv{};
  struct Ctx {
    kemu::ContextId* callee;
    kmutex_t* m;
    kcondvar_t* cv;
    bool done;
  } ctx{&callee, &m, &cv, false};
  auto cb = [](void* p) {
    auto* c = static_cast<Ctx*>(p);
    *c->callee = kemu::Kernel::current().context_id();
    mutex_enter(c->m);
    c->done = true;
    cv_signal(c->cv);
    mutex_exit(c->m);
  };
  ASSERT_TRUE(k.call([&] {
    caller = kemu::Kernel::current().context_id();
    mutex_enter(&m);
    timeout(cb, &ctx, 0);
    ran_before_block = ctx.done;
    while (!ctx.done) {
      cv_wait(&cv, &m);
    }
    mutex_exit(&m);
  }));
  EXPECT_FALSE(ran_before_block);
  EXPECT_NE(caller, callee);
  EXPECT_EQ(k.lbolt(), 0) << "a 0-tick callout needs no time";
}

TEST_F(CalloutTest, UntimeoutReturnsTicksLeftOrMinusOne) {
  static char a[] = "a";
  timeout_id_t pending = nullptr, ran = nullptr, due_now = nullptr;
  k.call([&] {
    pending = timeout(log_tick, a, 50);
    ran = timeout(log_tick, a, 1);
  });
  k.advance(10);
  k.call([&] {
    EXPECT_EQ(untimeout(pending), 40);
    EXPECT_EQ(untimeout(pending), -1) << "a second cancel finds nothing";
    EXPECT_EQ(untimeout(ran), -1);
    EXPECT_EQ(untimeout(nullptr), -1);
    due_now = timeout(log_tick, a, 0);
    EXPECT_EQ(untimeout(due_now), 0) << "due but not started can still be cancelled";
  });
  k.advance(100);
  EXPECT_EQ(g_log, (std::vector<std::string>{"a@1"}));
}

// The driver cancels a callout while holding the mutex the callout takes. If untimeout
// waited for the running callout, this would never end.
TEST_F(CalloutTest, UntimeoutNeverWaitsForARunningCallout) {
  static kmutex_t m;
  m = kmutex_t{};
  mutex_init(&m, "unit_mutex", MUTEX_DRIVER, nullptr);
  auto cb = [](void*) {
    g_log.push_back("cb start");
    mutex_enter(&m);
    g_log.push_back("cb has mutex");
    mutex_exit(&m);
  };
  clock_t left = 0;
  ASSERT_TRUE(k.call([&] {
    mutex_enter(&m);
    timeout_id_t id = timeout(cb, nullptr, 0);
    {
      kemu::SleepWithLocksHeld polling; // as scsi_poll callers do
      delay(1);                         // the callout starts and blocks on m
    }
    left = untimeout(id);
    g_log.push_back("cancelled");
    mutex_exit(&m);
  }));
  k.settle();
  EXPECT_EQ(left, -1);
  EXPECT_EQ(g_log, (std::vector<std::string>{"cb start", "cancelled", "cb has mutex"}));
}

TEST_F(CalloutTest, JumpingCallCompletesADelay) {
  EXPECT_TRUE(k.call([] { delay(250); }, Wait::kJump));
  EXPECT_EQ(k.lbolt(), 250);
}

TEST_F(CalloutTest, NonJumpingCallDoesNotMoveTime) {
  static char a[] = "a";
  k.call([] { timeout(log_tick, a, 5); });
  EXPECT_FALSE(k.call([] { delay(10); }, Wait::kNoJump));
  EXPECT_EQ(k.lbolt(), 0);
  EXPECT_TRUE(g_log.empty());
  auto r = k.take_reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0].what.find("without time passing"), std::string::npos) << r[0].what;
  EXPECT_NE(r[0].what.find("delay"), std::string::npos) << r[0].what;
  // The clock still works afterwards.
  k.advance(5);
  EXPECT_EQ(g_log, (std::vector<std::string>{"a@5"}));
}

TEST_F(CalloutTest, NonJumpingCallCompletesWhenNoTimeIsNeeded) {
  int n = 0;
  EXPECT_TRUE(k.call([&] { n = 1; }, Wait::kNoJump));
  EXPECT_EQ(n, 1);
}

TEST_F(CalloutTest, AdvanceSettlesEachTickBeforeTheNext) {
  // A chain of 1-tick callouts, each arming the next: tick by tick means each link runs
  // at its own tick, never two at once.
  struct Chain {
    int left;
  };
  static Chain chain;
  chain.left = 4;
  static void (*step)(void*) = [](void* p) {
    auto* c = static_cast<Chain*>(p);
    g_log.push_back(std::to_string(ddi_get_lbolt()));
    if (--c->left > 0) {
      timeout(step, c, 1);
    }
  };
  k.call([] { timeout(step, &chain, 1); });
  k.advance(2);
  EXPECT_EQ(g_log, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(k.lbolt(), 2);
  k.advance(10);
  EXPECT_EQ(g_log, (std::vector<std::string>{"1", "2", "3", "4"}));
  EXPECT_EQ(k.lbolt(), 12) << "advance moves the whole distance";
}

TEST_F(CalloutTest, RunUntilJumpsFromDeadlineToDeadline) {
  static char a[] = "a", b[] = "b";
  k.call([] {
    timeout(log_tick, a, 300);
    timeout(log_tick, b, 7000);
  });
  EXPECT_TRUE(k.run_until([] { return !g_log.empty(); }));
  EXPECT_EQ(k.lbolt(), 300);
  EXPECT_FALSE(k.run_until([] { return g_log.size() == 2; }, 100))
      << "the next deadline lies beyond the limit";
  EXPECT_EQ(k.lbolt(), 300);
  EXPECT_TRUE(k.run_until([] { return g_log.size() == 2; }));
  EXPECT_EQ(g_log, (std::vector<std::string>{"a@300", "b@7000"}));
}

TEST_F(CalloutTest, InterruptWorkRunsInQueueOrderAndCanBeCancelled) {
  k.interrupt([] { g_log.push_back("i1"); });
  auto later = k.interrupt([] { g_log.push_back("late"); }, 3);
  auto gone = k.interrupt([] { g_log.push_back("never"); });
  k.interrupt([] { g_log.push_back("i2"); });
  EXPECT_TRUE(k.cancel_interrupt(gone));
  EXPECT_FALSE(k.cancel_interrupt(gone));
  k.settle();
  EXPECT_EQ(g_log, (std::vector<std::string>{"i1", "i2"}));
  k.advance(3);
  EXPECT_FALSE(k.cancel_interrupt(later));
  EXPECT_EQ(g_log, (std::vector<std::string>{"i1", "i2", "late"}));
}

TEST_F(CalloutTest, ClockReadings) {
  k.advance(1234);
  k.call([] {
    clock_t lb = 0;
    EXPECT_EQ(drv_getparm(LBOLT, &lb), 0);
    EXPECT_EQ(lb, 1234);
    EXPECT_EQ(ddi_get_lbolt(), 1234);
    time_t t0 = 0;
    EXPECT_EQ(drv_getparm(TIME, &t0), 0);
    delay(hz * 3);
    time_t t1 = 0;
    drv_getparm(TIME, &t1);
    EXPECT_EQ(t1 - t0, 3);
    EXPECT_EQ(drv_getparm(99, &lb), -1);
  });
}

TEST(ClockConversion, UsecToHzRoundsUp) {
  const struct {
    clock_t usec, ticks;
  } cases[] = {{-5, 0}, {0, 0}, {1, 1}, {9999, 1}, {10000, 1}, {10001, 2}, {1000000, hz}};
  for (const auto& c : cases) {
    EXPECT_EQ(drv_usectohz(c.usec), c.ticks) << c.usec;
  }
}

} // namespace
