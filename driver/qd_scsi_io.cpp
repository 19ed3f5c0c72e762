// The SCSI side of the transport: WRITE and READ commands, their completions and retries.
//
// A failed command is retried with the same command packet. The pending retry is noted in
// qdu_retry_tid, so that going offline can cancel it and a retry that has lost its purpose
// (unit offline, packet replaced) does nothing. Whenever a command cannot be issued at all
// there is nothing outstanding and no event will come: the unit gives up in one place,
// qdm_scsi_giveup, and goes offline as expired retries do.
#include <algorithm>

#include "fas.h"
#include "ksys/cmn_err.h"
#include "ksys/kmem.h"
#include "ksys/scsi.h"
#include "ksys/time.h"
#include "qd_dispatch.h"
#include "qd_log.h"
#include "qd_pool.h"
#include "qd_trace_route.h"
#include "qd_transport.h"
#include "qd_unit.h"
#include "qd_unitops.h"

namespace {

using retry_fn = void (*)(void*);

bool is_scsi(const qd_unit* up) {
  return qd_assert(!qdu_is_lanvara(up), "BIT_IS_CLEAR(uptr->qdu_flags, QDU_LANVARA)");
}

int command_time(const qd_unit* up) {
  return (up->qdu_caps & QDU_CAP_TIMEOUT15) != 0 ? 15 : qd_timeout;
}

void release(scsi_pkt*& pkt, buf*& bp) {
  if (pkt != nullptr) {
    scsi_destroy_pkt(pkt);
    pkt = nullptr;
  }
  if (bp != nullptr) {
    freerbuf(bp);
    bp = nullptr;
  }
}

void arm_retry(qd_unit* up, retry_fn fn, scsi_pkt* pkt, clock_t ticks) {
  up->qdu_retry_tid = timeout(fn, pkt, ticks);
}

// Makes the WRITE or READ command for a buffer and starts it. False when no command
// packet could be had; bp then belongs to the unit's record all the same.
bool issue(qd_unit* up, buf* bp, scsi_pkt*& slot, uchar_t op, int length, void (*comp)(scsi_pkt*),
           retry_fn retry) {
  scsi_pkt* pkt = scsi_init_pkt(&up->qdu_devp->sd_address, nullptr, bp, CDB_GROUP0,
                                up->qdu_statuslen, 0, 0, NULL_FUNC, nullptr);
  if (pkt == nullptr) {
    return false;
  }
  slot = pkt;
  makecom_g0_s(pkt, up->qdu_devp, 0, op, length, 0);
  pkt->pkt_comp = comp;
  pkt->pkt_time = command_time(up);
  pkt->pkt_private = up;
  const int r = scsi_transport(pkt);
  if (r != TRAN_ACCEPT) {
    qd_trace_unit(up, "transport refused ~ tstat=%\n", op, static_cast<unsigned>(r));
    arm_retry(up, retry, pkt, hz / 10);
  }
  return true;
}

// A completion or retry for a command that is no longer the unit's current one.
bool stale(qd_unit* up, const scsi_pkt* pkt, const scsi_pkt* current) {
  if (pkt == current) {
    return false;
  }
  qd_trace_unit(up, "stale SCSI packet ignored\n");
  return true;
}

void retry(scsi_pkt* pkt, bool send) {
  auto* up = static_cast<qd_unit*>(pkt->pkt_private);
  mutex_enter(&up->unit_mutex);
  scsi_pkt* current = send ? up->qdu_sendpkt : up->qdu_recvpkt;
  if (up->qdu_retry_tid == nullptr || (up->qdu_flags & QDU_OFFLINE) != 0 ||
      stale(up, pkt, current)) {
    qd_trace_unit(up, "retry dropped\n");
    mutex_exit(&up->unit_mutex);
    return;
  }
  up->qdu_retry_tid = nullptr;
  (send ? up->qdu_sendbp : up->qdu_recvbp)->b_resid = 0;
  const retry_fn self = send ? qdm_scsi_retrysend : qdm_scsi_retryrecv;
  const int r = scsi_transport(pkt);
  if (r == TRAN_BUSY) {
    int& backoff = send ? up->qdu_send_backoff : up->qdu_recv_backoff;
    backoff = qdm_scsi_backoff(backoff);
    if (backoff > QD_BACKOFF_LIMIT) {
      cmn_err(CE_WARN, "Orvane Lanvara/QMX: scsi_transport() failed--TRAN_BUSY");
      qdm_scsi_giveup(up, "scsi_transport() failed--TRAN_BUSY");
    } else {
      arm_retry(up, self, pkt, hz / 10);
    }
  } else if (r != TRAN_ACCEPT) {
    cmn_err(CE_WARN, "Orvane Lanvara/QMX: %s: scsi_transport() failed, tstat=0x%X",
            send ? "qdm_scsi_retrysend" : "qdm_scsi_retryrecv", static_cast<unsigned>(r));
    qdm_scsi_giveup(up, "scsi_transport() failed");
  }
  mutex_exit(&up->unit_mutex);
}

void return_inflight(qd_unit* up) {
  qdm_freepkt(up->qdu_inflight);
  up->qdu_inflight = nullptr;
}

} // namespace

void qdm_scsi_giveup(qd_unit* up, const char* why) {
  qd_assert_unit_held(up);
  return_inflight(up);
  qdlogerr(0, up, nullptr, "Going offline: %s", why);
  qdm_unit_offline(up);
}

void qdm_scsi_startsend(qd_unit* up) {
  if (!is_scsi(up)) {
    return;
  }
  qd_pkt* head = up->pkt_head;
  if (head == nullptr || head->qd_wptr == head->data) {
    // An empty head packet stays on the chain for the next command.
    qdm_scsifsm(up, SFSM_IN_QUEUE_EMPTY);
    return;
  }
  up->pkt_head = head->next;
  if (up->pkt_head == nullptr) {
    up->pkt_tail = nullptr;
  }
  head->next = nullptr;
  *head->qd_wptr++ = PKT_END;
  qdm_scsi_sendpkt(head, up);
}

void qdm_scsi_sendpkt(qd_pkt* pkt, qd_unit* up) {
  release(up->qdu_sendpkt, up->qdu_sendbp);
  up->qdu_inflight = pkt;
  // Rounded up to even; the pad byte behind PKT_END is the packet's fill.
  const auto used = static_cast<int>(pkt->qd_wptr - pkt->data);
  const int length = (used + 1) & ~1;

  buf* bp = getrbuf(KM_NOSLEEP);
  if (bp == nullptr) {
    qdm_scsi_giveup(up, "no buffer header for SCSI send");
    return;
  }
  bp->b_flags = B_BUSY | B_WRITE;
  bp->b_un.b_addr = reinterpret_cast<caddr_t>(pkt->data);
  bp->b_bcount = static_cast<std::size_t>(length);
  bp->b_bufsize = static_cast<std::size_t>(qdm_pktsize(up));
  bp->b_resid = 0;
  up->qdu_sendbp = bp;
  qd_trace_unit(up, "send ~/~ len=%\n", up->qdu_bus, up->qdu_target, length);
  if (!issue(up, bp, up->qdu_sendpkt, SCMD_WRITE, length, qdm_scsi_sendcomp, qdm_scsi_retrysend)) {
    qdm_scsi_giveup(up, "no SCSI packet for send");
  }
}

void qdm_scsi_startrecv(qd_unit* up) {
  if (!is_scsi(up)) {
    return;
  }
  release(up->qdu_recvpkt, up->qdu_recvbp);
  buf* bp = getrbuf(KM_NOSLEEP);
  if (bp == nullptr) {
    qdm_scsi_giveup(up, "no buffer header for SCSI recv");
    return;
  }
  bp->b_flags = B_BUSY | B_READ | B_REMAPPED;
  bp->b_un.b_addr = reinterpret_cast<caddr_t>(up->qdu_rcvpkt->data);
  bp->b_bcount = QD_READ_LEN;
  bp->b_bufsize = QD_READ_LEN;
  bp->b_resid = 0;
  up->qdu_recvbp = bp;
  if (!issue(up, bp, up->qdu_recvpkt, SCMD_READ, QD_READ_LEN, qdm_scsi_recvcomp,
             qdm_scsi_retryrecv)) {
    qdm_scsi_giveup(up, "no SCSI packet for recv");
  }
}

void qdm_scsi_sendcomp(scsi_pkt* pkt) {
  scsi_sync_pkt(pkt);
  auto* up = static_cast<qd_unit*>(pkt->pkt_private);
  mutex_enter(&up->intr_mutex);
  mutex_enter(&up->unit_mutex);
  if (!stale(up, pkt, up->qdu_sendpkt)) {
    const char* why = "";
    const int r = qdm_scsi_pkt_OK(pkt, &why);
    if (r == 0) {
      up->qdu_send_backoff = 0;
      return_inflight(up);
      qdm_scsifsm(up, SFSM_IN_SEND_DONE);
    } else if ((up->qdu_flags & QDU_OFFLINE) != 0) {
      return_inflight(up);
    } else if (r == 1) {
      up->qdu_send_backoff = qdm_scsi_backoff(up->qdu_send_backoff);
      if (up->qdu_send_backoff > QD_BACKOFF_LIMIT) {
        qdlogerr(0, up, nullptr, "SCSI send retries expired");
        return_inflight(up);
        qdm_unit_offline(up);
      } else {
        if (up->qdu_send_backoff > QD_BACKOFF_REPORT) {
          qdlogerr(0, up, nullptr, "Problem during retry of SCSI send: %s", why);
        }
        arm_retry(up, qdm_scsi_retrysend, pkt, (hz / 10) * up->qdu_send_backoff);
      }
    } else {
      qdlogerr(0, up, nullptr, "Going offline: %s", why);
      return_inflight(up);
      qdm_unit_offline(up);
    }
  }
  mutex_exit(&up->unit_mutex);
  mutex_exit(&up->intr_mutex);
}

void qdm_scsi_recvcomp(scsi_pkt* pkt) {
  scsi_sync_pkt(pkt);
  auto* up = static_cast<qd_unit*>(pkt->pkt_private);
  mutex_enter(&up->intr_mutex);
  mutex_enter(&up->unit_mutex);
  if (!stale(up, pkt, up->qdu_recvpkt)) {
    pkt->pkt_cdbp[5] = 0;
    const char* why = "";
    const int r = qdm_scsi_pkt_OK(pkt, &why);
    if (r != 0) {
      qd_trace_unit(up, "bad SCSI result: $", why);
    }
    if ((up->qdu_flags & QDU_OFFLINE) != 0) {
      // The unit went offline with this READ outstanding: its commands were dropped and
      // its lines are offline, which answers to those commands must not undo.
      qd_trace_unit(up, "READ of offline unit ignored\n");
    } else if (r == 1) {
      up->qdu_recv_backoff = qdm_scsi_backoff(up->qdu_recv_backoff);
      if (up->qdu_recv_backoff > QD_BACKOFF_LIMIT) {
        qdlogerr(0, up, nullptr, "SCSI recv retries expired");
        qdm_unit_offline(up);
      } else {
        if (up->qdu_recv_backoff > QD_BACKOFF_REPORT) {
          qdlogerr(0, up, nullptr, "Problem during retry of SCSI recv: %s", why);
        }
        // The unit saw the command: it is asked for the same batch again.
        if ((pkt->pkt_state & STATE_SENT_CMD) != 0) {
          pkt->pkt_cdbp[5] = QD_CDB_RESEND;
        }
        arm_retry(up, qdm_scsi_retryrecv, pkt, (hz / 10) * up->qdu_recv_backoff);
      }
    } else if (r == 2) {
      qdlogerr(0, up, nullptr, "Going offline: %s", why);
      qdm_unit_offline(up);
    } else {
      up->qdu_recv_backoff = 0;
      // The answers end where the bytes the READ delivered end.
      const long got = std::clamp<long>(QD_READ_LEN - pkt->pkt_resid, 0, QD_READ_LEN);
      qd_pkt* rcv = up->qdu_rcvpkt;
      rcv->qd_rptr = rcv->data;
      rcv->qd_wptr = rcv->data + got;
      qdm_scsifsm(up, SFSM_IN_RECV_DONE);
      qdf_procrecv(up);
      qdm_scsifsm(up, SFSM_IN_RESP_DONE);
    }
  }
  mutex_exit(&up->unit_mutex);
  mutex_exit(&up->intr_mutex);
}

void qdm_scsi_retrysend(void* pkt) {
  retry(static_cast<scsi_pkt*>(pkt), true);
}

void qdm_scsi_retryrecv(void* pkt) {
  retry(static_cast<scsi_pkt*>(pkt), false);
}
