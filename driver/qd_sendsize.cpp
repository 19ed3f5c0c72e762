// How many data bytes one FAS_SEND of a line carries.
#include <algorithm>
#include <cstdint>

#include "qd_line.h"
#include "qd_output.h"
#include "qd_unit.h"

void qd_set_curr_size_fassend(qd_line* lp) {
  if (lp == nullptr || lp->unit == nullptr || lp->unit->qdu_info == nullptr) {
    return;
  }
  const qd_unit* up = lp->unit;
  const qd_unitinfo* info = up->qdu_info;
  if ((lp->qdl_flags & QDL_PARALLEL) != 0) {
    if ((info->flags & QDM_PODS) != 0) {
      lp->send_size = 700;
    } else if ((info->flags & QDM_PAR_SEND) != 0) {
      lp->send_size = info->pktsize - 20;
    } else {
      lp->send_size = info->pktsize * 3 / 4;
    }
    return;
  }
  // What the line sends in one answer time, but at least a tenth of a second of output
  // and 16 bytes; the unit's limit comes last and wins.
  const std::int64_t speed = lp->speed;
  std::int64_t s = (static_cast<std::int64_t>(up->qdu_srtt) + up->qdu_rttvar) * speed / 1000;
  s = std::max<std::int64_t>(s, speed / 100);
  s = std::max<std::int64_t>(s, 16);
  s = std::min<std::int64_t>(s, up->qdu_max_send);
  lp->send_size = static_cast<std::int32_t>(s);
}
