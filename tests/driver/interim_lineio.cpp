// Temporary: routines of the transport and the open/close layer that the line layer's
// tests link against until those land. Written after what those routines do; weak, so
// that the real ones take their place wherever they are linked.
#include "driver_fixture.h"
#include "ksys/stream.h"

__attribute__((weak)) void qdm_scsifsm(qd_unit*, int) {
  // A Lanvara unit whose unit node is closed keeps its queued commands.
}

__attribute__((weak)) void qdm_unit_offline(qd_unit* up) {
  const int nlines = qdu_is_lanvara(up) ? QD_VRN_NLINES : up->qdu_info->nlines;
  for (int i = 0; i < nlines; ++i) {
    if (up->qd_lines[i] != nullptr) {
      qdf_line_offline(up->qd_lines[i]);
    }
  }
  if (up->qdu_unitnode != nullptr) {
    qdf_line_offline(up->qdu_unitnode);
  }
  if (qdu_is_lanvara(up)) {
    up->qdu_flags &= ~QDU_ATTACHED;
  }
  up->qdu_offline_time = qd_systime;
  if ((up->qdu_flags & QDU_OFFLINE) != 0) {
    return;
  }
  qdlogerr(1, up, nullptr, "Module offline");
  up->qdu_flags |= QDU_OFFLINE;
  qdm_freechain(up);
  cv_broadcast(&up->qd_up_cv);
}
