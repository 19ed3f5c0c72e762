// Telling, inside a timeout callback, whether the callout stored in a record is this one.
#pragma once

#include "ksys/time.h"

// Called by a timeout callback, under the mutex that guards *tid, after the callback has
// seen that its record still counts a callout as armed. A cancellation made under that
// mutex cannot stop a callback that has already started and waits for the mutex, and the
// record may have armed a newer callout since. Returns true when this run is the one to
// act (*tid is then null). Returns false when *tid names a newer callout that has not
// started: that one is re-armed with the time it had left (the new identifier stored) and
// this stale run must do nothing.
bool qd_callout_claim(timeout_id_t* tid, void (*func)(void*), void* arg);
