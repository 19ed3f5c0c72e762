// The loopback driver: a STREAMS driver small enough to check device access end to end
// without the qd driver. Its state lives in this file; every entry point runs in a kernel
// context, and only one context runs at a time, so the map needs no lock of its own.
#include "qdhost/loop_driver.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "kemu/ddi.h"
#include "ksys/cred.h"
#include "ksys/ddi.h"
#include "ksys/devops.h"
#include "ksys/modctl.h"
#include "ksys/mutex.h"
#include "ksys/stream.h"
#include "ksys/termios.h"
#include "ksys/time.h"
#include "ksys/usercopy.h"
#include "qdhost/loop_codes.h"

namespace qdhost::loop {
namespace {

// Where a transparent exchange stands.
enum class Step { kNone, kUpcaseRecord, kUpcaseData, kUpcaseDone, kModemGet, kModemSet };

struct Line {
  queue_t* rq = nullptr;
  termios tio{};
  int modem = TIOCM_DTR | TIOCM_RTS;
  mblk_t* held = nullptr; // an ioctl it will never answer
  mblk_t* later = nullptr;
  timeout_id_t later_id = nullptr;
  Step step = Step::kNone;
  LoopCopy copy{};
};

std::map<minor_t, Line>& lines() {
  static std::map<minor_t, Line> m;
  return m;
}

kmutex_t g_wait_mutex;
kcondvar_t g_wait_cv;

minor_t minor_of(queue_t* q) {
  return static_cast<minor_t>(reinterpret_cast<std::uintptr_t>(q->q_ptr));
}

Line& line_of(queue_t* q) {
  return lines()[minor_of(q)];
}

iocblk* ioc(mblk_t* mp) {
  return reinterpret_cast<iocblk*>(mp->b_rptr);
}

std::vector<unsigned char> data_of(const mblk_t* mp) {
  std::vector<unsigned char> out;
  for (const mblk_t* b = mp; b != nullptr; b = b->b_cont) {
    out.insert(out.end(), b->b_rptr, b->b_wptr);
  }
  return out;
}

mblk_t* block_of(const void* src, std::size_t n) {
  mblk_t* mp = allocb(n, BPRI_MED);
  if (mp != nullptr && n > 0) {
    std::memcpy(mp->b_wptr, src, n);
    mp->b_wptr += n;
  }
  return mp;
}

// Acknowledges with `data` as the reply (null: keep the message's own data and count).
void ack(queue_t* wq, mblk_t* mp, int rval, mblk_t* data = nullptr, bool replace = false) {
  if (replace) {
    freemsg(mp->b_cont);
    mp->b_cont = data;
    ioc(mp)->ioc_count = data != nullptr ? static_cast<unsigned>(msgdsize(data)) : 0;
  }
  mp->b_datap->db_type = M_IOCACK;
  mp->b_wptr = mp->b_rptr + sizeof(iocblk);
  ioc(mp)->ioc_error = 0;
  ioc(mp)->ioc_rval = rval;
  qreply(wq, mp);
}

void nak(queue_t* wq, mblk_t* mp, int error) {
  freemsg(mp->b_cont);
  mp->b_cont = nullptr;
  mp->b_datap->db_type = M_IOCNAK;
  mp->b_wptr = mp->b_rptr + sizeof(iocblk);
  ioc(mp)->ioc_count = 0;
  ioc(mp)->ioc_error = error;
  ioc(mp)->ioc_rval = -1;
  qreply(wq, mp);
}

// Turns an ioctl (or an M_IOCDATA) into a copy request to the caller's memory.
void copy_request(queue_t* wq, mblk_t* mp, unsigned char type, std::uintptr_t addr,
                  std::size_t size, mblk_t* data) {
  auto* cq = reinterpret_cast<copyreq*>(mp->b_rptr);
  cq->cq_addr = reinterpret_cast<caddr_t>(addr);
  cq->cq_size = static_cast<unsigned>(size);
  cq->cq_flag = 0;
  cq->cq_private = nullptr;
  freemsg(mp->b_cont);
  mp->b_cont = data;
  mp->b_datap->db_type = type;
  mp->b_wptr = mp->b_rptr + sizeof(copyreq);
  qreply(wq, mp);
}

std::uintptr_t transparent_arg(const mblk_t* mp) {
  std::uintptr_t arg = 0;
  if (mp->b_cont != nullptr &&
      static_cast<std::size_t>(mp->b_cont->b_wptr - mp->b_cont->b_rptr) >= sizeof arg) {
    std::memcpy(&arg, mp->b_cont->b_rptr, sizeof arg);
  }
  return arg;
}

void later_cb(void* arg) {
  auto mn = static_cast<minor_t>(reinterpret_cast<std::uintptr_t>(arg));
  auto it = lines().find(mn);
  if (it == lines().end() || it->second.later == nullptr) {
    return;
  }
  Line& ln = it->second;
  mblk_t* mp = ln.later;
  ln.later = nullptr;
  ln.later_id = nullptr;
  putnext(ln.rq, mp);
}

void fetch(queue_t* wq, mblk_t* mp) {
  std::vector<unsigned char> rec = data_of(mp->b_cont);
  LoopFetch f{};
  if (rec.size() < sizeof f) {
    nak(wq, mp, EINVAL);
    return;
  }
  std::memcpy(&f, rec.data(), sizeof f);
  if (f.len > 1024 * 1024) {
    nak(wq, mp, EINVAL);
    return;
  }
  std::vector<unsigned char> text(f.len, f.fill);
  if (copyout(text.data(), reinterpret_cast<void*>(static_cast<std::uintptr_t>(f.addr)), f.len) !=
      0) {
    nak(wq, mp, EFAULT);
    return;
  }
  ack(wq, mp, 0);
}

void ioctl(queue_t* wq, mblk_t* mp) {
  Line& ln = line_of(wq);
  iocblk* io = ioc(mp);
  const bool transparent = io->ioc_count == TRANSPARENT;
  switch (io->ioc_cmd) {
  case kReverse: {
    std::vector<unsigned char> d = data_of(mp->b_cont);
    std::reverse(d.begin(), d.end());
    ack(wq, mp, static_cast<int>(d.size()), block_of(d.data(), d.size()), true);
    return;
  }
  case kFail: {
    std::vector<unsigned char> d = data_of(mp->b_cont);
    int err = EINVAL;
    if (d.size() >= sizeof err) {
      std::memcpy(&err, d.data(), sizeof err);
    }
    nak(wq, mp, err);
    return;
  }
  case kFetch:
    fetch(wq, mp);
    return;
  case kHang:
    if (ln.held != nullptr) {
      nak(wq, mp, EBUSY);
      return;
    }
    ln.held = mp;
    return;
  case kCred: {
    const cred_t* cr = io->ioc_cr;
    LoopCred c{cr->cr_uid, cr->cr_gid, cr->cr_ruid, cr->cr_rgid};
    ack(wq, mp, 0, block_of(&c, sizeof c), true);
    return;
  }
  case kHangup: {
    queue_t* rq = RD(wq);
    ack(wq, mp, 0);
    putnextctl(rq, M_HANGUP);
    return;
  }
  case kLater: {
    if (ln.later != nullptr) {
      nak(wq, mp, EBUSY);
      return;
    }
    std::vector<unsigned char> d = data_of(mp->b_cont);
    ln.later = block_of(d.data(), d.size());
    ln.later_id =
        timeout(later_cb, reinterpret_cast<void*>(static_cast<std::uintptr_t>(minor_of(wq))), 1);
    ack(wq, mp, 0, nullptr, true);
    return;
  }
  case kUpcase:
    if (!transparent) {
      nak(wq, mp, EINVAL);
      return;
    }
    ln.step = Step::kUpcaseRecord;
    copy_request(wq, mp, M_COPYIN, transparent_arg(mp), sizeof(LoopCopy), nullptr);
    return;
  case kTwice:
    if (!transparent) {
      nak(wq, mp, EINVAL);
      return;
    }
    ack(wq, mp, static_cast<int>(transparent_arg(mp) * 2), nullptr, true);
    return;
  case TIOCMGET: {
    if (!transparent) {
      nak(wq, mp, EINVAL);
      return;
    }
    ln.step = Step::kModemGet;
    copy_request(wq, mp, M_COPYOUT, transparent_arg(mp), sizeof ln.modem,
                 block_of(&ln.modem, sizeof ln.modem));
    return;
  }
  case TIOCMSET:
    if (!transparent) {
      nak(wq, mp, EINVAL);
      return;
    }
    ln.step = Step::kModemSet;
    copy_request(wq, mp, M_COPYIN, transparent_arg(mp), sizeof ln.modem, nullptr);
    return;
  case TCGETS:
    ack(wq, mp, 0, block_of(&ln.tio, sizeof ln.tio), true);
    return;
  case TCSETS:
  case TCSETSW:
  case TCSETSF: {
    std::vector<unsigned char> d = data_of(mp->b_cont);
    if (d.size() < sizeof ln.tio) {
      nak(wq, mp, EINVAL);
      return;
    }
    std::memcpy(&ln.tio, d.data(), sizeof ln.tio);
    ack(wq, mp, 0, nullptr, true);
    return;
  }
  case TCSBRK:
    ack(wq, mp, 0, nullptr, true);
    return;
  default:
    nak(wq, mp, EINVAL);
    return;
  }
}

void iocdata(queue_t* wq, mblk_t* mp) {
  Line& ln = line_of(wq);
  auto* cp = reinterpret_cast<copyresp*>(mp->b_rptr);
  Step step = ln.step;
  ln.step = Step::kNone;
  if (cp->cp_rval != nullptr) {
    freemsg(mp); // the stream head has given up on this ioctl already
    return;
  }
  std::vector<unsigned char> d = data_of(mp->b_cont);
  switch (step) {
  case Step::kUpcaseRecord:
    if (d.size() < sizeof ln.copy) {
      nak(wq, mp, EINVAL);
      return;
    }
    std::memcpy(&ln.copy, d.data(), sizeof ln.copy);
    if (ln.copy.len > 64 * 1024) {
      nak(wq, mp, EINVAL);
      return;
    }
    ln.step = Step::kUpcaseData;
    copy_request(wq, mp, M_COPYIN, ln.copy.addr, ln.copy.len, nullptr);
    return;
  case Step::kUpcaseData:
    for (unsigned char& c : d) {
      c = static_cast<unsigned char>(std::toupper(c));
    }
    ln.step = Step::kUpcaseDone;
    copy_request(wq, mp, M_COPYOUT, ln.copy.addr, d.size(), block_of(d.data(), d.size()));
    return;
  case Step::kUpcaseDone:
    ack(wq, mp, static_cast<int>(ln.copy.len), nullptr, true);
    return;
  case Step::kModemGet:
    ack(wq, mp, 0, nullptr, true);
    return;
  case Step::kModemSet:
    if (d.size() >= sizeof ln.modem) {
      std::memcpy(&ln.modem, d.data(), sizeof ln.modem);
    }
    ack(wq, mp, 0, nullptr, true);
    return;
  case Step::kNone:
    nak(wq, mp, EPROTO);
    return;
  }
}

int loop_open(queue_t* q, dev_t* devp, int /*oflag*/, int /*sflag*/, cred_t* /*cr*/) {
  const minor_t mn = getminor(*devp);
  if (mn == kBlockMinor) {
    // Waits for nothing but a signal.
    mutex_enter(&g_wait_mutex);
    while (cv_wait_sig(&g_wait_cv, &g_wait_mutex) != 0) {
    }
    mutex_exit(&g_wait_mutex);
    return EINTR;
  }
  if (mn != kEchoMinor && mn != kDialoutMinor && mn != kCtlMinor) {
    return ENXIO;
  }
  if (q->q_ptr == nullptr) {
    q->q_ptr = reinterpret_cast<void*>(static_cast<std::uintptr_t>(mn));
    WR(q)->q_ptr = q->q_ptr;
    Line& ln = lines()[mn];
    ln = Line{};
    ln.rq = q;
    ln.tio.c_cflag = B9600 | CS8 | CREAD;
    qprocson(q);
  }
  return 0;
}

int loop_close(queue_t* q, int /*flag*/, cred_t* /*cr*/) {
  auto it = lines().find(minor_of(q));
  if (it != lines().end()) {
    Line& ln = it->second;
    if (ln.later_id != nullptr) {
      untimeout(ln.later_id);
    }
    freemsg(ln.later);
    freemsg(ln.held);
    lines().erase(it);
  }
  qprocsoff(q);
  q->q_ptr = nullptr;
  WR(q)->q_ptr = nullptr;
  return 0;
}

int loop_wput(queue_t* q, mblk_t* mp) {
  switch (mp->b_datap->db_type) {
  case M_DATA:
    qreply(q, mp);
    return 0;
  case M_IOCTL:
    ioctl(q, mp);
    return 0;
  case M_IOCDATA:
    iocdata(q, mp);
    return 0;
  case M_FLUSH:
    if ((*mp->b_rptr & FLUSHW) != 0) {
      flushq(q, FLUSHDATA);
      *mp->b_rptr &= static_cast<unsigned char>(~FLUSHW);
    }
    if ((*mp->b_rptr & FLUSHR) != 0) {
      flushq(RD(q), FLUSHDATA);
      qreply(q, mp);
    } else {
      freemsg(mp);
    }
    return 0;
  default:
    freemsg(mp);
    return 0;
  }
}

int loop_rput(queue_t* q, mblk_t* mp) {
  putnext(q, mp);
  return 0;
}

module_info loop_minfo = {0, kDriverName, 0, INFPSZ, 8192, 1024};
qinit loop_rinit = {loop_rput, nullptr, loop_open, loop_close, nullptr, &loop_minfo, nullptr};
qinit loop_winit = {loop_wput, nullptr, nullptr, nullptr, nullptr, &loop_minfo, nullptr};
streamtab loop_info = {&loop_rinit, &loop_winit, nullptr, nullptr};

struct NodeSpec {
  const char* name;
  int spec_type;
  minor_t minor;
  const char* node_type;
};
constexpr NodeSpec kNodes[] = {
    {kEchoNode, S_IFCHR, kEchoMinor, DDI_NT_SERIAL},
    {kDialoutNode, S_IFCHR, kDialoutMinor, DDI_NT_SERIAL_DO},
    {kBlockNode, S_IFCHR, kBlockMinor, DDI_PSEUDO},
    {kCtlNode, S_IFCHR, kCtlMinor, DDI_PSEUDO},
    {kBlockDevNode, S_IFBLK, 2, DDI_PSEUDO},
};

int loop_attach(dev_info_t* dip, ddi_attach_cmd_t cmd) {
  if (cmd != DDI_ATTACH) {
    return DDI_FAILURE;
  }
  for (const NodeSpec& n : kNodes) {
    if (ddi_create_minor_node(dip, n.name, n.spec_type, n.minor, n.node_type, 0) != DDI_SUCCESS) {
      ddi_remove_minor_node(dip, nullptr);
      return DDI_FAILURE;
    }
  }
  return DDI_SUCCESS;
}

int loop_detach(dev_info_t* dip, ddi_detach_cmd_t /*cmd*/) {
  ddi_remove_minor_node(dip, nullptr);
  return DDI_SUCCESS;
}

cb_ops loop_cb_ops = {nulldev,     nulldev,    nodev, nodev,  nodev, nodev,
                      nodev,       nodev,      nodev, nodev,  nodev, nochpoll,
                      ddi_prop_op, &loop_info, D_MP,  CB_REV, nodev, nodev};
dev_ops loop_ops = {DEVO_REV,    0,     nullptr,      nulldev, nulldev, loop_attach,
                    loop_detach, nodev, &loop_cb_ops, nullptr, nullptr};
modldrv loop_modldrv = {&mod_driverops, "loopback driver", &loop_ops};
modlinkage loop_modlinkage = {MODREV_1, {&loop_modldrv, nullptr}};

int loop_init() {
  return mod_install(&loop_modlinkage);
}
int loop_info_entry(modinfo* mip) {
  return mod_info(&loop_modlinkage, mip);
}
int loop_fini() {
  return mod_remove(&loop_modlinkage);
}

} // namespace

int install(kemu::Ddi& ddi, std::string* why) {
  auto fail = [&](int err, std::string text) {
    if (why != nullptr) {
      *why = std::move(text);
    }
    return err;
  };
  std::string conf = std::string("name=\"") + kDriverName + "\" parent=\"pseudo\";";
  if (auto err = ddi.load_conf(kDriverName, "qdloop.conf", conf)) {
    return fail(EINVAL, "qdloop.conf refused");
  }
  if (int err = ddi.load({kDriverName, loop_init, loop_info_entry, loop_fini, nullptr}); err != 0) {
    return fail(err, ddi.last_error());
  }
  for (kemu::Attach a : ddi.attach_all(kDriverName)) {
    if (a != kemu::Attach::kAttached) {
      return fail(ENXIO, std::string("qdloop: ") + kemu::attach_name(a));
    }
  }
  return 0;
}

int remove(kemu::Ddi& ddi) {
  return ddi.unload(kDriverName);
}

} // namespace qdhost::loop
