// Completing ioctls that wait for a unit's answer: the acknowledgement forms, result
// records, and the three pending-ioctl slots of a port line with their watchdog.
#include <cerrno>
#include <cstring>

#include "fas.h"
#include "ksys/stream.h"
#include "qd_callout.h"
#include "qd_ioctl.h"
#include "qd_line.h"
#include "qd_ocfsm.h"
#include "qd_output.h"
#include "qd_trace_route.h"

namespace {

iocblk* qd_iocblk(mblk_t* mp) {
  return reinterpret_cast<iocblk*>(mp->b_rptr);
}

// The answers of pending ioctls are recorded in the ring of the line's unit, in every
// trace mode.
void qd_nak_traced(qd_line* lp, mblk_t* mp, int error) {
  qd_trace_unit(lp->unit, "NAK(~)\n", static_cast<unsigned>(error));
  qdf_make_ioctl_nak(mp, error);
}

void qd_ack_traced(qd_line* lp, mblk_t* mp) {
  qd_trace_unit(lp->unit, "ACK\n");
  qdf_make_ioctl_ack(mp);
}

bool qd_slots_empty(const qd_line* lp) {
  return lp->getmdm == nullptr && lp->setmdm == nullptr && lp->termio_mesg == nullptr;
}

void qd_cancel_ioctl_watchdog(qd_line* lp) {
  untimeout(lp->ioctl_tid);
  lp->ioctl_tid = nullptr;
}

} // namespace

void qdf_make_ioctl_ack(mblk_t* mp) {
  mp->b_datap->db_type = M_IOCACK;
  iocblk* io = qd_iocblk(mp);
  io->ioc_error = 0;
  io->ioc_rval = 0;
}

void qdf_make_ioctl_nak(mblk_t* mp, int error) {
  mp->b_datap->db_type = M_IOCNAK;
  iocblk* io = qd_iocblk(mp);
  io->ioc_count = 0;
  io->ioc_error = error;
  io->ioc_rval = -1;
}

int qdf_common_get_ioctl(queue_t* q, mblk_t* mp, int length, const void* source) {
  auto* lp = static_cast<qd_line*>(q->q_ptr);
  qd_trace_line(lp, "common_get_ioctl\n");
  iocblk* io = qd_iocblk(mp);
  const bool transparent = io->ioc_count == TRANSPARENT;
  caddr_t uaddr = nullptr;
  if (transparent) {
    if (!qd_user_arg(mp, &uaddr)) {
      // Nothing names the caller's buffer: there is nowhere to copy the record to.
      qd_nak_traced(lp, mp, EINVAL);
      return 0;
    }
  }
  mblk_t* bp = allocb(static_cast<std::size_t>(length), BPRI_MED);
  if (bp == nullptr) {
    return 1;
  }
  if (transparent) {
    qd_trace_line(lp, "transparent\n");
  }
  if (mp->b_cont != nullptr) {
    freemsg(mp->b_cont);
  }
  mp->b_cont = bp;
  std::memcpy(bp->b_wptr, source, static_cast<std::size_t>(length));
  bp->b_wptr += length;
  if (transparent) {
    qd_copy_request(mp, uaddr, length, M_COPYOUT);
  } else {
    mp->b_datap->db_type = M_IOCACK;
    io->ioc_count = static_cast<unsigned>(length);
    io->ioc_error = 0;
    io->ioc_rval = 0;
  }
  return 0;
}

void qdf_utility_ioctl_wrapup(qd_line* lp, int opcode, int status) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "utility_ioctl_wrapup(~,~)\n", static_cast<unsigned>(opcode),
                static_cast<unsigned>(status));
  queue_t* wq = lp->tty.t_writeq;
  if (wq == nullptr) {
    qdf_utility_cleanup(lp); // the stream is gone: nobody to answer
    return;
  }
  mblk_t* mp = nullptr;
  switch (opcode) {
  case FAS_STAT_CHG:
    lp->qdl_flags &= ~QDL_UTIL_WAIT;
    mp = lp->getmdm;
    if (mp == nullptr) {
      qd_trace_drv("getmdm null\n");
      return;
    }
    qd_cancel_ioctl_watchdog(lp);
    lp->getmdm = nullptr;
    if (status != 0) {
      qd_nak_traced(lp, mp, ENXIO);
    } else if (qdf_common_get_ioctl(wq, mp, sizeof lp->modem_bits, &lp->modem_bits) != 0) {
      qd_nak_traced(lp, mp, EIO);
    }
    break;
  case FAS_SET_MODEM:
    mp = lp->setmdm;
    if (mp == nullptr) {
      qd_trace_drv("setmdm null\n");
      return;
    }
    qd_cancel_ioctl_watchdog(lp);
    lp->setmdm = nullptr;
    if (status != 0) {
      qd_nak_traced(lp, mp, EIO);
    } else {
      qd_ack_traced(lp, mp);
    }
    break;
  case FAS_SET_PARAMS:
  case FAS_EXT_PARAMS:
    mp = lp->termio_mesg;
    if (mp == nullptr) {
      qd_trace_drv("termio_mesg null\n");
      return;
    }
    qd_cancel_ioctl_watchdog(lp);
    lp->termio_mesg = nullptr;
    if (status != 0) {
      qd_nak_traced(lp, mp, EINVAL);
    } else {
      qd_ack_traced(lp, mp);
    }
    break;
  default:
    return;
  }
  mutex_exit(lp->unit_mutex);
  qreply(wq, mp);
  mutex_enter(lp->unit_mutex);
  qdf_process_wrq(lp->tty.t_writeq); // ioctls that waited for the slot
}

void qdf_utility_ioctl_timeout(void* arg) {
  auto* lp = static_cast<qd_line*>(arg);
  qd_unit* up = lp->unit;
  mutex_enter(&up->intr_mutex);
  mutex_enter(lp->unit_mutex);
  qd_trace_line(lp, "qdf_utility_ioctl_timeout\n");
  // Empty slots: the answer came while this callback waited for the mutexes. A slot filled
  // again since then has a watchdog of its own.
  if (qd_slots_empty(lp) || !qd_callout_claim(&lp->ioctl_tid, qdf_utility_ioctl_timeout, lp)) {
    mutex_exit(lp->unit_mutex);
    mutex_exit(&up->intr_mutex);
    return;
  }
  mblk_t* mp = nullptr;
  if (lp->getmdm != nullptr) {
    lp->qdl_flags &= ~QDL_UTIL_WAIT;
    mp = lp->getmdm;
    lp->getmdm = nullptr;
    qd_nak_traced(lp, mp, EIO);
  } else if (lp->setmdm != nullptr) {
    // Already made an acknowledgement when it was parked.
    mp = lp->setmdm;
    lp->setmdm = nullptr;
  } else {
    mp = lp->termio_mesg;
    lp->termio_mesg = nullptr;
  }
  if (queue_t* wq = lp->tty.t_writeq; wq != nullptr) {
    mutex_exit(lp->unit_mutex);
    qreply(wq, mp);
    mutex_enter(lp->unit_mutex);
  } else {
    freemsg(mp);
  }
  qdf_line_offline(lp);
  if (queue_t* wq = lp->tty.t_writeq; wq != nullptr) {
    qdf_process_wrq(wq);
  }
  mutex_exit(lp->unit_mutex);
  mutex_exit(&up->intr_mutex);
}

void qdf_utility_cleanup(qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "qdf_utility_cleanup\n");
  mblk_t* setmdm = lp->setmdm;
  mblk_t* getmdm = lp->getmdm;
  mblk_t* termio = lp->termio_mesg;
  lp->setmdm = nullptr;
  lp->getmdm = nullptr;
  lp->termio_mesg = nullptr;
  if (setmdm == nullptr && getmdm == nullptr && termio == nullptr) {
    return;
  }
  qd_trace_line(lp, "untimeout utility watchdog\n");
  qd_cancel_ioctl_watchdog(lp);
  if (setmdm != nullptr) {
    qd_trace_line(lp, "dumping setmdm\n");
    freemsg(setmdm);
  }
  if (getmdm != nullptr) {
    qd_trace_line(lp, "dumping getmdm\n");
    freemsg(getmdm);
  }
  if (termio != nullptr) {
    qd_trace_line(lp, "dumping termio\n");
    freemsg(termio);
  }
}
