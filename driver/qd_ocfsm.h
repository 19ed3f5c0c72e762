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
