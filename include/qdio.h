// Ioctl commands of the qd driver and their records, shared by the driver and the programs.
// Records have the same layout in every build.
#pragma once

#include <cstddef>
#include <cstdint>

// Private codes: direction | size << 16 | 'T' << 8 | number.
inline constexpr std::uint32_t QMXFASCMD = 0x8008540E;    // diagnostic: 8-byte FAS command
inline constexpr std::uint32_t QMXSETEXTCTL = 0x80445414; // port: qd_ext_ctl in
inline constexpr std::uint32_t QMXGETEXTCTL = 0x40445415; // port: qd_ext_ctl out
inline constexpr std::uint32_t QMXSCSI = 0xC0FF5417;      // diagnostic: qd_scsi_cmd both ways
inline constexpr std::uint32_t QMXLOCK = 0x80045418;      // diagnostic: bus * 256 + target
inline constexpr std::uint32_t QMXUNLOCK = 0x80045419;    // diagnostic: bus * 256 + target
inline constexpr std::uint32_t QMXTRCBUF = 0x800C541A;    // diagnostic: qd_trc_req
inline constexpr std::uint32_t QMXFLUSH = 0x8004541B;     // diagnostic: minor number of a port
inline constexpr std::uint32_t VRNGETUPTR = 0x401C5480;   // unit node: vrn_uptr_info out
inline constexpr std::uint32_t VRNSETUPTR = 0x801C5481;   // unit node: vrn_uptr_info in
inline constexpr std::uint32_t VRNONLINE = 0x20005482;    // unit node
inline constexpr std::uint32_t VRNOFFLINE = 0x20005483;   // unit node
inline constexpr std::uint32_t STGET = 0x5800;            // port: refused
inline constexpr std::uint32_t STSET = 0x5801;            // port: refused

// The ioctl block carries the code as an int.
inline constexpr int qd_ioc(std::uint32_t code) {
  return static_cast<int>(code);
}

// Extended port control (QMXGETEXTCTL, QMXSETEXTCTL): 68 bytes in the host's byte order.
struct qd_ext_ctl {
  std::uint32_t control; // QDX_* below; other bits 0 when read, ignored when set
  std::uint32_t lcltmr;  // s: close watchdog of a local line
  std::uint32_t cltmr;   // s: close watchdog
  std::uint32_t dtrdel;  // clock ticks: DTR delay
  std::uint32_t grddel;  // clock ticks: guard band delay
  std::uint32_t louttmr; // s: output completion watchdog of a local line, 0 off
  std::uint32_t outtmr;  // s: output completion watchdog, 0 off
  char product[16];      // model name, NUL-padded (no NUL at 16 characters); read only
  char firmware[5];      // firmware revision and a NUL; read only
  std::uint8_t target;   // SCSI target or Lanvara unit number; read only
  std::uint8_t reserved[18];
};
static_assert(sizeof(qd_ext_ctl) == 68);
static_assert(offsetof(qd_ext_ctl, control) == 0 && offsetof(qd_ext_ctl, lcltmr) == 4 &&
              offsetof(qd_ext_ctl, cltmr) == 8 && offsetof(qd_ext_ctl, dtrdel) == 12 &&
              offsetof(qd_ext_ctl, grddel) == 16 && offsetof(qd_ext_ctl, louttmr) == 20 &&
              offsetof(qd_ext_ctl, outtmr) == 24 && offsetof(qd_ext_ctl, product) == 28 &&
              offsetof(qd_ext_ctl, firmware) == 44 && offsetof(qd_ext_ctl, target) == 49 &&
              offsetof(qd_ext_ctl, reserved) == 50);

// qd_ext_ctl control word.
inline constexpr std::uint32_t QDX_ERR_LEVEL = 0x0f; // error level 0-2
inline constexpr std::uint32_t QDX_SPEED_EXT = 0xf0; // speed extension, added to speed indexes
inline constexpr unsigned QDX_SPEED_EXT_SHIFT = 4;
inline constexpr std::uint32_t QDX_LOOPBACK = 0x100; // hardware local loopback

// QMXTRCBUF: which trace ring to fetch, and where to. The unit table index is
// (lanvara ? 256 : 0) + bus * 16 + target.
struct qd_trc_req {
  std::uint8_t type;    // QD_TRC_GLOBAL, QD_TRC_UNIT or QD_TRC_LINE
  std::uint8_t bus;     // bus of a SCSI unit, or bits 4-7 of a Lanvara unit number
  std::uint8_t target;  // target of a SCSI unit, or bits 0-3 of a Lanvara unit number
  std::uint8_t line;    // port (line rings only)
  std::uint8_t lanvara; // non-zero: a Lanvara unit
  std::uint8_t pad[3];
  std::uint32_t buffer; // user address that receives the ring's text, 32 bits in every build
};
static_assert(sizeof(qd_trc_req) == 12);
static_assert(offsetof(qd_trc_req, type) == 0 && offsetof(qd_trc_req, bus) == 1 &&
              offsetof(qd_trc_req, target) == 2 && offsetof(qd_trc_req, line) == 3 &&
              offsetof(qd_trc_req, lanvara) == 4 && offsetof(qd_trc_req, buffer) == 8);

inline constexpr std::uint8_t QD_TRC_GLOBAL = 0;
inline constexpr std::uint8_t QD_TRC_UNIT = 1;
inline constexpr std::uint8_t QD_TRC_LINE = 2;

// QMXSCSI: one SCSI command to the device at bus and target, handed back with the outcome.
inline constexpr int QD_SCSI_CDB_MAX = 12;
inline constexpr int QD_SCSI_DATA_MAX = 233;

struct qd_scsi_cmd {
  std::uint8_t flags;     // QD_SCSI_DATA_IN, QD_SCSI_DATA_OUT; 0 no data
  std::uint8_t bus;       // 0-15
  std::uint8_t target;    // 0-15
  std::uint8_t lun;       // must be 0
  std::uint8_t cdb_len;   // 1-12
  std::uint8_t data_len;  // 0-233
  std::uint8_t tran_stat; // set by the driver: scsi_transport's answer as a byte
  std::uint8_t scsi_stat; // set by the driver: the status byte
  std::uint8_t reason;    // set by the driver: the packet's completion reason
  std::uint8_t timeout;   // seconds
  std::uint8_t cdb[QD_SCSI_CDB_MAX];
  std::uint8_t data[QD_SCSI_DATA_MAX];
};
static_assert(sizeof(qd_scsi_cmd) == 255);
static_assert(offsetof(qd_scsi_cmd, flags) == 0 && offsetof(qd_scsi_cmd, bus) == 1 &&
              offsetof(qd_scsi_cmd, target) == 2 && offsetof(qd_scsi_cmd, lun) == 3 &&
              offsetof(qd_scsi_cmd, cdb_len) == 4 && offsetof(qd_scsi_cmd, data_len) == 5 &&
              offsetof(qd_scsi_cmd, tran_stat) == 6 && offsetof(qd_scsi_cmd, scsi_stat) == 7 &&
              offsetof(qd_scsi_cmd, reason) == 8 && offsetof(qd_scsi_cmd, timeout) == 9 &&
              offsetof(qd_scsi_cmd, cdb) == 10 && offsetof(qd_scsi_cmd, data) == 22);

inline constexpr std::uint8_t QD_SCSI_DATA_IN = 0x01;  // from the device
inline constexpr std::uint8_t QD_SCSI_DATA_OUT = 0x02; // to the device

// tran_stat values.
inline constexpr std::uint8_t QD_SCSI_ACCEPTED = 1;
inline constexpr std::uint8_t QD_SCSI_BUSY = 0;
inline constexpr std::uint8_t QD_SCSI_BADPKT = 0xFF;
inline constexpr std::uint8_t QD_SCSI_FATAL = 0xFE;

// VRNGETUPTR / VRNSETUPTR: the description of a Lanvara unit.
struct vrn_uptr_info {
  char model_name[16];    // NUL-padded; no NUL when 16 characters long
  char fw_version[8];     // 4 characters and a NUL
  std::uint32_t net_addr; // IPv4, network byte order
};
static_assert(sizeof(vrn_uptr_info) == 28);
static_assert(offsetof(vrn_uptr_info, model_name) == 0 &&
              offsetof(vrn_uptr_info, fw_version) == 16 && offsetof(vrn_uptr_info, net_addr) == 24);
