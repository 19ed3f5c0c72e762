#include "qdemu/generic_scsi_device.h"

#include "ksys/scsi_codes.h"

namespace qdemu {

void GenericScsiDevice::command(std::shared_ptr<kemu::ScsiCommand> cmd) {
  ++commands_;
  const std::span<const std::uint8_t> cdb = cmd->cdb();
  const std::size_t allocation = cdb.size() > 4 ? cdb[4] : 0;
  switch (cmd->opcode()) {
  case SCMD_INQUIRY:
    if (cdb.size() < 6 || (cdb[1] & 0x01) != 0 || cdb[2] != 0) {
      cmd->complete(sense_.check(KEY_ILLEGAL_REQUEST, asc::kBadCdbField));
      return;
    }
    cmd->complete(reply_data(
        *cmd,
        standard_inquiry({config_.device_type, config_.vendor, config_.product, config_.revision}),
        allocation));
    return;
  case SCMD_REQUEST_SENSE: {
    std::vector<std::uint8_t> sense = sense_.holds() ? sense_.take() : kemu::make_sense(0);
    cmd->complete(reply_data(*cmd, sense, allocation));
    return;
  }
  case SCMD_TEST_UNIT_READY:
    cmd->complete(kemu::ScsiAnswer::good(cmd->length()));
    return;
  default:
    cmd->complete(sense_.check(KEY_ILLEGAL_REQUEST, asc::kBadOpcode));
    return;
  }
}

} // namespace qdemu
