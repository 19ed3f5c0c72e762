// The bus scan tool's listing: an INQUIRY to every target of buses 0-7 through QMXSCSI,
// one line for every device that answers, whatever its kind.
#pragma once

#include <cstdint>

#include "console.h"
#include "diag_port.h"

namespace kvscsi {

inline constexpr int kScanBuses = 8;
inline constexpr int kScanTargets = 7;
inline constexpr int kScanAttempts = 20;

// The 7-character name of the peripheral device type in the low 4 bits of inquiry byte 0.
const char* device_type_name(std::uint8_t byte0);

// Scans and lists; the exit status: 0, or 1 when the driver refuses the request outright.
int scan_buses(DiagPort& port, Console& con);

} // namespace kvscsi
