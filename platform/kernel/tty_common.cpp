// The terminal state that tty drivers share, and the ioctls it serves by itself.
#include <cerrno>
#include <cstring>

#include "ksys/cred.h"
#include "ksys/stream.h"
#include "ksys/tty_common.h"

namespace {

// Copies the first n data bytes of the message's b_cont chain; false when there are fewer.
bool read_record(const mblk_t* mp, void* dst, std::size_t n) {
  auto* out = static_cast<unsigned char*>(dst);
  std::size_t got = 0;
  for (const mblk_t* b = mp->b_cont; b != nullptr && got < n; b = b->b_cont) {
    auto k = static_cast<std::size_t>(b->b_wptr - b->b_rptr);
    k = k < n - got ? k : n - got;
    std::memcpy(out + got, b->b_rptr, k);
    got += k;
  }
  return got == n;
}

std::size_t reply_size(int cmd) {
  switch (cmd) {
  case TCGETS:
    return sizeof(termios);
  case TCGETA:
    return sizeof(termio);
  case TIOCGWINSZ:
    return sizeof(winsize);
  case TIOCGSOFTCAR:
    return sizeof(int);
  default:
    return 0;
  }
}

void hold(tty_common_t* tc, mblk_t* mp) {
  if (tc->t_iocpending != nullptr && tc->t_iocpending != mp) {
    freemsg(tc->t_iocpending);
  }
  tc->t_iocpending = mp;
  tc->t_iocid = static_cast<int>(reinterpret_cast<iocblk*>(mp->b_rptr)->ioc_id);
}

void attach_reply(mblk_t* mp, mblk_t* rb, const void* src, std::size_t n) {
  std::memcpy(rb->b_wptr, src, n);
  rb->b_wptr += n;
  freemsg(mp->b_cont);
  mp->b_cont = rb;
  reinterpret_cast<iocblk*>(mp->b_rptr)->ioc_count = static_cast<unsigned>(n);
}

} // namespace

std::size_t ttycommon_ioctl(tty_common_t* tc, queue_t* /*q*/, mblk_t* mp, int* error) {
  auto* ioc = reinterpret_cast<iocblk*>(mp->b_rptr);
  *error = -1;
  if (ioc->ioc_count == TRANSPARENT) {
    return 0;
  }
  int cmd = ioc->ioc_cmd;

  // A reply, or the character TIOCSTI sends up, needs a block; without one the message is
  // held for the caller's buffer callback and nothing else changes.
  std::size_t need = reply_size(cmd);
  char sti = 0;
  int sti_err = 0;
  if (cmd == TIOCSTI) {
    if (!read_record(mp, &sti, 1)) {
      sti_err = EINVAL;
    } else if (drv_priv(ioc->ioc_cr) != 0) {
      sti_err = EPERM;
    } else {
      need = 1;
    }
  }
  mblk_t* rb = nullptr;
  if (need != 0 && (rb = allocb(need, BPRI_HI)) == nullptr) {
    hold(tc, mp);
    return need;
  }

  mp->b_datap->db_type = M_IOCACK;
  ioc->ioc_count = 0;
  ioc->ioc_error = 0;
  ioc->ioc_rval = 0;
  int err = 0;
  switch (cmd) {
  case TCGETS: {
    termios t{};
    t.c_iflag = tc->t_iflag;
    t.c_cflag = tc->t_cflag;
    t.c_cc[VSTART] = tc->t_startc;
    t.c_cc[VSTOP] = tc->t_stopc;
    attach_reply(mp, rb, &t, sizeof t);
    break;
  }
  case TCSETS:
  case TCSETSW:
  case TCSETSF: {
    termios t{};
    if (!read_record(mp, &t, sizeof t)) {
      err = EINVAL;
      break;
    }
    tc->t_iflag = t.c_iflag;
    tc->t_cflag = t.c_cflag;
    tc->t_startc = t.c_cc[VSTART];
    tc->t_stopc = t.c_cc[VSTOP];
    break;
  }
  case TCGETA: {
    termio t{};
    t.c_iflag = static_cast<unsigned short>(tc->t_iflag & 0xffff);
    t.c_cflag = static_cast<unsigned short>(tc->t_cflag & 0xffff);
    attach_reply(mp, rb, &t, sizeof t);
    break;
  }
  case TCSETA:
  case TCSETAW:
  case TCSETAF: {
    termio t{};
    if (!read_record(mp, &t, sizeof t)) {
      err = EINVAL;
      break;
    }
    // The old record carries only the low 16 bits of each mode word.
    tc->t_iflag = (tc->t_iflag & 0xffff0000u) | t.c_iflag;
    tc->t_cflag = (tc->t_cflag & 0xffff0000u) | t.c_cflag;
    break;
  }
  case TIOCGWINSZ:
    attach_reply(mp, rb, &tc->t_size, sizeof tc->t_size);
    break;
  case TIOCSWINSZ: {
    winsize ws{};
    if (!read_record(mp, &ws, sizeof ws)) {
      err = EINVAL;
      break;
    }
    tc->t_size = ws;
    break;
  }
  case TIOCGSOFTCAR: {
    int on = (tc->t_flags & TS_SOFTCAR) != 0 ? 1 : 0;
    attach_reply(mp, rb, &on, sizeof on);
    break;
  }
  case TIOCSSOFTCAR: {
    int on = 0;
    if (!read_record(mp, &on, sizeof on)) {
      err = EINVAL;
      break;
    }
    if ((on & 1) != 0) {
      tc->t_flags |= TS_SOFTCAR;
    } else {
      tc->t_flags &= ~TS_SOFTCAR;
    }
    break;
  }
  case TIOCEXCL:
    tc->t_flags |= TS_XCLUDE;
    break;
  case TIOCNXCL:
    tc->t_flags &= ~TS_XCLUDE;
    break;
  case TIOCSTI:
    err = sti_err;
    if (rb != nullptr) {
      *rb->b_wptr++ = static_cast<unsigned char>(sti);
      if (tc->t_readq != nullptr) {
        putnext(tc->t_readq, rb);
      } else {
        freeb(rb);
      }
    }
    break;
  default:
    return 0; // not ours: *error stays -1
  }
  *error = err;
  return 0;
}

void ttycommon_close(tty_common_t* tc) {
  tc->t_flags &= ~TS_XCLUDE;
  tc->t_readq = nullptr;
  tc->t_writeq = nullptr;
  if (tc->t_iocpending != nullptr) {
    freemsg(tc->t_iocpending);
    tc->t_iocpending = nullptr;
  }
}
