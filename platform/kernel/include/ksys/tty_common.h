// Terminal state shared by tty drivers, and the two routines that serve it.
#pragma once

#include <cstddef>

#include "ksys/termios.h"

struct queue;
struct msgb;
using queue_t = queue;
using mblk_t = msgb;

inline constexpr unsigned TS_XCLUDE = 0x1; // exclusive use
inline constexpr unsigned TS_SOFTCAR = 0x2; // soft carrier

struct tty_common_t {
  unsigned t_flags;
  queue_t* t_readq;
  queue_t* t_writeq;
  tcflag_t t_iflag;
  tcflag_t t_cflag;
  unsigned char t_stopc;
  unsigned char t_startc;
  winsize t_size;
  mblk_t* t_iocpending; // an ioctl held until a reply buffer can be had
  int t_iocid;
};

// Serves the terminal ioctls it knows. A transparent message is left alone (*error = -1,
// result 0). Any other message is turned into M_IOCACK before return (*error = -1 when
// the code is not one of its own, else the errno or 0). A non-zero result is the size of
// the reply buffer it failed to get; the message is then held in t_iocpending.
std::size_t ttycommon_ioctl(tty_common_t* tc, queue_t* q, mblk_t* mp, int* error);
// Forgets the stream: clears TS_XCLUDE and both queues, frees a held ioctl.
void ttycommon_close(tty_common_t* tc);
