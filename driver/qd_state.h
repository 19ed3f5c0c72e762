// Driver-wide state. Every driver-wide variable is defined in qd_state.cpp and given its
// load-time value by qd_reset_driver_state(), which _init calls at each load (so one
// process can load and unload the driver many times) and tests call to start afresh.
// State that lasts across calls lives in such variables, never in function statics.
#pragma once

#include "ksys/mutex.h"

struct termios;

// Driver clock in seconds, advanced by the driver timer; 1000 at load.
extern int qd_systime;
inline constexpr int QD_SYSTIME_START = 1000;

// Broadcast by the driver timer every second; hold-offs and the close's output wait sleep
// on it.
extern kcondvar_t qd_lbolt;
// The termios of the root node property "ttymodes"; null when there is none.
extern termios* dflt_termios;

// Returns every driver-wide variable to its load-time value. Memory still tracked is
// forgotten, not freed: qd_freeall comes first when the previous load left any.
void qd_reset_driver_state();
