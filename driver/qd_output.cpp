// The write-queue dispatcher, serial output into FAS_SEND and the output watchdog.
#include <algorithm>
#include <cstring>

#include "fas.h"
#include "ksys/stream.h"
#include "qd_flow.h"
#include "qd_ioctl.h"
#include "qd_log.h"
#include "qd_output.h"
#include "qd_output_take.h"
#include "qd_pool.h"
#include "qd_trace_route.h"
#include "qd_transport.h"

namespace {

unsigned addr32(const void* p) {
  return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p));
}

} // namespace

void qdf_process_wrq(queue_t* q) {
  if (q == nullptr || q->q_ptr == nullptr) {
    return;
  }
  auto* lp = static_cast<qd_line*>(q->q_ptr);
  qd_assert_line_held(lp); // released and taken again around each ioctl
  qd_trace_line(lp, "qdf_process_wrq ");
  while (mblk_t* mp = getq(q)) {
    switch (mp->b_datap->db_type) {
    case M_DATA:
      qd_trace_line(lp, " % data\n", addr32(mp));
      if (lp->output == nullptr) {
        putbq(q, mp); // not opened as a port: nothing may send yet
        return;
      }
      lp->output(q, mp, lp);
      return;
    case M_DELAY:
      qd_trace_line(lp, " % delay\n", addr32(mp));
      freemsg(mp);
      break;
    case M_IOCTL: {
      qd_trace_line(lp, " % ioctl\n", addr32(mp));
      if ((lp->qdl_flags & QDL_OUTPUT_ACTIVE) != 0) {
        putbq(q, mp);
        qdf_wait_out(lp);
        return;
      }
      mutex_exit(lp->unit_mutex);
      const int outcome = qdf_service_ioctl(q, mp);
      mutex_enter(lp->unit_mutex);
      if (outcome == QD_IOC_REQUEUE) {
        putbq(q, mp);
        // A wrap-up that ran while the mutex was released found the queue without this
        // ioctl: nothing else would run it now.
        if (qdl_ioctl_pending(lp)) {
          return;
        }
      }
      break;
    }
    default:
      qd_trace_line(lp, " % unknown\n", addr32(mp));
      qdlogerr(0, nullptr, lp, "qdf_process_wrq: unex msg type=0x%x", mp->b_datap->db_type);
      freemsg(mp);
      break;
    }
  }
  // A printer's ring may hold data that no FAS_SEND answer will come to send (output was
  // stopped or held while the queue emptied): start it now that the queue is idle.
  if ((lp->qdl_flags & QDL_PARALLEL) != 0) {
    qdf_start_parallel(lp);
  }
}

void qd_send_reserved(qd_line* lp, unsigned char* hdr, int count) {
  qd_assert_line_held(lp);
  hdr[0] = FAS_SEND;
  hdr[1] = lp->line_num;
  fas_put16(hdr + 2, static_cast<unsigned>(count));
  qdf_logfasout(lp, hdr);
  lp->qdl_flags |= QDL_SEND_OUT | QDL_OUTPUT_ACTIVE;
  qdm_scsifsm(lp->unit, SFSM_IN_KICK);
}

void qdf_serial_output(queue_t* q, mblk_t* mp, qd_line* lp) {
  qd_assert_line_held(lp);
  qd_unit* up = lp->unit;
  qd_trace_line(lp, "serial_output(%)\n", lp->qdl_minor);
  if ((lp->qdl_flags & QDL_OUTPUT_BLOCKED) != 0) {
    putbq(q, mp);
    return;
  }
  qd_trace_drv("qdf_serial_output: uptr->pkt_tail=&\n", up->pkt_tail);
  // Room and header come from the tail packet together; with the pool exhausted there is
  // neither, and the data waits for the next run of the dispatcher.
  const int room = qdm_spaceleft(up);
  unsigned char* hdr = room > 0 ? qdm_putfas(up, FAS_HDR_SIZE) : nullptr;
  if (hdr == nullptr) {
    putbq(q, mp);
    return;
  }
  qd_trace_drv("maxmove1=%\n", static_cast<unsigned>(room));
  const int limit = std::max(0, std::min(room, lp->send_size));
  qd_trace_drv("maxmove2=%\n", static_cast<unsigned>(lp->send_size));
  qd_trace_drv("maxmove3=%\n", static_cast<unsigned>(limit));
  int total = 0;
  mblk_t* left = qdf_take_data(
      q, mp, limit, &total,
      [up](const unsigned char* src, int n) {
        // Within the room counted above: stays in the header's packet.
        std::memcpy(qdm_putfas(up, n), src, static_cast<std::size_t>(n));
      },
      true);
  qd_trace_drv("total=%\n", static_cast<unsigned>(total));
  if (total > 0) {
    qd_send_reserved(lp, hdr, total);
  } else {
    qdm_putfas(up, -FAS_HDR_SIZE);
  }
  if (left != nullptr) {
    putbq(q, left);
    if (left->b_datap->db_type != M_DATA && total == 0) {
      qdf_process_wrq(q); // no FAS_SEND answer will come to run it
    }
  }
}

int qdf_output_limit(const qd_line* lp) {
  const bool local = (lp->tty.t_cflag & CLOCAL) != 0 || (lp->qdl_flags & QDL_LOCAL) != 0;
  if ((lp->qdl_minor & QD_MINOR_DIALOUT) == 0 && local) {
    return lp->louttmr;
  }
  return lp->outtmr;
}

void qdf_output_watchdog(qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_drv("qdf_output_watchdog\n");
  if ((lp->qdl_flags & QDL_SEND_OUT) == 0) {
    return;
  }
  const int limit = qdf_output_limit(lp);
  if (limit == 0) {
    return;
  }
  ++lp->wdog_count;
  if (lp->wdog_count * 30 < limit) {
    return;
  }
  qdlogerr(2, nullptr, lp, "output watchdog timer expired, flushing port");
  lp->output = qdf_drain_output;
  qdf_flush_output(lp);
  qdm_scsifsm(lp->unit, SFSM_IN_KICK);
}
