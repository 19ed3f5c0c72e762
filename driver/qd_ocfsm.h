// The open/close state machine of a port, and bringing a line up and down at its unit.
#pragma once

struct qd_line;

// Inputs.
inline constexpr int OC_IN_OPEN_LOCAL = 0;
inline constexpr int OC_IN_OPEN_MODEM = 1;
inline constexpr int OC_IN_OPEN_DIALOUT = 2;
inline constexpr int OC_IN_CARRIER_CHECK = 3;
inline constexpr int OC_IN_CARRIER_UP = 4;
inline constexpr int OC_IN_SIGNAL = 5;
inline constexpr int OC_IN_CLOSE = 6;
inline constexpr int OC_IN_CLOSE_DIALOUT = 7;
inline constexpr int OC_IN_ERROR = 8;
inline constexpr int OC_NINPUTS = 9;

// Actions.
inline constexpr unsigned char OCA_BUSY = 0;
inline constexpr unsigned char OCA_DEINIT = 1;
inline constexpr unsigned char OCA_INIT = 2;
inline constexpr unsigned char OCA_NOP = 3;
inline constexpr unsigned char OCA_REINIT = 4;
inline constexpr unsigned char OCA_NODEV = 5;
inline constexpr unsigned char OCA_TRAP = 6;
inline constexpr unsigned char OCA_RAISE_DTR = 7;
inline constexpr unsigned char OCA_CHECK_CARRIER = 8;
inline constexpr unsigned char OCA_WAIT = 9;

// Action results.
inline constexpr int OC_DONE = 0;
inline constexpr int OC_FAILED = 1;
inline constexpr int OC_KEEP_WAITING = 2;

// One entry of the open/close table: the next state and the action to run.
struct oc_fsm_entry {
  unsigned char next_state;
  unsigned char action;
};
inline constexpr int OC_NSTATES = 5;
extern const oc_fsm_entry oc_fsmtab[OC_NSTATES][OC_NINPUTS];

// All but the two timeout callbacks are called with the line's unit mutex held.
int qdf_oc_manager(qd_line* lp, int input);
int qdf_oc_fsm(qd_line* lp, int input, int nested);
int qdf_oc_action(qd_line* lp, int action, int nested);
int qdf_wait_for_carrier(qd_line* lp);
void qdf_guard_wakeup(void* lp);
void qdf_edp_timeout(void* lp);
int qdf_init_line(qd_line* lp);   // 0 or errno
int qdf_deinit_line(qd_line* lp); // 0, or 1 when not cleanly disabled
int qdf_enable_fw(qd_line* lp);   // 0 or errno
int qdf_disable_fw(qd_line* lp);  // 0, or 1 on failure
void qdf_line_offline(qd_line* lp);

// Clock ticks a line is held after a close, and the least time DTR stays low before it is
// raised again: dtrdel for the dial-out node and modem lines, grddel for local lines.
int qdf_guard_delay(const qd_line* lp);
// For unload, with the unit mutex held and no open or close running on the line: cancels a
// pending guard wake-up (or waits for one already running), so that no callout outlives
// the record.
void qdf_guard_cancel(qd_line* lp);
