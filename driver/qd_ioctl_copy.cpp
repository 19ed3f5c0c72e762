// The copy exchange of transparent ioctls: M_COPYIN of an argument record, and the
// M_IOCDATA that answers a copy-in or a copy-out.
#include <cerrno>
#include <cstring>

#include "ksys/termios.h"
#include "qddrv.h"
#include "qdio.h"

namespace {

// What the M_IOCDATA of a code completes.
struct qd_copy_step {
  int cmd;
  int size;
  bool copyin;       // else a copy-out
  const char* found; // trace text; null: "cp_cmd = %" with the code
  const char* acked; // trace text of a finished copy-out
};

constexpr qd_copy_step kCopySteps[] = {
    {TIOCMSET, 4, true, nullptr, nullptr},
    {TIOCMBIS, 4, true, nullptr, nullptr},
    {TIOCMBIC, 4, true, nullptr, nullptr},
    {TIOCMGET, 4, false, nullptr, "ACK for TIOCMGET\n"},
    // Served as TIOCMSET and TIOCMGET, so their copies complete as theirs do.
    {QD_TIOCMSET_SIZED, 4, true, nullptr, nullptr},
    {QD_TIOCMGET_SIZED, 4, false, nullptr, "ACK for TIOCMGET\n"},
    {qd_ioc(QMXSETEXTCTL), sizeof(qd_ext_ctl), true, "cp_cmd = EXTCTL\n", nullptr},
    {qd_ioc(QMXGETEXTCTL), sizeof(qd_ext_ctl), false, "cp_cmd = EXTCTL\n",
     "ACK for QMXSETEXTCTL\n"},
    {qd_ioc(VRNSETUPTR), 28, true, nullptr, nullptr},
    {qd_ioc(VRNGETUPTR), 28, false, nullptr, "ACK for VRNGETUPTR\n"},
};

const qd_copy_step* qd_copy_step_of(int cmd) {
  for (const qd_copy_step& s : kCopySteps) {
    if (s.cmd == cmd) {
      return &s;
    }
  }
  return nullptr;
}

iocblk* qd_iocblk(mblk_t* mp) {
  return reinterpret_cast<iocblk*>(mp->b_rptr);
}

std::size_t qd_data_bytes(const mblk_t* mp) {
  std::size_t n = 0;
  for (const mblk_t* b = mp->b_cont; b != nullptr; b = b->b_cont) {
    n += static_cast<std::size_t>(b->b_wptr - b->b_rptr);
  }
  return n;
}

} // namespace

bool qd_user_arg(const mblk_t* mp, caddr_t* uaddr) {
  const mblk_t* b = mp->b_cont;
  if (b == nullptr || b->b_wptr - b->b_rptr < static_cast<long>(sizeof(caddr_t))) {
    return false;
  }
  std::memcpy(uaddr, b->b_rptr, sizeof(caddr_t));
  return true;
}

void qd_copy_request(mblk_t* mp, caddr_t uaddr, int size, unsigned char type) {
  auto* cq = reinterpret_cast<copyreq*>(mp->b_rptr);
  cq->cq_addr = uaddr;
  cq->cq_size = static_cast<unsigned>(size);
  cq->cq_flag = 0;
  cq->cq_private = nullptr;
  mp->b_datap->db_type = type;
  mp->b_wptr = mp->b_rptr + sizeof(copyreq);
}

bool qdf_ioctl_record(const mblk_t* mp, void* dst, std::size_t size) {
  if (reinterpret_cast<const iocblk*>(mp->b_rptr)->ioc_count == TRANSPARENT ||
      qd_data_bytes(mp) != size) {
    return false;
  }
  auto* out = static_cast<unsigned char*>(dst);
  for (const mblk_t* b = mp->b_cont; b != nullptr; b = b->b_cont) {
    const auto n = static_cast<std::size_t>(b->b_wptr - b->b_rptr);
    std::memcpy(out, b->b_rptr, n);
    out += n;
  }
  return true;
}

void qdf_copyin(mblk_t* mp, int size) {
  qd_trace_drv("copyin\n");
  caddr_t uaddr = nullptr;
  if (!qd_user_arg(mp, &uaddr)) {
    // Nothing names the caller's record: there is nothing to copy from.
    qd_trace_drv("NAK(~)\n", EINVAL);
    qdf_make_ioctl_nak(mp, EINVAL);
    return;
  }
  qd_copy_request(mp, uaddr, size, M_COPYIN);
  freemsg(mp->b_cont);
  mp->b_cont = nullptr;
}

int qdf_transparent(queue_t* q, mblk_t* mp) {
  auto* lp = static_cast<qd_line*>(q->q_ptr);
  qd_trace_line(lp, "qdf_transparent\n");
  const auto* cp = reinterpret_cast<const copyresp*>(mp->b_rptr);
  if (cp->cp_rval != nullptr) {
    qd_trace_line(lp, "cp_rval != 0\n");
    qdf_make_ioctl_nak(mp, EINVAL);
    qreply(q, mp);
    return 0;
  }
  const qd_copy_step* step = qd_copy_step_of(cp->cp_cmd);
  if (step == nullptr) {
    qd_trace_line(lp, "NAK(~)\n", EINVAL);
    qdf_make_ioctl_nak(mp, EINVAL);
    qreply(q, mp);
    return 0;
  }
  if (step->found != nullptr) {
    qd_trace_line(lp, "$", step->found);
  } else {
    qd_trace_line(lp, "cp_cmd = %\n", cp->cp_cmd);
  }
  iocblk* io = qd_iocblk(mp);
  io->ioc_count = 0;
  io->ioc_error = 0;
  io->ioc_rval = 0;
  if (!step->copyin) {
    qd_trace_line(lp, "$", step->acked);
    mp->b_datap->db_type = M_IOCACK;
    qreply(q, mp);
    return 0;
  }
  qd_trace_line(lp, "did copyin\n");
  io->ioc_count = static_cast<unsigned>(step->size);
  mp->b_datap->db_type = M_IOCTL;
  mp->b_wptr = mp->b_rptr + sizeof(iocblk);
  return 1;
}
