// Polled 6-byte SCSI commands, used by bring-up before the transport runs.
#include <algorithm>
#include <cstring>

#include "ksys/cmn_err.h"
#include "ksys/scsi.h"
#include "ksys/time.h"
#include "qd_unit.h"
#include "qd_unitops.h"

namespace {

constexpr int POLL_TIME = hz / 4; // seconds, as the unit firmware has always been given

bool completed_good(scsi_pkt* pkt) {
  return scsi_poll(pkt) == 0 && pkt->pkt_reason == CMD_CMPLT && *pkt->pkt_scbp == STATUS_GOOD;
}

int no_data_command(scsi_device* devp, int op) {
  const auto* up = static_cast<const qd_unit*>(static_cast<void*>(devp->sd_private));
  const int statuslen = up != nullptr && up->qdu_statuslen > 0 ? up->qdu_statuslen : 1;
  scsi_pkt* pkt = scsi_init_pkt(&devp->sd_address, nullptr, nullptr, CDB_GROUP0, statuslen, 0, 0,
                                NULL_FUNC, nullptr);
  if (pkt == nullptr) {
    cmn_err(CE_CONT, "Orvane Lanvara/QMX: qdscsiutil: couldn't get packet!");
    return -1;
  }
  makecom_g0(pkt, devp, FLAG_NOINTR, op, 0, 0);
  // SEND DIAGNOSTIC asks for the self-test, which restarts the firmware.
  const uchar_t cdb[CDB_GROUP0] = {
      static_cast<uchar_t>(op), static_cast<uchar_t>(op == QD_SCSI_SENDDIAG ? 4 : 0), 0, 0, 0, 0};
  std::memcpy(pkt->pkt_cdbp, cdb, sizeof cdb);
  pkt->pkt_time = POLL_TIME;
  const int r = completed_good(pkt) ? 0 : -1;
  scsi_destroy_pkt(pkt);
  return r;
}

int inquiry(scsi_device* devp, caddr_t buf, unsigned len) {
  caddr_t data = nullptr;
  scsi_pkt* pkt =
      get_pktiopb(&devp->sd_address, &data, CDB_GROUP0, 1, QD_INQUIRY_LEN, 1, NULL_FUNC);
  if (pkt == nullptr) {
    cmn_err(CE_CONT, "qdm_scsi_dopollcmd: can't get inquiry packet");
    return -1;
  }
  makecom_g0(pkt, devp, FLAG_NOINTR, SCMD_INQUIRY, 0, QD_INQUIRY_LEN);
  pkt->pkt_time = POLL_TIME;
  int r = -1;
  if (completed_good(pkt)) {
    r = static_cast<int>(std::min<unsigned>(len, QD_INQUIRY_LEN));
    std::memcpy(buf, data, static_cast<std::size_t>(r));
  }
  free_pktiopb(pkt, data, QD_INQUIRY_LEN);
  return r;
}

} // namespace

int qdm_scsi_dopollcmd(scsi_device* devp, int op, caddr_t buf, unsigned len) {
  switch (op) {
  case QD_SCSI_TUR:
  case QD_SCSI_SENDDIAG:
    return no_data_command(devp, op);
  case QD_SCSI_INQUIRY:
    return inquiry(devp, buf, len);
  default:
    return -1;
  }
}
