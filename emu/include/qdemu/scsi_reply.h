// Pieces every emulated SCSI target needs: standard inquiry data, data-in answers cut to
// the allocation length, and sense kept for REQUEST SENSE.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "kemu/hba.h"

namespace qdemu {

// Additional sense codes the emulated targets use.
namespace asc {
inline constexpr std::uint8_t kNone = 0x00;
inline constexpr std::uint8_t kNotReady = 0x04;     // qualifier 0x01: becoming ready
inline constexpr std::uint8_t kBadOpcode = 0x20;    // invalid command operation code
inline constexpr std::uint8_t kBadCdbField = 0x24;  // invalid field in CDB
inline constexpr std::uint8_t kBadParameter = 0x26; // invalid field in parameter list
inline constexpr std::uint8_t kPowerOn = 0x29;      // power on, reset or bus device reset
inline constexpr std::uint8_t kVendor = 0x80;       // vendor unique
} // namespace asc

inline constexpr std::size_t kStandardInquiryLength = 36;

struct InquiryIdentity {
  std::uint8_t device_type = 0; // byte 0: qualifier and peripheral device type
  std::string_view vendor;      // blank padded (or cut) to 8
  std::string_view product;     // to 16
  std::string_view revision;    // to 4
};

std::array<std::uint8_t, kStandardInquiryLength> standard_inquiry(const InquiryIdentity& id);

// Big-endian fields of a CDB.
inline std::uint32_t cdb24(std::span<const std::uint8_t> cdb, std::size_t at) {
  if (cdb.size() < at + 3) {
    return 0;
  }
  return static_cast<std::uint32_t>(cdb[at]) << 16 | static_cast<std::uint32_t>(cdb[at + 1]) << 8 |
         cdb[at + 2];
}

// Copies what fits of `bytes` into the command's data-in area, at most `allocation` bytes;
// the rest of the area is the residual.
kemu::ScsiAnswer reply_data(kemu::ScsiCommand& cmd, std::span<const std::uint8_t> bytes,
                            std::size_t allocation);

// The sense of a target's last check condition. A check condition is made here so that
// its sense is kept; REQUEST SENSE takes it.
class SenseKeeper {
public:
  kemu::ScsiAnswer check(std::uint8_t key, std::uint8_t add_code = asc::kNone,
                         std::uint8_t qualifier = 0, bool ili = false);
  bool holds() const { return !sense_.empty(); }
  // The kept sense, cleared.
  std::vector<std::uint8_t> take();
  void clear() { sense_.clear(); }

private:
  std::vector<std::uint8_t> sense_;
};

} // namespace qdemu
