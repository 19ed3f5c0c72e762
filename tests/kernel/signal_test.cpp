// Signals to user contexts, credentials, and what a context knows about itself.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "kemu/kernel.h"
#include "ksys/cred.h"
#include "ksys/mutex.h"
#include "ksys/time.h"

namespace {

using kemu::ContextKind;
using kemu::Kernel;

class SignalTest : public ::testing::Test {
protected:
  void SetUp() override {
    mutex_init(&m, "unit_mutex", MUTEX_DRIVER, nullptr);
    cv_init(&cv, "qd_cv", CV_DRIVER, nullptr);
  }
  Kernel k;
  kmutex_t m{};
  kcondvar_t cv{};
  std::vector<std::string> log;
};

TEST_F(SignalTest, PendingOnEntryEndsEveryInterruptibleWaitUntilCleared) {
  ASSERT_TRUE(k.call([&] {
    EXPECT_FALSE(k.signal_pending_current());
    k.post_signal_current();
    mutex_enter(&m);
    EXPECT_EQ(cv_wait_sig(&cv, &m), 0);
    EXPECT_TRUE(mutex_owned(&m));
    EXPECT_EQ(cv_wait_sig(&cv, &m), 0) << "the signal stays pending";
    EXPECT_EQ(cv_timedwait_sig(&cv, &m, ddi_get_lbolt() + 5), 0);
    k.clear_signal_current();
    EXPECT_EQ(cv_timedwait_sig(&cv, &m, ddi_get_lbolt() + 5), -1);
    k.post_signal_current();
    mutex_exit(&m);
  }));
  ASSERT_TRUE(k.call([&] { EXPECT_FALSE(k.signal_pending_current()) << "ends with its call"; }));
  EXPECT_EQ(k.report_count(), 0u);
}

TEST_F(SignalTest, PostedWhileAsleepWakesOnlyAfterTheMutexIsBack) {
  int result = -7;
  auto t = k.spawn(
      [&] {
        mutex_enter(&m);
        result = cv_wait_sig(&cv, &m);
        log.push_back(mutex_owned(&m) ? "woke owning" : "woke without mutex");
        mutex_exit(&m);
      },
      "opener");
  k.settle();
  ASSERT_FALSE(t->done());
  k.call([&] {
    mutex_enter(&m);
    k.post_signal(*t);
    log.push_back("posted");
    delay(3); // the woken task must wait for the mutex
    log.push_back("releasing");
    mutex_exit(&m);
  });
  EXPECT_TRUE(t->join());
  EXPECT_EQ(result, 0);
  EXPECT_EQ(log, (std::vector<std::string>{"posted", "releasing", "woke owning"}));
  // delay while holding the mutex is reported; nothing else.
  auto r = k.take_reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0].what.find("delay while holding"), std::string::npos);
}

// The timer of a timed wait that a signal ended must not end the context's next sleep.
TEST_F(SignalTest, ASignalDisarmsTheTimedWaitItEnds) {
  clock_t slept = 0;
  auto t = k.spawn([&] {
    mutex_enter(&m);
    EXPECT_EQ(cv_timedwait_sig(&cv, &m, ddi_get_lbolt() + 10), 0);
    k.clear_signal_current();
    mutex_exit(&m);
    const clock_t from = ddi_get_lbolt();
    delay(100);
    slept = ddi_get_lbolt() - from;
  });
  k.settle();
  k.post_signal(*t);
  EXPECT_TRUE(t->join());
  EXPECT_EQ(slept, 100);
  EXPECT_EQ(k.report_count(), 0u);
}

TEST_F(SignalTest, UninterruptibleSleepsIgnoreTheSignalButKeepItPending) {
  bool go = false;
  int later = -7;
  auto t = k.spawn([&] {
    delay(10);
    log.push_back("delay done at " + std::to_string(ddi_get_lbolt()));
    mutex_enter(&m);
    while (!go) {
      cv_wait(&cv, &m);
    }
    log.push_back("cv_wait done");
    later = cv_wait_sig(&cv, &m);
    mutex_exit(&m);
  });
  k.settle();
  k.post_signal(*t);
  k.advance(5);
  EXPECT_TRUE(log.empty()) << "delay is not interruptible";
  k.advance(5);
  k.post_signal(*t);
  k.settle();
  EXPECT_EQ(log.size(), 1u) << "cv_wait is not interruptible";
  k.call([&] {
    mutex_enter(&m);
    go = true;
    cv_broadcast(&cv);
    mutex_exit(&m);
  });
  EXPECT_TRUE(t->join());
  EXPECT_EQ(later, 0);
  EXPECT_EQ(log, (std::vector<std::string>{"delay done at 10", "cv_wait done"}));
}

TEST_F(SignalTest, SignalByContextIdReachesACallOnAnotherThread) {
  kemu::ContextId id = 0;
  int result = -7;
  auto t = k.spawn([&] {
    id = k.context_id();
    mutex_enter(&m);
    result = cv_wait_sig(&cv, &m);
    mutex_exit(&m);
  });
  k.settle();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(id, t->id());
  EXPECT_FALSE(k.post_signal(id + 1000000));
  EXPECT_TRUE(k.post_signal(id));
  EXPECT_TRUE(t->join());
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(k.post_signal(id)) << "the context has ended";
}

TEST_F(SignalTest, InterruptContextsHaveNoSignals) {
  int result = -7;
  k.interrupt([&] {
    EXPECT_EQ(k.context_kind(), ContextKind::kInterrupt);
    k.post_signal_current();
    mutex_enter(&m);
    result = cv_wait_sig(&cv, &m);
    mutex_exit(&m);
  });
  k.settle();
  EXPECT_EQ(result, -7) << "still asleep: the signal did not count";
  k.call([&] {
    mutex_enter(&m);
    cv_signal(&cv);
    mutex_exit(&m);
  });
  k.settle();
  EXPECT_GT(result, 0);
  auto r = k.take_reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0].what.find("signal posted outside a user context"), std::string::npos);
}

TEST(Credentials, EachContextCarriesItsOwn) {
  Kernel k;
  const cred_t user{100, 10, 100, 10};
  const cred_t setuid_root{0, 10, 100, 10};
  struct Seen {
    uid_t uid;
    int priv;
  };
  auto seen = [] { return Seen{ddi_get_cred()->cr_uid, drv_priv(ddi_get_cred())}; };
  Seen in_user{}, in_root{}, in_setuid{}, in_task{}, in_intr{};
  k.call([&] { in_user = seen(); }, kemu::Wait::kJump, user);
  k.call([&] { in_root = seen(); });
  k.call([&] { in_setuid = seen(); }, kemu::Wait::kJump, setuid_root);
  auto t = k.spawn([&] { in_task = seen(); }, "t", user);
  k.interrupt([&] { in_intr = seen(); });
  EXPECT_TRUE(t->join());
  k.settle();
  EXPECT_EQ(in_user.uid, 100u);
  EXPECT_EQ(in_user.priv, EPERM);
  EXPECT_EQ(in_root.priv, 0);
  EXPECT_EQ(in_setuid.priv, 0) << "the effective uid decides";
  EXPECT_EQ(in_task.priv, EPERM);
  EXPECT_EQ(in_intr.uid, 0u);
  EXPECT_EQ(in_intr.priv, 0);
  EXPECT_EQ(drv_priv(nullptr), EPERM);
}

TEST(ContextQueries, KindTaskAndIdPerContext) {
  Kernel k;
  EXPECT_EQ(k.context_kind(), ContextKind::kNone);
  EXPECT_EQ(k.context_id(), 0u);
  Kernel::Task* seen_task = reinterpret_cast<Kernel::Task*>(1);
  kemu::ContextId call_id = 0, intr1 = 0, intr2 = 0;
  k.call([&] {
    EXPECT_EQ(k.context_kind(), ContextKind::kUser);
    EXPECT_EQ(k.current_task(), nullptr);
    call_id = k.context_id();
  });
  auto t = k.spawn([&] { seen_task = k.current_task(); }, "reader");
  k.interrupt([&] { intr1 = k.context_id(); });
  k.interrupt([&] { intr2 = k.context_id(); });
  EXPECT_TRUE(t->join());
  k.settle();
  EXPECT_EQ(seen_task, t.get());
  EXPECT_NE(call_id, 0u);
  EXPECT_NE(intr1, 0u);
  EXPECT_NE(intr1, intr2) << "each interrupt item is a context of its own";
}

} // namespace
