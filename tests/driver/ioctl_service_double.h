// A stand-in for the driver's ioctl dispatch (qdf_service_ioctl), which comes with the
// ioctl handlers. Until the driver has its own, the driver's tests link this one: it runs
// the test's handler under the line's unit mutex and replies outcome 0 itself, as the
// dispatch does. Delete it (and let the tests use the real handlers) when the driver's own
// arrives: the linker will say so, as both define the routine.
#pragma once

#include <functional>
#include <vector>

#include "ksys/stream.h"

struct qd_line;

struct IoctlServiceDouble {
  // Returns the service outcome; null: acknowledge every ioctl.
  std::function<int(queue_t* wq, mblk_t* mp, qd_line* lp)> handler;
  std::vector<int> serviced; // ioctl codes in the order they were serviced
};

// The one instance the stand-in consults; tests reset it.
IoctlServiceDouble& ioctl_service_double();
