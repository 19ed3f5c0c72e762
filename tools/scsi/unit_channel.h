// The command layer of the update tool: one direct SCSI request record, `sb`, reused for
// every command to a unit through the diagnostic node, the classification and reporting of
// each outcome, the sense report, the pod inventory and the download of an image.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "console.h"
#include "diag_port.h"
#include "qdio.h"
#include "unit_commands.h"

namespace kvscsi {

// Attempts of a command the transport keeps calling busy, one second apart.
inline constexpr int kBusyAttempts = 8;

// Results of download and of the file step.
inline constexpr int kDownloaded = 0;
inline constexpr int kIncomplete = 1;    // failed after the first block: firmware incomplete
inline constexpr int kNotProgrammed = 3; // nothing programmed

// The text of every named vendor status bit set in `word`, in the order they are printed.
std::string vendor_status_text(std::uint16_t word);
// Whether a vendor status word marks a unit with a condition.
constexpr bool has_condition(std::uint16_t word) {
  return (word & 0x8000) != 0 && (word & 0x7FFF) != 0;
}
const char* sense_key_name(std::uint8_t key);

class UnitChannel {
public:
  UnitChannel(DiagPort& port, Console& con) : port_(port), con_(con) {}

  // Sends `sb` as it stands; 0 success, 1 failure (reported unless quiet).
  int do_scsi_cmd(bool quiet);

  int do_test_unit_ready(const kv_dev& unit);
  // 0 and the record filled when the address holds one of our units; else 1.
  int do_inquiry(kv_dev& unit);
  // The pod inventory into ver_info, which is changed only on success.
  int read_version(const kv_dev& unit);
  int prog_mode(const kv_dev& unit);
  int select_unit(const kv_dev& unit, std::uint8_t mask, std::uint32_t size);
  // The block must already stand in the data area.
  int send_data(const kv_dev& unit, std::uint32_t length, std::uint32_t offset);
  int restart_fas(const kv_dev& unit);
  void do_req_sense(const kv_dev& unit);

  // Selects the unit(s) of `mask`, asks to go on and sends the open file whole, in blocks
  // of 128 bytes from its current position: kDownloaded, kIncomplete or kNotProgrammed.
  int download(const kv_dev& unit, std::FILE* file, std::uint8_t mask, std::uint64_t size);

  qd_scsi_cmd& record() { return sb; }
  std::array<std::uint8_t, kInventoryLength>& inventory() { return ver_info; }

private:
  void report_transport(const char* what);

  DiagPort& port_;
  Console& con_;
  qd_scsi_cmd sb{};
  std::array<std::uint8_t, kInventoryLength> ver_info{};
};

} // namespace kvscsi
