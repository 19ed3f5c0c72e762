// The topology file: the emulated hardware qdhost builds (etc/topology is the default).
//
// One statement per line; '#' starts a comment that runs to the end of the line; blank
// lines are ignored. Words are separated by blanks; a word may be double-quoted to hold
// blanks. Options are NAME=VALUE words and may come in any order after the fixed words.
//
//   qmx A:T MODEL [vendor=V] [firmware=F] [product=P] [pods=MASK] [redundant]
//                 [carrier=on|off] [dsr=on|off] [cts=on|off]
//       An emulated QMX unit on adapter A (0-15), target T (0-15), LUN 0. MODEL is a name
//       of the model table (not a Lanvara one). vendor: the INQUIRY vendor, default
//       "OrvaneCo" (the driver also takes "Brannoc"; anything else is refused by it);
//       firmware: the 4-character revision, default "V2.3"; product: the INQUIRY product,
//       default the model name; pods (pod models only): bit n set = pod n fitted, default
//       0x7f; redundant: the first printer port is the A/B switch. carrier, dsr and cts
//       are the defaults of the unit's ports (see below).
//
//   lanvara ADDRESS MODEL [listen=PORT] [firmware=F] [carrier=on|off] [dsr=on|off]
//                         [cts=on|off]
//       An emulated Lanvara module on TCP, listening on ADDRESS (a loopback address,
//       127.0.0.0/8, and no other), port PORT (default 10001; 0: any free port). MODEL is a
//       Lanvara model of the table; firmware default "V6.0". The driver learns of it from
//       a vrnN="MODEL,ADDRESS" entry of qd.conf, and the relay daemon connects the two.
//
//   port LINES KIND [PATH] [carrier=on|off] [dsr=on|off] [cts=on|off] [paced] [nowire]
//       What is plugged into ports of the qmx or lanvara unit above. LINES: a port
//       number, a range "4-7", a list "0,2,9-11", or "all": every port of the unit (in
//       fitted pods) that no other port line names, whichever comes first. A port named
//       twice is refused, as is a number the model has no port for. KIND:
//         loopback  a plug: what the port sends comes back to it; DTR drives DSR and
//                   carrier, RTS drives CTS (nowire: it does not, and carrier, dsr, cts
//                   apply)
//         pty       a pseudo-terminal: qdhost links it as "<node>.pty" in the device
//                   directory, so that a terminal program can sit at the other end. The
//                   port's DTR and RTS are not passed on; its carrier, DSR and CTS stay as
//                   set here, whether or not a program has the terminal open.
//         file      PATH: what the port sends is appended to the file (relative to the
//                   topology file's directory; quote a path that holds '=' or blanks);
//                   nothing comes in. For printers and checks.
//         none      nothing plugged in
//       Modem inputs of a serial port: carrier, dsr and cts as given on the port line,
//       else on the unit line, else on for pty and file, off for none and an unwired
//       plug. paced: the port sends at its line's speed instead of at once.
//       Ports no port line names have nothing plugged in.
//
//   device A:T TYPE [vendor=V] [product=P] [revision=R]
//       Another SCSI device for the bus scan. TYPE: disk, tape, processor or a device type
//       number 0-31.
//
// A statement that cannot be understood refuses the whole file with "FILE:LINE: reason".
#pragma once

#include "kemu/driver_conf.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qdhost {

struct ModemInputs {
  std::optional<bool> carrier, dsr, cts;
};

struct PortSetup {
  enum class Kind { none, loopback, pty, file };
  Kind kind = Kind::none;
  std::string path;  // file: as written
  bool wired = true; // loopback: DTR and RTS drive the inputs
  bool paced = false;
  ModemInputs modem;
  int line_no = 0; // where it was given
};

struct QmxSetup {
  int adapter = 0;
  int target = 0;
  std::string model;
  std::string vendor = "OrvaneCo";
  std::string firmware = "V2.3";
  std::string product; // empty: the model name
  std::uint8_t pods = 0x7f;
  bool redundant = false;
  ModemInputs modem; // defaults of its ports
  std::map<unsigned, PortSetup> ports;
  int line_no = 0;
};

inline constexpr std::uint16_t kLanvaraPort = 10001;

struct LanvaraSetup {
  std::string address; // dotted quad in 127.0.0.0/8
  std::uint16_t listen = kLanvaraPort;
  std::string model;
  std::string firmware = "V6.0";
  ModemInputs modem; // defaults of its ports
  std::map<unsigned, PortSetup> ports;
  int line_no = 0;
};

struct DeviceSetup {
  int adapter = 0;
  int target = 0;
  std::uint8_t type = 0;
  std::string vendor = "QUANTRIX";
  std::string product = "QD-540S";
  std::string revision = "1.05";
  int line_no = 0;
};

struct Topology {
  std::vector<QmxSetup> units;
  std::vector<LanvaraSetup> modules;
  std::vector<DeviceSetup> devices;
};

// Where and why a topology file was refused: the same record as a driver.conf error.
using TopologyError = kemu::ConfError;

std::variant<Topology, TopologyError> parse_topology(std::string_view file, std::string_view text);

const char* kind_name(PortSetup::Kind kind);

// The modem inputs a port gets: its own, else its unit's (`unit`), else its kind's.
bool carrier_of(const ModemInputs& unit, const PortSetup& port);
bool dsr_of(const ModemInputs& unit, const PortSetup& port);
bool cts_of(const ModemInputs& unit, const PortSetup& port);

} // namespace qdhost
