// Mutexes and condition variables between contexts, and the misuse checks.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kemu/kernel.h"
#include "ksys/mutex.h"
#include "ksys/time.h"

namespace {

using kemu::Kernel;

std::vector<std::string> g_log;

class LockTest : public ::testing::Test {
protected:
  void SetUp() override { g_log.clear(); }
  Kernel k;
};

TEST_F(LockTest, ZeroedNeverInitialisedMutexWorks) {
  kmutex_t m{};
  ASSERT_TRUE(k.call([&] {
    EXPECT_FALSE(mutex_owned(&m));
    mutex_enter(&m);
    EXPECT_TRUE(mutex_owned(&m));
    EXPECT_EQ(mutex_tryenter(&m), 0) << "recursive tryenter fails";
    mutex_exit(&m);
    EXPECT_FALSE(mutex_owned(&m));
    EXPECT_EQ(mutex_tryenter(&m), 1);
    mutex_exit(&m);
  }));
  auto r = k.take_reports();
  ASSERT_EQ(r.size(), 1u); // the recursive tryenter
  EXPECT_NE(r[0].what.find("recursive mutex_tryenter"), std::string::npos);
}

TEST_F(LockTest, MutexGoesToWaitersInArrivalOrder) {
  kmutex_t m{};
  mutex_init(&m, "data", MUTEX_DRIVER, nullptr);
  std::vector<std::unique_ptr<Kernel::Task>> tasks;
  auto holder = k.spawn([&] {
    mutex_enter(&m);
    g_log.push_back("holder in");
    kemu::SleepWithLocksHeld hold;
    delay(5); // waiters queue up meanwhile
    g_log.push_back("holder out");
    mutex_exit(&m);
  });
  for (const char* name : {"w1", "w2", "w3"}) {
    tasks.push_back(k.spawn(
        [&m, name] {
          mutex_enter(&m);
          EXPECT_TRUE(mutex_owned(&m));
          g_log.push_back(name);
          mutex_exit(&m);
        },
        name));
  }
  // A late arrival must not barge in ahead of the queue when the mutex is handed over.
  k.interrupt(
      [&] {
        mutex_enter(&m);
        g_log.push_back("late");
        mutex_exit(&m);
      },
      5);
  EXPECT_TRUE(holder->join());
  for (auto& t : tasks) {
    EXPECT_TRUE(t->join());
  }
  k.settle();
  EXPECT_EQ(g_log, (std::vector<std::string>{"holder in", "holder out", "w1", "w2", "w3", "late"}));
  EXPECT_EQ(k.report_count(), 0u);
}

TEST_F(LockTest, CvBroadcastWakesWaitersInOrderAndEachRetakesTheMutex) {
  kmutex_t m{};
  kcondvar_t cv{};
  bool go = false;
  std::vector<std::unique_ptr<Kernel::Task>> tasks;
  for (const char* name : {"a", "b", "c"}) {
    tasks.push_back(k.spawn(
        [&, name] {
          mutex_enter(&m);
          while (!go) {
            cv_wait(&cv, &m);
          }
          EXPECT_TRUE(mutex_owned(&m));
          g_log.push_back(name);
          mutex_exit(&m);
        },
        name));
  }
  k.settle();
  EXPECT_TRUE(g_log.empty());
  for (auto& t : tasks) {
    EXPECT_FALSE(t->done());
  }
  k.call([&] {
    mutex_enter(&m);
    go = true;
    cv_broadcast(&cv);
    g_log.push_back("broadcast");
    mutex_exit(&m);
  });
  k.settle();
  EXPECT_EQ(g_log, (std::vector<std::string>{"broadcast", "a", "b", "c"}));
  for (auto& t : tasks) {
    EXPECT_TRUE(t->done());
  }
  EXPECT_EQ(k.report_count(), 0u);
}

TEST_F(LockTest, CvSignalWakesOneAtATime) {
  kmutex_t m{};
  kcondvar_t cv{};
  int tokens = 0;
  auto consumer = [&](const char* name) {
    return k.spawn(
        [&, name] {
          mutex_enter(&m);
          while (tokens == 0) {
            cv_wait(&cv, &m);
          }
          --tokens;
          g_log.push_back(name);
          mutex_exit(&m);
        },
        name);
  };
  auto c1 = consumer("c1");
  auto c2 = consumer("c2");
  k.settle();
  auto give = [&] {
    k.call([&] {
      mutex_enter(&m);
      ++tokens;
      cv_signal(&cv);
      mutex_exit(&m);
    });
    k.settle();
  };
  give();
  EXPECT_EQ(g_log, (std::vector<std::string>{"c1"}));
  EXPECT_FALSE(c2->done());
  give();
  EXPECT_EQ(g_log, (std::vector<std::string>{"c1", "c2"}));
}

TEST_F(LockTest, TimedWaitTimesOutOrIsWoken) {
  kmutex_t m{};
  kcondvar_t cv{};
  clock_t first = 0, second = 0;
  auto t = k.spawn([&] {
    mutex_enter(&m);
    first = cv_timedwait(&cv, &m, ddi_get_lbolt() + 10);
    EXPECT_TRUE(mutex_owned(&m));
    second = cv_timedwait(&cv, &m, ddi_get_lbolt() + 10);
    mutex_exit(&m);
  });
  k.advance(10);
  EXPECT_EQ(first, -1);
  EXPECT_EQ(k.lbolt(), 10);
  k.advance(3);
  k.call([&] {
    mutex_enter(&m);
    cv_signal(&cv);
    mutex_exit(&m);
  });
  EXPECT_TRUE(t->join());
  EXPECT_GT(second, 0);
  EXPECT_EQ(k.lbolt(), 13);
  k.advance(20); // the cancelled timer must not fire into anything
  EXPECT_EQ(k.report_count(), 0u);
}

// ---- Misuse checks ----------------------------------------------------------------------------

struct MisuseCase {
  const char* name;
  std::function<void()> body; // runs in a user context
  const char* expect;         // substring of the one report, or nullptr for none
};

kmutex_t g_a, g_b;
kcondvar_t g_cv;

void named(kmutex_t* m, const char* name) {
  *m = kmutex_t{};
  mutex_init(m, name, MUTEX_DRIVER, nullptr);
}

std::vector<MisuseCase> misuse_cases() {
  return {
      {"recursive entry",
       [] {
         mutex_enter(&g_a);
         mutex_enter(&g_a);
         mutex_exit(&g_a);
       },
       "recursive mutex_enter of unit_mutex"},
      {"exit by non-owner", [] { mutex_exit(&g_a); }, "mutex_exit of unit_mutex by call"},
      {"destroy while held",
       [] {
         mutex_enter(&g_a);
         mutex_destroy(&g_a);
         mutex_exit(&g_a);
       },
       "mutex_destroy of unit_mutex while it is held"},
      {"enter after destroy",
       [] {
         mutex_destroy(&g_a);
         mutex_enter(&g_a);
         mutex_exit(&g_a);
       },
       "mutex_enter of destroyed mutex unit_mutex"},
      {"order reversed",
       [] {
         named(&g_b, "intr_mutex");
         mutex_enter(&g_a);
         mutex_enter(&g_b);
         mutex_exit(&g_b);
         mutex_exit(&g_a);
       },
       "lock order: intr_mutex taken while holding unit_mutex"},
      {"two unit mutexes",
       [] {
         named(&g_b, "unit_mutex");
         mutex_enter(&g_a);
         mutex_enter(&g_b);
         mutex_exit(&g_b);
         mutex_exit(&g_a);
       },
       "lock order: unit_mutex taken while holding unit_mutex"},
      {"leaf before allocator",
       [] {
         kmutex_t mem{}, pool{};
         named(&mem, "qd_mem_mutex");
         named(&pool, "qmx_mutex");
         mutex_enter(&mem);
         mutex_enter(&pool);
         mutex_exit(&pool);
         mutex_exit(&mem);
       },
       "lock order: qmx_mutex taken while holding qd_mem_mutex"},
      {"declared order is fine",
       [] {
         kmutex_t m[5]{};
         const char* names[] = {"intr_mutex", "unit_mutex", "qmx_mutex", "qd_mem_mutex",
                                "trace_mutex"};
         for (int i = 0; i < 5; ++i) {
           named(&m[i], names[i]);
           mutex_enter(&m[i]);
         }
         for (int i = 4; i >= 0; --i) {
           mutex_exit(&m[i]);
         }
       },
       nullptr},
      {"unlisted names are not ranked",
       [] {
         named(&g_b, "scsi_ioctl");
         mutex_enter(&g_b);
         mutex_enter(&g_a);
         mutex_exit(&g_a);
         mutex_exit(&g_b);
         mutex_enter(&g_a);
         mutex_enter(&g_b);
         mutex_exit(&g_b);
         mutex_exit(&g_a);
       },
       nullptr},
      {"cv_wait holding another mutex",
       [] {
         named(&g_b, "qd_diag_mutex");
         mutex_enter(&g_a);
         mutex_enter(&g_b);
         cv_timedwait(&g_cv, &g_b, ddi_get_lbolt() + 1);
         mutex_exit(&g_b);
         mutex_exit(&g_a);
       },
       "cv_timedwait while holding unit_mutex"},
      {"delay holding a mutex",
       [] {
         mutex_enter(&g_a);
         delay(1);
         mutex_exit(&g_a);
       },
       "delay while holding unit_mutex"},
      {"sleep allowed for the layer",
       [] {
         mutex_enter(&g_a);
         {
           kemu::SleepWithLocksHeld polling;
           delay(1);
         }
         mutex_exit(&g_a);
       },
       nullptr},
      {"cv_wait without the mutex", [] { cv_timedwait(&g_cv, &g_a, ddi_get_lbolt() + 1); },
       "cv_timedwait on qd_cv without holding unit_mutex"},
      {"returning with a mutex held", [] { mutex_enter(&g_a); }, "call ended holding unit_mutex"},
  };
}

TEST(LockChecks, EachMisuseIsReportedOnceAndCorrectUseNever) {
  for (const auto& c : misuse_cases()) {
    SCOPED_TRACE(c.name);
    Kernel k;
    named(&g_a, "unit_mutex");
    g_cv = kcondvar_t{};
    cv_init(&g_cv, "qd_cv", CV_DRIVER, nullptr);
    EXPECT_TRUE(k.call(c.body));
    auto r = k.take_reports();
    if (c.expect == nullptr) {
      EXPECT_TRUE(r.empty()) << r.front().what;
      continue;
    }
    ASSERT_EQ(r.size(), 1u) << r.front().what;
    EXPECT_NE(r[0].what.find(c.expect), std::string::npos) << r[0].what;
  }
}

TEST(LockChecks, DestroyWithWaitersIsReported) {
  Kernel k;
  kmutex_t m{};
  kcondvar_t cv{};
  mutex_init(&m, "unit_mutex", MUTEX_DRIVER, nullptr);
  cv_init(&cv, "qd_up_cv", CV_DRIVER, nullptr);
  auto holder = k.spawn([&] {
    mutex_enter(&m);
    cv_wait(&cv, &m);
    mutex_exit(&m);
  });
  auto waiter = k.spawn([&] {
    mutex_enter(&m);
    mutex_exit(&m);
  });
  k.settle();
  k.call([&] {
    cv_destroy(&cv);
    mutex_enter(&m);
    cv_signal(&cv);
    mutex_exit(&m);
  });
  auto r = k.take_reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0].what.find("cv_destroy of qd_up_cv with contexts waiting"), std::string::npos);
  // Hold the mutex in a task while another waits for it, then destroy it.
  auto blocker = k.spawn([&] {
    mutex_enter(&m);
    kemu::SleepWithLocksHeld hold;
    delay(10);
    mutex_exit(&m);
  });
  auto queued = k.spawn([&] {
    mutex_enter(&m);
    mutex_exit(&m);
  });
  k.settle();
  k.call([&] { mutex_destroy(&m); });
  r = k.take_reports();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_NE(r[0].what.find("while it is held"), std::string::npos) << r[0].what;
  EXPECT_NE(r[1].what.find("with contexts waiting"), std::string::npos) << r[1].what;
  EXPECT_TRUE(blocker->join());
  EXPECT_TRUE(queued->join());
  EXPECT_TRUE(holder->join());
  EXPECT_TRUE(waiter->join());
  EXPECT_EQ(k.report_count(), 0u) << "the queued task asked before the destroy";
}

} // namespace
