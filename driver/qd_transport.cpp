// The transport's state table and its entry, and the actions that need no SCSI command.
#include "qd_transport.h"

#include "ksys/cmn_err.h"
#include "qd_log.h"
#include "qd_trace_route.h"
#include "qd_unit.h"
#include "qd_unitops.h"

namespace {
constexpr qd_sfsm_action startsend = qdm_scsi_startsend;
constexpr qd_sfsm_action startrecv = qdm_scsi_startrecv;
constexpr qd_sfsm_action nop = qdm_nop;
constexpr qd_sfsm_action trap = qdm_trap;
constexpr qd_sfsm_action take_down = qdm_scsi_take_down;
} // namespace

// Rows: states 0-7; columns: inputs kick, answers done, WRITE done, queue empty, READ
// done, take down.
const qd_sfsm_entry scsi_fsmtab[SFSM_NSTATES][SFSM_NINPUTS] = {
    {{1, startsend}, {0, trap}, {0, trap}, {0, trap}, {0, trap}, {0, take_down}},
    {{1, nop}, {1, trap}, {2, startrecv}, {2, startrecv}, {1, trap}, {5, nop}},
    {{2, nop}, {1, startsend}, {2, trap}, {2, trap}, {2, nop}, {6, nop}},
    {{3, trap}, {3, trap}, {3, trap}, {2, trap}, {3, trap}, {7, trap}},
    {{4, trap}, {3, trap}, {4, trap}, {4, trap}, {4, trap}, {4, trap}},
    {{5, nop}, {5, trap}, {0, take_down}, {5, trap}, {5, trap}, {5, trap}},
    {{6, nop}, {0, take_down}, {6, trap}, {6, trap}, {6, nop}, {6, trap}},
    {{7, trap}, {7, trap}, {7, trap}, {7, trap}, {7, trap}, {7, trap}},
};

void qdm_scsifsm(qd_unit* up, int input) {
  qd_assert_unit_held(up);
  if (qdu_is_lanvara(up)) {
    if (input == SFSM_IN_KICK) {
      qdm_vrn_startsend(up);
    }
    return;
  }
  // Offline units wait for their restart. A record that was never attached has no
  // receive packet and maybe no device (global_unit): nothing can be sent for it.
  if ((up->qdu_flags & QDU_OFFLINE) != 0 || (up->qdu_flags & QDU_ATTACHED) == 0) {
    return;
  }
  if (!qd_assert(input >= 0 && input < SFSM_NINPUTS && up->qdu_state < SFSM_NSTATES,
                 "input < SFSM_NINPUTS && state < SFSM_NSTATES")) {
    return;
  }
  const qd_sfsm_entry& e = scsi_fsmtab[up->qdu_state][input];
  qd_trace_unit(up, "sfsm ~/~ in=~ st=~>~\n", up->qdu_bus, up->qdu_target, input, up->qdu_state,
                e.next);
  // The next state is stored first: an action may feed a further input against it.
  up->qdu_state = e.next;
  e.action(up);
}

void qdm_nop(qd_unit*) {}

void qdm_trap(qd_unit* up) {
  qdlogerr(0, up, nullptr, "Trap at state %u", static_cast<unsigned>(up->qdu_state));
  cmn_err(CE_WARN, "SCSI FSM trap");
  qdm_unit_offline(up);
}

void qdm_scsi_take_down(qd_unit* up) {
  qd_trace_unit(up, "transport down\n");
  up->qdu_flags &= ~QDU_TRANSPORT_UP;
  cv_broadcast(&up->qd_up_cv);
}

int qdm_scsi_backoff(int backoff) {
  if (backoff <= 4) {
    return 5;
  }
  if (backoff <= 9) {
    return 10;
  }
  if (backoff <= 19) {
    return 20;
  }
  if (backoff <= 49) {
    return 50;
  }
  if (backoff <= 149) {
    return 150;
  }
  return 300;
}
