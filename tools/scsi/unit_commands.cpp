#include "unit_commands.h"

#include <algorithm>
#include <initializer_list>

namespace kvscsi {
namespace {

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kWriteBuffer = 0x3B;
constexpr std::uint8_t kReadBuffer = 0x3C;

constexpr std::uint8_t kWriteBufferMode = 5;
constexpr std::uint8_t kReadBufferMode = 1;
constexpr std::uint8_t kBufferControl = 0x80;

// WRITE BUFFER steps and READ BUFFER pages (CDB byte 2).
constexpr std::uint8_t kStepProgMode = 0;
constexpr std::uint8_t kStepSelect = 1;
constexpr std::uint8_t kStepData = 2;
constexpr std::uint8_t kStepRestart = 4;
constexpr std::uint8_t kPageVendorStatus = 0;
constexpr std::uint8_t kPageInventory = 1;

constexpr std::uint8_t kShortTimeout = 1;
constexpr std::uint8_t kDataTimeout = 180;

void fill(qd_scsi_cmd& sb, const kv_dev& unit, std::uint8_t flags,
          std::initializer_list<std::uint8_t> cdb, std::uint8_t data_len,
          std::uint8_t timeout = kShortTimeout) {
  sb.flags = flags;
  sb.bus = unit.bus;
  sb.target = unit.target;
  sb.lun = 0;
  sb.cdb_len = static_cast<std::uint8_t>(cdb.size());
  sb.data_len = data_len;
  sb.timeout = timeout;
  std::fill(std::begin(sb.cdb), std::end(sb.cdb), 0);
  std::copy(cdb.begin(), cdb.end(), sb.cdb);
}

constexpr std::uint8_t byte_of(std::uint32_t v, unsigned shift) {
  return static_cast<std::uint8_t>(v >> shift);
}

// A 10-byte buffer CDB with two 24-bit big-endian fields at bytes 3-5 and 6-8.
void buffer_cdb(qd_scsi_cmd& sb, const kv_dev& unit, std::uint8_t flags, std::uint8_t op,
                std::uint8_t mode, std::uint8_t id, std::uint32_t a, std::uint32_t b,
                std::uint8_t data_len, std::uint8_t timeout = kShortTimeout) {
  fill(sb, unit, flags,
       {op, mode, id, byte_of(a, 16), byte_of(a, 8), byte_of(a, 0), byte_of(b, 16), byte_of(b, 8),
        byte_of(b, 0), kBufferControl},
       data_len, timeout);
}

} // namespace

void set_test_unit_ready(qd_scsi_cmd& sb, const kv_dev& unit) {
  fill(sb, unit, 0, {kTestUnitReady, 0, 0, 0, 0, 0}, 0);
}

void set_inquiry(qd_scsi_cmd& sb, const kv_dev& unit) {
  fill(sb, unit, QD_SCSI_DATA_IN, {kInquiry, 0, 0, 0, kInquiryLength, 0}, kInquiryLength);
}

void set_request_sense(qd_scsi_cmd& sb, const kv_dev& unit) {
  fill(sb, unit, QD_SCSI_DATA_IN, {kRequestSense, 0, 0, 0, kSenseLength, 0}, kSenseLength);
}

void set_vendor_status(qd_scsi_cmd& sb, const kv_dev& unit) {
  buffer_cdb(sb, unit, QD_SCSI_DATA_IN, kReadBuffer, kReadBufferMode, kPageVendorStatus, 0,
             kVendorStatusLength, kVendorStatusLength);
}

void set_pod_inventory(qd_scsi_cmd& sb, const kv_dev& unit) {
  buffer_cdb(sb, unit, QD_SCSI_DATA_IN, kReadBuffer, kReadBufferMode, kPageInventory, 0,
             kInventoryLength, kInventoryLength);
}

void set_prog_mode(qd_scsi_cmd& sb, const kv_dev& unit) {
  buffer_cdb(sb, unit, 0, kWriteBuffer, kWriteBufferMode, kStepProgMode, 0, 0, 0);
}

void set_select(qd_scsi_cmd& sb, const kv_dev& unit, std::uint8_t mask, std::uint32_t size) {
  // Byte 3 is the mask, bytes 4 and 5 stay 0.
  buffer_cdb(sb, unit, 0, kWriteBuffer, kWriteBufferMode, kStepSelect, std::uint32_t{mask} << 16,
             size, 0);
}

void set_data_block(qd_scsi_cmd& sb, const kv_dev& unit, std::uint32_t length,
                    std::uint32_t offset) {
  buffer_cdb(sb, unit, QD_SCSI_DATA_OUT, kWriteBuffer, kWriteBufferMode, kStepData, offset, length,
             static_cast<std::uint8_t>(length), kDataTimeout);
}

void set_restart(qd_scsi_cmd& sb, const kv_dev& unit) {
  buffer_cdb(sb, unit, 0, kWriteBuffer, kWriteBufferMode, kStepRestart, 0, 0, 0);
}

} // namespace kvscsi
