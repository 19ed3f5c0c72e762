// Unit lookup, bring-up, take-down and going offline.
#include "qd_unitops.h"

#include <cstring>

#include "fas.h"
#include "ksys/time.h"
#include "qd_line.h"
#include "qd_log.h"
#include "qd_ocfsm.h"
#include "qd_pool.h"
#include "qd_state.h"
#include "qd_trace_route.h"
#include "qd_transport.h"
#include "qd_unit.h"

namespace {

constexpr int TUR_TRIES = 3;
constexpr int TUR_TRIES_AFTER_RESTART = 6;

// Ports in the unit's port table.
int port_count(const qd_unit* up) {
  if (qdu_is_lanvara(up)) {
    return QD_VRN_NLINES;
  }
  return up->qdu_info != nullptr ? up->qdu_info->nlines : 0;
}

// Queued bytes that still have to go out: packets that hold nothing do not count.
bool chain_has_bytes(const qd_unit* up) {
  for (const qd_pkt* p = up->pkt_head; p != nullptr; p = p->next) {
    if (p->qd_wptr != p->data) {
      return true;
    }
  }
  return false;
}

// Most data bytes of one FAS_SEND, by the model's highest speed code.
void set_max_send(qd_unit* up) {
  if (up->qdu_info == nullptr) {
    return;
  }
  switch (up->qdu_info->code & QDM_CODE_SPEED) {
  case 13:
    up->qdu_max_send = 574;
    break;
  case 15:
    up->qdu_max_send = 1150;
    break;
  case 34:
    up->qdu_max_send = 2302;
    break;
  case 47:
    up->qdu_max_send = 4606;
    break;
  default:
    qd_assert_failed("model speed code is 13, 15, 34 or 47");
    break;
  }
}

// The mutex is released while the context waits, so that work on the unit goes on.
void wait_unlocked(qd_unit* up, clock_t ticks) {
  mutex_exit(&up->unit_mutex);
  qddelay(ticks);
  mutex_enter(&up->unit_mutex);
}

bool test_unit_ready(qd_unit* up) {
  return qdm_scsi_dopollcmd(up->qdu_devp, QD_SCSI_TUR, nullptr, 0) == 0;
}

int fail_bring_up(qd_unit* up, const char* why) {
  qdlogerr(0, up, nullptr, "%s", why);
  qdm_unit_offline(up);
  return 1;
}

// Bring-up of a SCSI unit; 0 or 1.
int bring_up_scsi(qd_unit* up) {
  if ((up->qdu_flags & QDU_INITD) != 0) {
    return 0;
  }
  if ((up->qdu_flags & QDU_ATTACHED) == 0 || up->qdu_rcvpkt == nullptr) {
    // Probed but never attached: there is nothing to run a transport with.
    qd_trace_unit(up, "bring-up of unattached unit\n");
    return 1;
  }
  if ((up->qdu_flags & QDU_OFFLINE) != 0) {
    while (qd_systime < up->qdu_offline_time + QD_UNIT_HOLDOFF) {
      if (cv_wait_sig(&qd_lbolt, &up->unit_mutex) == 0) {
        qd_trace_unit(up, "unit holdoff caught signal");
        // The next attempt starts at once.
        up->qdu_offline_time = qd_systime - (QD_UNIT_HOLDOFF + 1);
        return 1;
      }
    }
  }

  bool ready = false;
  for (int i = 0; i < TUR_TRIES && !ready; ++i) {
    ready = test_unit_ready(up);
  }
  if (!ready) {
    return fail_bring_up(up, "module not responding");
  }

  if ((up->qdu_flags & QDU_OFFLINE) != 0) {
    // Firmware restart.
    if (qdm_scsi_dopollcmd(up->qdu_devp, QD_SCSI_SENDDIAG, nullptr, 0) != 0) {
      return fail_bring_up(up, "firmware restart failed");
    }
    wait_unlocked(up, hz / 2);
    ready = false;
    for (int i = 0; i < TUR_TRIES_AFTER_RESTART && !ready; ++i) {
      ready = test_unit_ready(up);
      if (!ready) {
        wait_unlocked(up, hz / 2);
      }
    }
    if (!ready) {
      return fail_bring_up(up, "module not responding after restart");
    }
    up->qdu_state = SFSM_IDLE;
    up->qdu_send_backoff = 0;
    up->qdu_recv_backoff = 0;
    up->qdu_flags &= ~QDU_OFFLINE;
    if ((up->qdu_flags & QDU_WAS_ONLINE) != 0) {
      qdlogerr(1, up, nullptr, "Module online");
    }
  }

  // The first command. A pod model's first WRITE carries none: PKT_END stands in its place.
  if (unsigned char* cmd = qdm_putfas(up, FAS_HDR_SIZE)) {
    std::memset(cmd, 0, FAS_HDR_SIZE);
    cmd[0] = qdu_is_pod(up) ? PKT_END : FAS_GLOBAL;
    cmd[6] |= 0x08;
    qd_trace_unit(up, "C~:$ ^\n", up->qdu_target, "Global  ", cmd);
  }
  qdm_scsifsm(up, SFSM_IN_KICK);
  up->qdu_flags |= QDU_INITD | QDU_TRANSPORT_UP | QDU_WAS_ONLINE;
  return 0;
}

void qd_vrn_forget_partial(qd_unit* up) {
  if (up->qdu_rcvpkt != nullptr) {
    qdm_vrn_resetrcvpkt(up->qdu_rcvpkt);
  }
}

void bring_up_lanvara(qd_unit* up) {
  // A new connection starts on an answer boundary.
  qd_vrn_forget_partial(up);
  if ((up->qdu_flags & QDU_OFFLINE) != 0) {
    up->qdu_flags &= ~QDU_OFFLINE;
    up->qdu_flags |= QDU_INITD | QDU_ATTACHED;
    up->qdu_poll_time = qd_systime;
    const auto* a = reinterpret_cast<const unsigned char*>(&up->qdu_ipaddr);
    qdlogerr(1, up, nullptr, "%s (%s) module online at %d.%d.%d.%d", up->qdu_info->name,
             up->qdu_fwrev, a[0], a[1], a[2], a[3]);
  }
  up->qdu_flags |= QDU_INITD | QDU_TRANSPORT_UP | QDU_WAS_ONLINE;
}

} // namespace

void qdm_unit_init_locks(qd_unit* up) {
  mutex_init(&up->unit_mutex, "unit_mutex", MUTEX_DRIVER, nullptr);
  mutex_init(&up->intr_mutex, "intr_mutex", MUTEX_DRIVER, nullptr);
  mutex_init(&up->ttycommon_mutex, "ttycommon_mutex", MUTEX_DRIVER, nullptr);
  cv_init(&up->qd_up_cv, "qd_up_cv", CV_DRIVER, nullptr);
}

qd_unit* qdm_findunit(minor_t minor) {
  const qd_minor m{minor};
  qd_unit* up = qd_units[m.unit_index()];
  if (up == nullptr) {
    return nullptr;
  }
  // A Lanvara unit node opens whatever the unit's state: it is how the unit comes online.
  if ((up->qdu_flags & QDU_ATTACHED) != 0 || m.unit_node()) {
    return up;
  }
  return nullptr;
}

int qdm_init_unit(qd_unit* up) {
  qd_assert_unit_held(up);
  while ((up->qdu_flags & QDU_BUSY) != 0) {
    cv_wait(&up->qd_up_cv, &up->unit_mutex);
  }
  up->qdu_flags |= QDU_BUSY;
  qd_trace_unit(up, "init unit ~/~ flags=%\n", up->qdu_bus, up->qdu_target, up->qdu_flags);

  int result = 0;
  if (qdu_is_lanvara(up)) {
    bring_up_lanvara(up);
  } else {
    result = bring_up_scsi(up);
  }

  set_max_send(up);
  up->qdu_flags &= ~QDU_BUSY;
  cv_broadcast(&up->qd_up_cv);
  return result;
}

void qdm_deinit_unit(qd_unit* up) {
  qd_assert_unit_held(up);
  // Lanvara units come and go with their relay daemon; a SCSI record that was never
  // attached never ran a transport.
  if (qdu_is_lanvara(up) || (up->qdu_flags & QDU_ATTACHED) == 0) {
    return;
  }
  while ((up->qdu_flags & QDU_BUSY) != 0) {
    cv_wait(&up->qd_up_cv, &up->unit_mutex);
  }
  up->qdu_flags |= QDU_BUSY;

  if ((up->qdu_flags & QDU_INITD) == 0) {
    qd_trace_unit(up, "already de-initd");
  } else if ((up->qdu_flags & QDU_OFFLINE) != 0) {
    qdm_freechain(up);
    up->qdu_flags &= ~(QDU_INITD | QDU_TRANSPORT_UP);
  } else {
    bool active = false;
    for (int i = 0; i < port_count(up) && !active; ++i) {
      const qd_line* lp = up->qd_lines[i];
      active = lp != nullptr && (lp->qdl_flags & QDL_OFFLINE) == 0 &&
               (lp->qdl_flags & QDL_INITDEINIT) != 0;
    }
    if (active) {
      qd_trace_unit(up, "unit still active");
    } else {
      qd_trace_unit(up, "wait for SCSI");
      while (chain_has_bytes(up) && (up->qdu_flags & QDU_OFFLINE) == 0) {
        wait_unlocked(up, hz / 10);
      }
      if ((up->qdu_flags & QDU_OFFLINE) == 0) {
        qdm_scsifsm(up, SFSM_IN_TAKE_DOWN);
        while ((up->qdu_flags & QDU_TRANSPORT_UP) != 0 && (up->qdu_flags & QDU_OFFLINE) == 0) {
          cv_wait(&up->qd_up_cv, &up->unit_mutex);
        }
      }
      if ((up->qdu_flags & QDU_OFFLINE) != 0) {
        qdm_freechain(up);
      }
      up->qdu_flags &= ~(QDU_INITD | QDU_TRANSPORT_UP);
    }
  }

  up->qdu_flags &= ~QDU_BUSY;
  cv_broadcast(&up->qd_up_cv);
}

void qdm_unit_offline(qd_unit* up) {
  qd_assert_unit_held(up);
  for (int i = 0; i < port_count(up); ++i) {
    if (up->qd_lines[i] != nullptr) {
      qdf_line_offline(up->qd_lines[i]);
    }
  }
  if (up->qdu_unitnode != nullptr) {
    qdf_line_offline(up->qdu_unitnode);
  }
  if (qdu_is_lanvara(up)) {
    up->qdu_flags &= ~QDU_ATTACHED;
    // Half an answer of the lost connection must not be joined to the next one.
    qd_vrn_forget_partial(up);
  }
  up->qdu_offline_time = qd_systime;
  if ((up->qdu_flags & QDU_OFFLINE) != 0) {
    return;
  }
  qdlogerr(1, up, nullptr, "Module offline");
  up->qdu_flags |= QDU_OFFLINE;
  // A retry that has not run yet would send a command for a unit that has none
  // outstanding any more; the packet it held goes back to the pool.
  if (up->qdu_retry_tid != nullptr) {
    untimeout(up->qdu_retry_tid);
    up->qdu_retry_tid = nullptr;
    qdm_freepkt(up->qdu_inflight);
    up->qdu_inflight = nullptr;
  }
  qdm_freechain(up);
  cv_broadcast(&up->qd_up_cv);
}
