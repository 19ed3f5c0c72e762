// Puts emulated devices on the emulated SCSI buses: "adapter A, target T: a QMX unit of
// model M, firmware F, pods P, with these far ends on its ports", or another kind of
// device, or nothing. Tests and qdhost build the hardware through it and reach the units
// (and through them their engines and far ends) by address afterwards.
//
// A driver test declares, in this order (they die in reverse):
//   kemu::Kernel k;  kemu::Ddi ddi;  kemu::Scsa scsa;  qdemu::ScsiTopology topo{k, scsa};
// then:
//   auto& unit = topo.add_qmx(0, 2, qdemu::QmxSpec{{.model = "QMX-8S1P-115A"}}
//                                       .loopback({0, 1}).peers({2}));
//   topo.add_device(0, 5, {.device_type = DTYPE_DIRECT});
//   ddi.load_conf("qd", "qd.conf", topo.conf_nodes());   // a "qd" child per target
//   scsa.configure();  ddi.load(qd_image);  ddi.attach_all("qd");
// and between kernel calls (or from interrupt work) plays the far side:
//   unit.engine().set_carrier(2, true);    unit.peer(2)->send("hello");
//   unit.power_cycle();                    unit.faults().stalled_reads = 1;
//   scsa.adapter(0).inject(2, 0, kemu::ScsiFault::busy().on(SCMD_READ));
//
// Devices are plugged at LUN 0. Adapters missing up to A are added to the Scsa (with a
// Ddi, each gets its node; call Scsa::configure() after loading the conf text). The
// topology owns its devices; it must die before the Kernel, and unplugs them when it dies
// while the Scsa still lives. On the real clock (qdhost) the units run in the kernel's
// contexts: a host thread (a socket far end) reaches them through Kernel::interrupt.
#pragma once

#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kemu/hba.h"
#include "kemu/kernel.h"
#include "qdemu/generic_scsi_device.h"
#include "qdemu/qmx_unit.h"

namespace qdemu {

// What a port of a new unit has at its far end; ports not named have nothing.
struct PortPlug {
  enum class Kind { loopback, peer } kind = Kind::loopback;
  LoopbackPlug::Options loopback;
};

struct QmxSpec {
  QmxUnitConfig unit;
  std::map<unsigned, PortPlug> ports{};

  QmxSpec& loopback(std::initializer_list<unsigned> lines, LoopbackPlug::Options options = {});
  QmxSpec& peers(std::initializer_list<unsigned> lines);
};

struct ScsiAddress {
  int adapter;
  int target;
  auto operator<=>(const ScsiAddress&) const = default;
};

class ScsiTopology {
public:
  ScsiTopology(kemu::Kernel& kernel, kemu::Scsa& scsa) : kernel_(kernel), scsa_(scsa) {}
  ~ScsiTopology();
  ScsiTopology(const ScsiTopology&) = delete;
  ScsiTopology& operator=(const ScsiTopology&) = delete;

  // Throw std::invalid_argument for an address out of range or taken, or an unknown model.
  QmxUnit& add_qmx(int adapter, int target, QmxSpec spec);
  GenericScsiDevice& add_device(int adapter, int target, GenericDeviceConfig config = {});
  // Takes the device at an address off the bus; a READ a unit holds ends with an
  // unexpected bus free.
  void remove(int adapter, int target);

  // Null when the address holds no such device.
  QmxUnit* find_qmx(int adapter, int target) const;
  GenericScsiDevice* find_device(int adapter, int target) const;
  // Throws std::out_of_range when the address holds no QMX unit.
  QmxUnit& qmx(int adapter, int target) const;
  std::vector<ScsiAddress> addresses() const;

  // driver.conf node entries naming every target that holds a device (on any adapter, as
  // conf entries do), LUN 0.
  std::string conf_nodes(std::string_view driver = "qd") const;

private:
  kemu::Hba& adapter(int number);
  void plug(ScsiAddress at, std::shared_ptr<kemu::ScsiTarget> target);

  kemu::Kernel& kernel_;
  kemu::Scsa& scsa_;
  std::map<ScsiAddress, std::shared_ptr<kemu::ScsiTarget>> devices_;
};

} // namespace qdemu
