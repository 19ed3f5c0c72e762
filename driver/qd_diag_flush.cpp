// QMXFLUSH: clears a stuck port. The port's stream is hung up and flushed, further output
// is thrown away, and the unit is told to flush what it still holds for the port.
#include <cerrno>
#include <cstdint>

#include "qd_diag_ioctl.h"
#include "qd_diag_util.h"
#include "qd_flow.h"
#include "qd_ioc_args.h"
#include "qd_ioctl.h"
#include "qd_line.h"
#include "qd_trace_route.h"
#include "qd_unit.h"
#include "qd_unitops.h"

namespace {

bool stream_open(const qd_line* lp) {
  return lp->tty.t_writeq != nullptr && lp->tty.t_readq != nullptr;
}

// Hangs the enabled line up, flushes its stream and its output at the unit; the errno of
// the request's answer. Messages go up without the unit mutex.
int flush_line(qd_unit* up, qd_line* lp) {
  if ((lp->qdl_flags & QDL_CARRIER) == 0) {
    lp->qdl_flags |= QDL_CARRIER;
    cv_broadcast(&lp->qd_cv);
  }
  int result = 0;
  if (stream_open(lp)) {
    qd_trace_unit(up, "doing hangup\n");
    queue_t* rq = lp->tty.t_readq;
    mutex_exit(lp->unit_mutex);
    putnextctl(rq, M_HANGUP);
    mutex_enter(lp->unit_mutex);
  } else {
    result = EIO; // only the unit's output is flushed
  }
  if (stream_open(lp)) {
    qd_trace_unit(up, "doing flush...\n");
    queue_t* rq = lp->tty.t_readq;
    mutex_exit(lp->unit_mutex);
    putnextctl1(rq, M_FLUSH, FLUSHRW);
    mutex_enter(lp->unit_mutex);
  } else if (result == 0) {
    result = ENXIO; // the hangup closed the stream
  }
  qdf_flush_output(lp);
  return result;
}

} // namespace

int qdf_flush_ioctl(qd_line*, queue_t*, mblk_t* mp) {
  int value = 0;
  const bool have_minor = qd_ioc_int(mp, &value);
  const auto minor = static_cast<minor_t>(value);
  if (have_minor) {
    qd_trace_drv("qdf_flush_ioctl, minor = &\n",
                 reinterpret_cast<const void*>(static_cast<std::uintptr_t>(minor)));
  }
  // The privilege comes first: an unprivileged caller learns nothing of its argument.
  if (!qd_ioc_privileged(mp)) {
    qdf_make_ioctl_nak(mp, EPERM);
    return QD_IOC_DONE;
  }
  if (!have_minor) {
    qd_trace_drv("qdf_flush_ioctl, no minor\n");
    qd_diag_nak(mp, EINVAL);
    return QD_IOC_DONE;
  }
  qd_unit* up = qdm_findunit(minor);
  if (up == nullptr) {
    qd_trace_drv("null uptr, NAK\n");
    qdf_make_ioctl_nak(mp, ENODEV);
    return QD_IOC_DONE;
  }
  const unsigned port = minor & 0xff;
  if (static_cast<int>(port) >= qd_unit_ports(up)) {
    qd_trace_drv("port out of range, NAK\n");
    qdf_make_ioctl_nak(mp, EINVAL);
    return QD_IOC_DONE;
  }
  qd_line* lp = up->qd_lines[port];
  if (lp == nullptr) {
    qd_trace_drv("qd == NULL, NAK\n");
    qdf_make_ioctl_nak(mp, ENOENT);
    return QD_IOC_DONE;
  }

  qd_trace_unit(up, "qdf_flush_ioctl\n");
  mutex_enter(&up->intr_mutex);
  mutex_enter(lp->unit_mutex);
  // Output is thrown away until carrier or an enable sets the output function again.
  lp->output = qdf_drain_output;
  int result;
  if ((lp->qdl_flags & QDL_ENABLED) == 0) {
    qd_trace_unit(up, "not enabled\n");
    result = ENOTTY;
  } else {
    result = flush_line(up, lp);
  }
  mutex_exit(lp->unit_mutex);
  mutex_exit(&up->intr_mutex);

  if (result == 0) {
    qd_trace_unit(up, "qdf_ioctl_flush: ACK\n");
    qdf_make_ioctl_ack(mp);
  } else {
    qd_trace_unit(up, "qdf_ioctl_flush: NAK\n");
    qdf_make_ioctl_nak(mp, result);
  }
  return QD_IOC_DONE;
}
