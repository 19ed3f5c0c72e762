// Interim stand-ins for the driver's diagnostic-node and unit-node request handlers, which
// come from another branch: until they are merged, qdhost refuses those requests with
// ENOTSUP (the ports' own ioctls are unaffected). The build leaves this file out as soon as
// the driver defines the handlers itself; delete it then.
#include <cerrno>

#include "qddrv.h"

int qdf_diag_ioctl(queue_t*, mblk_t* mp, qd_line*) {
  qdf_make_ioctl_nak(mp, ENOTSUP);
  return QD_IOC_DONE;
}

int qdf_vrn_ioctl(queue_t*, mblk_t* mp, qd_line*) {
  qdf_make_ioctl_nak(mp, ENOTSUP);
  return QD_IOC_DONE;
}
