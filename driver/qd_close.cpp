// Closing a node: the last close of its stream.
#include "qd_entry.h"
#include "qd_flow.h"
#include "qd_ioctl.h"
#include "qd_line.h"
#include "qd_ocfsm.h"
#include "qd_state.h"
#include "qd_trace_route.h"
#include "qd_transport.h"
#include "qd_unit.h"
#include "qd_unitops.h"

namespace {

void detach_queues(qd_line* lp, queue_t* q) {
  q->q_ptr = nullptr;
  WR(q)->q_ptr = nullptr;
  lp->tty.t_readq = nullptr;
  lp->tty.t_writeq = nullptr;
}

// Output still on its way to the port goes out first, unless a signal says not to wait.
void wait_for_output(qd_line* lp) {
  if ((lp->qdl_flags & QDL_OUTPUT_ACTIVE) == 0) {
    return;
  }
  qdf_wait_out(lp);
  while ((lp->qdl_flags & QDL_OUTPUT_ACTIVE) != 0) {
    qd_trace_line(lp, "waiting for output\n");
    if (cv_wait_sig(&qd_lbolt, lp->unit_mutex) == 0) {
      qd_trace_line(lp, "caught signal\n");
      lp->output = qdf_drain_output;
      qdf_flush_output(lp);
      qdm_scsifsm(lp->unit, SFSM_IN_KICK);
      break;
    }
  }
}

void close_port(qd_line* lp, queue_t* q) {
  qd_unit* up = lp->unit;
  mutex_enter(lp->unit_mutex);
  qdf_utility_cleanup(lp);
  wait_for_output(lp);
  mutex_exit(lp->unit_mutex);

  mutex_enter(&up->intr_mutex);
  mutex_enter(lp->unit_mutex);
  qd_trace_line(lp, "calling common\n");
  qdf_cancel_reioctl(lp); // ttycommon_close frees the ioctl it would have re-run
  ttycommon_close(&lp->tty);
  qd_trace_line(lp, "back from common\n");
  mutex_exit(lp->unit_mutex);
  mutex_exit(&up->intr_mutex);

  mutex_enter(lp->unit_mutex);
  if ((lp->qdl_minor & QD_MINOR_DIALOUT) != 0) {
    lp->qdl_flags &= ~QDL_DIALOUT_OPEN;
    qdf_oc_manager(lp, OC_IN_CLOSE_DIALOUT);
  } else {
    lp->qdl_flags &= ~QDL_DIALIN_OPEN;
    lp->last_dialin_close = qd_systime;
    qdf_oc_manager(lp, OC_IN_CLOSE);
  }
  qprocsoff(q);
  mutex_exit(lp->unit_mutex);
  qd_trace_line(lp, "leaving qdclose\n");
}

} // namespace

int qdclose(queue_t* q, int, cred_t*) {
  auto* lp = static_cast<qd_line*>(q->q_ptr);
  if (lp == nullptr) {
    qd_trace_drv("qdclose without a line\n");
    qprocsoff(q);
    return 0;
  }
  qd_trace_drv("qdclose bus=~ unit=~ port=~\n", lp->unit->qdu_bus, lp->unit->qdu_target,
               lp->line_num);
  qd_entry_guard counted;

  if ((lp->qdl_flags & QDL_DIAG) != 0) {
    qprocsoff(q);
    detach_queues(lp, q);
    return 0;
  }
  if ((lp->qdl_flags & QDL_UNITNODE) != 0) {
    qd_unit* up = lp->unit;
    mutex_enter(&up->unit_mutex);
    qd_trace_unit(up, "lanvara unit close\n");
    qprocsoff(q);
    detach_queues(lp, q);
    // Without its relay daemon the unit cannot be reached.
    if ((up->qdu_flags & QDU_OFFLINE) == 0) {
      qdm_unit_offline(up);
    }
    mutex_exit(&up->unit_mutex);
    return 0;
  }
  close_port(lp, q);
  return 0;
}
