// What a measured loop allocated, reported as benchmark counters, per iteration (or per
// KiB moved, for the benchmarks that move data):
//   kmem      kmem_alloc calls: the driver's tracked memory, and the SCSI command packets
//             and buffer headers the transport takes for each command
//   allocb    STREAMS messages allocated with allocb (the stream head's own are not)
//   host      heap allocations (malloc, calloc, realloc: operator new, STREAMS blocks and
//             kmem included) of the whole process
// Values like 1.2n or 3.4u (1e-9, 1e-6 per iteration) are a handful of allocations over
// millions of iterations, not a per-iteration cost.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>

#include "kemu/kernel.h"

namespace qdbench {

// Heap allocations made by this process so far.
std::uint64_t host_allocations();

struct Allocations {
  std::uint64_t kmem = 0;
  std::uint64_t allocb = 0;
  std::uint64_t host = 0;
};

class AllocationMeter {
public:
  explicit AllocationMeter(const kemu::Kernel& kernel);
  // Starts counting again from now.
  void restart();
  Allocations since_start() const;
  // Counters "kmem/iter", "allocb/iter", "host/iter".
  void report(benchmark::State& state) const;
  // Counters "kmem/KiB", "allocb/KiB", "host/KiB" for `bytes` moved since the start.
  void report_per_kib(benchmark::State& state, double bytes) const;

private:
  const kemu::Kernel& kernel_;
  Allocations start_;
};

} // namespace qdbench
