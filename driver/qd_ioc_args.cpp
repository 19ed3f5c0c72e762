// Reading ioctl arguments from their messages.
#include "qd_ioc_args.h"

#include <cstdint>
#include <cstring>

#include "ksys/cred.h"

namespace {

std::size_t block_len(const mblk_t* bp) {
  return bp != nullptr && bp->b_wptr > bp->b_rptr
             ? static_cast<std::size_t>(bp->b_wptr - bp->b_rptr)
             : 0;
}

} // namespace

unsigned char* qd_ioc_record(mblk_t* mp, std::size_t size) {
  const iocblk* io = qd_iocp(mp);
  if (io->ioc_count == TRANSPARENT || io->ioc_count < size || block_len(mp->b_cont) < size) {
    return nullptr;
  }
  return mp->b_cont->b_rptr;
}

bool qd_ioc_int(mblk_t* mp, int* value) {
  if (qd_iocp(mp)->ioc_count == TRANSPARENT) {
    // The data block holds the caller's argument value, a word wide.
    std::intptr_t v = 0;
    if (block_len(mp->b_cont) < sizeof v) {
      return false;
    }
    std::memcpy(&v, mp->b_cont->b_rptr, sizeof v);
    *value = static_cast<int>(v);
    return true;
  }
  const unsigned char* rec = qd_ioc_record(mp, sizeof(int));
  if (rec == nullptr) {
    return false;
  }
  std::memcpy(value, rec, sizeof(int));
  return true;
}

bool qd_ioc_privileged(mblk_t* mp) {
  return drv_priv(qd_iocp(mp)->ioc_cr) == 0;
}
