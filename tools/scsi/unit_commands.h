// The SCSI commands the unit tools send through QMXSCSI, as record fillers, and the unit
// record they are sent for.
#pragma once

#include <cstdint>
#include <string>

#include "qdio.h"

namespace kvscsi {

inline constexpr std::uint8_t kMainUnit = 255; // pod number of a main SCSI unit

struct kv_dev {
  std::uint8_t bus = 0;
  std::uint8_t target = 0;
  std::uint8_t pod_capable = 0;
  std::uint8_t pod = kMainUnit;
  std::string product{}; // at most 16 characters
  std::string version{}; // 4 characters for a main unit, up to 6 for a pod
};

// Lengths of the data the commands move.
inline constexpr std::uint8_t kInquiryLength = 0xE9;
inline constexpr std::uint8_t kSenseLength = 0xE9;
inline constexpr std::uint8_t kVendorStatusLength = 16;
inline constexpr std::uint8_t kInventoryLength = 192;
inline constexpr std::uint32_t kBlockMax = 128;
// Sizes and offsets travel in 24 bits.
inline constexpr std::uint32_t kImageLimit = 1u << 24;

// Select masks: bit n is pod n; 0 the main unit.
inline constexpr std::uint8_t kAllPods = 0x7F;

// Each filler sets direction, address, CDB (bytes not named are 0), data length and
// time-out of `sb`; the data area and the fields the driver sets stay as they are.
void set_test_unit_ready(qd_scsi_cmd& sb, const kv_dev& unit);
void set_inquiry(qd_scsi_cmd& sb, const kv_dev& unit);
void set_request_sense(qd_scsi_cmd& sb, const kv_dev& unit);
// READ BUFFER: vendor status words, pod inventory.
void set_vendor_status(qd_scsi_cmd& sb, const kv_dev& unit);
void set_pod_inventory(qd_scsi_cmd& sb, const kv_dev& unit);
// WRITE BUFFER mode 5: reprogramming mode, select, data block (the block already in the
// data area), firmware restart.
void set_prog_mode(qd_scsi_cmd& sb, const kv_dev& unit);
void set_select(qd_scsi_cmd& sb, const kv_dev& unit, std::uint8_t mask, std::uint32_t size);
void set_data_block(qd_scsi_cmd& sb, const kv_dev& unit, std::uint32_t length,
                    std::uint32_t offset);
void set_restart(qd_scsi_cmd& sb, const kv_dev& unit);

} // namespace kvscsi
