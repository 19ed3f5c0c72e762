// The emulated kernel under the driver: what every driver path pays for the layer itself.
#include <benchmark/benchmark.h>

#include <memory>

#include "bench_meter.h"
#include "kemu/kernel.h"
#include "kemu/streams.h"
#include "ksys/mutex.h"
#include "ksys/stream.h"
#include "ksys/time.h"

namespace qdbench {
namespace {

// Two contexts taking turns: the benchmark's own (a kernel call) hands the CPU to a task
// and waits until the task hands it back. One iteration is one round trip, two hand-offs.
// Host threads block and wake for each, so real time is the measure.
void BM_ContextHandoff(benchmark::State& state) {
  kemu::Kernel kernel;
  kmutex_t mu{};
  kcondvar_t cv{};
  int turn = 0; // 0: the benchmark's context, 1: the task
  bool stop = false;
  // Named before the task exists: it may run first and wait on them.
  mutex_init(&mu, "bench_mutex", MUTEX_DRIVER, nullptr);
  cv_init(&cv, "bench_cv", CV_DRIVER, nullptr);
  auto partner = kernel.spawn([&] {
    mutex_enter(&mu);
    for (;;) {
      while (turn != 1 && !stop) {
        cv_wait(&cv, &mu);
      }
      if (stop) {
        break;
      }
      turn = 0;
      cv_signal(&cv);
    }
    mutex_exit(&mu);
  });
  kernel.call([&] {
    mutex_enter(&mu);
    AllocationMeter meter(kernel);
    for (auto _ : state) {
      turn = 1;
      cv_signal(&cv);
      while (turn != 0) {
        cv_wait(&cv, &mu);
      }
    }
    meter.report(state);
    stop = true;
    cv_signal(&cv);
    mutex_exit(&mu);
  });
  partner->join();
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_ContextHandoff)->UseRealTime();

// A mutex nobody else wants, named as the driver's are (the lock-order check looks the
// name up at every entry).
void BM_MutexEnterExit(benchmark::State& state) {
  kemu::Kernel kernel;
  kmutex_t mu{};
  kernel.call([&] {
    mutex_init(&mu, "unit_mutex", MUTEX_DRIVER, nullptr);
    AllocationMeter meter(kernel);
    for (auto _ : state) {
      mutex_enter(&mu);
      mutex_exit(&mu);
    }
    meter.report(state);
  });
}
BENCHMARK(BM_MutexEnterExit);

void never_runs(void*) {}

// A callout armed and cancelled before it is due, as the driver's retry and watchdog
// timers mostly are.
void BM_CalloutArmCancel(benchmark::State& state) {
  kemu::Kernel kernel;
  kernel.call([&] {
    AllocationMeter meter(kernel);
    for (auto _ : state) {
      timeout_id_t id = timeout(never_runs, nullptr, 100);
      benchmark::DoNotOptimize(id);
      untimeout(id);
    }
    meter.report(state);
  });
}
BENCHMARK(BM_CalloutArmCancel);

// One message through a queue with no service procedure: putq then getq.
void BM_PutqGetq(benchmark::State& state) {
  kemu::Kernel kernel;
  kemu::QueuePairPtr pair = kemu::make_queue_pair(nullptr, nullptr);
  queue_t* q = kemu::read_queue(*pair);
  kernel.call([&] {
    mblk_t* mp = allocb(64, BPRI_MED);
    mp->b_wptr += 64;
    AllocationMeter meter(kernel);
    for (auto _ : state) {
      putq(q, mp);
      mp = getq(q);
      benchmark::DoNotOptimize(mp);
    }
    meter.report(state);
    freemsg(mp);
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PutqGetq);

// A message allocated and freed, as the driver does for every piece of input sent up.
void BM_AllocbFreeb(benchmark::State& state) {
  kemu::Kernel kernel;
  const auto size = static_cast<std::size_t>(state.range(0));
  kernel.call([&] {
    AllocationMeter meter(kernel);
    for (auto _ : state) {
      mblk_t* mp = allocb(size, BPRI_HI);
      benchmark::DoNotOptimize(mp);
      freeb(mp);
    }
    meter.report(state);
  });
}
BENCHMARK(BM_AllocbFreeb)->Arg(64)->Arg(1024);

} // namespace
} // namespace qdbench

BENCHMARK_MAIN();
