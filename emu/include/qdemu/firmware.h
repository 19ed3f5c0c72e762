// What a unit's firmware revision text ("V2.3", "V6.0") decides about the commands it knows.
#pragma once

#include <string_view>

namespace qdemu {

struct FirmwareFeatures {
  // FAS_RESET and FAS_WAIT_SEND exist (2.3 and later, as the driver assumes).
  bool reset_and_wait_send = false;
  // FAS_UNIT_RESET restarts a Lanvara module remotely (6.0 and later).
  bool remote_reset = false;
};

// Reads the major digit at index 1 and the minor digit at index 3, as the driver does;
// a text that does not have them gives no features.
FirmwareFeatures firmware_features(std::string_view revision);

} // namespace qdemu
