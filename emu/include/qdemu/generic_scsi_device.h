// Another kind of SCSI device on the same bus as the QMX units (a disk, a tape drive, a
// processor), for what scans the bus: it answers INQUIRY with its own device type and
// identity, TEST UNIT READY with good status and REQUEST SENSE with its kept sense; any
// other command gets CHECK CONDITION, ILLEGAL REQUEST. An address where nothing answers
// needs no object: leave it unplugged, and the adapter reports a selection time-out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kemu/hba.h"
#include "qdemu/scsi_reply.h"

namespace qdemu {

struct GenericDeviceConfig {
  std::uint8_t device_type = DTYPE_DIRECT; // inquiry byte 0, qualifier included
  std::string vendor = "QUANTRIX";
  std::string product = "QD-540S";
  std::string revision = "1.05";
};

class GenericScsiDevice final : public kemu::ScsiTarget {
public:
  explicit GenericScsiDevice(GenericDeviceConfig config) : config_(std::move(config)) {}

  void command(std::shared_ptr<kemu::ScsiCommand> cmd) override;

  const GenericDeviceConfig& config() const { return config_; }
  std::uint64_t commands() const { return commands_; }

private:
  GenericDeviceConfig config_;
  SenseKeeper sense_;
  std::uint64_t commands_ = 0;
};

} // namespace qdemu
