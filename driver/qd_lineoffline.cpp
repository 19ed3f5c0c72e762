// Taking a line offline when its unit reports it lost, goes offline itself, or stops
// answering.
#include "ksys/stream.h"
#include "qddrv.h"

namespace {

constexpr unsigned POD_PORTS = 18;
// Drain and output state that an unreachable port can no longer complete.
constexpr std::uint32_t OFFLINE_CLEARS =
    QDL_DRAIN_WAIT | QDL_DRAIN_WANTED | QDL_SEND_OUT | QDL_OUTPUT_ACTIVE;
static_assert(~OFFLINE_CLEARS == 0xff95ffffu);

} // namespace

void qdf_line_offline(qd_line* lp) {
  if (lp == nullptr) {
    return;
  }
  qd_assert_line_held(lp); // released and taken again around the hang-up
  qd_unit* up = lp->unit;
  if (qdu_is_lanvara(up)) {
    qd_trace_line(lp, "qdf_line_offline vrn~ line=~\n", up->qdu_target, lp->line_num);
  } else {
    qd_trace_line(lp, "qdf_line_offline ~/~ line=~\n", up->qdu_bus, up->qdu_target, lp->line_num);
  }

  lp->offline_time = qd_systime;
  if ((lp->qdl_flags & QDL_OFFLINE) != 0) {
    return;
  }
  lp->qdl_flags |= QDL_OFFLINE;
  qdf_cancel_restart_input(lp);
  if ((lp->qdl_flags & QDL_UNITNODE) != 0) {
    return;
  }

  if (qdu_is_pod(up)) {
    const unsigned pod = lp->line_num / POD_PORTS;
    if ((up->qdu_pod_offline & (1u << pod)) == 0) {
      qdlogerr(1, up, nullptr, "Satellite %u offline", pod);
      up->qdu_pod_offline |= 1u << pod;
    }
  }

  if ((lp->qdl_flags & QDL_ENABLED) == 0) {
    return;
  }

  lp->output = qdf_drain_output;
  lp->qdl_flags &= ~OFFLINE_CLEARS;
  lp->modem_bits = 0;
  qdf_output_done(lp);

  // A carrier wait completes, so that the hangup below reaches the stream.
  lp->qdl_flags |= QDL_CARRIER;
  // Also ends a wait for the FAS_DISABLE answer, which will not come now.
  cv_broadcast(&lp->qd_cv);

  if (queue_t* rq = lp->tty.t_readq; rq != nullptr) {
    qd_trace_line(lp, "hangup - 3\n");
    mutex_exit(lp->unit_mutex);
    putnextctl(rq, M_HANGUP);
    mutex_enter(lp->unit_mutex);
  }
}
