// Interim stand-ins for the diagnostic-node and unit-node ioctl handlers; see
// interim_ioctl.cpp. Delete both files when the real handlers arrive.
#pragma once

#include <vector>

struct InterimHandlers {
  std::vector<int> diag;     // codes handed to qdf_diag_ioctl, in order
  std::vector<int> unitnode; // codes handed to qdf_vrn_ioctl
};

InterimHandlers& interim_handlers();
