// Detach and unload: the driver-wide takedown that brings every unit down and releases all
// the driver holds, run by the first detach that qd.conf allows.
#include <initializer_list>

#include "ksys/cmn_err.h"
#include "ksys/scsi.h"
#include "ksys/time.h"
#include "qd_diag_ioctl.h"
#include "qd_entry.h"
#include "qd_flow.h"
#include "qd_input.h"
#include "qd_ioctl.h"
#include "qd_line.h"
#include "qd_log.h"
#include "qd_mem.h"
#include "qd_ocfsm.h"
#include "qd_pool.h"
#include "qd_state.h"
#include "qd_timer.h"
#include "qd_trace_route.h"
#include "qd_unit.h"
#include "qd_unitops.h"

namespace {

constexpr int KILL_CHECKS = 20;  // one-second checks of a unit that has not come down
constexpr int HANGUP_PAUSE = 3;  // seconds for the processes to close their hung-up ports
constexpr int SCSI_TARGETS = 16; // per bus

// Whole seconds of waiting. The driver timer has stopped by now, so the clock's sleepers
// (a close waiting for its output to drain) are woken here in its place.
void pause_seconds(int seconds) {
  for (int i = 0; i < seconds; ++i) {
    qddelay(hz);
    cv_broadcast(&qd_lbolt);
  }
}

int nports(const qd_unit* up) {
  return up->qdu_info != nullptr ? up->qdu_info->nlines : 0;
}

// The first attempt only warns about ports that are still enabled, so that they can be
// closed; true when it warned.
bool warn_enabled_lines() {
  bool warned = false;
  for (int bus = 0; bus < qd_bus_cnt; ++bus) {
    for (int target = 0; target < SCSI_TARGETS; ++target) {
      const qd_unit* up = qd_units[bus * 16 + target];
      for (int i = 0; up != nullptr && i < nports(up); ++i) {
        const qd_line* lp = up->qd_lines[i];
        if (lp != nullptr && (lp->qdl_flags & QDL_ENABLED) != 0) {
          cmn_err(CE_CONT, "Warning: line %u still active at bus %u target %u\n",
                  static_cast<unsigned>(i), static_cast<unsigned>(bus),
                  static_cast<unsigned>(target));
          warned = true;
        }
      }
    }
  }
  for (int n = 0; n < QD_VRN_UNITS; ++n) {
    const qd_unit* up = qd_units[QD_VRN_BASE + n];
    for (int i = 0; up != nullptr && i < nports(up); ++i) {
      const qd_line* lp = up->qd_lines[i];
      if (lp != nullptr && (lp->qdl_flags & QDL_ENABLED) != 0) {
        cmn_err(CE_CONT, "Warning: line %u still active at vrn%x\n", static_cast<unsigned>(i),
                static_cast<unsigned>(n));
        warned = true;
      }
    }
  }
  return warned;
}

// Processes holding ports of the SCSI units are told to let go, and opens and closes that
// wait on a line look again.
void hang_up_scsi_lines() {
  for (int bus = 0; bus < qd_bus_cnt; ++bus) {
    for (int target = 0; target < SCSI_TARGETS; ++target) {
      qd_unit* up = qd_units[bus * 16 + target];
      for (int i = 0; up != nullptr && i < nports(up); ++i) {
        qd_line* lp = up->qd_lines[i];
        if (lp == nullptr) {
          continue;
        }
        mutex_enter(lp->unit_mutex);
        queue_t* rq = lp->tty.t_readq;
        mutex_exit(lp->unit_mutex);
        if (rq != nullptr) {
          qd_trace_line(lp, "unload hangup\n");
          putnextctl(rq, M_HANGUP);
        }
        mutex_enter(lp->unit_mutex);
        cv_broadcast(&lp->qd_cv);
        mutex_exit(lp->unit_mutex);
      }
    }
  }
}

// A stream on one of the unit's nodes still refers to its records.
bool streams_open(const qd_unit* up) {
  if (up->qdu_unitnode != nullptr && up->qdu_unitnode->tty.t_readq != nullptr) {
    return true;
  }
  const int n = qdu_is_lanvara(up) ? QD_VRN_NLINES : nports(up);
  for (int i = 0; i < n; ++i) {
    if (up->qd_lines[i] != nullptr && up->qd_lines[i]->tty.t_readq != nullptr) {
      return true;
    }
  }
  return false;
}

// The unit cannot be released yet: its transport runs, a bring-up or take-down is under
// way, a stream still uses it, or an open or close is asleep in the driver.
bool unit_busy(const qd_unit* up) {
  const bool transport = !qdu_is_lanvara(up) && (up->qdu_flags & QDU_TRANSPORT_UP) != 0;
  return transport || (up->qdu_flags & QDU_BUSY) != 0 || streams_open(up) || qd_entry_active > 0;
}

// No callout of the line may fire once its record is freed. Caller holds its unit mutex.
void cancel_line_callouts(qd_line* lp) {
  qdf_guard_cancel(lp); // also an enable or disable watchdog: both use edp_tid
  qdf_cancel_restart_input(lp);
  qdf_cancel_drain_timer(lp);
  qdf_cancel_reioctl(lp);
  qdf_utility_cleanup(lp); // pending ioctls and their watchdog
  if (lp->ioctl_tid != nullptr) {
    untimeout(lp->ioctl_tid);
    lp->ioctl_tid = nullptr;
  }
}

void cancel_unit_callouts(qd_unit* up) {
  const int n = qdu_is_lanvara(up) ? QD_VRN_NLINES : nports(up);
  for (int i = 0; i < n; ++i) {
    if (up->qd_lines[i] != nullptr) {
      cancel_line_callouts(up->qd_lines[i]);
    }
  }
  if (up->qdu_unitnode != nullptr) {
    cancel_line_callouts(up->qdu_unitnode);
  }
  if (up->qdu_retry_tid != nullptr) {
    untimeout(up->qdu_retry_tid);
    up->qdu_retry_tid = nullptr;
  }
  qdm_lock_cancel(up); // its one-second check, and the held request nobody will answer
}

bool diag_open() {
  return qd_diag != nullptr && qd_diag->tty.t_readq != nullptr;
}

int kill_all_units() {
  int failed = 0;
  for (int bus = 0; bus < qd_bus_cnt; ++bus) {
    for (int target = 0; target < SCSI_TARGETS; ++target) {
      if (qd_unit* up = qd_units[bus * 16 + target]; up != nullptr) {
        failed |= qdkillunit(up);
      }
    }
  }
  for (int n = 0; n < QD_VRN_UNITS; ++n) {
    if (qd_unit* up = qd_units[QD_VRN_BASE + n]; up != nullptr) {
      failed |= qdkillunit(up);
    }
  }
  return failed;
}

// Everything is freed: no pointer into that memory may stay behind.
void forget_freed_memory() {
  for (qd_unit*& up : qd_units) {
    up = nullptr;
  }
  qd_diag = nullptr;
  dflt_termios = nullptr;
  qd_pkts.qd_pkt_free = nullptr;
  global_unit.pkt_head = nullptr;
  global_unit.pkt_tail = nullptr;
  global_unit.qdu_inflight = nullptr;
}

} // namespace

int qdkillunit(qd_unit* up) {
  qd_trace_drv("qdkillunit bus=% target=%\n", up->qdu_bus, up->qdu_target);
  mutex_enter(&up->unit_mutex);
  int checks = 0;
  for (; checks < KILL_CHECKS && unit_busy(up); ++checks) {
    // Completions and closes take the transport down meanwhile.
    mutex_exit(&up->unit_mutex);
    pause_seconds(1);
    mutex_enter(&up->unit_mutex);
  }
  if (checks == KILL_CHECKS) {
    mutex_exit(&up->unit_mutex);
    if (qdu_is_lanvara(up)) {
      cmn_err(CE_CONT, "qd: module didn't come down gracefully, vrn%x\n",
              static_cast<unsigned>(up->qdu_target));
    } else {
      cmn_err(CE_CONT, "qd: module didn't come down gracefully, bus=%u target=%u\n",
              static_cast<unsigned>(up->qdu_bus), static_cast<unsigned>(up->qdu_target));
    }
    return 1;
  }
  cancel_unit_callouts(up);
  if (!qdu_is_lanvara(up)) {
    for (scsi_pkt** pkt : {&up->qdu_sendpkt, &up->qdu_recvpkt}) {
      if (*pkt != nullptr) {
        scsi_destroy_pkt(*pkt);
        *pkt = nullptr;
      }
    }
  }
  for (buf** bp : {&up->qdu_sendbp, &up->qdu_recvbp}) {
    if (*bp != nullptr) {
      freerbuf(*bp);
      *bp = nullptr;
    }
  }
  mutex_exit(&up->unit_mutex);
  mutex_destroy(&up->unit_mutex);
  mutex_destroy(&up->intr_mutex);
  mutex_destroy(&up->ttycommon_mutex);
  if (up->qdu_devp != nullptr && up->qdu_devp->sd_private == reinterpret_cast<caddr_t>(up)) {
    up->qdu_devp->sd_private = nullptr;
  }
  // Released: a later attempt after a refusal must not release it again.
  for (qd_unit*& slot : qd_units) {
    if (slot == up) {
      slot = nullptr;
    }
  }
  return 0;
}

int qdtakedown() {
  qd_trace_drv("qdtakedown tries=%\n", static_cast<unsigned>(qd_unload_tries));
  if (qd_takedown_done != 0) {
    return 0;
  }
  if (qd_unload_tries++ == 0 && warn_enabled_lines()) {
    return 1;
  }
  // The diagnostic record is freed below. Refused before anything is stopped or hung up,
  // so that the driver goes on as it was and a later attempt can succeed.
  if (diag_open()) {
    cmn_err(CE_CONT, "qd: qmxdiag is still open\n");
    return 1;
  }
  qd_going_down = 1;
  hang_up_scsi_lines();
  pause_seconds(HANGUP_PAUSE);
  // The timer takes the units' mutexes: it has to have stopped before they go.
  while (qd_timer_running != 0) {
    qddelay(hz / 4);
  }
  // A direct SCSI command still out completes into its packet: wait for it first.
  qdm_scsi_ioctl_release();
  if (kill_all_units() != 0) {
    return 1;
  }

  if (qd_diag != nullptr) {
    mutex_enter(&qd_diag_mutex);
    cancel_line_callouts(qd_diag);
    mutex_exit(&qd_diag_mutex);
    mutex_destroy(&qd_diag_mutex);
  }
  mutex_destroy(&qd_pkts.qmx_mutex);
  if (qd_init_driver_done != 0) {
    mutex_destroy(&qd_scsi_ioctl_mutex);
  }
  qd_freeall();
  forget_freed_memory();
  qd_takedown_done = 1;
  qd_trace_drv("takedown complete\n");
  return 0;
}

int qddetach(dev_info_t* dip, ddi_detach_cmd_t cmd) {
  qd_trace_drv("qddetach $ cmd=%\n", ddi_get_name(dip), static_cast<unsigned>(cmd));
  if (cmd != DDI_DETACH) {
    return DDI_FAILURE;
  }
  if (ddi_getprop(DDI_DEV_T_ANY, dip, DDI_PROP_DONTPASS, "allow_unload", 0) == 0) {
    qd_trace_drv("unloading disallowed\n");
    return DDI_FAILURE;
  }
  if (qdtakedown() != 0) {
    return DDI_FAILURE;
  }
  ddi_remove_minor_node(dip, nullptr);
  --qd_attached;
  return DDI_SUCCESS;
}
