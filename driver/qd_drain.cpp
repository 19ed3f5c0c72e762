// Waiting for a line's output to drain, the drain watchdog, and the output function that
// throws queued data away.
#include "fas.h"
#include "ksys/stream.h"
#include "qd_callout.h"
#include "qd_flow.h"
#include "qd_line.h"
#include "qd_output.h"
#include "qd_pool.h"
#include "qd_trace_route.h"
#include "qd_transport.h"

void qdf_drain_output(queue_t* q, mblk_t* mp, qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "Drain\n");
  while (mp != nullptr) {
    if (mp->b_datap->db_type != M_DATA) {
      putbq(q, mp);
      qdf_process_wrq(q);
      return;
    }
    freemsg(mp);
    mp = getq(q);
  }
}

void qdf_wait_out(qd_line* lp) {
  qd_assert_line_held(lp);
  qd_unit* up = lp->unit;
  qd_trace_line(lp, "qdf_wait_out\n");
  if ((lp->qdl_flags & QDL_DRAIN_WAIT) != 0) {
    return;
  }
  // A timer still armed (a FAS_WAIT_SEND of an earlier wait is outstanding) keeps running:
  // the watchdog counts from the first wait.
  if (const int limit = qdf_output_limit(lp);
      limit != 0 && (lp->qdl_flags & QDL_DRAIN_TIMER) == 0) {
    lp->drain_tid = timeout(qdf_wait_timeout, lp, static_cast<clock_t>(limit) * hz);
    lp->qdl_flags |= QDL_DRAIN_TIMER;
  }
  if ((up->qdu_caps & QDU_CAP_WAITSEND) != 0) {
    if ((lp->qdl_flags & QDL_WAITSEND_OUT) != 0) {
      return; // the FAS_WAIT_SEND in flight answers this wait too
    }
    if ((lp->qdl_flags & QDL_OFFLINE) != 0) {
      lp->qdl_flags |= QDL_WAITSEND_OUT | QDL_DRAIN_WAIT; // line offline ends it
      return;
    }
    if (unsigned char* cmd = qdm_putfas(up, FAS_HDR_SIZE); cmd != nullptr) {
      lp->qdl_flags |= QDL_WAITSEND_OUT | QDL_DRAIN_WAIT;
      cmd[0] = FAS_WAIT_SEND;
      cmd[1] = lp->line_num;
      qdf_logfasout(lp, cmd);
      qdm_scsifsm(up, SFSM_IN_KICK);
      return;
    }
    // No packet for FAS_WAIT_SEND: nothing would ever answer the wait, so wait for the
    // last FAS_SEND answer instead, as on units without the command.
  }
  lp->qdl_flags |= QDL_DRAIN_WAIT | QDL_DRAIN_WANTED;
  if ((lp->qdl_flags & QDL_SEND_OUT) == 0) {
    qdf_output_done(lp);
  }
}

void qdf_cancel_drain_timer(qd_line* lp) {
  qd_assert_line_held(lp);
  // The identifier, not the flag, says whether a callout is armed: a callback already
  // waiting for the mutex finds the flag clear and does nothing.
  if (lp->drain_tid != nullptr) {
    untimeout(lp->drain_tid);
    lp->drain_tid = nullptr;
  }
  lp->qdl_flags &= ~QDL_DRAIN_TIMER;
}

void qdf_output_done(qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "outdone\n");
  qdf_cancel_drain_timer(lp);
  lp->qdl_flags &= ~(QDL_DRAIN_WAIT | QDL_DRAIN_TIMER | QDL_DRAIN_WANTED | QDL_OUTPUT_ACTIVE);
  qdf_process_wrq(lp->tty.t_writeq);
}

void qdf_wait_timeout(void* arg) {
  auto* lp = static_cast<qd_line*>(arg);
  mutex_enter(lp->unit_mutex);
  // A drain that completed while this callback waited for the mutex has cleared the flag;
  // one armed again since then is not this callback's to end.
  if ((lp->qdl_flags & QDL_DRAIN_TIMER) == 0 ||
      !qd_callout_claim(&lp->drain_tid, qdf_wait_timeout, lp)) {
    mutex_exit(lp->unit_mutex);
    return;
  }
  lp->qdl_flags &= ~QDL_DRAIN_TIMER;
  qd_trace_line(lp, "qdf_wait_timeout\n");
  const qd_output_fn saved = lp->output;
  lp->output = qdf_drain_output;
  qdf_flush_output(lp);
  qdf_output_done(lp);
  qdm_scsifsm(lp->unit, SFSM_IN_KICK);
  lp->output = saved;
  mutex_exit(lp->unit_mutex);
}
