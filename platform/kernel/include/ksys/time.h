// Clock ticks, callouts and delays.
#pragma once

#include "ksys/types.h"

inline constexpr int hz = 100;

using timeout_id_t = void*; // nullptr is never a valid identifier

// Calls func(arg) once, ticks from now, in a context of its own (never on the caller's
// thread, even for 0 ticks).
timeout_id_t timeout(void (*func)(void*), void* arg, clock_t ticks);
// Cancels a callout that has not started; returns the ticks it had left, or -1 when it
// had already run, was running, or was unknown. Never waits for a running callout.
clock_t untimeout(timeout_id_t id);
// Blocks the calling context for that many ticks.
void delay(clock_t ticks);

inline constexpr int LBOLT = 4;
inline constexpr int TIME = 5;
// LBOLT: ticks since boot; TIME: seconds. 0 on success, -1 for an unknown parameter.
int drv_getparm(unsigned int parm, void* valuep);
clock_t ddi_get_lbolt();
clock_t drv_usectohz(clock_t usec);
