// Latency on the real clock: a 1-byte echo through a loopback plug, written and read on a
// port node as a program does it (the kernel, driver and emulated units that qdhost runs,
// in this process), beside a pty pair's echo measured in the same run; and the host CPU
// the system uses while its ports are open and nothing moves.
#include <benchmark/benchmark.h>

#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "system_env.h"

namespace qdbench {
namespace {

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto sec = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
  return sec(ru.ru_utime) + sec(ru.ru_stime);
}

// Share of one core the process used over `wall` of doing nothing itself.
double idle_cpu_share(std::chrono::milliseconds wall) {
  const double before = cpu_seconds();
  std::this_thread::sleep_for(wall);
  return (cpu_seconds() - before) / (static_cast<double>(wall.count()) / 1000);
}

// Arg: ports open (and idle) on the unit; the echo goes through the first.
void echo(benchmark::State& state, UnitKind kind, const char* model) {
  const auto ports = static_cast<unsigned>(state.range(0));
  SystemEnv env(kind, model, ports, kemu::ClockMode::kReal);
  if (!env.ok() || env.echo(0) < 0) { // the first one finds the line settled
    state.SkipWithError(env.error().c_str());
    return;
  }
  const double idle = idle_cpu_share(std::chrono::seconds(3));
  double first = -1;
  double worst = 0;
  for (auto _ : state) {
    const double t = env.echo(0);
    if (t < 0) {
      state.SkipWithError(env.error().c_str());
      return;
    }
    if (first < 0) {
      first = t; // the first after the idle seconds: the unit's idle hold shows here
    } else {
      worst = std::max(worst, t);
    }
    state.SetIterationTime(t);
  }
  state.counters["first_ms"] = first * 1000;
  state.counters["max_ms"] = worst * 1000;
  state.counters["idle_cpu_%"] = idle * 100;
}

void BM_EchoQmx(benchmark::State& state) {
  echo(state, UnitKind::qmx, "QMX-32S-230N");
}
BENCHMARK(BM_EchoQmx)
    ->ArgName("ports")
    ->Arg(32)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMillisecond);

void BM_EchoLanvara(benchmark::State& state) {
  echo(state, UnitKind::lanvara, "Lanvara8S-115A");
}
BENCHMARK(BM_EchoLanvara)
    ->ArgName("ports")
    ->Arg(8)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMillisecond);

// The baseline: a pty pair in raw mode whose far side echoes every byte back.
void BM_EchoPty(benchmark::State& state) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    state.SkipWithError("no pty");
    return;
  }
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  std::thread far([slave] {
    char c;
    while (::read(slave, &c, 1) == 1 && c != 0) {
      if (::write(slave, &c, 1) != 1) {
        return;
      }
    }
  });
  double worst = 0;
  for (auto _ : state) {
    const char out = 0x5a;
    char in = 0;
    const auto start = std::chrono::steady_clock::now();
    if (::write(master, &out, 1) != 1 || ::read(master, &in, 1) != 1 || in != out) {
      state.SkipWithError("the pty did not echo");
      break;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    worst = std::max(worst, took.count());
    state.SetIterationTime(took.count());
  }
  const char stop = 0;
  [[maybe_unused]] auto n = ::write(master, &stop, 1);
  far.join();
  ::close(master);
  ::close(slave);
  state.counters["max_ms"] = worst * 1000;
}
BENCHMARK(BM_EchoPty)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace qdbench

namespace qdbench {
namespace {
// Virtual clock: the host CPU that 32 ports open and idle cost per tick (a polled unit's idle
// READs) without the host's wake-ups, which on the real clock cost far more (one per hold).
void BM_IdleTick(benchmark::State& state) {
  SystemEnv env(UnitKind::qmx, "QMX-32S-230N", 32);
  if (!env.ok()) {
    state.SkipWithError(env.error().c_str());
    return;
  }
  for (auto _ : state) {
    env.kernel().advance(100);
  }
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_IdleTick)->Unit(benchmark::kMillisecond);
} // namespace
} // namespace qdbench

BENCHMARK_MAIN();
