// Interim stand-ins for the diagnostic-node and unit-node handlers, which come from another
// branch: each records the code it was given and refuses it with ENOTSUP, so that tests
// can see which codes the dispatch hands over. Delete this file when the real ones arrive.
#include "interim_ioctl.h"

#include <cerrno>

#include "qddrv.h"

namespace {

int record_and_refuse(std::vector<int>& seen, mblk_t* mp) {
  seen.push_back(reinterpret_cast<iocblk*>(mp->b_rptr)->ioc_cmd);
  qdf_make_ioctl_nak(mp, ENOTSUP);
  return QD_IOC_DONE;
}

} // namespace

InterimHandlers& interim_handlers() {
  static InterimHandlers instance;
  return instance;
}

int qdf_diag_ioctl(queue_t*, mblk_t* mp, qd_line*) {
  return record_and_refuse(interim_handlers().diag, mp);
}

int qdf_vrn_ioctl(queue_t*, mblk_t* mp, qd_line*) {
  return record_and_refuse(interim_handlers().unitnode, mp);
}
