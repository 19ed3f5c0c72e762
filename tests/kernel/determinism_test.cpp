// The same inputs give the same order of events, however the host schedules its threads.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kemu/kernel.h"
#include "ksys/mutex.h"
#include "ksys/time.h"

namespace {

using kemu::Kernel;

struct World {
  kmutex_t intr{};
  kmutex_t unit{};
  kcondvar_t cv{};
  int items = 0;
  bool producing = true;
  int ticks_left = 6;
  std::vector<std::string> log;

  void note(const std::string& what) {
    log.push_back(std::to_string(ddi_get_lbolt()) + " " + what);
  }
};

World* g_world;

void periodic(void*) {
  World& w = *g_world;
  mutex_enter(&w.intr);
  mutex_enter(&w.unit);
  w.note("tick items=" + std::to_string(w.items));
  cv_broadcast(&w.cv);
  mutex_exit(&w.unit);
  mutex_exit(&w.intr);
  if (--w.ticks_left > 0) {
    timeout(periodic, nullptr, 2);
  }
}

std::vector<std::string> run_scenario() {
  World w;
  g_world = &w;
  Kernel k;
  mutex_init(&w.intr, "intr_mutex", MUTEX_DRIVER, nullptr);
  mutex_init(&w.unit, "unit_mutex", MUTEX_DRIVER, nullptr);
  cv_init(&w.cv, "qd_cv", CV_DRIVER, nullptr);

  auto producer = k.spawn(
      [&] {
        for (int i = 0; i < 5; ++i) {
          mutex_enter(&w.unit);
          ++w.items;
          w.note("produce " + std::to_string(i));
          cv_broadcast(&w.cv);
          mutex_exit(&w.unit);
          delay(3);
        }
        mutex_enter(&w.unit);
        w.producing = false;
        cv_broadcast(&w.cv);
        mutex_exit(&w.unit);
      },
      "producer");
  std::vector<std::unique_ptr<Kernel::Task>> consumers;
  for (const char* name : {"c1", "c2", "c3"}) {
    consumers.push_back(k.spawn(
        [&w, name, &k] {
          mutex_enter(&w.unit);
          for (;;) {
            while (w.items == 0 && w.producing) {
              if (cv_wait_sig(&w.cv, &w.unit) == 0) {
                w.note(std::string(name) + " signalled");
                k.clear_signal_current();
              }
            }
            if (w.items == 0) {
              break;
            }
            --w.items;
            w.note(std::string(name) + " consume");
            mutex_exit(&w.unit);
            delay(1);
            mutex_enter(&w.unit);
          }
          mutex_exit(&w.unit);
        },
        name));
  }
  k.call([] { timeout(periodic, nullptr, 1); });
  for (int i = 0; i < 4; ++i) {
    k.interrupt(
        [&w, i] {
          mutex_enter(&w.unit);
          w.note("irq " + std::to_string(i));
          mutex_exit(&w.unit);
        },
        i * 2);
  }
  k.advance(2);
  k.post_signal(*consumers[1]);
  k.advance(1);
  k.post_signal(*consumers[2]);
  EXPECT_TRUE(producer->join());
  for (auto& c : consumers) {
    EXPECT_TRUE(c->join());
  }
  k.advance(20);
  EXPECT_EQ(k.report_count(), 0u);
  return w.log;
}

TEST(Determinism, SameScenarioSameEventsEveryRun) {
  const std::vector<std::string> first = run_scenario();
  ASSERT_GT(first.size(), 20u);
  for (int run = 0; run < 5; ++run) {
    EXPECT_EQ(run_scenario(), first) << "run " << run;
  }
}

} // namespace
