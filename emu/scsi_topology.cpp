#include "qdemu/scsi_topology.h"

#include <set>
#include <stdexcept>

namespace qdemu {

namespace {

// As many adapters as a driver numbers.
constexpr int kMaxAdapters = 16;

} // namespace

QmxSpec& QmxSpec::loopback(std::initializer_list<unsigned> lines, LoopbackPlug::Options options) {
  for (unsigned line : lines) {
    ports[line] = PortPlug{PortPlug::Kind::loopback, options};
  }
  return *this;
}

QmxSpec& QmxSpec::peers(std::initializer_list<unsigned> lines) {
  for (unsigned line : lines) {
    ports[line] = PortPlug{PortPlug::Kind::peer, {}};
  }
  return *this;
}

ScsiTopology::~ScsiTopology() {
  if (!kemu::Scsa::exists() || &kemu::Scsa::current() != &scsa_) {
    return;
  }
  for (const auto& [at, device] : devices_) {
    kemu::Hba& hba = scsa_.adapter(at.adapter);
    if (hba.plugged(at.target, 0) == device) {
      hba.unplug(at.target, 0);
    }
  }
}

kemu::Hba& ScsiTopology::adapter(int number) {
  while (static_cast<int>(scsa_.adapters().size()) <= number) {
    scsa_.add_adapter();
  }
  return scsa_.adapter(number);
}

void ScsiTopology::plug(ScsiAddress at, std::shared_ptr<kemu::ScsiTarget> target) {
  adapter(at.adapter).plug(at.target, 0, target);
  devices_[at] = std::move(target);
}

QmxUnit& ScsiTopology::add_qmx(int adapter_number, int target, QmxSpec spec) {
  const ScsiAddress at{adapter_number, target};
  if (adapter_number < 0 || adapter_number >= kMaxAdapters || target < 0 ||
      target >= kemu::kScsiTargets || devices_.contains(at)) {
    throw std::invalid_argument("SCSI address out of range or taken");
  }
  auto unit = std::make_shared<QmxUnit>(kernel_, std::move(spec.unit));
  for (const auto& [line, p] : spec.ports) {
    if (p.kind == PortPlug::Kind::loopback) {
      unit->plug_loopback(line, p.loopback);
    } else {
      unit->plug_peer(line);
    }
  }
  QmxUnit& ref = *unit;
  plug(at, std::move(unit));
  return ref;
}

GenericScsiDevice& ScsiTopology::add_device(int adapter_number, int target,
                                            GenericDeviceConfig config) {
  const ScsiAddress at{adapter_number, target};
  if (adapter_number < 0 || adapter_number >= kMaxAdapters || target < 0 ||
      target >= kemu::kScsiTargets || devices_.contains(at)) {
    throw std::invalid_argument("SCSI address out of range or taken");
  }
  auto device = std::make_shared<GenericScsiDevice>(std::move(config));
  GenericScsiDevice& ref = *device;
  plug(at, std::move(device));
  return ref;
}

void ScsiTopology::remove(int adapter_number, int target) {
  auto it = devices_.find({adapter_number, target});
  if (it == devices_.end()) {
    return;
  }
  scsa_.adapter(adapter_number).unplug(target, 0);
  if (auto* unit = dynamic_cast<QmxUnit*>(it->second.get())) {
    unit->leave_bus();
  }
  devices_.erase(it);
}

QmxUnit* ScsiTopology::find_qmx(int adapter_number, int target) const {
  auto it = devices_.find({adapter_number, target});
  return it == devices_.end() ? nullptr : dynamic_cast<QmxUnit*>(it->second.get());
}

GenericScsiDevice* ScsiTopology::find_device(int adapter_number, int target) const {
  auto it = devices_.find({adapter_number, target});
  return it == devices_.end() ? nullptr : dynamic_cast<GenericScsiDevice*>(it->second.get());
}

QmxUnit& ScsiTopology::qmx(int adapter_number, int target) const {
  QmxUnit* unit = find_qmx(adapter_number, target);
  if (unit == nullptr) {
    throw std::out_of_range("no QMX unit at that address");
  }
  return *unit;
}

std::vector<ScsiAddress> ScsiTopology::addresses() const {
  std::vector<ScsiAddress> all;
  for (const auto& [at, device] : devices_) {
    all.push_back(at);
  }
  return all;
}

std::string ScsiTopology::conf_nodes(std::string_view driver) const {
  std::set<int> targets;
  for (const auto& [at, device] : devices_) {
    targets.insert(at.target);
  }
  std::string text;
  for (int t : targets) {
    text += "name=\"" + std::string(driver) + "\" class=\"scsi\" target=" + std::to_string(t) +
            " lun=0;\n";
  }
  return text;
}

} // namespace qdemu
