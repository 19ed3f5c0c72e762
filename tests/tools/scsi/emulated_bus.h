// The diagnostic node's direct SCSI request played straight onto emulated SCSI buses, for
// the tools' steps against emulated QMX units without the driver: a kernel on virtual
// time, adapters with units, disks and empty targets. Lock requests are only recorded.
// The tools' pauses move the virtual clock, so a restarted unit comes ready as it would.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "diag_port.h"
#include "kemu/hba.h"
#include "kemu/kernel.h"
#include "qdemu/scsi_topology.h"

namespace kvscsi::test {

class EmulatedBus : public DiagPort {
public:
  EmulatedBus();
  ~EmulatedBus() override;

  qdemu::QmxUnit& add_qmx(int bus, int target, qdemu::QmxUnitConfig config);
  void add_disk(int bus, int target);
  // What a pause of the tool does: the emulated time passes.
  void pass(unsigned seconds);

  int request(std::uint32_t cmd, void* record, int len) override;

  // QMXLOCK (true) and QMXUNLOCK (false) requests with their arguments, in order.
  std::vector<std::pair<bool, int>> locks;
  // Commands the units were sent (QMXSCSI requests that reached a device).
  std::size_t commands = 0;

private:
  int scsi(void* record);

  kemu::Kernel kernel_;
  kemu::Scsa scsa_;
  qdemu::ScsiTopology topo_{kernel_, scsa_};
};

} // namespace kvscsi::test
