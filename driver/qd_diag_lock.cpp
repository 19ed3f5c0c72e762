// The unit lock of the firmware update. QMXLOCK takes every line of a SCSI unit offline and
// is answered once the unit's transport has come down (its users close their ports), or
// refused after 15 one-second checks. QMXUNLOCK ends the lock and the lines' hold-off.
#include <cerrno>

#include "ksys/cmn_err.h"
#include "ksys/time.h"
#include "qd_callout.h"
#include "qd_diag_ioctl.h"
#include "qd_diag_util.h"
#include "qd_ioc_args.h"
#include "qd_ioctl.h"
#include "qd_line.h"
#include "qd_ocfsm.h"
#include "qd_state.h"
#include "qd_trace_route.h"
#include "qd_unit.h"
#include "qd_unitops.h"

namespace {

constexpr int LOCK_CHECKS = 15;
// A line's offline time this far back has its 60-second hold-off behind it.
constexpr int HOLDOFF_OVER = 61;

// The attached SCSI unit that bus * 256 + target names, or null. A bus above 15 would
// reach into the minor number's Lanvara bit, a target above 15 into the bus: neither names
// a SCSI unit.
qd_unit* unit_of(int value) {
  const auto v = static_cast<unsigned>(value);
  const unsigned bus = v >> 8;
  const unsigned target = v & 0xff;
  if (bus >= QD_MAX_BUSES || target > 0xf) {
    return nullptr;
  }
  return qdm_findunit(static_cast<minor_t>(bus << 12 | target << 8));
}

// The unit named by the request's argument, or null after refusing the request.
qd_unit* requested_unit(mblk_t* mp, const char* nak_trace) {
  int value = 0;
  if (!qd_ioc_int(mp, &value)) {
    qd_trace_drv("$", nak_trace);
    qd_diag_nak(mp, EINVAL);
    return nullptr;
  }
  qd_unit* up = unit_of(value);
  if (up == nullptr) {
    qd_trace_drv("$", nak_trace);
    qd_diag_nak(mp, ENODEV);
  }
  return up;
}

} // namespace

int qdm_lock_unit(queue_t*, mblk_t* mp) {
  qd_trace_drv("qdm_lock_unit\n");
  qd_unit* up = requested_unit(mp, "NAK\n");
  if (up == nullptr) {
    return QD_IOC_DONE;
  }
  mutex_enter(&up->intr_mutex);
  mutex_enter(&up->unit_mutex);
  if (up->qdu_lock_mp != nullptr) {
    // One held request per unit: a second one while the first is being checked would be
    // lost or answered twice.
    mutex_exit(&up->unit_mutex);
    mutex_exit(&up->intr_mutex);
    qd_trace_drv("lock already pending\n");
    qd_diag_nak(mp, EBUSY);
    return QD_IOC_DONE;
  }
  up->qdu_flags |= QDU_LOCKED;
  up->qdu_lock_mp = mp;
  for (int i = 0; i < qd_unit_ports(up); ++i) {
    qd_line* lp = up->qd_lines[i];
    if (lp == nullptr) {
      continue;
    }
    if ((lp->qdl_flags & QDL_ENABLED) != 0 && (lp->qdl_flags & QDL_CARRIER) == 0) {
      // A carrier wait ends, so that the open sees the line go.
      lp->qdl_flags |= QDL_CARRIER;
      cv_broadcast(&lp->qd_cv);
    }
    qdf_line_offline(lp);
  }
  up->qdu_lock_count = LOCK_CHECKS;
  up->qdu_lock_tid = timeout(qdm_lock_timeout, up, hz);
  mutex_exit(&up->unit_mutex);
  mutex_exit(&up->intr_mutex);
  return QD_IOC_HELD;
}

void qdm_lock_timeout(void* arg) {
  auto* up = static_cast<qd_unit*>(arg);
  qd_trace_drv("qdm_lock_timeout\n");
  mutex_enter(&up->unit_mutex);
  if (!qd_callout_claim(&up->qdu_lock_tid, qdm_lock_timeout, up)) {
    mutex_exit(&up->unit_mutex);
    return;
  }
  const bool up_still = (up->qdu_flags & (QDU_INITD | QDU_TRANSPORT_UP)) != 0;
  if (up_still && --up->qdu_lock_count > 0) {
    up->qdu_lock_tid = timeout(qdm_lock_timeout, up, hz);
    cv_broadcast(&up->qd_up_cv); // a cancel waiting for this run looks again
    mutex_exit(&up->unit_mutex);
    return;
  }
  if ((up->qdu_flags & QDU_INITD) == 0) {
    qd_trace_drv("QDU_INITD\n");
  }
  if ((up->qdu_flags & QDU_TRANSPORT_UP) == 0) {
    qd_trace_drv("QDU_TRANSPORT_UP\n");
  }
  mblk_t* mp = up->qdu_lock_mp;
  up->qdu_lock_mp = nullptr;
  if (mp != nullptr) {
    if (!up_still) {
      qd_trace_drv("ack\n");
      qdf_make_ioctl_ack(mp);
    } else {
      for (int i = 0; i < qd_unit_ports(up); ++i) {
        const qd_line* lp = up->qd_lines[i];
        if (lp != nullptr && (lp->qdl_flags & (QDL_ENABLED | QDL_DISABLE_PEND)) != 0) {
          cmn_err(CE_CONT, "QMXLOCK: could not clear line %u at module.\n",
                  static_cast<unsigned>(lp->line_num));
        }
      }
      qd_trace_drv("NAK\n");
      qdf_make_ioctl_nak(mp, EBUSY);
    }
  }
  cv_broadcast(&up->qd_up_cv);
  mutex_exit(&up->unit_mutex);
  if (mp != nullptr && !qd_diag_send_up(mp)) {
    qd_trace_drv("already closed\n");
  }
}

int qdm_unlock_unit(queue_t*, mblk_t* mp) {
  qd_trace_drv("qdm_unlock_unit\n");
  qd_unit* up = requested_unit(mp, "nak\n");
  if (up == nullptr) {
    return QD_IOC_DONE;
  }
  mutex_enter(&up->unit_mutex);
  up->qdu_flags &= ~QDU_LOCKED;
  for (int i = 0; i < qd_unit_ports(up); ++i) {
    if (qd_line* lp = up->qd_lines[i]; lp != nullptr) {
      lp->offline_time = qd_systime - HOLDOFF_OVER;
    }
  }
  mutex_exit(&up->unit_mutex);
  // Opens sleeping out a hold-off look again now rather than at the next tick.
  cv_broadcast(&qd_lbolt);
  qd_trace_drv("ack\n");
  qdf_make_ioctl_ack(mp);
  return QD_IOC_DONE;
}

void qdm_lock_cancel(qd_unit* up) {
  qd_assert_unit_held(up);
  while (up->qdu_lock_tid != nullptr) {
    if (untimeout(up->qdu_lock_tid) >= 0) {
      up->qdu_lock_tid = nullptr;
      break;
    }
    // Already running and waiting for the mutex: it renews or clears the identifier and
    // wakes us.
    cv_wait(&up->qd_up_cv, &up->unit_mutex);
  }
  if (up->qdu_lock_mp != nullptr) {
    freemsg(up->qdu_lock_mp);
    up->qdu_lock_mp = nullptr;
  }
}
