// Where every ioctl of a driver node starts: now or behind the port's output, dispatch by
// node kind, and the re-run of an ioctl held for lack of a reply buffer.
#include <cerrno>
#include <iterator>

#include "ksys/termios.h"
#include "qddrv.h"
#include "qdio.h"

namespace {

using qd_ioctl_handler = int (*)(queue_t* q, mblk_t* mp, qd_line* lp);

// The codes a node kind serves, and the handler that serves them.
struct qd_node_ioctls {
  const std::uint32_t* codes;
  std::size_t ncodes;
  qd_ioctl_handler handler;
};

constexpr std::uint32_t kDiagCodes[] = {QMXLOCK,   QMXUNLOCK, QMXFLUSH,
                                        QMXFASCMD, QMXTRCBUF, QMXSCSI};
constexpr std::uint32_t kUnitNodeCodes[] = {VRNONLINE, VRNOFFLINE, VRNGETUPTR, VRNSETUPTR};

constexpr qd_node_ioctls kDiagNode{kDiagCodes, std::size(kDiagCodes), qdf_diag_ioctl};
constexpr qd_node_ioctls kUnitNode{kUnitNodeCodes, std::size(kUnitNodeCodes), qdf_vrn_ioctl};

// Port codes with a road of their own; every other goes the standard road.
struct qd_port_ioctl {
  std::uint32_t code;
  qd_ioctl_handler handler;
};

void qd_nak_traced(qd_line* lp, mblk_t* mp, int error) {
  qd_trace_line(lp, "NAK(~)\n", static_cast<unsigned>(error));
  qdf_make_ioctl_nak(mp, error);
}

constexpr qd_port_ioctl kPortIoctls[] = {
    {STGET,
     [](queue_t*, mblk_t* mp, qd_line* lp) {
       qd_trace_line(lp, "STGET - NAK'd\n");
       qd_nak_traced(lp, mp, EINVAL);
       return QD_IOC_DONE;
     }},
    {STSET,
     [](queue_t*, mblk_t* mp, qd_line* lp) {
       qd_trace_line(lp, "STSET - NAK'd\n");
       qd_nak_traced(lp, mp, EINVAL);
       return QD_IOC_DONE;
     }},
    {QMXGETEXTCTL, [](queue_t* q, mblk_t* mp, qd_line*) { return qdf_get_extended_ioctl(q, mp); }},
    {QMXSETEXTCTL, [](queue_t* q, mblk_t* mp, qd_line*) { return qdf_set_extended_ioctl(q, mp); }},
};

iocblk* qd_iocblk(mblk_t* mp) {
  return reinterpret_cast<iocblk*>(mp->b_rptr);
}

// Parameter changes and breaks wait until the output ahead of them has left the port.
bool qd_drain_class(int cmd) {
  switch (cmd) {
  case TCSETAW:
  case TCSETAF:
  case TCSBRK:
  case TCSETSW:
  case TCSETSF:
    return true;
  default:
    return false;
  }
}

bool qd_unitnode_line(const qd_line* lp) {
  return (lp->qdl_flags & QDL_UNITNODE) != 0 ||
         (lp->unit != nullptr && lp->unit->qdu_unitnode == lp);
}

int qd_node_dispatch(const qd_node_ioctls& node, queue_t* q, mblk_t* mp, qd_line* lp) {
  const auto code = static_cast<std::uint32_t>(qd_iocblk(mp)->ioc_cmd);
  for (std::size_t i = 0; i < node.ncodes; ++i) {
    if (node.codes[i] == code) {
      return node.handler(q, mp, lp);
    }
  }
  qd_nak_traced(lp, mp, ENXIO);
  return QD_IOC_DONE;
}

int qd_port_dispatch(queue_t* q, mblk_t* mp, qd_line* lp) {
  iocblk* iocp = qd_iocblk(mp);
  for (const qd_port_ioctl& p : kPortIoctls) {
    if (p.code == static_cast<std::uint32_t>(iocp->ioc_cmd)) {
      return p.handler(q, mp, lp);
    }
  }
  return qdf_service_std_ioctl(q, mp, iocp, lp);
}

// Back to the head of the write queue until the pending ioctl ahead of it is done. Should
// that one have finished since the handler looked, nothing would run the dispatcher for
// this one: run it now.
void qd_requeue(queue_t* q, qd_line* lp, mblk_t* mp) {
  mutex_enter(lp->unit_mutex);
  putbq(q, mp);
  if (!qdl_ioctl_pending(lp)) {
    qdf_process_wrq(q);
  }
  mutex_exit(lp->unit_mutex);
}

} // namespace

void qdf_schedule_ioctl(queue_t* q, mblk_t* mp) {
  auto* lp = static_cast<qd_line*>(q->q_ptr);
  const int cmd = qd_iocblk(mp)->ioc_cmd;
  qd_trace_unit(lp->unit, "schedule_ioctl(%) $\n", cmd, qdf_ioctl_name(cmd));
  mutex_enter(lp->unit_mutex);
  if ((lp->qdl_flags & QDL_OFFLINE) != 0 && !qd_unitnode_line(lp)) {
    qd_trace_unit(lp->unit, "offline\n");
    qd_trace_unit(lp->unit, "NAK(~)\n", ENODEV);
    mutex_exit(lp->unit_mutex);
    qdf_make_ioctl_nak(mp, ENODEV);
    qreply(q, mp);
    return;
  }
  if (qd_drain_class(cmd)) {
    putq(q, mp);
    if ((lp->qdl_flags & QDL_OUTPUT_ACTIVE) != 0) {
      qdf_wait_out(lp); // the dispatcher runs again once the output has drained
    } else {
      qdf_process_wrq(q);
    }
    mutex_exit(lp->unit_mutex);
    return;
  }
  mutex_exit(lp->unit_mutex);
  if (qdf_service_ioctl(q, mp) == QD_IOC_REQUEUE) {
    qd_requeue(q, lp, mp);
  }
}

int qdf_service_ioctl(queue_t* q, mblk_t* mp) {
  auto* lp = static_cast<qd_line*>(q->q_ptr);
  const int cmd = qd_iocblk(mp)->ioc_cmd;
  mutex_enter(lp->unit_mutex);
  qd_trace_line(lp, "service_ioctl(%) $\n", cmd, qdf_ioctl_name(cmd));
  int outcome = QD_IOC_DONE;
  if ((lp->qdl_flags & QDL_DIAG) != 0) {
    outcome = qd_node_dispatch(kDiagNode, q, mp, lp);
  } else if (qd_unitnode_line(lp)) {
    outcome = qd_node_dispatch(kUnitNode, q, mp, lp);
  } else {
    outcome = qd_port_dispatch(q, mp, lp);
  }
  mutex_exit(lp->unit_mutex);
  if (outcome == QD_IOC_DONE) {
    qreply(q, mp);
  }
  return outcome;
}

void qdf_cancel_reioctl(qd_line* lp) {
  qd_assert_line_held(lp);
  if (lp->reioctl_bid != 0) {
    unbufcall(lp->reioctl_bid);
    lp->reioctl_bid = 0;
  }
}

void qdf_reioctl(void* arg) {
  auto* lp = static_cast<qd_line*>(arg);
  mutex_enter(lp->unit_mutex);
  qd_trace_line(lp, "qdf_reioctl\n");
  lp->reioctl_bid = 0;
  queue_t* wq = lp->tty.t_writeq;
  mblk_t* mp = lp->tty.t_iocpending;
  if (wq == nullptr || mp == nullptr) {
    mutex_exit(lp->unit_mutex);
    return;
  }
  lp->tty.t_iocpending = nullptr;
  mutex_exit(lp->unit_mutex);
  if (qdf_service_ioctl(wq, mp) == QD_IOC_REQUEUE) {
    qd_requeue(wq, lp, mp);
  }
}
