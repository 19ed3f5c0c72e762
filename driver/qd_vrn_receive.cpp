// The FAS stream from a Lanvara unit, as its relay daemon writes it to the unit node:
// joined in the unit's receive packet and cut into answers there.
#include <algorithm>
#include <cstring>

#include "qd_dispatch.h"
#include "qd_entry.h"
#include "qd_line.h"
#include "qd_log.h"
#include "qd_pool.h"
#include "qd_trace_route.h"
#include "qd_transport.h"
#include "qd_unit.h"
#include "qd_unitops.h"

namespace {

bool offline(const qd_unit* up) {
  return (up->qdu_flags & QDU_OFFLINE) != 0;
}

// The packet is full and the answers in it cannot be cut: the stream cannot go on.
void give_up(qd_unit* up) {
  qdlogerr(0, up, nullptr, "answer too large for the receive packet");
  qdm_vrn_resetrcvpkt(up->qdu_rcvpkt);
  qdm_unit_offline(up);
}

} // namespace

void qd_vrn_receive(qd_line* lp, mblk_t* mp) {
  qd_assert_line_held(lp);
  qd_unit* up = lp->unit;
  qd_pkt* r = up->qdu_rcvpkt;
  const bool was_offline = offline(up);
  bool dropped = false;

  for (mblk_t* bp = mp; bp != nullptr && !dropped; bp = bp->b_cont) {
    while (bp->b_rptr < bp->b_wptr) {
      const auto n = static_cast<int>(std::min<long>(bp->b_wptr - bp->b_rptr, r->space_remaining));
      if (n > 0) {
        std::memcpy(r->qd_wptr, bp->b_rptr, static_cast<std::size_t>(n));
        bp->b_rptr += n;
        r->qd_wptr += n;
        r->space_remaining -= n;
        continue;
      }
      // Full: the whole answers make room, a partial one moves to the start.
      qdf_procrecv(up);
      if (r->space_remaining == 0) {
        give_up(up);
      }
      // A stream that took the unit offline is not read any further: what follows would
      // only be taken for answers of a unit that has none.
      if (!was_offline && offline(up)) {
        qd_trace_unit(up, "vrn stream dropped\n");
        dropped = true;
        break;
      }
    }
  }
  freemsg(mp);
  if (!dropped) {
    qdf_procrecv(up);
  }
  qdm_vrn_startsend(up);
  if (r->qd_rptr == r->qd_wptr) {
    qdm_vrn_resetrcvpkt(r);
  }
}
