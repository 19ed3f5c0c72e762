// Console dump of a FAS packet.
#include "fas.h"
#include "qd.h"

#include <algorithm>

#include "ksys/cmn_err.h"

void dump_qd_pkt(const qd_pkt* pkt) {
  const long used = pkt->qd_wptr - pkt->data;
  cmn_err(CE_NOTE, "Orvane FAS packet dump (%ld bytes):", used);
  if (used == 0) {
    cmn_err(CE_NOTE, "(empty FAS packet)");
    return;
  }
  // Decimal behind "0x" is how this dump has always read; kept as it is.
  cmn_err(CE_NOTE, "qd_rptr=0x%d, qd_wptr=0x%d, space_remaining=%d",
          static_cast<int>(pkt->qd_rptr - pkt->data), static_cast<int>(used), pkt->space_remaining);
  // A write pointer outside the data must not make the dump read beyond it.
  const long shown = std::clamp(used, 0L, static_cast<long>(QD_PKT_DATA));
  for (long line = 0; line * 16 < shown; ++line) {
    const unsigned char* b = pkt->data + line * 16;
    cmn_err(CE_NOTE,
            "%02lX: %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X "
            "%02X",
            line, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
            b[13], b[14], b[15]);
  }
}
