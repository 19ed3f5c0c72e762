// Interim stand-ins for the diagnostic-node and unit-node ioctl handlers, which come from
// another branch. They refuse every request with an errno of their own (ENOSYS for the
// diagnostic node, ENOTSUP for unit nodes), so that the dispatch tests can tell which codes
// were handed over. Delete this file when the real handlers arrive.
#include <cerrno>

#include "qddrv.h"

int qdf_diag_ioctl(queue_t*, mblk_t* mp, qd_line*) {
  qdf_make_ioctl_nak(mp, ENOSYS);
  return QD_IOC_DONE;
}

int qdf_vrn_ioctl(queue_t*, mblk_t* mp, qd_line*) {
  qdf_make_ioctl_nak(mp, ENOTSUP);
  return QD_IOC_DONE;
}
