// STREAMS: messages, queues, the ioctl records and the kernel routines that move messages.
// Messages are allocated by the host (not from kmem); the emulated kernel counts the blocks
// outstanding (kemu/streams.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "ksys/cred.h"
#include "ksys/stropts.h"
#include "ksys/types.h"

// ---- Messages -------------------------------------------------------------------------------

struct datab {
  unsigned char* db_base; // first byte of the buffer
  unsigned char* db_lim;  // one past its last byte
  unsigned char db_ref;   // message blocks sharing this buffer
  unsigned char db_type;
};
using dblk_t = datab;

struct msgb {
  msgb* b_next; // next message on a queue
  msgb* b_prev; // previous message on a queue
  msgb* b_cont; // next block of this message
  unsigned char* b_rptr;
  unsigned char* b_wptr;
  datab* b_datap;
  unsigned char b_band;
  unsigned short b_flag;
};
using mblk_t = msgb;

// Message types. Types at or above QPCTL are high priority.
inline constexpr unsigned char M_DATA = 0x00;
inline constexpr unsigned char M_PROTO = 0x01;
inline constexpr unsigned char M_BREAK = 0x08;
inline constexpr unsigned char M_DELAY = 0x0c;
inline constexpr unsigned char M_CTL = 0x0d;
inline constexpr unsigned char M_IOCTL = 0x0e;
inline constexpr unsigned char M_SETOPTS = 0x10;
inline constexpr unsigned char QPCTL = 0x80;
inline constexpr unsigned char M_IOCACK = 0x81;
inline constexpr unsigned char M_IOCNAK = 0x82;
inline constexpr unsigned char M_PCPROTO = 0x83;
inline constexpr unsigned char M_READ = 0x85;
inline constexpr unsigned char M_FLUSH = 0x86;
inline constexpr unsigned char M_STOP = 0x87;
inline constexpr unsigned char M_START = 0x88;
inline constexpr unsigned char M_HANGUP = 0x89;
inline constexpr unsigned char M_ERROR = 0x8a;
inline constexpr unsigned char M_COPYIN = 0x8b;
inline constexpr unsigned char M_COPYOUT = 0x8c;
inline constexpr unsigned char M_IOCDATA = 0x8d;
inline constexpr unsigned char M_STOPI = 0x8f;
inline constexpr unsigned char M_STARTI = 0x90;
inline constexpr unsigned char M_UNHANGUP = 0x92;

// M_CTL queries between a terminal module and a driver (first data byte).
inline constexpr unsigned char MC_NO_CANON = 0;
inline constexpr unsigned char MC_DO_CANON = 1;
inline constexpr unsigned char MC_CANONQUERY = 2;

// allocb priorities (accepted, not used for anything).
inline constexpr unsigned BPRI_LO = 1;
inline constexpr unsigned BPRI_MED = 2;
inline constexpr unsigned BPRI_HI = 3;

// M_FLUSH first byte: FLUSHR, FLUSHW, FLUSHRW (ksys/stropts.h). flushq classes:
inline constexpr int FLUSHDATA = 0; // M_DATA, M_DELAY, M_PROTO and M_PCPROTO only
inline constexpr int FLUSHALL = 1;

// ---- Queues ---------------------------------------------------------------------------------

struct queue;
using queue_t = queue;

struct module_info {
  unsigned short mi_idnum;
  const char* mi_idname;
  ssize_t mi_minpsz;
  ssize_t mi_maxpsz;
  size_t mi_hiwat;
  size_t mi_lowat;
};

struct module_stat;

using qi_putp_t = int (*)(queue_t*, mblk_t*);
using qi_srvp_t = int (*)(queue_t*);
using qi_qopen_t = int (*)(queue_t*, dev_t*, int oflag, int sflag, cred_t*);
using qi_qclose_t = int (*)(queue_t*, int flag, cred_t*);
using qi_qadmin_t = int (*)();

struct qinit {
  qi_putp_t qi_putp;
  qi_srvp_t qi_srvp;
  qi_qopen_t qi_qopen;   // read side only
  qi_qclose_t qi_qclose; // read side only
  qi_qadmin_t qi_qadmin;
  module_info* qi_minfo;
  module_stat* qi_mstat;
};

struct streamtab {
  qinit* st_rdinit;
  qinit* st_wrinit;
  qinit* st_muxrinit;
  qinit* st_muxwinit;
};

namespace kemu {
struct QueuePair; // the emulated kernel's own bookkeeping for one pair
}

struct queue {
  qinit* q_qinfo;
  msgb* q_first;
  msgb* q_last;
  queue* q_next;
  void* q_ptr; // private to the module or driver
  size_t q_count;
  unsigned q_flag;
  ssize_t q_minpsz;
  ssize_t q_maxpsz;
  size_t q_hiwat;
  size_t q_lowat;
  // The emulated kernel's own: the queue whose q_next is this one, and the owning pair.
  queue* q_back;
  kemu::QueuePair* q_pair;
};

inline constexpr unsigned QENAB = 0x0001;  // service procedure scheduled
inline constexpr unsigned QWANTR = 0x0002; // a reader found the queue empty
inline constexpr unsigned QWANTW = 0x0004; // a writer found the queue full
inline constexpr unsigned QFULL = 0x0008;
inline constexpr unsigned QREADR = 0x0010;    // the read queue of its pair
inline constexpr unsigned QNOENB = 0x0040;    // putq does not schedule the service procedure
inline constexpr unsigned QPROCSOFF = 0x0100; // put and service procedures disabled
inline constexpr unsigned QHEAD = 0x0200;     // belongs to a stream head

inline constexpr ssize_t INFPSZ = -1;

// Open's stream flag.
inline constexpr int MODOPEN = 1;
inline constexpr int CLONEOPEN = 2;

// ---- Ioctl records --------------------------------------------------------------------------

inline constexpr unsigned TRANSPARENT = static_cast<unsigned>(-1);

// The three records share their first three fields so that a message can change type in place.
struct iocblk {
  int ioc_cmd;
  cred_t* ioc_cr;
  unsigned ioc_id;
  unsigned ioc_count; // data bytes in b_cont, or TRANSPARENT
  int ioc_error;
  int ioc_rval;
  long ioc_filler[4];
};

struct copyreq {
  int cq_cmd;
  cred_t* cq_cr;
  unsigned cq_id;
  caddr_t cq_addr; // user address
  unsigned cq_size;
  int cq_flag;
  mblk_t* cq_private;
  long cq_filler[4];
};

struct copyresp {
  int cp_cmd;
  cred_t* cp_cr;
  unsigned cp_id;
  caddr_t cp_rval; // non-zero: the copy failed
  unsigned cp_pad1;
  int cp_pad2;
  mblk_t* cp_private;
  long cp_filler[4];
};

// M_SETOPTS. Fixed-width fields so the record is 36 bytes on every build.
struct stroptions {
  std::uint32_t so_flags;
  std::int16_t so_readopt;
  std::uint16_t so_wroff;
  std::int32_t so_minpsz;
  std::int32_t so_maxpsz;
  std::uint32_t so_hiwat;
  std::uint32_t so_lowat;
  std::uint8_t so_band;
  std::uint8_t so_pad;
  std::uint16_t so_erropt;
  std::int32_t so_maxblk;
  std::uint16_t so_copyopt;
  std::uint16_t so_wrpad;
};
static_assert(sizeof(stroptions) == 36);

inline constexpr std::uint32_t SO_ALL = 0x003f;
inline constexpr std::uint32_t SO_READOPT = 0x0001;
inline constexpr std::uint32_t SO_WROFF = 0x0002;
inline constexpr std::uint32_t SO_MINPSZ = 0x0004;
inline constexpr std::uint32_t SO_MAXPSZ = 0x0008;
inline constexpr std::uint32_t SO_HIWAT = 0x0010;
inline constexpr std::uint32_t SO_LOWAT = 0x0020;
inline constexpr std::uint32_t SO_MREADON = 0x0040;
inline constexpr std::uint32_t SO_MREADOFF = 0x0080;
inline constexpr std::uint32_t SO_NDELON = 0x0100;  // terminal semantics for O_NDELAY
inline constexpr std::uint32_t SO_NDELOFF = 0x0200; // STREAMS semantics for O_NDELAY
inline constexpr std::uint32_t SO_ISTTY = 0x0400;
inline constexpr std::uint32_t SO_ISNTTY = 0x0800;
inline constexpr std::uint32_t SO_TOSTOP = 0x1000;
inline constexpr std::uint32_t SO_TONSTOP = 0x2000;
inline constexpr std::uint32_t SO_BAND = 0x4000;

// Read options (so_readopt).
inline constexpr int RNORM = 0x0000; // byte stream
inline constexpr int RMSGD = 0x0001; // one message per read, the rest discarded
inline constexpr int RMSGN = 0x0002; // one message per read, the rest kept
inline constexpr int RMODEMASK = 0x0003;

// ---- Routines -------------------------------------------------------------------------------

mblk_t* allocb(size_t size, unsigned pri); // nullptr when memory is short (fault injection)
void freeb(mblk_t* bp);
void freemsg(mblk_t* mp);
size_t msgdsize(const mblk_t* mp); // M_DATA bytes of the whole message
mblk_t* dupb(mblk_t* bp);
mblk_t* dupmsg(mblk_t* mp);
mblk_t* copyb(mblk_t* bp);
mblk_t* copymsg(mblk_t* mp);
void linkb(mblk_t* mp, mblk_t* bp);

using bufcall_id_t = unsigned long; // 0: no callback could be arranged
// Calls func(arg) once, as interrupt-level work at the next tick, when a buffer of that size
// may be had; 0 when no callback can be arranged (fault injection).
bufcall_id_t bufcall(size_t size, unsigned pri, void (*func)(void*), void* arg);
void unbufcall(bufcall_id_t id);

int putq(queue_t* q, mblk_t* mp);
mblk_t* getq(queue_t* q);
int putbq(queue_t* q, mblk_t* mp);
void rmvq(queue_t* q, mblk_t* mp);
void flushq(queue_t* q, int flag);
void putnext(queue_t* q, mblk_t* mp);
int putnextctl(queue_t* q, int type);
int putnextctl1(queue_t* q, int type, int param);
void qreply(queue_t* q, mblk_t* mp);
int canput(queue_t* q);
int canputnext(queue_t* q);
void qenable(queue_t* q);
void noenable(queue_t* q);
void enableok(queue_t* q);
void qprocson(queue_t* rq);
void qprocsoff(queue_t* rq);
queue_t* backq(queue_t* q);

inline queue_t* RD(queue_t* q) {
  return (q->q_flag & QREADR) ? q : q - 1;
}
inline queue_t* WR(queue_t* q) {
  return (q->q_flag & QREADR) ? q + 1 : q;
}
inline queue_t* OTHERQ(queue_t* q) {
  return (q->q_flag & QREADR) ? q + 1 : q - 1;
}
