// Interim stand-ins, for linking only, for the diagnostic-node and unit-node ioctl
// handlers, which come from another branch. Delete this file when the real ones arrive.
#include <cerrno>

#include "qddrv.h"

int qdf_diag_ioctl(queue_t*, mblk_t* mp, qd_line*) {
  qdf_make_ioctl_nak(mp, ENOSYS);
  return QD_IOC_DONE;
}

int qdf_vrn_ioctl(queue_t*, mblk_t* mp, qd_line*) {
  qdf_make_ioctl_nak(mp, ENOSYS);
  return QD_IOC_DONE;
}
