// Bytes through the whole system on the virtual clock: written on port nodes, through the
// driver, an emulated unit (QMX on SCSI, or Lanvara through its unit node) and its
// loopback plugs, and read back. Time is host CPU
// time of the whole process (every kernel context is a fiber on the thread that drives).
#include <benchmark/benchmark.h>

#include <string>

#include "bench_meter.h"
#include "system_env.h"

namespace qdbench {
namespace {

constexpr const char* kModel = "QMX-32S-230N";
constexpr const char* kLanvaraModel = "Lanvara8S-115A";

void set_memory_counters(benchmark::State& state, const MemorySample& m, const char* prefix) {
  const std::string p(prefix);
  state.counters[p + "driver_blocks"] = static_cast<double>(m.driver_blocks);
  state.counters[p + "kmem_blocks"] = static_cast<double>(m.kmem_blocks);
  state.counters[p + "kmem_bytes"] = static_cast<double>(m.kmem_bytes);
  state.counters[p + "pkt_pool"] = m.packets;
  state.counters[p + "msg_blocks"] = static_cast<double>(m.message_blocks);
}

// Arg 0: ports in use at once; arg 1: bytes each port writes and reads back per iteration.
void loopback(benchmark::State& state, UnitKind kind, const char* model) {
  const auto ports = static_cast<unsigned>(state.range(0));
  const auto bytes = static_cast<std::size_t>(state.range(1));
  SystemEnv env(kind, model, ports);
  if (!env.ok() || !env.round_trip(bytes)) { // the first round warms the pool up
    state.SkipWithError(env.error().c_str());
    return;
  }
  const MemorySample before = env.memory();
  AllocationMeter meter(env.kernel());
  const clock_t start = env.kernel().lbolt();
  for (auto _ : state) {
    if (!env.round_trip(bytes)) {
      state.SkipWithError(env.error().c_str());
      return;
    }
  }
  const double total = static_cast<double>(state.iterations()) * ports * bytes;
  const double vseconds = static_cast<double>(env.kernel().lbolt() - start) / hz;
  meter.report_per_kib(state, total);
  const MemorySample after = env.memory();
  state.SetBytesProcessed(static_cast<std::int64_t>(total));
  if (vseconds > 0) { // the Lanvara relay takes no virtual time at all
    state.counters["virtual_B/s"] = total / vseconds;
  }
  state.counters["qd_malloc/KiB"] =
      static_cast<double>(after.driver_blocks - before.driver_blocks) / (total / 1024);
  set_memory_counters(state, after, "");
  // How deep any context's stack went (the driver's open, attach, ioctls and data paths
  // all ran in this process), against the size every context gets.
  state.counters["stack_used"] = static_cast<double>(kemu::Kernel::stack_high_water());
  state.counters["stack_size"] = static_cast<double>(kemu::Kernel::stack_size());
}

void BM_Loopback(benchmark::State& state) {
  loopback(state, UnitKind::qmx, kModel);
}
BENCHMARK(BM_Loopback)
    ->ArgNames({"ports", "bytes"})
    ->Args({1, 256 << 10})
    ->Args({32, 64 << 10})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

void BM_LanvaraLoopback(benchmark::State& state) {
  loopback(state, UnitKind::lanvara, kLanvaraModel);
}
BENCHMARK(BM_LanvaraLoopback)
    ->ArgNames({"ports", "bytes"})
    ->Args({1, 256 << 10})
    ->Args({8, 64 << 10})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

// A long run through every port: what the driver and the kernel hold after a warm-up round
// and again at the end. Nothing may grow: the pool reuses its packets, messages are freed.
void BM_LongRunMemory(benchmark::State& state) {
  constexpr unsigned kPorts = 32;
  constexpr std::size_t kBytes = 128 << 10;
  SystemEnv env(UnitKind::qmx, kModel, kPorts);
  if (!env.ok() || !env.round_trip(kBytes)) {
    state.SkipWithError(env.error().c_str());
    return;
  }
  const MemorySample before = env.memory();
  for (auto _ : state) {
    if (!env.round_trip(kBytes)) {
      state.SkipWithError(env.error().c_str());
      return;
    }
  }
  const MemorySample after = env.memory();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPorts * kBytes));
  set_memory_counters(state, before, "warm_");
  set_memory_counters(state, after, "end_");
  state.counters["growth_driver_blocks"] =
      static_cast<double>(after.driver_blocks) - static_cast<double>(before.driver_blocks);
  state.counters["growth_kmem_blocks"] =
      static_cast<double>(after.kmem_blocks) - static_cast<double>(before.kmem_blocks);
  state.counters["growth_pkt_pool"] = after.packets - before.packets;
  state.counters["growth_msg_blocks"] =
      static_cast<double>(after.message_blocks) - static_cast<double>(before.message_blocks);
}
BENCHMARK(BM_LongRunMemory)->Iterations(16)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

} // namespace
} // namespace qdbench

BENCHMARK_MAIN();
