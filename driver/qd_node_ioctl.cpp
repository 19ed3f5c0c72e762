// The handlers of the diagnostic node's and the unit nodes' requests, by code.
#include <cerrno>

#include "qd_diag_ioctl.h"
#include "qd_ioc_args.h"
#include "qd_ioctl.h"
#include "qd_line.h"
#include "qd_vrn_ioctl.h"
#include "qdio.h"

int qdf_diag_ioctl(queue_t* q, mblk_t* mp, qd_line* lp) {
  qd_assert_line_held(lp);
  switch (static_cast<std::uint32_t>(qd_iocp(mp)->ioc_cmd)) {
  case QMXLOCK:
    return qdm_lock_unit(q, mp);
  case QMXUNLOCK:
    return qdm_unlock_unit(q, mp);
  case QMXFLUSH:
    return qdf_flush_ioctl(lp, q, mp);
  case QMXFASCMD:
    return qdf_fas_ioctl(q, mp);
  case QMXTRCBUF:
    return qd_trc_ioctl(lp, q, mp);
  case QMXSCSI:
    return qdm_scsi_ioctl(q, mp);
  default:
    // The dispatch hands over only the codes above.
    qdf_make_ioctl_nak(mp, ENXIO);
    return QD_IOC_DONE;
  }
}

int qdf_vrn_ioctl(queue_t* q, mblk_t* mp, qd_line* lp) {
  qd_assert_line_held(lp);
  switch (static_cast<std::uint32_t>(qd_iocp(mp)->ioc_cmd)) {
  case VRNGETUPTR:
    return qdf_get_uptr_ioctl(q, mp);
  case VRNSETUPTR:
    return qdf_set_uptr_ioctl(q, mp);
  case VRNONLINE:
    return qdf_vrn_online_ioctl(q, mp);
  case VRNOFFLINE:
    return qdf_vrn_offline_ioctl(q, mp);
  default:
    qdf_make_ioctl_nak(mp, ENXIO);
    return QD_IOC_DONE;
  }
}
