// Model lookup by product name, port kinds by layout and the per-port speed check.
#include "qmx_unittab.h"

#include <cstring>

namespace {

constexpr std::size_t kNameMax = 16; // the SCSI inquiry product field

constexpr std::uint32_t kLayout2S = 0x20000;
constexpr std::uint32_t kLayout2S1P = 0x20100;
constexpr std::uint32_t kLayout4S = 0x40000;
constexpr std::uint32_t kLayout8S = 0x80000;
constexpr std::uint32_t kLayout8S1P = 0x80100;
constexpr std::uint32_t kLayout16S = 0x100000;
constexpr std::uint32_t kLayout32S = 0x200000;
constexpr std::uint32_t kLayout126S = 0x7E0000;
constexpr std::uint32_t kLayoutPods = 0x1380700;
constexpr std::uint32_t kLayout3P = 0x300;

constexpr unsigned kPodPorts = 18; // port numbers per pod: serial 0-7, printer 8
constexpr unsigned kPodMaxPort = 125;

// Ports below nserial are serial, nothing else exists.
int serial_only(int serial, unsigned port, unsigned nserial) {
  return port < nserial ? serial : QD_PORT_NONE;
}

// Ports below nserial are serial and the one right after them is a printer.
int serial_then_lp(int serial, unsigned port, unsigned nserial) {
  if (port < nserial)
    return serial;
  return port == nserial ? QD_PORT_LP : QD_PORT_NONE;
}

} // namespace

int qd_baud_code(int index) {
  if (index < 0 || index >= QD_NBAUD)
    return QD_NO_SPEED;
  return baud[index].code;
}

const qd_unitinfo* qdm_get_unitinfo(const char* text) {
  if (text == nullptr)
    return nullptr;
  // The text need not be terminated within the 16 characters (inquiry data).
  std::size_t len = 0;
  while (len < kNameMax && text[len] != '\0' && text[len] != ' ' && text[len] != '\t')
    ++len;
  if (len == 0)
    return nullptr;
  for (const qd_unitinfo* row = qdunittab; row->name != nullptr; ++row) {
    if (std::strncmp(row->name, text, len) == 0 && row->name[len] == '\0')
      return row;
  }
  return nullptr;
}

int qdf_port_type(const qd_unitinfo* row, unsigned port) {
  if (row == nullptr)
    return QD_PORT_NONE;
  const int serial = QD_PORT_SERIAL | static_cast<int>(row->code & QDM_CODE_SPEED);
  switch (row->code & QDM_CODE_LAYOUT) {
  case kLayout2S:
    return serial_only(serial, port, 2);
  case kLayout2S1P:
    return serial_then_lp(serial, port, 2);
  case kLayout4S:
    return serial_only(serial, port, 4);
  case kLayout8S:
    return serial_only(serial, port, 8);
  case kLayout8S1P:
    return serial_then_lp(serial, port, 8);
  case kLayout16S:
    return serial_only(serial, port, 16);
  case kLayout32S:
    return serial_only(serial, port, 32);
  case kLayout126S:
    return serial_only(serial, port, 126);
  case kLayoutPods:
    if (port > kPodMaxPort)
      return QD_PORT_NONE;
    return serial_then_lp(serial, port % kPodPorts, 8);
  case kLayout3P:
    switch (port) {
    case 0:
    case 2:
      return QD_PORT_LP;
    case 1:
      return QD_PORT_LP_ALT;
    default:
      return QD_PORT_NONE;
    }
  default:
    return QD_PORT_NONE;
  }
}

int qdf_check_baud(const qd_unitinfo* row, int port, int code) {
  const int kind = qdf_port_type(row, static_cast<unsigned>(port));
  if (kind == QD_PORT_LP || kind == QD_PORT_LP_ALT)
    return 0;
  if (!qd_port_is_serial(kind))
    return 1;
  const int highest = kind & static_cast<int>(QDM_CODE_SPEED);
  switch (highest) {
  case 13:
  case 15:
  case 34:
  case 47:
    return (code > highest || code == QD_NO_SPEED) ? 1 : 0;
  default:
    return 1;
  }
}
