// Stand-ins for line-layer routines that the transport calls and that are not part of the
// driver yet; only what the transport's tests observe. Removed when the real ones arrive.
#include "qddrv.h"

void qdf_line_offline(qd_line* lp) {
  if (lp == nullptr) {
    return;
  }
  lp->offline_time = qd_systime;
  if ((lp->qdl_flags & QDL_OFFLINE) != 0) {
    return;
  }
  lp->qdl_flags |= QDL_OFFLINE;
}

void qdf_output_watchdog(qd_line* lp) {
  if ((lp->qdl_flags & QDL_SEND_OUT) != 0 && lp->outtmr != 0) {
    ++lp->wdog_count;
  }
}

void qdf_procrecv(qd_unit* up) {
  int malformed = 0;
  while (unsigned char* a = qdm_getfasresponse(up, &malformed)) {
    if (a[0] == FAS_UNIT_POLL) {
      up->qdu_poll_time = qd_systime;
      continue;
    }
    const int nlines = qdu_is_lanvara(up) ? QD_VRN_NLINES : up->qdu_info->nlines;
    qd_line* lp = a[1] < nlines ? up->qd_lines[a[1]] : nullptr;
    if (lp == nullptr) {
      qdm_unit_offline(up);
      return;
    }
    if (a[0] == FAS_INPUT_CTRL) {
      lp->missed_polls = 0;
    }
  }
  if (malformed != 0) {
    qdm_unit_offline(up);
  }
}
