// The Lanvara send path: each queued packet goes up the unit node's read queue as one
// message, where the relay daemon reads it and writes it to the module's TCP stream.
#include <cstring>

#include "ksys/stream.h"
#include "qd_line.h"
#include "qd_log.h"
#include "qd_pool.h"
#include "qd_trace_route.h"
#include "qd_transport.h"
#include "qd_unit.h"

void qdm_vrn_startsend(qd_unit* up) {
  if (!qd_assert(qdu_is_lanvara(up), "BIT_IS_SET(uptr->qdu_flags, QDU_LANVARA)")) {
    return;
  }
  // Without an open unit node the packets wait for the daemon.
  queue_t* rq = up->qdu_unitnode != nullptr ? up->qdu_unitnode->tty.t_readq : nullptr;
  if (rq == nullptr) {
    return;
  }
  while (qd_pkt* pkt = up->pkt_head) {
    if (pkt->qd_rptr == pkt->qd_wptr) {
      up->pkt_head = pkt->next;
      qdm_freepkt(pkt);
      continue;
    }
    const auto n = static_cast<std::size_t>(pkt->qd_wptr - pkt->qd_rptr);
    mblk_t* mp = allocb(n, BPRI_HI);
    if (mp == nullptr) {
      // The rest stays queued for the next kick.
      qd_trace_unit(up, "allocb failed");
      break;
    }
    std::memcpy(mp->b_wptr, pkt->qd_rptr, n);
    mp->b_wptr += n;
    pkt->qd_rptr += n;
    putq(rq, mp);
  }
  if (up->pkt_head == nullptr) {
    up->pkt_tail = nullptr;
  }
}
