// QMXFASCMD: one raw FAS command from a maintenance program, queued on the diagnostic
// node's unit record. That record has no device and no transport, so nothing ever sends
// what it holds: only the latest command is kept, so that repeated requests cannot pile
// packets up on it.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fas.h"
#include "ksys/cmn_err.h"
#include "qd_diag_ioctl.h"
#include "qd_diag_util.h"
#include "qd_ioc_args.h"
#include "qd_ioctl.h"
#include "qd_line.h"
#include "qd_log.h"
#include "qd_pool.h"
#include "qd_trace_route.h"
#include "qd_transport.h"
#include "qd_unit.h"
#include "qmx_unittab.h"

namespace {

// Most ports any model has: line numbers at or above it name no port of any unit.
int most_ports() {
  int n = 0;
  for (const qd_unitinfo* row = qdunittab; row->name != nullptr; ++row) {
    n = std::max(n, row->nlines);
  }
  return n;
}

// The 8 bytes are one whole command (no data follows, not the one-byte PKT_END) with a
// valid opcode, and a line number, where it holds one, that some unit can have.
bool command_ok(const unsigned char* cmd) {
  if (fascmd_is_ok(cmd) == 0 || size_faspkt(cmd, 0) != FAS_HDR_SIZE) {
    return false;
  }
  return byte1_is_linenum(cmd) == 0 || cmd[1] < most_ports();
}

} // namespace

int qdf_fas_ioctl(queue_t* q, mblk_t* mp) {
  qd_trace_drv("qdf_fas_ioctl\n");
  if (!qd_ioc_privileged(mp)) {
    qd_trace_drv("NAK\n");
    qdf_make_ioctl_nak(mp, EPERM);
    return QD_IOC_DONE;
  }
  const unsigned char* cmd = qd_ioc_record(mp, FAS_HDR_SIZE);
  if (cmd == nullptr || !command_ok(cmd)) {
    qd_trace_drv("NAK\n");
    qd_diag_nak(mp, EINVAL);
    return QD_IOC_DONE;
  }
  auto* lp = static_cast<qd_line*>(q->q_ptr);
  qd_unit* up = lp->unit != nullptr ? lp->unit : &global_unit;

  cmn_err(CE_CONT, "QMXFASCMD: sending FAS cmd:\n\t  ");
  qdshowfascmd("QMXFASCMD", cmd);
  qdm_freechain(up);
  unsigned char* slot = qdm_putfas(up, FAS_HDR_SIZE);
  if (slot == nullptr) {
    qd_trace_drv("NAK\n");
    qd_diag_nak(mp, ENOMEM);
    return QD_IOC_DONE;
  }
  std::memcpy(slot, cmd, FAS_HDR_SIZE);
  qdf_logfasout(lp, slot);
  qdm_scsifsm(up, SFSM_IN_KICK);
  qd_trace_drv("ack\n");
  qdf_make_ioctl_ack(mp);
  return QD_IOC_DONE;
}
