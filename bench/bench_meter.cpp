#include "bench_meter.h"

#include "kemu/streams.h"

namespace qdbench {

AllocationMeter::AllocationMeter(const kemu::Kernel& kernel) : kernel_(kernel) {
  restart();
}

void AllocationMeter::restart() {
  start_ = {kernel_.kmem_alloc_calls(), kemu::streams_allocb_calls(), host_allocations()};
}

Allocations AllocationMeter::since_start() const {
  // The host count first: nothing read after it may count itself.
  const std::uint64_t host = host_allocations() - start_.host;
  return {kernel_.kmem_alloc_calls() - start_.kmem, kemu::streams_allocb_calls() - start_.allocb,
          host};
}

void AllocationMeter::report(benchmark::State& state) const {
  const Allocations a = since_start();
  const auto per_iteration = [](std::uint64_t n) {
    return benchmark::Counter(static_cast<double>(n), benchmark::Counter::kAvgIterations);
  };
  state.counters["kmem/iter"] = per_iteration(a.kmem);
  state.counters["allocb/iter"] = per_iteration(a.allocb);
  state.counters["host/iter"] = per_iteration(a.host);
}

void AllocationMeter::report_per_kib(benchmark::State& state, double bytes) const {
  const Allocations a = since_start();
  const double kib = bytes / 1024;
  state.counters["kmem/KiB"] = kib > 0 ? static_cast<double>(a.kmem) / kib : 0;
  state.counters["allocb/KiB"] = kib > 0 ? static_cast<double>(a.allocb) / kib : 0;
  state.counters["host/KiB"] = kib > 0 ? static_cast<double>(a.host) / kib : 0;
}

} // namespace qdbench
