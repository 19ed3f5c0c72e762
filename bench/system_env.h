// The whole driver as the system runs it, on the virtual clock (or the real one, as qdhost
// runs it, for latency): loaded from a qd.conf
// text, one emulated unit whose ports have loopback plugs, its port nodes opened through
// stream heads as a program opens them. What the benchmarks measure is host CPU time for
// bytes written on ports and read back from them.
//
// The unit is a QMX unit on an emulated SCSI bus, or a Lanvara unit reached through its
// unit node: there two kernel tasks stand in for the relay daemon and the network, one
// feeding what the driver writes to the unit node into the unit's FAS engine, the other
// writing the engine's answers back into the node. On the real clock a Lanvara unit is
// an emulated module on loopback TCP instead, and two host threads relay between it and
// the unit node as the relay daemon does.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kemu/ddi.h"
#include "kemu/hba.h"
#include "kemu/kernel.h"
#include "kemu/streamhead.h"
#include "ksys/mutex.h"
#include "qdemu/fas_engine.h"
#include "qdemu/kernel_clock.h"
#include "qdemu/kernel_engine_host.h"
#include "qdemu/lanvara_module.h"
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

enum class UnitKind { qmx, lanvara };

class SystemEnv {
public:
  // A unit of `model` (a QMX unit at adapter 0, target 2, or Lanvara unit 0, online), a
  // loopback plug on each of its first `ports` ports; the driver loaded and attached;
  // those ports opened raw at the model's top speed with hardware flow control (the plug
  // wires RTS to CTS), blocking.
  SystemEnv(UnitKind kind, const char* model, unsigned ports,
            kemu::ClockMode clock = kemu::ClockMode::kVirtual);
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
  // Real clock: one byte written on a port and read back, as a program does it; the wall
  // time in seconds, or a negative value (error() says why) when it did not come back.
  double echo(unsigned port);
  MemorySample memory() const;

private:
  void fail(std::string why);
  bool load(const std::string& conf);
  bool start_relay(const char* model, unsigned ports);
  bool start_tcp_relay(const char* model, unsigned ports);
  bool go_online();
  void stop_relay();
  bool open_ports(UnitKind kind, unsigned ports);

  kemu::Kernel kernel_;
  std::optional<kemu::Ddi> ddi_;
  std::optional<kemu::Scsa> scsa_;
  std::optional<qdemu::ScsiTopology> topo_;

  // Lanvara unit: its engine and the relay between it and the unit node.
  std::optional<qdemu::KernelClock> clock_;
  std::unique_ptr<qdemu::Engine> engine_;
  kemu::StreamFile node_;
  kmutex_t relay_mutex_{};
  kcondvar_t relay_cv_{};
  bool relay_stop_ = false;
  std::unique_ptr<kemu::Kernel::Task> down_, up_;
  // Real clock: the module on TCP, and the host threads relaying it.
  std::unique_ptr<qdemu::KernelEngineHost> host_;
  std::unique_ptr<qdemu::LanvaraModule> module_;
  int sock_ = -1;
  std::atomic<kemu::ContextId> down_ctx_{0};
  std::atomic<bool> down_done_{false};
  std::thread down_thread_, up_thread_;
  std::vector<kemu::StreamFile> files_;
  std::vector<std::vector<std::byte>> patterns_; // per port, what it sends
  UnitKind kind_ = UnitKind::qmx;
  std::string error_;
};

} // namespace qdbench
