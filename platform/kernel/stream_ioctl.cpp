// Stream head ioctls: I_STR, the module requests, the terminal ioctls sent down with their
// records, TCFLSH and TCXONC as flow messages, and transparent ioctls with the copy exchange.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "kemu/streams.h"
#include "kemu/usermem.h"
#include "ksys/cred.h"
#include "ksys/termios.h"
#include "ksys/time.h"
#include "stream_head_internal.h"
#include "streams_modules.h"

namespace kemu {
namespace {

// The ioctl block is big enough to turn into any of the three records in place; a copy of the
// caller's credentials follows it, so ioc_cr lives as long as the message does.
constexpr std::size_t kIocRecord = std::max({sizeof(iocblk), sizeof(copyreq), sizeof(copyresp)});
constexpr std::size_t kIocBlock = kIocRecord + sizeof(cred_t);
constexpr std::size_t kMaxIocData = 64 * 1024;
constexpr long kNoLimit = -1;

unsigned g_next_ioc_id = 0;

struct Reply {
  int error = 0;
  int rval = 0;
  std::vector<unsigned char> data; // the acknowledgement's data, at most ioc_count bytes
};

UserMemory& umem() {
  return current_user_memory();
}

int copy_from_user(std::intptr_t uaddr, void* dst, std::size_t n) {
  return umem().copyin(static_cast<std::uintptr_t>(uaddr), dst, n);
}
int copy_to_user(const void* src, std::intptr_t uaddr, std::size_t n) {
  return umem().copyout(src, static_cast<std::uintptr_t>(uaddr), n);
}

mblk_t* data_block(const void* src, std::size_t n) {
  mblk_t* mp = alloc_block(n, false);
  if (n > 0) {
    std::memcpy(mp->b_wptr, src, n);
  }
  mp->b_wptr += n;
  return mp;
}

std::vector<unsigned char> flatten(const mblk_t* mp, std::size_t limit) {
  std::vector<unsigned char> out;
  for (; mp != nullptr && out.size() < limit; mp = mp->b_cont) {
    auto n = std::min(static_cast<std::size_t>(mp->b_wptr - mp->b_rptr), limit - out.size());
    out.insert(out.end(), mp->b_rptr, mp->b_rptr + n);
  }
  return out;
}

// Waits until no other ioctl is in progress and claims the stream's ioctl slot.
int claim_ioctl(Stream* st) {
  mutex_enter(&st->lock);
  while (st->ioc_busy) {
    if (cv_wait_sig(&st->cv, &st->lock) == 0) {
      mutex_exit(&st->lock);
      return EINTR;
    }
  }
  st->ioc_busy = true;
  st->ioc_id = ++g_next_ioc_id;
  mutex_exit(&st->lock);
  return 0;
}

void release_ioctl(Stream* st) {
  mutex_enter(&st->lock);
  st->ioc_busy = false;
  if (st->ioc_reply != nullptr) {
    freemsg(st->ioc_reply);
    st->ioc_reply = nullptr;
  }
  cv_broadcast(&st->cv);
  mutex_exit(&st->lock);
}

// Serves M_COPYIN / M_COPYOUT in place: the message becomes the M_IOCDATA answer. 0, or
// EFAULT when the copy failed (the answer then says so in cp_rval).
int serve_copy(mblk_t* mp) {
  auto* cq = reinterpret_cast<copyreq*>(mp->b_rptr);
  int cmd = cq->cq_cmd;
  cred_t* cr = cq->cq_cr;
  unsigned id = cq->cq_id;
  auto uaddr = reinterpret_cast<std::intptr_t>(cq->cq_addr);
  std::size_t size = cq->cq_size;
  mblk_t* priv = cq->cq_private;
  int err = 0;
  mblk_t* data = nullptr;
  if (mp->b_datap->db_type == M_COPYIN) {
    if (size > kMaxIocData) {
      err = EFAULT;
    } else {
      std::vector<unsigned char> buf(size);
      err = copy_from_user(uaddr, buf.data(), size) != 0 ? EFAULT : 0;
      if (err == 0) {
        data = data_block(buf.data(), size);
      }
    }
  } else {
    std::vector<unsigned char> buf = flatten(mp->b_cont, size);
    err = copy_to_user(buf.data(), uaddr, buf.size()) != 0 ? EFAULT : 0;
  }
  freemsg(mp->b_cont);
  mp->b_cont = data;
  auto* cp = reinterpret_cast<copyresp*>(mp->b_rptr);
  std::memset(cp, 0, sizeof *cp);
  cp->cp_cmd = cmd;
  cp->cp_cr = cr;
  cp->cp_id = id;
  cp->cp_rval = err != 0 ? reinterpret_cast<caddr_t>(1) : nullptr;
  cp->cp_private = priv;
  mp->b_wptr = mp->b_rptr + sizeof(copyresp);
  mp->b_datap->db_type = M_IOCDATA;
  return err;
}

// Sends an M_IOCTL down and waits for its answer, serving copy requests on the way.
// count is the data length or TRANSPARENT; timeout_s is seconds or kNoLimit.
Reply do_ioctl(Stream* st, int cmd, const void* data, std::size_t len, unsigned count,
               long timeout_s, std::size_t keep_limit) {
  Reply r;
  if ((r.error = claim_ioctl(st)) != 0) {
    return r;
  }
  mutex_enter(&st->lock);
  int gone = st->hangup ? EIO : st->rerror != 0 ? st->rerror : st->werror;
  mutex_exit(&st->lock);
  if (gone != 0) {
    release_ioctl(st);
    r.error = gone;
    return r;
  }

  mblk_t* mp = alloc_block(kIocBlock, false);
  mp->b_datap->db_type = M_IOCTL;
  auto* cr = reinterpret_cast<cred_t*>(mp->b_rptr + kIocRecord);
  *cr = *ddi_get_cred();
  auto* ioc = reinterpret_cast<iocblk*>(mp->b_rptr);
  ioc->ioc_cmd = cmd;
  ioc->ioc_cr = cr;
  ioc->ioc_id = st->ioc_id;
  ioc->ioc_count = count;
  mp->b_wptr = mp->b_rptr + sizeof(iocblk);
  if (len > 0) {
    mp->b_cont = data_block(data, len);
  }

  clock_t deadline = timeout_s == kNoLimit ? -1 : ddi_get_lbolt() + timeout_s * hz;

  for (;;) {
    putnext(st->wq(), mp);
    mutex_enter(&st->lock);
    while (st->ioc_reply == nullptr && r.error == 0) {
      if (st->hangup) {
        r.error = EIO;
      } else if (deadline < 0) {
        r.error = cv_wait_sig(&st->cv, &st->lock) == 0 ? EINTR : 0;
      } else if (clock_t rv = cv_timedwait_sig(&st->cv, &st->lock, deadline); rv == 0) {
        r.error = EINTR;
      } else if (rv < 0 && st->ioc_reply == nullptr) {
        r.error = ETIME;
      }
    }
    mp = st->ioc_reply;
    st->ioc_reply = nullptr;
    mutex_exit(&st->lock);
    if (mp == nullptr) {
      break;
    }
    unsigned char type = mp->b_datap->db_type;
    if (type == M_COPYIN || type == M_COPYOUT) {
      if (int err = serve_copy(mp); err != 0) {
        // The module learns of the failure from cp_rval; the caller gets the fault at once.
        putnext(st->wq(), mp);
        r.error = err;
        break;
      }
      continue;
    }
    ioc = reinterpret_cast<iocblk*>(mp->b_rptr);
    if (type == M_IOCNAK) {
      r.error = ioc->ioc_error != 0 ? ioc->ioc_error : EINVAL;
      r.rval = -1;
    } else if (ioc->ioc_error != 0) {
      r.error = ioc->ioc_error;
      r.rval = -1;
    } else {
      r.rval = ioc->ioc_rval;
      if (ioc->ioc_count != TRANSPARENT) {
        r.data = flatten(mp->b_cont, std::min<std::size_t>(ioc->ioc_count, keep_limit));
      }
    }
    freemsg(mp);
    break;
  }
  release_ioctl(st);
  return r;
}

IoResult result_of(const Reply& r) {
  return r.error != 0 ? IoResult{-1, r.error} : IoResult{r.rval, 0};
}

// ---- I_STR --------------------------------------------------------------------------------------

IoResult ioctl_str(Stream* st, std::intptr_t arg) {
  strioctl sio{};
  if (copy_from_user(arg, &sio, sizeof sio) != 0) {
    return {-1, EFAULT};
  }
  if (sio.ic_len < 0 || static_cast<std::size_t>(sio.ic_len) > kMaxIocData || sio.ic_timout < -1) {
    return {-1, EINVAL};
  }
  auto len = static_cast<std::size_t>(sio.ic_len);
  auto dp = reinterpret_cast<std::intptr_t>(sio.ic_dp);
  std::vector<unsigned char> buf(len);
  if (copy_from_user(dp, buf.data(), len) != 0) {
    return {-1, EFAULT};
  }
  long timeout_s = sio.ic_timout == 0  ? STR_DEFAULT_TIMEOUT
                   : sio.ic_timout < 0 ? kNoLimit
                                       : sio.ic_timout;
  Reply r = do_ioctl(st, sio.ic_cmd, buf.data(), len, static_cast<unsigned>(len), timeout_s, len);
  if (r.error != 0) {
    return result_of(r);
  }
  if (copy_to_user(r.data.data(), dp, r.data.size()) != 0) {
    return {-1, EFAULT};
  }
  sio.ic_len = static_cast<int>(r.data.size());
  if (copy_to_user(&sio, arg, sizeof sio) != 0) {
    return {-1, EFAULT};
  }
  return result_of(r);
}

// ---- Modules ------------------------------------------------------------------------------------

IoResult ioctl_push(Stream* st, OpenFile& f, std::intptr_t arg) {
  char name[FMNAMESZ + 1] = {};
  std::size_t n = 0;
  for (; n <= FMNAMESZ; ++n) {
    if (copy_from_user(arg + static_cast<std::intptr_t>(n), &name[n], 1) != 0) {
      return {-1, EFAULT};
    }
    if (name[n] == '\0') {
      break;
    }
  }
  if (n == 0 || n > FMNAMESZ) {
    return {-1, EINVAL};
  }
  streamtab* tab = find_module(name);
  if (tab == nullptr) {
    return {-1, EINVAL};
  }
  if (int err = claim_ioctl(st); err != 0) {
    return {-1, err};
  }
  int err = stream_push(st, tab, name, f.flags, ddi_get_cred());
  release_ioctl(st);
  return err != 0 ? IoResult{-1, err} : IoResult{};
}

IoResult ioctl_pop(Stream* st, OpenFile& f) {
  if (int err = claim_ioctl(st); err != 0) {
    return {-1, err};
  }
  IoResult r;
  if (st->modules.empty()) {
    r = {-1, EINVAL};
  } else {
    stream_pop(st, f.flags, ddi_get_cred());
  }
  release_ioctl(st);
  return r;
}

IoResult ioctl_look(Stream* st, std::intptr_t arg) {
  if (st->modules.empty()) {
    return {-1, EINVAL};
  }
  char name[FMNAMESZ + 1] = {};
  std::strncpy(name, st->modules.front()->name.c_str(), FMNAMESZ);
  if (copy_to_user(name, arg, std::strlen(name) + 1) != 0) {
    return {-1, EFAULT};
  }
  return {};
}

// ---- Flow messages ------------------------------------------------------------------------------

void send_ctl(Stream* st, unsigned char type, const unsigned char* param) {
  mblk_t* mp = alloc_block(param != nullptr ? 1 : 0, false);
  mp->b_datap->db_type = type;
  if (param != nullptr) {
    *mp->b_wptr++ = *param;
  }
  putnext(st->wq(), mp);
}

IoResult send_flush(Stream* st, unsigned char how) {
  if ((how & FLUSHR) != 0) {
    mutex_enter(&st->lock);
    flushq(st->rq(), FLUSHALL);
    mutex_exit(&st->lock);
  }
  send_ctl(st, M_FLUSH, &how);
  return {};
}

IoResult ioctl_tcflsh(Stream* st, std::intptr_t arg) {
  switch (arg) {
  case TCIFLUSH:
    return send_flush(st, FLUSHR);
  case TCOFLUSH:
    return send_flush(st, FLUSHW);
  case TCIOFLUSH:
    return send_flush(st, FLUSHRW);
  default:
    return {-1, EINVAL};
  }
}

IoResult ioctl_tcxonc(Stream* st, std::intptr_t arg) {
  unsigned char type;
  switch (arg) {
  case TCOOFF:
    type = M_STOP;
    break;
  case TCOON:
    type = M_START;
    break;
  case TCIOFF:
    type = M_STOPI;
    break;
  case TCION:
    type = M_STARTI;
    break;
  default:
    return {-1, EINVAL};
  }
  send_ctl(st, type, nullptr);
  return {};
}

// ---- Terminal ioctls ----------------------------------------------------------------------------

enum class Arg { kIn, kOut, kValue, kNone };
struct TermIoctl {
  int cmd;
  std::size_t size;
  Arg arg;
};

// The terminal ioctls that travel non-transparent, with their records.
constexpr TermIoctl kTermIoctls[] = {
    {TCGETS, sizeof(termios), Arg::kOut},
    {TCSETS, sizeof(termios), Arg::kIn},
    {TCSETSW, sizeof(termios), Arg::kIn},
    {TCSETSF, sizeof(termios), Arg::kIn},
    {TCGETA, sizeof(termio), Arg::kOut},
    {TCSETA, sizeof(termio), Arg::kIn},
    {TCSETAW, sizeof(termio), Arg::kIn},
    {TCSETAF, sizeof(termio), Arg::kIn},
    {TIOCGWINSZ, sizeof(winsize), Arg::kOut},
    {TIOCSWINSZ, sizeof(winsize), Arg::kIn},
    {TIOCGSOFTCAR, sizeof(int), Arg::kOut},
    {TIOCSSOFTCAR, sizeof(int), Arg::kIn},
    {TCSBRK, sizeof(int), Arg::kValue},
    {TIOCSTI, 1, Arg::kIn},
    {TIOCEXCL, 0, Arg::kNone},
    {TIOCNXCL, 0, Arg::kNone},
};

const TermIoctl* find_term_ioctl(int cmd) {
  for (const TermIoctl& t : kTermIoctls) {
    if (t.cmd == cmd) {
      return &t;
    }
  }
  return nullptr;
}

IoResult ioctl_term(Stream* st, const TermIoctl& t, std::intptr_t arg) {
  std::vector<unsigned char> rec;
  if (t.arg == Arg::kIn) {
    rec.resize(t.size);
    if (copy_from_user(arg, rec.data(), t.size) != 0) {
      return {-1, EFAULT};
    }
  } else if (t.arg == Arg::kValue) {
    auto v = static_cast<int>(arg);
    rec.resize(sizeof v);
    std::memcpy(rec.data(), &v, sizeof v);
  }
  Reply r = do_ioctl(st, t.cmd, rec.data(), rec.size(), static_cast<unsigned>(rec.size()), kNoLimit,
                     t.arg == Arg::kOut ? t.size : 0);
  if (r.error == 0 && t.arg == Arg::kOut && copy_to_user(r.data.data(), arg, r.data.size()) != 0) {
    return {-1, EFAULT};
  }
  return result_of(r);
}

IoResult ioctl_transparent(Stream* st, int cmd, std::intptr_t arg) {
  Reply r = do_ioctl(st, cmd, &arg, sizeof arg, TRANSPARENT, kNoLimit, 0);
  return result_of(r);
}

} // namespace

IoResult stream_ioctl(OpenFile& f, int cmd, std::intptr_t arg) {
  Stream* st = f.stream;
  switch (cmd) {
  case I_STR:
    return ioctl_str(st, arg);
  case I_PUSH:
    return ioctl_push(st, f, arg);
  case I_POP:
    return ioctl_pop(st, f);
  case I_LOOK:
    return ioctl_look(st, arg);
  case I_FLUSH:
    if (arg != FLUSHR && arg != FLUSHW && arg != FLUSHRW) {
      return {-1, EINVAL};
    }
    return send_flush(st, static_cast<unsigned char>(arg));
  case TCFLSH:
    return ioctl_tcflsh(st, arg);
  case TCXONC:
    return ioctl_tcxonc(st, arg);
  default:
    if (const TermIoctl* t = find_term_ioctl(cmd)) {
      return ioctl_term(st, *t, arg);
    }
    return ioctl_transparent(st, cmd, arg);
  }
}

} // namespace kemu
