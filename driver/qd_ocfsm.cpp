// The open/close state machine of a port: the table, one step, the actions, the carrier
// wait, and the guard delay that holds a closed line before it can be opened again.
#include <cerrno>

#include "ksys/cmn_err.h"
#include "ksys/termios.h"
#include "ksys/time.h"
#include "qddrv.h"

namespace {

constexpr oc_fsm_entry E(unsigned char next, unsigned char action) {
  return {next, action};
}

// The errno of an input that meets a trap entry: the machine is in no state to serve it.
constexpr int TRAP_ERRNO = EIO;

} // namespace

// clang-format off
const oc_fsm_entry oc_fsmtab[OC_NSTATES][OC_NINPUTS] = {
  // OC_CLOSED
  {E(OC_OPEN, OCA_INIT), E(OC_WAIT_CARRIER, OCA_INIT), E(OC_DIALOUT, OCA_INIT),
   E(OC_CLOSED, OCA_TRAP), E(OC_CLOSED, OCA_TRAP), E(OC_CLOSED, OCA_NODEV),
   E(OC_CLOSED, OCA_TRAP), E(OC_CLOSED, OCA_TRAP), E(OC_CLOSED, OCA_NOP)},
  // OC_OPEN
  {E(OC_OPEN, OCA_NOP), E(OC_OPEN, OCA_NOP), E(OC_OPEN, OCA_BUSY),
   E(OC_OPEN, OCA_RAISE_DTR), E(OC_OPEN, OCA_NOP), E(OC_OPEN, OCA_NOP),
   E(OC_CLOSED, OCA_DEINIT), E(OC_CLOSED, OCA_TRAP), E(OC_CLOSED, OCA_NODEV)},
  // OC_WAIT_CARRIER
  {E(OC_CLOSED, OCA_TRAP), E(OC_CLOSED, OCA_TRAP), E(OC_DIALOUT_WAITER, OCA_NOP),
   E(OC_WAIT_CARRIER, OCA_CHECK_CARRIER), E(OC_OPEN, OCA_NOP), E(OC_CLOSED, OCA_DEINIT),
   E(OC_CLOSED, OCA_TRAP), E(OC_CLOSED, OCA_TRAP), E(OC_CLOSED, OCA_NODEV)},
  // OC_DIALOUT
  {E(OC_DIALOUT, OCA_BUSY), E(OC_DIALOUT_WAITER, OCA_NOP), E(OC_DIALOUT, OCA_NOP),
   E(OC_CLOSED, OCA_TRAP), E(OC_CLOSED, OCA_TRAP), E(OC_CLOSED, OCA_TRAP),
   E(OC_CLOSED, OCA_TRAP), E(OC_CLOSED, OCA_DEINIT), E(OC_CLOSED, OCA_NODEV)},
  // OC_DIALOUT_WAITER
  {E(OC_CLOSED, OCA_TRAP), E(OC_CLOSED, OCA_TRAP), E(OC_DIALOUT_WAITER, OCA_NOP),
   E(OC_DIALOUT_WAITER, OCA_WAIT), E(OC_CLOSED, OCA_TRAP), E(OC_DIALOUT, OCA_NOP),
   E(OC_CLOSED, OCA_TRAP), E(OC_WAIT_CARRIER, OCA_REINIT), E(OC_CLOSED, OCA_TRAP)},
};
// clang-format on
static_assert(sizeof oc_fsmtab == 90);

int qdf_guard_delay(const qd_line* lp) {
  if ((lp->qdl_minor & QD_MINOR_DIALOUT) != 0) {
    return lp->dtrdel;
  }
  if ((lp->tty.t_cflag & CLOCAL) != 0 || (lp->qdl_flags & QDL_LOCAL) != 0) {
    return lp->grddel;
  }
  return lp->dtrdel;
}

namespace {

// Carrier is there, or the line needs none (soft carrier turned on during the wait).
bool carrier_ok(const qd_line* lp) {
  return (lp->qdl_flags & (QDL_CARRIER | QDL_LOCAL)) != 0;
}

void sleep_unlocked(qd_line* lp, long ticks) {
  mutex_exit(lp->unit_mutex);
  qddelay(ticks);
  mutex_enter(lp->unit_mutex);
}

// A second dial-in open while a blocking one waits for carrier: the table traps it and
// closes the machine under the waiter. It is refused instead; the waiter goes on.
bool second_dialin_open(std::uint8_t state, int input) {
  return (state == OC_WAIT_CARRIER || state == OC_DIALOUT_WAITER) &&
         (input == OC_IN_OPEN_LOCAL || input == OC_IN_OPEN_MODEM);
}

} // namespace

int qdf_oc_manager(qd_line* lp, int input) {
  qd_assert_line_held(lp);
  while ((lp->qdl_flags & QDL_BUSY) != 0) {
    cv_wait(&lp->qd_cv, lp->unit_mutex);
  }
  lp->qdl_flags |= QDL_BUSY;
  return qdf_oc_fsm(lp, input, 0);
}

int qdf_oc_fsm(qd_line* lp, int input, int nested) {
  qd_assert_line_held(lp);
  const std::uint8_t state = lp->oc_state;
  qd_trace_line(lp, "Ocfsm(%), st=%\n", input, state);
  if (input < 0 || input >= OC_NINPUTS || state >= OC_NSTATES) {
    qd_assert_failed("input < OC_NINPUTS && state < OC_NSTATES");
    return qdf_oc_action(lp, OCA_NODEV, nested);
  }
  lp->last_oc_state = state;

  oc_fsm_entry entry = oc_fsmtab[state][input];
  if (second_dialin_open(state, input)) {
    entry = E(state, OCA_BUSY);
  }
  lp->oc_state = entry.next_state;
  if (entry.action == OCA_TRAP) {
    qd_trace_line(lp, "qdf_oc_fsm: trap\n");
    qdlogerr(0, nullptr, lp, "qdf_oc_fsm: trapping input %u\n", static_cast<unsigned>(input));
  }
  return qdf_oc_action(lp, entry.action, nested);
}

int qdf_oc_action(qd_line* lp, int action, int nested) {
  qd_assert_line_held(lp);
  int result = OC_FAILED;
  bool guard_holds = false;

  switch (action) {
  case OCA_BUSY:
    lp->open_error = EBUSY;
    result = OC_FAILED;
    break;

  case OCA_DEINIT:
    if (qdf_deinit_line(lp) != 0) {
      lp->open_error = ENODEV;
      qdf_oc_fsm(lp, OC_IN_ERROR, 1);
      result = OC_FAILED;
      break;
    }
    result = OC_DONE;
    if (const int d = qdf_guard_delay(lp); d > 0) {
      // The wake-up ends the step: until then every open and close of the line waits.
      lp->edp_tid = timeout(qdf_guard_wakeup, lp, d);
      guard_holds = true;
    }
    break;

  case OCA_INIT:
    if (const int err = qdf_init_line(lp); err != 0) {
      lp->open_error = err;
      qdf_oc_fsm(lp, OC_IN_ERROR, 1);
      result = OC_FAILED;
    } else {
      result = OC_DONE;
    }
    break;

  case OCA_NOP:
    result = OC_DONE;
    break;

  case OCA_REINIT:
    result = OC_FAILED;
    if (qdf_deinit_line(lp) != 0) {
      qdf_oc_fsm(lp, OC_IN_ERROR, 1);
      break;
    }
    if (const int d = qdf_guard_delay(lp); d > 0) {
      sleep_unlocked(lp, d);
    }
    if (qdf_init_line(lp) != 0) {
      qdf_oc_fsm(lp, OC_IN_ERROR, 1);
      break;
    }
    result = OC_DONE;
    break;

  case OCA_NODEV:
    lp->open_error = ENODEV;
    result = OC_FAILED;
    break;

  case OCA_TRAP:
    cmn_err(CE_CONT, "Orvane Lanvara/QMX: trap in qdf_oc_action: last_oc_state=%u\n",
            static_cast<unsigned>(lp->last_oc_state));
    sleep_unlocked(lp, 10L * hz);
    lp->open_error = TRAP_ERRNO;
    result = OC_FAILED;
    break;

  case OCA_RAISE_DTR:
    if (carrier_ok(lp)) {
      qdf_set_modem_sigs(lp, TIOCM_DTR | TIOCM_RTS, TIOCMSET, 0);
      result = OC_DONE;
      break;
    }
    sleep_unlocked(lp, lp->dtrdel);
    qdf_set_modem_sigs(lp, TIOCM_DTR | TIOCM_RTS, TIOCMSET, 0);
    [[fallthrough]];
  case OCA_CHECK_CARRIER:
    if (carrier_ok(lp)) {
      qdf_oc_fsm(lp, OC_IN_CARRIER_UP, 1);
      result = OC_DONE;
    } else {
      result = OC_KEEP_WAITING;
    }
    break;

  case OCA_WAIT:
    result = OC_KEEP_WAITING;
    break;

  default:
    qd_assert_failed("known open/close action");
    lp->open_error = ENODEV;
    result = OC_FAILED;
    break;
  }

  if (nested == 0 && !guard_holds) {
    lp->qdl_flags &= ~QDL_BUSY;
    cv_broadcast(&lp->qd_cv);
  }
  return result;
}

int qdf_wait_for_carrier(qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "waitcarr\n");
  for (;;) {
    const int r = qdf_oc_manager(lp, OC_IN_CARRIER_CHECK);
    if (r == OC_DONE) {
      return 0;
    }
    if (r == OC_FAILED) {
      return 1;
    }
    if (cv_wait_sig(&lp->qd_cv, lp->unit_mutex) == 0) {
      qdf_oc_manager(lp, OC_IN_SIGNAL);
      return 1;
    }
  }
}

void qdf_guard_wakeup(void* arg) {
  auto* lp = static_cast<qd_line*>(arg);
  mutex_enter(lp->unit_mutex);
  lp->edp_tid = nullptr;
  lp->qdl_flags &= ~QDL_BUSY;
  cv_broadcast(&lp->qd_cv);
  mutex_exit(lp->unit_mutex);
}

void qdf_guard_cancel(qd_line* lp) {
  qd_assert_line_held(lp);
  // Outside an open or close step only the guard wake-up uses the identifier.
  while (lp->edp_tid != nullptr) {
    if (untimeout(lp->edp_tid) >= 0) {
      lp->edp_tid = nullptr;
      lp->qdl_flags &= ~QDL_BUSY;
      cv_broadcast(&lp->qd_cv);
      return;
    }
    // Already running and waiting for the mutex: it clears the identifier and wakes us.
    cv_wait(&lp->qd_cv, lp->unit_mutex);
  }
}
