// Traced answers of the diagnostic node and its stream.
#include "qd_diag_util.h"

#include <algorithm>

#include "qd_ioctl.h"
#include "qd_line.h"
#include "qd_trace_route.h"
#include "qd_unit.h"

void qd_diag_ack(mblk_t* mp) {
  qd_trace_unit(&global_unit, "ACK\n");
  qdf_make_ioctl_ack(mp);
}

void qd_diag_nak(mblk_t* mp, int error) {
  qd_trace_unit(&global_unit, "NAK(~)\n", static_cast<unsigned>(error));
  qdf_make_ioctl_nak(mp, error);
}

bool qd_diag_send_up(mblk_t* mp) {
  queue_t* rq = nullptr;
  if (qd_line* lp = qd_diag; lp != nullptr) {
    // A close clears only the read queue: that is what tells an open stream.
    mutex_enter(lp->unit_mutex);
    rq = lp->tty.t_readq;
    mutex_exit(lp->unit_mutex);
  }
  if (rq == nullptr) {
    freemsg(mp);
    return false;
  }
  putnext(rq, mp);
  return true;
}

int qd_unit_ports(const qd_unit* up) {
  if (up->qdu_info == nullptr || up->qd_lines == nullptr) {
    return 0;
  }
  return qdu_is_lanvara(up) ? std::min(up->qdu_info->nlines, QD_VRN_NLINES) : up->qdu_info->nlines;
}
