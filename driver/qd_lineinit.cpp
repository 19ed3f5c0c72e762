// Bringing a line up at its unit (reset, enable, parameters, first status and input
// requests, modem signals) and down again, with the enable/disable watchdog.
#include <cerrno>

#include "ksys/cmn_err.h"
#include "ksys/stream.h"
#include "ksys/termios.h"
#include "ksys/time.h"
#include "qddrv.h"

namespace {

constexpr int EDP_ENABLE_SECONDS = 60;
constexpr int EDP_DISABLE_RETRY_SECONDS = 3;
constexpr int HOLDOFF_SECONDS = 60;
constexpr unsigned POD_PORTS = 18;
// What a successful initialisation keeps of the flags. Carrier reported by the first status
// answer, which can arrive while the enable sleeps out the DTR guard time, is kept too.
constexpr std::uint32_t INIT_KEEPS =
    QDL_INITDEINIT | QDL_LOCAL | QDL_HUPCL | QDL_PARALLEL | QDL_ENABLED | QDL_CARRIER;

constexpr tcflag_t DEFAULT_IFLAG = IXON;
constexpr tcflag_t DEFAULT_CFLAG = B9600 | CS8 | CREAD;
static_assert(DEFAULT_CFLAG == 0xBD);

unsigned char status_code(const qd_line* lp) {
  return lp->last_fas_status & FAS_ST_MASK;
}

// Queues an 8-byte command of three bytes (the rest keeps the packet fill) and records it.
bool queue_cmd(qd_line* lp, unsigned char op, int b2 = -1, int b3 = -1) {
  unsigned char* c = qdm_putfas(lp->unit, FAS_HDR_SIZE);
  if (c == nullptr) {
    return false;
  }
  c[0] = op;
  c[1] = lp->line_num;
  if (b2 >= 0) {
    c[2] = static_cast<unsigned char>(b2);
  }
  if (b3 >= 0) {
    c[3] = static_cast<unsigned char>(b3);
  }
  qdf_logfasout(lp, c);
  return true;
}

void edp_arm(qd_line* lp, int seconds) {
  lp->qdl_flags &= ~QDL_EDP_TIMEOUT;
  lp->edp_tid = timeout(qdf_edp_timeout, lp, static_cast<clock_t>(seconds) * hz);
}

// After a wait: whether the watchdog fired. A watchdog that is no longer needed is
// cancelled; one that has started already is let finish, so that no callout for this
// wait is left behind to fire later.
bool edp_disarm(qd_line* lp) {
  if ((lp->qdl_flags & QDL_EDP_TIMEOUT) != 0) {
    return true;
  }
  if (lp->edp_tid != nullptr) {
    if (untimeout(lp->edp_tid) < 0) {
      while (lp->edp_tid != nullptr) {
        cv_wait(&lp->qd_cv, lp->unit_mutex);
      }
      lp->qdl_flags &= ~QDL_EDP_TIMEOUT;
    }
    lp->edp_tid = nullptr;
  }
  return false;
}

template <class Pred> void wait_while(qd_line* lp, Pred keep_waiting) {
  while (keep_waiting() && (lp->qdl_flags & QDL_EDP_TIMEOUT) == 0) {
    cv_wait(&lp->qd_cv, lp->unit_mutex);
  }
}

bool dialout(const qd_line* lp) {
  return (lp->qdl_minor & QD_MINOR_DIALOUT) != 0;
}

bool local_line(const qd_line* lp) {
  return (lp->tty.t_cflag & CLOCAL) != 0 || (lp->qdl_flags & QDL_LOCAL) != 0;
}

// The line's hold-off: as long as its unit is locked (a firmware update owns the unit: an
// open must not bring it up meanwhile), and after the unit reported the port busy, 60
// seconds after the line went offline.
int line_holdoff(qd_line* lp) {
  qd_unit* up = lp->unit;
  const auto locked = [up] { return (up->qdu_flags & QDU_LOCKED) != 0; };
  const bool busy = status_code(lp) == ERR_BUSY && ((lp->qdl_flags & QDL_OFFLINE) != 0 || locked());
  if (qdu_is_lanvara(up) || (!busy && !locked())) {
    return 0;
  }
  while ((busy && qd_systime < lp->offline_time + HOLDOFF_SECONDS) || locked()) {
    if (cv_wait_sig(&qd_lbolt, lp->unit_mutex) == 0) {
      qd_trace_line(lp, "holdoff caught signal\n");
      // The next attempt starts at once.
      lp->offline_time = qd_systime - (HOLDOFF_SECONDS + 1);
      up->qdu_offline_time = qd_systime - (HOLDOFF_SECONDS + 1);
      return EINTR;
    }
  }
  return 0;
}

// Resets an offline port before it is enabled again (firmware with FAS_RESET).
bool reset_port(qd_line* lp) {
  qd_unit* up = lp->unit;
  lp->last_fas_status = 0;
  if ((up->qdu_caps & QDU_CAP_RESET) == 0) {
    lp->qdl_flags &= ~QDL_OFFLINE;
    return true;
  }
  queue_cmd(lp, FAS_RESET);
  edp_arm(lp, EDP_ENABLE_SECONDS);
  qdm_scsifsm(up, SFSM_IN_KICK);
  // The FAS_RESET answer clears QDL_OFFLINE and records its status.
  wait_while(lp, [lp] { return (lp->qdl_flags & QDL_OFFLINE) != 0; });
  if (edp_disarm(lp)) {
    qdlogerr(0, nullptr, lp, "FAS_RESET error, timed out");
    return false;
  }
  const unsigned char st = status_code(lp);
  if (st == ERR_BAD_CMD) {
    qdlogerr(0, nullptr, lp, "FAS_RESET error, time to update firmware!");
  } else if (st == ERR_BUSY && qdu_is_lanvara(up)) {
    // a Lanvara port still busy from before: the enable decides
  } else if (st != 0) {
    qdlogerr(0, nullptr, lp, "error status %x on FAS_RESET cmd", lp->last_fas_status);
    return false;
  }
  return true;
}

int enable_failed(qd_line* lp) {
  lp->qdl_flags &= ~(QDL_ENABLED | QDL_ENABLE_PEND);
  qdf_line_offline(lp);
  return ENODEV;
}

} // namespace

void qdf_edp_timeout(void* arg) {
  auto* lp = static_cast<qd_line*>(arg);
  mutex_enter(lp->unit_mutex);
  qd_trace_line(lp, "EDP_timeout\n");
  lp->qdl_flags |= QDL_EDP_TIMEOUT;
  lp->edp_tid = nullptr;
  cv_broadcast(&lp->qd_cv);
  mutex_exit(lp->unit_mutex);
}

int qdf_init_line(qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "qdf_init_line\n");
  qd_unit* up = lp->unit;
  if ((lp->qdl_flags & QDL_ENABLED) != 0) {
    return 0;
  }
  if (const int err = line_holdoff(lp); err != 0) {
    return err;
  }

  lp->qdl_flags |= QDL_INITDEINIT;
  if (qdm_init_unit(up) != 0) {
    lp->qdl_flags &= ~QDL_INITDEINIT;
    return ENODEV;
  }
  up->qdu_enabled_lines++;
  lp->qdl_flags &= ~QDL_LOOPBACK;

  if (const int err = qdf_enable_fw(lp); err != 0) {
    up->qdu_enabled_lines--;
    lp->qdl_flags &= ~QDL_INITDEINIT;
    qdm_deinit_unit(up);
    return err;
  }

  if (qdu_is_pod(up)) {
    up->qdu_pod_offline &= ~(1u << (lp->line_num / POD_PORTS));
  }
  // A watchdog left armed by an earlier interrupted drain goes with its flag.
  qdf_cancel_drain_timer(lp);
  lp->qdl_flags &= INIT_KEEPS;
  lp->output = qdf_serial_output;
  return 0;
}

int qdf_deinit_line(qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "qdf_deinit_line\n");
  if ((lp->qdl_flags & QDL_ENABLED) == 0) {
    cmn_err(CE_CONT, "deinit called on non-ENABLED line!\n");
    qdf_cancel_drain_timer(lp);
    return 1;
  }
  int result = 0;
  if ((lp->qdl_flags & QDL_OFFLINE) != 0) {
    // No command to an unreachable port.
    lp->qdl_flags &= ~QDL_ENABLED;
    result = 1;
  } else {
    result = qdf_disable_fw(lp);
  }
  // Whatever became of the disable, the line's use has ended: no drain watchdog outlives it.
  lp->qdl_flags &= ~QDL_DRAIN_WAIT;
  qdf_cancel_drain_timer(lp);
  lp->unit->qdu_enabled_lines--;
  lp->qdl_flags &= ~QDL_INITDEINIT;
  qdm_deinit_unit(lp->unit);
  return result;
}

int qdf_enable_fw(qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "qdf_enable_fw\n");
  qd_unit* up = lp->unit;

  if (dflt_termios != nullptr) {
    lp->tty.t_iflag = dflt_termios->c_iflag;
    lp->tty.t_cflag = dflt_termios->c_cflag;
  } else {
    lp->tty.t_iflag = DEFAULT_IFLAG;
    lp->tty.t_cflag = DEFAULT_CFLAG;
  }
  lp->tty.t_size = winsize{};
  if (lp->tty.t_iocpending != nullptr) {
    freemsg(lp->tty.t_iocpending);
    lp->tty.t_iocpending = nullptr;
  }
  lp->missed_polls = 0;

  if ((lp->qdl_flags & QDL_UNITNODE) != 0) {
    lp->qdl_flags |= QDL_ENABLED;
    return 0;
  }

  if ((lp->qdl_flags & QDL_OFFLINE) != 0 && !reset_port(lp)) {
    return enable_failed(lp);
  }
  lp->qdl_flags &= ~(QDL_ENABLED | QDL_DISABLE_PEND);

  edp_arm(lp, EDP_ENABLE_SECONDS);
  lp->qdl_flags |= QDL_ENABLE_PEND;
  queue_cmd(lp, FAS_ENABLE);
  lp->last_params[0] = 255;
  lp->last_flow[0] = 255;
  qdf_note_termios(lp);
  // The enable leaves even when the parameters could not be sent.
  qdm_scsifsm(up, SFSM_IN_KICK);

  // The FAS_ENABLE answer marks the line enabled; the FAS_FLOW_CTRL answer ends the wait.
  wait_while(lp, [lp] { return (lp->qdl_flags & QDL_ENABLE_PEND) != 0; });
  if (edp_disarm(lp)) {
    qdlogerr(0, nullptr, lp, "line enable timed out");
    return enable_failed(lp);
  }
  if ((lp->qdl_flags & QDL_ENABLED) == 0) {
    qdlogerr(0, nullptr, lp, "FAS_ENABLE didn't complete");
    return enable_failed(lp);
  }
  if (status_code(lp) == ERR_BUSY && qdu_is_lanvara(up)) {
    qd_trace_line(lp, "FAS_ENABLE - port busy ~\n", lp->line_num);
    lp->qdl_flags &= ~QDL_ENABLED;
    qdf_line_offline(lp);
    return EBUSY;
  }
  if (status_code(lp) != 0) {
    qdlogerr(0, nullptr, lp, "error status %x on FAS_ENABLE cmd", lp->last_fas_status);
    return enable_failed(lp);
  }

  lp->qdl_flags &= ~QDL_CARRIER;
  if (unsigned char* c = qdf_status_query(lp, (lp->qdl_flags & QDL_PARALLEL) != 0 ? 0x8B : 0x84);
      c != nullptr) {
    qdf_logfasout(lp, c);
  }
  if ((lp->qdl_flags & QDL_PARALLEL) == 0) {
    queue_cmd(lp, FAS_RECV, 0x80, 1);
  }
  const bool offline_before = (lp->qdl_flags & QDL_OFFLINE) != 0;
  qdf_set_modem_sigs(lp, TIOCM_DTR | TIOCM_RTS, TIOCMSET, 1);
  qdm_scsifsm(up, SFSM_IN_KICK);
  if (!offline_before && (lp->qdl_flags & QDL_OFFLINE) != 0) {
    // Went offline while the modem signals waited out the DTR guard time.
    lp->qdl_flags &= ~(QDL_ENABLED | QDL_ENABLE_PEND);
    return ENODEV;
  }
  return 0;
}

int qdf_disable_fw(qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "Disab\n");
  if ((lp->qdl_flags & QDL_ENABLED) == 0) {
    return 1;
  }
  if ((lp->qdl_flags & QDL_UNITNODE) != 0) {
    lp->qdl_flags &= ~QDL_ENABLED;
    return 0;
  }
  qd_unit* up = lp->unit;

  // A grant retry left pending would grant again after a quick re-enable.
  qdf_cancel_restart_input(lp);
  const int limit = dialout(lp) ? lp->cltmr : (local_line(lp) ? lp->lcltmr : lp->cltmr);
  queue_cmd(lp, FAS_DISABLE);
  lp->qdl_flags |= QDL_DISABLE_PEND;
  // Cleared even without a watchdog, so that a late one from before cannot end this wait.
  lp->qdl_flags &= ~QDL_EDP_TIMEOUT;
  if (limit > 0) {
    edp_arm(lp, limit);
  }
  qdm_scsifsm(up, SFSM_IN_KICK);

  // The FAS_DISABLE answer clears QDL_ENABLED. An offline line gets no answer: its going
  // offline ends the wait, also when there is no time limit.
  const auto unanswered = [lp] {
    return (lp->qdl_flags & QDL_ENABLED) != 0 && (lp->qdl_flags & QDL_OFFLINE) == 0;
  };
  wait_while(lp, unanswered);
  if (edp_disarm(lp)) {
    qdf_flush_output(lp);
    edp_arm(lp, EDP_DISABLE_RETRY_SECONDS);
    qdm_scsifsm(up, SFSM_IN_KICK);
    wait_while(lp, unanswered);
    edp_disarm(lp);
    if ((lp->qdl_flags & QDL_ENABLED) != 0) {
      lp->qdl_flags &= ~QDL_EDP_TIMEOUT;
      qdlogerr(0, nullptr, lp, "FAS_DISABLE timed out");
      lp->qdl_flags &= ~QDL_ENABLED;
      qdf_line_offline(lp);
      return 1;
    }
  }
  if ((lp->qdl_flags & QDL_ENABLED) != 0) {
    // Offline before the answer came.
    qd_trace_line(lp, "Disab offline\n");
    qdf_flush_output(lp);
    lp->qdl_flags &= ~(QDL_ENABLED | QDL_DISABLE_PEND);
    return 1;
  }
  if (status_code(lp) != 0) {
    qdlogerr(0, nullptr, lp, "error status %x on FAS_DISABLE cmd", lp->last_fas_status);
    lp->qdl_flags &= ~QDL_ENABLED;
    qdf_line_offline(lp);
    return 1;
  }

  lp->qdl_flags &= ~QDL_DRAIN_WAIT;
  qdf_cancel_drain_timer(lp);
  return 0;
}
