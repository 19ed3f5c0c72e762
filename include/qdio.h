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
