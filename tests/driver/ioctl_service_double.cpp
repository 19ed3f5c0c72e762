// The stand-in ioctl dispatch; see ioctl_service_double.h.
#include "ioctl_service_double.h"

#include "qddrv.h"

IoctlServiceDouble& ioctl_service_double() {
  static IoctlServiceDouble instance;
  return instance;
}

int qdf_service_ioctl(queue_t* q, mblk_t* mp) {
  auto* lp = static_cast<qd_line*>(q->q_ptr);
  IoctlServiceDouble& svc = ioctl_service_double();
  mutex_enter(lp->unit_mutex);
  svc.serviced.push_back(reinterpret_cast<iocblk*>(mp->b_rptr)->ioc_cmd);
  int outcome = QD_IOC_DONE;
  if (svc.handler) {
    outcome = svc.handler(q, mp, lp);
  } else {
    qdf_make_ioctl_ack(mp);
  }
  mutex_exit(lp->unit_mutex);
  if (outcome == QD_IOC_DONE) {
    qreply(q, mp);
  }
  return outcome;
}
