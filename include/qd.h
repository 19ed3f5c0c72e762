// Driver definitions shared with kvetherd and tbdump.
#pragma once

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
