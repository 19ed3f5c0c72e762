// QMXTRCBUF: copies one whole trace ring, exactly the build's ring size, to the caller's
// buffer. Which rings exist is the build's trace mode.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "ksys/usercopy.h"
#include "qd_diag_ioctl.h"
#include "qd_diag_util.h"
#include "qd_ioc_args.h"
#include "qd_ioctl.h"
#include "qd_line.h"
#include "qd_trace_route.h"
#include "qd_unit.h"
#include "qdio.h"

namespace {

// The unit the request names, or null (a bus or target above 15 names none).
qd_unit* unit_of(const qd_trc_req& req) {
  if (req.bus > 0xf || req.target > 0xf) {
    return nullptr;
  }
  return qd_units[(req.lanvara != 0 ? QD_VRN_BASE : 0) + req.bus * 16 + req.target];
}

// The ring the request names, or null with *error set.
qd_trace_ring* ring_of(const qd_trc_req& req, int* error) {
  switch (req.type) {
  case QD_TRC_GLOBAL:
    qd_trace_drv("global\n");
    if constexpr (qd_trace_on) {
      return qd_ring_of(qd_trcbuf);
    }
    *error = ENOENT;
    return nullptr;
  case QD_TRC_UNIT:
    qd_trace_drv("unit\n");
    if constexpr (qd_trace_units) {
      qd_unit* up = unit_of(req);
      if (up == nullptr) {
        *error = EINVAL;
        return nullptr;
      }
      return qd_ring_of(up->qdu_trc);
    }
    *error = ENOENT;
    return nullptr;
  case QD_TRC_LINE:
    qd_trace_drv("line\n");
    if constexpr (qd_trace_lines) {
      qd_unit* up = unit_of(req);
      if (up == nullptr) {
        *error = EINVAL;
        return nullptr;
      }
      qd_line* lp = req.line < qd_unit_ports(up) ? up->qd_lines[req.line] : nullptr;
      if (lp == nullptr) {
        *error = ENODEV;
        return nullptr;
      }
      return qd_ring_of(lp->qdl_trc);
    }
    *error = ENOENT;
    return nullptr;
  default:
    qd_trace_drv("inval\n");
    *error = EINVAL;
    return nullptr;
  }
}

} // namespace

int qd_trc_ioctl(qd_line*, queue_t*, mblk_t* mp) {
  qd_trace_drv("qd_trc_ioctl\n");
  const unsigned char* rec = qd_ioc_record(mp, sizeof(qd_trc_req));
  if (rec == nullptr) {
    qd_diag_nak(mp, EINVAL);
    return QD_IOC_DONE;
  }
  qd_trc_req req;
  std::memcpy(&req, rec, sizeof req);
  qd_trace_drv("tp = %x\n", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(rec)));

  int error = 0;
  if (qd_trace_ring* ring = ring_of(req, &error); ring != nullptr) {
    void* to = reinterpret_cast<void*>(static_cast<std::uintptr_t>(req.buffer));
    qd_trace_drv("copying from % to %\n",
                 static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(ring->data)), req.buffer);
    // The data only, never the bookkeeping behind it.
    if (copyout(ring->data, to, sizeof ring->data) != 0) {
      error = EFAULT;
    }
  }
  qd_trace_drv("wrapup, error = %\n", static_cast<unsigned>(error));
  if (error != 0) {
    qdf_make_ioctl_nak(mp, error);
  } else {
    qdf_make_ioctl_ack(mp);
  }
  return QD_IOC_DONE;
}
