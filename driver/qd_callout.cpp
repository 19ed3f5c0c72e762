// Telling a stale timeout callback from the one its record armed.
#include "qd_callout.h"

bool qd_callout_claim(timeout_id_t* tid, void (*func)(void*), void* arg) {
  if (*tid == nullptr) {
    return false;
  }
  // untimeout reports -1 for a callout that has started (this one, or another that is
  // waiting for the same mutex): either way exactly one of them gets through here.
  const clock_t left = untimeout(*tid);
  if (left >= 0) {
    *tid = timeout(func, arg, left);
    return false;
  }
  *tid = nullptr;
  return true;
}
