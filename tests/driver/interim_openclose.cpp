// Temporary stand-ins for routines other branches are building (unit operations, answer
// dispatch, output and drain), so that the open/close tests link until those land.
#include <cstring>

#include "ksys/stream.h"
#include "qddrv.h"

void qdm_scsifsm(qd_unit*, int) {}

int qdm_init_unit(qd_unit* up) {
  if (qdu_is_lanvara(up) || (up->qdu_flags & QDU_INITD) == 0) {
    up->qdu_flags &= ~QDU_OFFLINE;
    up->qdu_flags |= QDU_INITD | QDU_TRANSPORT_UP | QDU_WAS_ONLINE | QDU_ATTACHED;
  }
  return 0;
}

void qdm_deinit_unit(qd_unit*) {}

void qdm_unit_offline(qd_unit* up) {
  const int n = qdu_is_lanvara(up) ? QD_VRN_NLINES : up->qdu_info->nlines;
  for (int i = 0; i < n; ++i) {
    qdf_line_offline(up->qd_lines[i]);
  }
  qdf_line_offline(up->qdu_unitnode);
  up->qdu_offline_time = qd_systime;
  if ((up->qdu_flags & QDU_OFFLINE) == 0) {
    up->qdu_flags |= QDU_OFFLINE;
    qdm_freechain(up);
  }
}

void qdf_procrecv(qd_unit* up) {
  while (unsigned char* a = qdm_getfasresponse(up, nullptr)) {
    const int ln = linenum(a);
    if (ln < 0) {
      continue;
    }
    qd_line* lp = up->qd_lines[ln];
    if (lp == nullptr) {
      continue;
    }
    qdf_logfasin(lp, a);
    const unsigned op = a[0];
    const unsigned st = a[2] & FAS_ST_MASK;
    if ((st == FAS_ST_OFFLINE && op != 6 && op != 9 && op != 17) || st == FAS_ST_LINE_DOWN) {
      qdf_line_offline(lp);
    }
    switch (op) {
    case FAS_ENABLE:
      lp->qdl_flags |= QDL_ENABLED;
      lp->last_fas_status =
          ((up->qdu_caps & QDU_CAP_RESET) == 0 && st == FAS_ST_OFFLINE) ? 0 : a[2];
      break;
    case FAS_DISABLE:
      lp->modem_bits = 0;
      lp->qdl_flags &= ~(QDL_ENABLED | QDL_DISABLE_PEND | QDL_WAITSEND_OUT);
      lp->last_fas_status = a[2];
      cv_broadcast(&lp->qd_cv);
      break;
    case FAS_STAT_CHG:
      qdf_handle_stat_chg(lp, a);
      break;
    case FAS_FLOW_CTRL:
      if ((lp->qdl_flags & QDL_ENABLE_PEND) != 0) {
        lp->qdl_flags &= ~QDL_ENABLE_PEND;
        cv_broadcast(&lp->qd_cv);
      }
      break;
    case FAS_RESET:
      lp->qdl_flags &= ~QDL_OFFLINE;
      lp->last_fas_status = a[2];
      cv_broadcast(&lp->qd_cv);
      break;
    case FAS_SET_MODEM:
    case FAS_SET_PARAMS:
    case FAS_EXT_PARAMS:
      qdf_utility_ioctl_wrapup(lp, static_cast<int>(op), a[2]);
      break;
    default:
      break;
    }
  }
  qd_pkt* r = up->qdu_rcvpkt;
  if (qdu_is_lanvara(up) && r->qd_rptr == r->qd_wptr) {
    qdm_vrn_resetrcvpkt(r);
  }
}

void qdf_flush_output(qd_line* lp) {
  if (lp->parq != nullptr) {
    lp->parq->count = 0;
    lp->parq->rptr = lp->parq->wptr = lp->parq->data;
  }
  if ((lp->qdl_flags & QDL_OFFLINE) != 0) {
    return;
  }
  unsigned char* c = qdm_putfas(lp->unit, 8);
  if (c == nullptr) {
    return;
  }
  c[0] = FAS_OUTPUT_CTRL;
  c[1] = lp->line_num;
  c[2] = (lp->unit->qdu_caps & QDU_CAP_TIMEOUT15) != 0 ? 1 : 0;
  c[3] = 0;
  c[4] = 1;
  qdf_logfasout(lp, c);
}

void qdf_process_wrq(queue_t*) {}

void qdf_output_done(qd_line* lp) {
  if ((lp->qdl_flags & QDL_DRAIN_TIMER) != 0) {
    untimeout(lp->drain_tid);
  }
  lp->qdl_flags &= ~(QDL_DRAIN_WAIT | QDL_DRAIN_TIMER | QDL_DRAIN_WANTED | QDL_OUTPUT_ACTIVE);
  qdf_process_wrq(lp->tty.t_writeq);
}

void qdf_serial_output(queue_t* q, mblk_t* mp, qd_line*) {
  putbq(q, mp);
}

void qdf_parallel_output(queue_t* q, mblk_t* mp, qd_line*) {
  putbq(q, mp);
}

void qdf_drain_output(queue_t* q, mblk_t* mp, qd_line*) {
  freemsg(mp);
  while (mblk_t* bp = getq(q)) {
    freemsg(bp);
  }
}

void qd_set_curr_size_fassend(qd_line* lp) {
  lp->send_size = lp->speed / 100 < 16 ? 16 : lp->speed / 100;
}

void qdf_utility_ioctl_wrapup(qd_line* lp, int, int) {
  lp->qdl_flags &= ~QDL_UTIL_WAIT;
}
