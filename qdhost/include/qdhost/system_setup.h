// What qdhost runs besides the node server: the qd driver with its qd.conf, and the
// emulated hardware of the topology file (qdhost/topology_file.h) with the far ends of its
// ports; or, under --test-loop, the loopback driver alone.
//
// qdhost boots the kernel on the real clock and a device tree with the "pseudo" nexus and
// no adapters, then:
//   HostSystem sys(kernel, ddi, cfg);
//   sys.bring_up(&why);          // qd.conf, topology, units, the driver loaded and attached
//   server.start();              // every minor node as a socket
//   sys.publish(devdir, &why);   // "<node>.pty" links to the pseudo-terminals
//   ... SIGTERM or SIGINT ...
//   server.stop();               // every stream closed
//   sys.take_down(&why);         // links removed, driver unloaded, hardware gone
//
// qd.conf is a driver.conf text: the driver's properties (forceload, allow_unload, the
// "vrn%x" Lanvara entries) and the pseudo instance's node entry. qdhost adds a node entry
// for every target the topology fills, so the file names no SCSI targets itself. Unit nodes
// of Lanvara units get the two pass-through modules "ldterm" and "ttcompat" pushed at their
// first open, as the relay daemon expects.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kemu/ddi.h"
#include "kemu/kernel.h"
#include "qdhost/device_dir.h"
#include "qdhost/host_config.h"

namespace qdhost {

// The two modules autopushed on Lanvara unit nodes, in push order (the first lowest).
inline constexpr const char* kUnitNodeModules[] = {"ldterm", "ttcompat"};

// Where qdhost looks for qd.conf and the topology when no flag names them.
std::string default_conf_path();
std::string default_topology_path();

class HostSystem {
public:
  HostSystem(kemu::Kernel& kernel, kemu::Ddi& ddi, HostConfig cfg);
  // Takes the system down if take_down has not run.
  ~HostSystem();
  HostSystem(const HostSystem&) = delete;
  HostSystem& operator=(const HostSystem&) = delete;

  // Reads and checks both files before anything is built, then builds. 0, or an errno with
  // *why set ("FILE:LINE: reason" for a refused file); qdhost then exits with status 1.
  // Runs outside any kernel context.
  int bring_up(std::string* why);
  // What is served, one line per item, for qdhost's start-up report.
  std::vector<std::string> summary() const;
  // Once the device directory is served: links "<node>.pty" to each pty's slave, replacing
  // one left by an earlier qdhost. 0, or an errno with *why set.
  int publish(std::shared_ptr<const DeviceDir> dir, std::string* why);
  // The links made: "path -> slave".
  std::vector<std::string> links() const;
  // Once no stream is open: removes the links, unloads the driver, takes the hardware
  // away. 0; or 1 with *why set when the driver refused to unload although qd.conf allows
  // it (with unloading disallowed it stays loaded and this says so in *why, returning 0).
  int take_down(std::string* why);

  struct Impl;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace qdhost
