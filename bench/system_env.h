// The whole driver as the system runs it, on the virtual clock: loaded from a qd.conf
// text, attached to an emulated QMX unit whose ports have loopback plugs, its port nodes
// opened through stream heads as a program opens them. What the benchmarks measure is
// host CPU time for bytes written on ports and read back from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kemu/ddi.h"
#include "kemu/hba.h"
#include "kemu/kernel.h"
#include "kemu/streamhead.h"
#include "qdemu/scsi_topology.h"

namespace qdbench {

// What the driver and the kernel hold at one moment.
struct MemorySample {
  std::size_t driver_blocks = 0; // the driver's tracked allocations (never freed singly)
  std::size_t kmem_blocks = 0;
  std::size_t kmem_bytes = 0;
  int packets = 0; // packets the pool ever made
  std::size_t message_blocks = 0;
};

class SystemEnv {
public:
  // A unit of `model` at adapter 0, target 2, a loopback plug on each of its first `ports`
  // ports; the driver loaded and attached; those ports opened raw at 230400 bit/s with
  // hardware flow control (the plug wires RTS to CTS), blocking.
  SystemEnv(const char* model, unsigned ports);
  ~SystemEnv();
  SystemEnv(const SystemEnv&) = delete;
  SystemEnv& operator=(const SystemEnv&) = delete;

  // False, with the reason in error(), when set-up failed.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  kemu::Kernel& kernel() { return kernel_; }

  // Writes `bytes` on every port at once and reads them back; false (error() says why)
  // when a port did not get exactly its own bytes back.
  bool round_trip(std::size_t bytes);
  MemorySample memory() const;

private:
  void fail(std::string why);

  kemu::Kernel kernel_;
  std::optional<kemu::Ddi> ddi_;
  std::optional<kemu::Scsa> scsa_;
  std::optional<qdemu::ScsiTopology> topo_;
  std::vector<kemu::StreamFile> files_;
  std::vector<std::vector<std::byte>> patterns_; // per port, what it sends
  std::string error_;
};

} // namespace qdbench
