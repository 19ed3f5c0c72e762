// The one-second driver timer: the driver clock, the 30-second poll of every enabled line
// of the SCSI units, the keep-alive polls of Lanvara units and the "qd_lbolt" wake-up.
#pragma once

// Driver-wide data of the timer (defined in qd_state.cpp).
extern int qd_timer_running; // 1 while the timer is armed
extern int qd_going_down;    // set by unload: the timer stops at its next run
extern int qd_last_scan;     // qd_systime of the last line scan

inline constexpr int QD_SCAN_INTERVAL = 30;  // seconds between line scans
inline constexpr int QD_MISSED_POLLS = 6;    // the scan that finds this many takes the line offline
inline constexpr int QD_VRN_POLL_EVERY = 10; // seconds between visits of one Lanvara unit
inline constexpr int QD_VRN_POLL_LIMIT = 180; // more seconds than this without an answer: offline

void qdf_timer(void* arg);
