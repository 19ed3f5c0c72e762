// The driver's routines in isolation: a kernel on the virtual clock with the driver's
// state reset, unit and line records as probe and a port's first open leave them, and
// streams above lines made of bare queue pairs (no service procedures), so that what the
// driver sends up stays on the line's read queue until the benchmark flushes it.
//
// Measured loops run inside run(): the driver's locks need a kernel context.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "kemu/kernel.h"
#include "kemu/streams.h"
#include "qddrv.h"

namespace qdbench {

class DriverEnv {
public:
  DriverEnv();
  ~DriverEnv();
  DriverEnv(const DriverEnv&) = delete;
  DriverEnv& operator=(const DriverEnv&) = delete;

  kemu::Kernel& kernel() { return kernel_; }
  // Runs fn as a user context; false when the kernel had to give it up.
  bool run(const std::function<void()>& fn);

  // A SCSI unit record at bus 0 as probe and attach leave it, but online, with its
  // receive packet. Call inside run().
  static qd_unit* make_unit(const char* model, int target);
  // The port's line record, enabled and serial; its read and write queues sit under a
  // bare stream head. Call inside run().
  qd_line* make_line(qd_unit* up, unsigned line);

private:
  kemu::Kernel kernel_;
  std::vector<kemu::QueuePairPtr> pairs_; // die before the kernel
};

} // namespace qdbench
