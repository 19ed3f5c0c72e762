// The one-second driver timer.
#include "qd_timer.h"

#include <cstring>

#include "fas.h"
#include "ksys/time.h"
#include "qd_line.h"
#include "qd_ocfsm.h"
#include "qd_output.h"
#include "qd_pool.h"
#include "qd_state.h"
#include "qd_trace_route.h"
#include "qd_transport.h"
#include "qd_unit.h"
#include "qd_unitops.h"

namespace {

constexpr std::uint32_t POLLED_MASK = QDL_ENABLED | QDL_OFFLINE | QDL_DISABLE_PEND;

// Polls every enabled line of one SCSI unit; "intr_mutex" and "unit_mutex" are held.
void scan_unit(qd_unit* up) {
  bool queued = false;
  for (int i = 0; i < up->qdu_info->nlines; ++i) {
    qd_line* lp = up->qd_lines[i];
    if (lp == nullptr || (lp->qdl_flags & POLLED_MASK) != QDL_ENABLED) {
      continue;
    }
    if (++lp->missed_polls == QD_MISSED_POLLS) {
      qd_trace_unit(up, "line ~ missed polls\n", lp->line_num);
      qdf_line_offline(lp);
      continue;
    }
    // Bytes 5-7 keep the packet fill.
    if (unsigned char* cmd = qdm_putfas(up, FAS_HDR_SIZE)) {
      cmd[0] = FAS_INPUT_CTRL;
      cmd[1] = lp->line_num;
      cmd[2] = 0;
      cmd[3] = 0;
      cmd[4] = 0;
      queued = true;
    } else {
      --lp->missed_polls; // no poll went out, so none can be missed
    }
    qdf_output_watchdog(lp);
  }
  if (queued) {
    qdm_scsifsm(up, SFSM_IN_KICK);
  }
}

void scan_lines() {
  for (int bus = 0; bus < qd_bus_cnt; ++bus) {
    for (int target = 0; target < 16; ++target) {
      qd_unit* up = qd_units[bus * 16 + target];
      // A probed record that was never attached has neither lines nor locks in use.
      if (up == nullptr || (up->qdu_flags & QDU_ATTACHED) == 0 || up->qdu_info == nullptr) {
        continue;
      }
      mutex_enter(&up->intr_mutex);
      mutex_enter(&up->unit_mutex);
      scan_unit(up);
      mutex_exit(&up->unit_mutex);
      mutex_exit(&up->intr_mutex);
    }
  }
}

void poll_lanvara(qd_unit* up) {
  mutex_enter(&up->intr_mutex);
  mutex_enter(&up->unit_mutex);
  if ((up->qdu_flags & QDU_OFFLINE) != 0) {
    // went offline while this visit waited for the locks
  } else if (qd_systime - up->qdu_poll_time > QD_VRN_POLL_LIMIT) {
    qd_trace_unit(up, "vrn~ poll timed out\n", up->qdu_target);
    qdm_unit_offline(up);
  } else if (unsigned char* cmd = qdm_putfas(up, FAS_HDR_SIZE)) {
    std::memset(cmd, 0, FAS_HDR_SIZE);
    cmd[0] = FAS_UNIT_POLL;
    clock_t now = 0;
    drv_getparm(LBOLT, &now);
    up->qdu_poll_sent = static_cast<int>(now);
    qdm_scsifsm(up, SFSM_IN_KICK);
  }
  mutex_exit(&up->unit_mutex);
  mutex_exit(&up->intr_mutex);
}

void visit_lanvara() {
  for (int n = qd_systime % QD_VRN_POLL_EVERY; n <= 255; n += QD_VRN_POLL_EVERY) {
    qd_unit* up = qd_units[QD_VRN_BASE + n];
    if (up != nullptr && up->qdu_unitnode != nullptr && (up->qdu_flags & QDU_OFFLINE) == 0) {
      poll_lanvara(up);
    }
  }
}

} // namespace

void qdf_timer(void*) {
  ++qd_systime;
  if (qd_systime - qd_last_scan >= QD_SCAN_INTERVAL) {
    qd_last_scan = qd_systime;
    qd_trace_drv("qdf_timer scan %\n", qd_systime);
    scan_lines();
  }
  visit_lanvara();
  cv_broadcast(&qd_lbolt);
  if (qd_going_down != 0) {
    qd_timer_running = 0;
    return;
  }
  timeout(qdf_timer, nullptr, hz);
}
