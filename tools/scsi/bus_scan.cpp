#include "bus_scan.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "qdio.h"

namespace kvscsi {
namespace {

constexpr std::array<const char*, 16> kTypeNames = {
    "Disk   ", "Tape   ", "Printer", "Proc   ", "WORM   ", "CDROM  ", "Scanner", "Optical",
    "Changer", "Comm   ", "Illegal", "Illegal", "Illegal", "Illegal", "Illegal", "Illegal"};

constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kInquiryLength = 0xE9;

// An inquiry field at its full width, ended early only by a NUL.
std::string field(const qd_scsi_cmd& sb, std::size_t at, std::size_t width) {
  const auto* p = reinterpret_cast<const char*>(sb.data) + at;
  return std::string(p, strnlen(p, width));
}

enum class Answer { kAnswered, kNone, kBusy, kRefused };

Answer inquire(DiagPort& port, qd_scsi_cmd& sb, int bus, int target) {
  sb = qd_scsi_cmd{};
  sb.flags = QD_SCSI_DATA_IN;
  sb.bus = static_cast<std::uint8_t>(bus);
  sb.target = static_cast<std::uint8_t>(target);
  sb.lun = 0;
  sb.cdb_len = 6;
  sb.cdb[0] = kInquiry;
  sb.cdb[4] = kInquiryLength;
  sb.data_len = kInquiryLength;
  sb.timeout = 1;
  for (int attempt = 0; attempt < kScanAttempts; ++attempt) {
    if (port.request(QMXSCSI, &sb, sizeof sb) != 0) {
      return errno == ENODEV ? Answer::kNone : Answer::kRefused;
    }
    if (sb.tran_stat == QD_SCSI_ACCEPTED && sb.scsi_stat == 0 && sb.reason == 0) {
      return Answer::kAnswered;
    }
    if (sb.tran_stat != QD_SCSI_BUSY) {
      return Answer::kNone;
    }
  }
  return Answer::kBusy;
}

} // namespace

const char* device_type_name(std::uint8_t byte0) {
  return kTypeNames[byte0 & 0x0F];
}

int scan_buses(DiagPort& port, Console& con) {
  con.out("Scanning SCSI bus...\n");
  qd_scsi_cmd sb{};
  for (int bus = 0; bus < kScanBuses; ++bus) {
    for (int target = 0; target < kScanTargets; ++target) {
      con.outf("\rBus %u Target %u: ", bus, target);
      switch (inquire(port, sb, bus, target)) {
      case Answer::kAnswered:
        con.outf(" %s %s %s %s\n", device_type_name(sb.data[0]), field(sb, 16, 16).c_str(),
                 field(sb, 8, 8).c_str(), field(sb, 32, 4).c_str());
        break;
      case Answer::kBusy:
        con.out("device busy, can't identify\n");
        break;
      case Answer::kNone:
        break;
      case Answer::kRefused:
        con.error_text(errno);
        con.err("\nQMXDIRECT not supported, check driver revision.\n");
        return 1;
      }
    }
  }
  con.out("\r                              \r");
  return 0;
}

} // namespace kvscsi
