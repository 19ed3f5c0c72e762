// Ioctl commands of the qd driver and their records, shared by the driver and the programs.
// Records have the same layout in every build.
#pragma once

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
inline constexpr int qd_ioc(std::uint32_t code) { return static_cast<int>(code); }
