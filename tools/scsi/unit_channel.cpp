#include "unit_channel.h"

#include <algorithm>

#include "unit_identity.h"

namespace kvscsi {
namespace {

constexpr std::uint8_t kCheckCondition = 2;

} // namespace

int UnitChannel::do_scsi_cmd(bool quiet) {
  for (int attempt = 1;; ++attempt) {
    if (port_.request(QMXSCSI, &sb, sizeof sb) != 0) {
      return 1;
    }
    if (sb.tran_stat == QD_SCSI_ACCEPTED) {
      if (sb.scsi_stat == 0 && sb.reason == 0) {
        return 0;
      }
      if (quiet) {
        return 1;
      }
      if (sb.scsi_stat == kCheckCondition) {
        con_.outf("\nError at Bus %u Target %u: ", sb.bus, sb.target);
        con_.outf("scsi status = %02x\n", sb.scsi_stat);
        kv_dev unit;
        unit.bus = sb.bus;
        unit.target = sb.target;
        do_req_sense(unit);
      }
      // As the record now stands: after a sense report, as its last command left it.
      if (sb.scsi_stat != 0) {
        con_.outf("scsi_status = %x\n", sb.scsi_stat);
      }
      if (sb.reason != 0) {
        con_.outf("pkt_reason = %x\n", sb.reason);
      }
      return 1;
    }
    if (sb.tran_stat != QD_SCSI_BUSY) {
      if (!quiet) {
        report_transport("bad command packet format");
      }
      return 1;
    }
    if (attempt == kBusyAttempts) {
      if (!quiet) {
        report_transport("device busy");
      }
      return 1;
    }
    con_.pause(1);
  }
}

void UnitChannel::report_transport(const char* what) {
  con_.outf("Error at Bus %u Target %u: ", sb.bus, sb.target);
  con_.outf("transport error, %s\n", what);
}

int UnitChannel::do_test_unit_ready(const kv_dev& unit) {
  set_test_unit_ready(sb, unit);
  return do_scsi_cmd(true);
}

int UnitChannel::do_inquiry(kv_dev& unit) {
  set_inquiry(sb, unit);
  if (do_scsi_cmd(true) != 0) {
    return 1;
  }
  return evaluate_inquiry(std::span(sb.data, kInquiryLength), unit) ? 0 : 1;
}

int UnitChannel::read_version(const kv_dev& unit) {
  set_pod_inventory(sb, unit);
  if (do_scsi_cmd(false) != 0) {
    return 1;
  }
  std::copy_n(sb.data, ver_info.size(), ver_info.begin());
  return 0;
}

int UnitChannel::prog_mode(const kv_dev& unit) {
  set_prog_mode(sb, unit);
  return do_scsi_cmd(false);
}

int UnitChannel::select_unit(const kv_dev& unit, std::uint8_t mask, std::uint32_t size) {
  set_select(sb, unit, mask, size);
  return do_scsi_cmd(false);
}

int UnitChannel::send_data(const kv_dev& unit, std::uint32_t length, std::uint32_t offset) {
  set_data_block(sb, unit, length, offset);
  return do_scsi_cmd(false);
}

int UnitChannel::restart_fas(const kv_dev& unit) {
  set_restart(sb, unit);
  if (do_scsi_cmd(false) != 0) {
    con_.out("Couldn't restart firmware\n");
    return 1;
  }
  return 0;
}

} // namespace kvscsi
