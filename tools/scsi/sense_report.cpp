// The report of a check condition: the sense key, and for the vendor unique key the
// status words of the main unit and its pods.
#include <array>

#include "unit_channel.h"

namespace kvscsi {
namespace {

constexpr std::uint8_t kVendorUnique = 9;
constexpr unsigned kStatusWords = 8;

constexpr std::array<const char*, 16> kSenseKeys = {
    "No Sense",       "Recoverable Error", "Not Ready",      "Medium Error",
    "Hardware Error", "Illegal Request",   "Unit Attention", "Write Protect",
    "Blank Check",    "Vendor Unique",     "Copy Aborted",   "Aborted Command",
    "Equal",          "Volume Overflow",   "Miscompare",     "Reserved"};

struct NamedBit {
  std::uint16_t bit;
  const char* text;
};

constexpr std::array<NamedBit, 9> kStatusBits = {{
    {0x4000, "Lost communication "},
    {0x0080, "EEPROM failed "},
    {0x0040, "Sequence error "},
    {0x0020, "Checksum error "},
    {0x0010, "Incomplete data "},
    {0x0008, "Version error "},
    {0x0004, "Flash memory not installed "},
    {0x0002, "Waiting "},
    {0x0001, "Original data "},
}};

} // namespace

const char* sense_key_name(std::uint8_t key) {
  return kSenseKeys[key & 0x0F];
}

std::string vendor_status_text(std::uint16_t word) {
  std::string text;
  for (const NamedBit& b : kStatusBits) {
    if ((word & b.bit) != 0) {
      text += b.text;
    }
  }
  return text;
}

void UnitChannel::do_req_sense(const kv_dev& unit) {
  set_request_sense(sb, unit);
  if (do_scsi_cmd(true) != 0) {
    con_.out("\nError performing SCSI Request Sense!\n");
    return;
  }
  const std::uint8_t key = sb.data[2] & 0x0F;
  con_.outf("Request Sense: sense key = %s\n", sense_key_name(key));
  if (key != kVendorUnique) {
    return;
  }
  set_vendor_status(sb, unit);
  if (do_scsi_cmd(true) != 0) {
    con_.out("\nError getting vendor unique sense info\n");
    return;
  }
  con_.out("\nVendor unique status:\n");
  for (unsigned i = 0; i < kStatusWords; ++i) {
    const auto word = static_cast<std::uint16_t>(sb.data[2 * i] | sb.data[2 * i + 1] << 8);
    con_.outf("%u: %04x\n", i, word);
    if (has_condition(word)) {
      if (i == 0) {
        con_.out("Main unit:   ");
      } else {
        con_.outf("Pod unit %u:  ", i - 1);
      }
      // No line end: the next word's line follows on the same output line.
      con_.out(vendor_status_text(word));
    }
  }
}

} // namespace kvscsi
