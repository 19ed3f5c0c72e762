// Opening a node: the diagnostic node, a Lanvara unit node, or a port on its dial-in or
// dial-out node.
#include <cerrno>
#include <cstring>

#include "ksys/termios.h"
#include "qd_entry.h"
#include "qd_flow.h"
#include "qd_line.h"
#include "qd_log.h"
#include "qd_mem.h"
#include "qd_ocfsm.h"
#include "qd_output.h"
#include "qd_params.h"
#include "qd_state.h"
#include "qd_timer.h"
#include "qd_trace_route.h"
#include "qd_unit.h"
#include "qd_unitops.h"
#include "qmx_unittab.h"

namespace {

// A dial-out open needs more than this many seconds since the dial-in node's last close.
constexpr int DIALOUT_GUARD = 14;

unsigned trace_value(const void* p) {
  return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p));
}

void attach_queues(qd_line* lp, queue_t* q) {
  lp->tty.t_readq = q;
  lp->tty.t_writeq = WR(q);
  q->q_ptr = lp;
  WR(q)->q_ptr = lp;
}

int open_diag(queue_t* q, minor_t minor) {
  if (qd_diag == nullptr) {
    auto* lp = static_cast<qd_line*>(qd_malloc(sizeof(qd_line)));
    if (lp == nullptr) {
      return ENOMEM;
    }
    cv_init(&lp->qd_cv, "qd_diag_cv", CV_DRIVER, nullptr);
    lp->unit_mutex = &qd_diag_mutex;
    mutex_init(&qd_diag_mutex, "qd_diag_mutex", MUTEX_DRIVER, nullptr);
    qd_diag = lp;
  }
  qd_line* lp = qd_diag;
  attach_queues(lp, q);
  lp->fas_log_ptr = &lp->fas_log[0][0];
  lp->qdl_minor = minor;
  lp->unit = &global_unit;
  global_unit.qdu_target = QD_GLOBAL_TARGET;
  lp->output = qdf_drain_output;
  lp->qdl_flags |= QDL_DIAG;
  qprocson(q);
  qd_trace_drv("diag open complete, qd=% up=% QDP=%\n", trace_value(lp), trace_value(lp->unit),
               trace_value(q));
  qd_trace_unit(&global_unit, "diag open done\n");
  qd_trace_line(lp, "first itrc worked\n");
  return 0;
}

// Caller holds the unit mutex; so does the return.
int open_unitnode(queue_t* q, qd_unit* up, minor_t minor) {
  qd_line* lp = up->qdu_unitnode;
  if (lp == nullptr) {
    lp = static_cast<qd_line*>(qd_malloc(sizeof(qd_line)));
    if (lp == nullptr) {
      return ENOMEM;
    }
    up->qdu_unitnode = lp;
  }
  lp->unit = up;
  lp->line_num = QD_UNITNODE_LINE;
  lp->unit_mutex = &up->unit_mutex;
  attach_queues(lp, q);
  lp->qdl_minor = minor;
  lp->qdl_flags |= QDL_UNITNODE;
  qprocson(q);
  return 0;
}

int open_parallel(qd_line* lp) {
  lp->qdl_flags |= QDL_PARALLEL | QDL_LOCAL;
  if (lp->parq != nullptr) {
    return 0;
  }
  auto* ring = static_cast<qd_parq*>(qd_malloc(sizeof(qd_parq)));
  if (ring == nullptr) {
    qd_trace_line(lp, "Couldn't alloc parallel circle queue\n");
    return ENOMEM;
  }
  ring->count = 0;
  ring->wptr = ring->data;
  ring->rptr = ring->data;
  ring->endptr = ring->data + QD_PARQ_SIZE;
  lp->parq = ring;
  lp->cltmr = 0;
  lp->lcltmr = 0;
  lp->louttmr = 0;
  lp->outtmr = 0;
  return 0;
}

// The record's open error, reset; an input that failed without one still fails the open.
int take_open_error(qd_line* lp) {
  const int err = lp->open_error;
  lp->open_error = 0;
  return err != 0 ? err : ENODEV;
}

// The open/close machine's part of an open. Caller holds the unit mutex.
int run_machine(qd_line* lp, minor_t minor, int oflag) {
  if ((minor & QD_MINOR_DIALOUT) != 0) {
    if (qd_systime - lp->last_dialin_close <= DIALOUT_GUARD) {
      qd_trace_line(lp, "dial-out guard band not complete.\n");
      return EAGAIN;
    }
    if (qdf_oc_manager(lp, OC_IN_OPEN_DIALOUT) != OC_DONE) {
      qd_trace_line(lp, "dial-out open failed\n");
      lp->open_error = 0;
      return EBUSY;
    }
    return 0;
  }
  if ((oflag & (FNDELAY | FNONBLOCK)) != 0 || (lp->qdl_flags & QDL_LOCAL) != 0 ||
      (lp->tty.t_cflag & CLOCAL) != 0) {
    return qdf_oc_manager(lp, OC_IN_OPEN_LOCAL) != OC_DONE ? take_open_error(lp) : 0;
  }
  if (qdf_oc_manager(lp, OC_IN_OPEN_MODEM) != OC_DONE) {
    return take_open_error(lp);
  }
  if (qdf_oc_manager(lp, OC_IN_CARRIER_CHECK) != OC_DONE && qdf_wait_for_carrier(lp) != 0) {
    lp->open_error = 0;
    return EINTR;
  }
  return 0;
}

// A terminal stream: the stream head is told so, through the read service procedure.
void send_istty(qd_line* lp, queue_t* q) {
  mblk_t* mp = allocb(sizeof(stroptions), BPRI_MED);
  if (mp == nullptr) {
    qd_trace_unit(lp->unit, "allocb failed in qdopen\n");
    return;
  }
  mp->b_datap->db_type = M_SETOPTS;
  auto* so = reinterpret_cast<stroptions*>(mp->b_wptr);
  std::memset(so, 0, sizeof *so);
  so->so_flags = SO_ISTTY;
  mp->b_wptr += sizeof *so;
  putq(q, mp);
}

// Caller holds the unit mutex; so does the return.
int open_port(queue_t* q, qd_unit* up, minor_t minor, int oflag, int sflag, cred_t* credp) {
  const unsigned port = minor & 0xff;
  if (port >= static_cast<unsigned>(up->qdu_info->nlines)) {
    return ENODEV;
  }
  qd_line* lp = up->qd_lines[port];
  if (lp == nullptr) {
    lp = static_cast<qd_line*>(qd_malloc(sizeof(qd_line)));
    if (lp == nullptr) {
      return ENOMEM;
    }
    qd_line_create_port(lp, up, port);
    up->qd_lines[port] = lp;
  }
  qd_trace_unit(up, "qdopen, dev=% oflag=%\n", minor, static_cast<unsigned>(oflag));
  const int kind = qdf_port_type(up->qdu_info, port);
  const bool parallel = qd_port_is_parallel(kind);
  if (parallel) {
    if (const int err = open_parallel(lp); err != 0) {
      return err;
    }
  }
  if (sflag == CLONEOPEN) {
    qd_trace_line(lp, "cloneopen not supported\n");
    return ENODEV;
  }
  if ((lp->tty.t_flags & TS_XCLUDE) != 0 && drv_priv(credp) != 0) {
    return EBUSY;
  }
  if ((lp->qdl_flags & (QDL_OFFLINE | QDL_ENABLED)) == (QDL_OFFLINE | QDL_ENABLED)) {
    qdlogerr(0, nullptr, lp, "A process has this port open (blocking offline recovery).");
    return EBUSY;
  }
  if (const int err = run_machine(lp, minor, oflag); err != 0) {
    return err;
  }

  lp->qdl_flags |= (minor & QD_MINOR_DIALOUT) != 0 ? QDL_DIALOUT_OPEN : QDL_DIALIN_OPEN;
  attach_queues(lp, q);
  lp->qdl_minor = minor;
  lp->output = parallel ? qdf_parallel_output : qdf_serial_output;
  lp->qdl_flags &= ~QDL_HELD;
  qdf_set_modem_sigs(lp, TIOCM_DTR | TIOCM_RTS, TIOCMSET, 0);
  qprocson(q);
  if (!parallel) {
    send_istty(lp, q);
  }
  qd_trace_line(lp, "Open complete\n");
  return 0;
}

} // namespace

int qdopen(queue_t* q, dev_t* devp, int oflag, int sflag, cred_t* credp) {
  const minor_t minor = geteminor(*devp);
  qd_trace_drv("qdopen, dev=% oflag=%\n", minor, static_cast<unsigned>(oflag));
  qd_entry_guard counted;
  // The takedown frees what an open would use: none starts once it has begun.
  if (qd_going_down != 0) {
    qd_trace_drv("going down\n");
    return ENXIO;
  }

  const qd_node_kind kind = qd_minor_kind(minor);
  if (kind == qd_node_kind::diag) {
    return open_diag(q, minor);
  }
  qd_unit* up = qdm_findunit(minor);
  if (up == nullptr) {
    qd_trace_drv("null uptr\n");
    return ENODEV;
  }
  mutex_enter(&up->unit_mutex);
  int err = ENODEV;
  switch (kind) {
  case qd_node_kind::refused:
    break;
  case qd_node_kind::unitnode:
    err = open_unitnode(q, up, minor);
    mutex_exit(&up->unit_mutex);
    if (err == 0) {
      qd_trace_unit(up, "vrn unit open complete\n");
    }
    return err;
  default:
    err = open_port(q, up, minor, oflag, sflag, credp);
    break;
  }
  mutex_exit(&up->unit_mutex);
  return err;
}
