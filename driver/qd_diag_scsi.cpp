// QMXSCSI: one SCSI command of a maintenance program to any device that probe examined,
// unit or not, with a packet of its own beside the unit transport. One request at a time
// driver-wide: it waits in the slot from submission to completion, and the completion
// answers it.
#include <cerrno>
#include <cstring>

#include "ksys/scsi.h"
#include "ksys/time.h"
#include "qd_diag_ioctl.h"
#include "qd_diag_util.h"
#include "qd_ioc_args.h"
#include "qd_ioctl.h"
#include "qd_line.h"
#include "qd_trace_route.h"
#include "qd_unit.h"
#include "qd_unitops.h"
#include "qdio.h"

namespace {

// Seconds a command may take when its record names no limit: the most a record can ask.
constexpr int QD_SCSI_LONGEST_WAIT = 255;

qd_scsi_cmd* record_of(mblk_t* mp) {
  return reinterpret_cast<qd_scsi_cmd*>(mp->b_cont->b_rptr);
}

// The slot is taken from the moment a request claims it until its completion has finished
// with the packet (an unload waits for that).
bool slot_taken() {
  return qd_scsi_ioctl_slot.mp != nullptr || qd_scsi_ioctl_slot.pkt != nullptr;
}

void empty_slot() {
  mutex_enter(&qd_scsi_ioctl_mutex);
  qd_scsi_ioctl_slot = {};
  mutex_exit(&qd_scsi_ioctl_mutex);
}

// Releases a packet the way it was obtained.
void release_packet(const qd_scsi_slot& s) {
  if (s.datap != nullptr) {
    free_pktiopb(s.pkt, s.datap, s.datalen);
  } else {
    scsi_resfree(s.pkt);
  }
}

// Checks the record and makes its packet; 0, or the errno to refuse the request with.
int make_packet(const qd_scsi_cmd& cmd, qd_scsi_slot* s) {
  if (cmd.lun != 0 || cmd.target > 0xf || cmd.bus > 0xf) {
    qd_trace_drv("bus/pun/lun out of range\n");
    return EINVAL;
  }
  // Lengths beyond the record's fields would read and write past them.
  if (cmd.cdb_len == 0 || cmd.cdb_len > QD_SCSI_CDB_MAX || cmd.data_len > QD_SCSI_DATA_MAX) {
    qd_trace_drv("cdb or data length out of range\n");
    return EINVAL;
  }
  scsi_device* devp = qd_devs[cmd.bus * 16 + cmd.target];
  if (devp == nullptr) {
    qd_trace_drv("couldn't get dev rec\n");
    return ENODEV;
  }
  const bool with_data =
      (cmd.flags & (QD_SCSI_DATA_IN | QD_SCSI_DATA_OUT)) != 0 && cmd.data_len != 0;
  if (with_data) {
    s->pkt = get_pktiopb(&devp->sd_address, &s->datap, cmd.cdb_len, 1, cmd.data_len,
                         (cmd.flags & QD_SCSI_DATA_IN) != 0 ? 1 : 0, NULL_FUNC);
    s->datalen = cmd.data_len;
  } else {
    s->pkt = scsi_init_pkt(&devp->sd_address, nullptr, nullptr, cmd.cdb_len, 1, 0, 0, NULL_FUNC,
                           nullptr);
  }
  if (s->pkt == nullptr) {
    qd_trace_drv("can't get pkt\n");
    s->datap = nullptr;
    return ENOMEM;
  }
  s->pkt->pkt_address = devp->sd_address;
  return 0;
}

} // namespace

int qdm_scsi_ioctl(queue_t* q, mblk_t* mp) {
  qd_trace_drv("qdm_scsi_ioctl=%\n", static_cast<unsigned>(qd_iocp(mp)->ioc_cmd));
  auto* lp = static_cast<qd_line*>(q->q_ptr);
  if (lp == nullptr || (lp->qdl_flags & QDL_DIAG) == 0) {
    qd_diag_nak(mp, EPERM);
    return QD_IOC_DONE;
  }
  if (qd_ioc_record(mp, sizeof(qd_scsi_cmd)) == nullptr) {
    qd_diag_nak(mp, EINVAL);
    return QD_IOC_DONE;
  }
  qd_scsi_cmd* cmd = record_of(mp);

  mutex_enter(&qd_scsi_ioctl_mutex);
  if (slot_taken()) {
    mutex_exit(&qd_scsi_ioctl_mutex);
    qd_diag_nak(mp, EBUSY);
    return QD_IOC_DONE;
  }
  qd_scsi_ioctl_slot.mp = mp;
  mutex_exit(&qd_scsi_ioctl_mutex);

  qd_trace_drv("scsi_ioctl: flags=~ bus=~ pun=~ lun=~\n", cmd->flags, cmd->bus, cmd->target,
               cmd->lun);
  qd_scsi_slot s{mp, nullptr, nullptr, 0};
  if (const int error = make_packet(*cmd, &s); error != 0) {
    empty_slot();
    qd_diag_nak(mp, error);
    return QD_IOC_DONE;
  }
  scsi_pkt* pkt = s.pkt;
  pkt->pkt_flags = 0;
  std::memcpy(pkt->pkt_cdbp, cmd->cdb, cmd->cdb_len);
  // Never without a limit: the one slot, and an unload, wait for the completion.
  pkt->pkt_time = cmd->timeout != 0 ? cmd->timeout : QD_SCSI_LONGEST_WAIT;
  pkt->pkt_comp = qdm_siocomp;
  pkt->pkt_private = lp;
  if ((cmd->flags & QD_SCSI_DATA_OUT) != 0 && s.datap != nullptr) {
    qd_trace_drv("copying outgoing data\n");
    std::memcpy(s.datap, cmd->data, cmd->data_len);
  }
  // Once submitted the request belongs to the completion, which may come at any moment:
  // the record is not touched after an acceptance, so it says "accepted" beforehand.
  cmd->tran_stat = QD_SCSI_ACCEPTED;
  cmd->scsi_stat = 0;
  cmd->reason = 0;
  mutex_enter(&qd_scsi_ioctl_mutex);
  qd_scsi_ioctl_slot = s;
  mutex_exit(&qd_scsi_ioctl_mutex);

  qd_trace_drv("sending pkt\n");
  const int tran = scsi_transport(pkt);
  if (tran == TRAN_ACCEPT) {
    qd_trace_drv("waiting for callback\n");
    return QD_IOC_HELD;
  }
  qd_trace_drv("transport wouldn't accept, stat=%\n", static_cast<unsigned>(tran));
  empty_slot(); // a refused command never completes
  cmd->tran_stat = static_cast<std::uint8_t>(tran);
  release_packet(s);
  qd_diag_ack(mp); // the caller reads the refusal in the record and may try again
  return QD_IOC_DONE;
}

void qdm_siocomp(scsi_pkt* pkt) {
  qd_trace_drv("qdm_siocomp\n");
  mutex_enter(&qd_scsi_ioctl_mutex);
  if (qd_scsi_ioctl_slot.pkt != pkt || qd_scsi_ioctl_slot.mp == nullptr) {
    mutex_exit(&qd_scsi_ioctl_mutex);
    return; // not the outstanding command: nothing to answer
  }
  // The message is taken; the packet keeps the slot taken until it is released.
  const qd_scsi_slot s = qd_scsi_ioctl_slot;
  qd_scsi_ioctl_slot.mp = nullptr;
  mutex_exit(&qd_scsi_ioctl_mutex);

  mblk_t* mp = s.mp;
  qd_scsi_cmd* cmd = record_of(mp);
  cmd->reason = pkt->pkt_reason;
  cmd->scsi_stat = *pkt->pkt_scbp;
  if (cmd->reason != 0 || cmd->scsi_stat != 0) {
    // The record goes back as it came but for these two bytes.
    qd_trace_drv("reason=% stat=%\n", static_cast<unsigned>(cmd->reason),
                 static_cast<unsigned>(cmd->scsi_stat));
  } else {
    if ((cmd->flags & QD_SCSI_DATA_IN) != 0 && s.datap != nullptr) {
      qd_trace_drv("copying data in\n");
      std::memcpy(cmd->data, s.datap, static_cast<std::size_t>(s.datalen));
    }
    qd_iocp(mp)->ioc_count = sizeof(qd_scsi_cmd);
    mp->b_cont->b_wptr = mp->b_cont->b_rptr + sizeof(qd_scsi_cmd);
  }
  qdf_make_ioctl_ack(mp);
  release_packet(s);
  if (qd_diag_send_up(mp)) {
    qd_trace_drv("return scsi ioctl resp\n");
  } else {
    qd_trace_drv("queue gone\n");
  }
  empty_slot();
}

void qdm_scsi_ioctl_release() {
  // A command in transport cannot be released: its time limit bounds the wait for it.
  mutex_enter(&qd_scsi_ioctl_mutex);
  while (qd_scsi_ioctl_slot.pkt != nullptr) {
    mutex_exit(&qd_scsi_ioctl_mutex);
    delay(hz / 10);
    mutex_enter(&qd_scsi_ioctl_mutex);
  }
  mblk_t* mp = qd_scsi_ioctl_slot.mp;
  qd_scsi_ioctl_slot = {};
  mutex_exit(&qd_scsi_ioctl_mutex);
  if (mp != nullptr) {
    freemsg(mp);
  }
}
