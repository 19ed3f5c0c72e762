// Driver definitions shared with kvetherd and tbdump.
#pragma once

#include <cstdint>
#include <type_traits>

inline constexpr int QD_PKT_DATA = 4096; // data bytes of every packet

// One FAS packet: outgoing commands of a unit, or a unit's receive buffer. Plain and
// zeroed: packets come from the tracked allocator and are freed raw at unload.
struct qd_pkt {
  unsigned char data[QD_PKT_DATA];
  unsigned char* qd_rptr; // next byte to consume (answers) or to send (Lanvara)
  unsigned char* qd_wptr; // end of the bytes written so far
  int space_remaining;    // bytes that may still be reserved at qd_wptr
  qd_pkt* next;           // free list or a unit's outgoing chain
};
static_assert(std::is_trivial_v<qd_pkt>);

// The minor number of a node, 18 bits (the tools take the low 18 bits of the device number):
//   bits 0-7    port; 255 on a Lanvara unit is its unit node
//   bits 8-11   SCSI unit: target 0-15
//   bits 12-15  SCSI unit: the driver's bus number 0-15
//   bits 8-15   Lanvara unit: its number 0-255
//   bit 16      every node of a Lanvara unit
//   bit 17      a dial-out node
// The diagnostic node is 0xffff.
struct qd_minor {
  std::uint32_t value;

  static constexpr std::uint32_t LANVARA = 0x10000;
  static constexpr std::uint32_t DIALOUT = 0x20000;
  static constexpr std::uint32_t DIAG = 0xffff;
  static constexpr std::uint32_t UNITNODE_PORT = 0xff;

  // Port 0 of a unit.
  static constexpr qd_minor scsi_base(unsigned bus, unsigned target) {
    return {(target & 0xf) << 8 | (bus & 0xf) << 12};
  }
  static constexpr qd_minor vrn_base(unsigned n) { return {(n & 0xff) << 8 | LANVARA}; }

  constexpr unsigned port() const { return value & 0xff; }
  constexpr bool lanvara() const { return (value & LANVARA) != 0; }
  constexpr bool dialout() const { return (value & DIALOUT) != 0; }
  constexpr bool unit_node() const {
    return (value & (LANVARA | UNITNODE_PORT)) == (LANVARA | UNITNODE_PORT);
  }
  // The unit's index in the driver's unit table: bits 8-15 (bus * 16 + target for a SCSI
  // unit), plus 256 for a Lanvara unit.
  constexpr unsigned unit_index() const { return ((value >> 8) & 0xff) + (lanvara() ? 256u : 0u); }
};
static_assert(qd_minor::scsi_base(1, 4).value + 8 == 0x1408);
static_assert(qd_minor{0x20203}.dialout() && qd_minor{0x20203}.unit_index() == 2);
static_assert(qd_minor{0x112ff}.unit_node() && qd_minor{0x112ff}.unit_index() == 256 + 0x12);
