// The write put procedure: every message type of a port node (the diagnostic node is served
// as one) and of a Lanvara unit node, each by its row of a table.
#include <iterator>

#include "ksys/cmn_err.h"
#include "qd_dispatch.h"
#include "qd_entry.h"
#include "qd_flow.h"
#include "qd_input.h"
#include "qd_ioctl.h"
#include "qd_line.h"
#include "qd_output.h"
#include "qd_pool.h"
#include "qd_trace_route.h"
#include "qd_transport.h"
#include "qd_unit.h"

namespace {

using qd_wput_fn = void (*)(queue_t* q, mblk_t* mp, qd_line* lp);

// One message type: its handling and the trace text written before it (no conversions).
struct qd_wput_row {
  unsigned char type;
  qd_wput_fn handle;
  const char* trace;
};

void trace_row(qd_line* lp, const char* text) {
  if constexpr (qd_trace_on) {
    if (text != nullptr) {
      qd_itracer(qd_line_ring(lp), text);
    }
  }
}

iocblk* iocblk_of(mblk_t* mp) {
  return reinterpret_cast<iocblk*>(mp->b_rptr);
}

void kick(qd_line* lp) {
  qdm_scsifsm(lp->unit, SFSM_IN_KICK);
}

// ---- Rows shared by both kinds of node --------------------------------------------------

void ioctl_msg(queue_t* q, mblk_t* mp, qd_line* lp) {
  const int cmd = iocblk_of(mp)->ioc_cmd;
  if ((lp->qdl_flags & QDL_UNITNODE) != 0) {
    qd_trace_line(lp, "vrn ioctl % $\n", static_cast<unsigned>(cmd), qdf_ioctl_name(cmd));
  } else {
    qd_trace_line(lp, "ioctl % $\n", static_cast<unsigned>(cmd), qdf_ioctl_name(cmd));
  }
  qdf_schedule_ioctl(q, mp);
}

void iocdata_msg(queue_t* q, mblk_t* mp, qd_line* lp) {
  // Either answered, or a copy-in that has brought the argument and goes on as an ioctl.
  if (qdf_transparent(q, mp) != 0) {
    ioctl_msg(q, mp, lp);
  }
}

void free_msg(queue_t*, mblk_t* mp, qd_line*) {
  freemsg(mp);
}

// ---- Port node ---------------------------------------------------------------------------

void data_msg(queue_t* q, mblk_t* mp, qd_line* lp) {
  putq(q, mp);
  mutex_enter(lp->unit_mutex);
  qdf_process_wrq(q);
  mutex_exit(lp->unit_mutex);
}

void proto_msg(queue_t* q, mblk_t* mp, qd_line*) {
  qreply(q, mp);
}

void ctl_msg(queue_t* q, mblk_t* mp, qd_line*) {
  if (mp->b_wptr <= mp->b_rptr) {
    freemsg(mp);
    return;
  }
  const unsigned char query = *mp->b_rptr;
  if (query == MC_CANONQUERY || query == MC_NO_CANON) {
    // The unit does no canonical processing: the line discipline keeps it.
    *mp->b_rptr = MC_DO_CANON;
    qreply(q, mp);
    return;
  }
  cmn_err(CE_CONT, "qd: M_CTL: unknown message %x\n", static_cast<unsigned>(query));
  freemsg(mp);
}

void flush_msg(queue_t* q, mblk_t* mp, qd_line* lp) {
  if ((*mp->b_rptr & FLUSHW) != 0) {
    flushq(q, FLUSHDATA);
    *mp->b_rptr &= static_cast<unsigned char>(~FLUSHW);
    mutex_enter(lp->unit_mutex);
    qdf_flush_output(lp);
    kick(lp);
    mutex_exit(lp->unit_mutex);
  }
  if ((*mp->b_rptr & FLUSHR) != 0) {
    flushq(RD(q), FLUSHDATA);
    mutex_enter(lp->unit_mutex);
    qdf_flush_input(lp);
    kick(lp);
    mutex_exit(lp->unit_mutex);
    qreply(q, mp);
    return;
  }
  freemsg(mp);
}

void stop_msg(queue_t*, mblk_t* mp, qd_line* lp) {
  mutex_enter(lp->unit_mutex);
  lp->qdl_flags |= QDL_STOPPED;
  qdf_suspend_output(lp);
  mutex_exit(lp->unit_mutex);
  freemsg(mp);
}

void start_msg(queue_t* q, mblk_t* mp, qd_line* lp) {
  mutex_enter(lp->unit_mutex);
  qdf_resume_output(lp);
  if ((lp->qdl_flags & QDL_STOPPED) != 0) {
    lp->qdl_flags &= ~QDL_STOPPED;
    qdf_process_wrq(q);
  }
  mutex_exit(lp->unit_mutex);
  freemsg(mp);
}

void stopi_msg(queue_t*, mblk_t* mp, qd_line* lp) {
  mutex_enter(lp->unit_mutex);
  lp->qdl_flags |= QDL_STOPI;
  qdf_block_input(lp);
  mutex_exit(lp->unit_mutex);
  freemsg(mp);
}

void starti_msg(queue_t*, mblk_t* mp, qd_line* lp) {
  mutex_enter(lp->unit_mutex);
  qdf_unblock_input(lp);
  if ((lp->qdl_flags & QDL_RESTART_DEFER) != 0) {
    // The grant that M_STOPI held back goes out now.
    lp->qdl_flags &= ~(QDL_RESTART_DEFER | QDL_STOPI);
    qdf_start_input(lp);
    kick(lp);
  } else {
    lp->qdl_flags &= ~QDL_STOPI;
  }
  mutex_exit(lp->unit_mutex);
  freemsg(mp);
}

void unknown_msg(queue_t*, mblk_t* mp, qd_line*) {
  cmn_err(CE_CONT, "qdwput: got unknown message %x\n", static_cast<unsigned>(mp->b_datap->db_type));
  freemsg(mp);
}

constexpr qd_wput_row port_rows[] = {
    {M_DATA, data_msg, "data\n"},
    {M_DELAY, data_msg, "data\n"},
    {M_PROTO, proto_msg, "proto\n"},
    {M_PCPROTO, proto_msg, "proto\n"},
    {M_CTL, ctl_msg, "ctl\n"},
    {M_IOCNAK, free_msg, "iocnak\n"},
    {M_READ, free_msg, "read\n"},
    {M_FLUSH, flush_msg, "flush\n"},
    {M_STOP, stop_msg, "stop\n"},
    {M_START, start_msg, "start\n"},
    {M_STOPI, stopi_msg, "stopi\n"},
    {M_STARTI, starti_msg, "starti\n"},
    {M_IOCDATA, iocdata_msg, "iocdata\n"},
    {M_IOCTL, ioctl_msg, nullptr},
};
constexpr qd_wput_row port_other = {0, unknown_msg, "unknown\n"};

// ---- Lanvara unit node -------------------------------------------------------------------

void vrn_data_msg(queue_t*, mblk_t* mp, qd_line* lp) {
  mutex_enter(lp->unit_mutex);
  qd_vrn_receive(lp, mp);
  mutex_exit(lp->unit_mutex);
}

// FLUSHW drops the half-received answer, FLUSHR the packets not yet read by the daemon and
// those not yet sent to it.
void vrn_flush_msg(queue_t* q, mblk_t* mp, qd_line* lp) {
  qd_unit* up = lp->unit;
  if ((*mp->b_rptr & FLUSHW) != 0) {
    flushq(q, FLUSHDATA);
    *mp->b_rptr &= static_cast<unsigned char>(~FLUSHW);
    mutex_enter(lp->unit_mutex);
    qd_trace_line(lp, "vrn flush - QD_MUTEX_ENTER write\n");
    qdm_vrn_resetrcvpkt(up->qdu_rcvpkt);
    mutex_exit(lp->unit_mutex);
  }
  if ((*mp->b_rptr & FLUSHR) != 0) {
    flushq(RD(q), FLUSHDATA);
    mutex_enter(lp->unit_mutex);
    qd_trace_line(lp, "vrn flush - QD_MUTEX_ENTER read\n");
    qdm_freechain(up);
    mutex_exit(lp->unit_mutex);
    qreply(q, mp);
  } else {
    freemsg(mp);
  }
  qd_trace_line(lp, "vrn flush - exit\n");
}

void vrn_unknown_msg(queue_t*, mblk_t* mp, qd_line* lp) {
  qd_trace_line(lp, "Unknown db_type %\n", static_cast<unsigned>(mp->b_datap->db_type));
  freemsg(mp);
}

constexpr qd_wput_row unitnode_rows[] = {
    {M_DATA, vrn_data_msg, "vrn data\n"},
    {M_FLUSH, vrn_flush_msg, "vrn flush\n"},
    {M_IOCDATA, iocdata_msg, "vrn iocdata\n"},
    {M_IOCTL, ioctl_msg, nullptr},
};
constexpr qd_wput_row unitnode_other = {0, vrn_unknown_msg, nullptr};

// The texts are written as they stand: a conversion in one would take an argument that
// is not there.
template <std::size_t N> consteval bool plain_texts(const qd_wput_row (&rows)[N]) {
  for (const qd_wput_row& r : rows) {
    for (const char* s = r.trace; s != nullptr && *s != '\0'; ++s) {
      if (*s == '%' || *s == '$' || *s == '^' || *s == '~' || *s == '&') {
        return false;
      }
    }
  }
  return true;
}
static_assert(plain_texts(port_rows) && plain_texts(unitnode_rows));

template <std::size_t N>
const qd_wput_row& row_of(const qd_wput_row (&rows)[N], const qd_wput_row& other,
                          unsigned char type) {
  for (const qd_wput_row& r : rows) {
    if (r.type == type) {
      return r;
    }
  }
  return other;
}

} // namespace

int qdwput(queue_t* q, mblk_t* mp) {
  auto* lp = static_cast<qd_line*>(q->q_ptr);
  if (lp == nullptr) {
    // The stream has been closed under the message.
    freemsg(mp);
    return 0;
  }
  qd_trace_line(lp, "qdwput bus=~ targ=~ line=~ ", lp->unit->qdu_bus, lp->unit->qdu_target,
                lp->line_num);
  const unsigned char type = mp->b_datap->db_type;
  const bool unitnode = qd_minor{lp->qdl_minor}.unit_node();
  const qd_wput_row& row =
      unitnode ? row_of(unitnode_rows, unitnode_other, type) : row_of(port_rows, port_other, type);
  trace_row(lp, row.trace);
  row.handle(q, mp, lp);
  return 0;
}
