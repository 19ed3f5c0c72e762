// What qdhost runs besides the node server: drivers, their configuration and the emulated
// hardware. This is the seam where the qd driver, qd.conf, the topology file and the
// emulated units plug in; the rest of qdhost stays as it is when they do.
//
// qdhost boots the kernel on the real clock and a device tree with the "pseudo" nexus and no
// adapters (the topology adds them with Ddi::add_adapter), calls bring_up, serves the minor
// nodes that exist when it returns, and on SIGTERM or SIGINT stops serving (every stream is
// closed) before it calls take_down.
#pragma once

#include <string>

#include "kemu/ddi.h"
#include "kemu/kernel.h"
#include "qdhost/host_config.h"

namespace qdhost {

// Builds the system in the running kernel. 0, or an errno with *why set (qdhost then exits
// with status 1). Runs outside any kernel context.
int bring_up(kemu::Kernel& kernel, kemu::Ddi& ddi, const HostConfig& cfg, std::string* why);
// Undoes bring_up once no stream is open.
void take_down(kemu::Kernel& kernel, kemu::Ddi& ddi, const HostConfig& cfg);

} // namespace qdhost
