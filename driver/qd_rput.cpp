// The read side's put and service procedures, and the character ioctl entry, which a
// STREAMS driver never sees called.
#include "ksys/cmn_err.h"
#include "qd_entry.h"
#include "qd_log.h"
#include "qd_trace_route.h"

namespace {
// Where the assertion messages say they are.
constexpr int QDIOCTL_LINE = 2223;
constexpr int QDRPUT_LINE = 2238;
} // namespace

int qdrput(queue_t* q, mblk_t* mp) {
  qd_trace_drv("qdrput %\n", static_cast<unsigned>(mp->b_datap->db_type));
  qd_assert_msg("0", "qd", QDRPUT_LINE);
  cmn_err(CE_WARN, "mp->b_datap->db_type=0x%X\n", static_cast<unsigned>(mp->b_datap->db_type));
  putnext(q, mp);
  return 0;
}

int qdrsrv(queue_t* q) {
  while (mblk_t* mp = getq(q)) {
    if (mp->b_datap->db_type >= QPCTL || canputnext(q) != 0) {
      putnext(q, mp);
    } else {
      putbq(q, mp);
      break;
    }
  }
  return 0;
}

int qdioctl(dev_t, int, intptr_t, int, cred_t*, int*) {
  qd_trace_drv("qdioctl\n");
  qd_assert_msg("0", "qd", QDIOCTL_LINE);
  return -1;
}
