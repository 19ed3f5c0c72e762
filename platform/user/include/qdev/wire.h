// The conversation between a program (platform/user) and qdhost on a device node's socket.
//
// Transport: one Unix-domain SOCK_SEQPACKET socket per open, named as the node in the
// device directory. Every message is one packet, so a packet is never split or merged and
// a request sent from a signal handler cannot land in the middle of another.
//
// Messages from the program are requests: a Header, then the op's payload. Every request
// but kInterrupt gets exactly one kResult with the same id, whose `error` is 0 or the call's
// errno; the program numbers its requests and may have more than one outstanding (a signal
// handler that uses the device while a call on it is blocked). Results come in the order
// the calls finish.
//
//   op          a               b         count     payload                 result
//   kOpen       open flags      -         -         -                       error
//   kStat       -               -         -         -                       a device number,
//                                                                           b spec type
//   kRead       max bytes       -         -         -                       a bytes, the data
//   kWrite      -               -         -         the bytes               a bytes written
//   kIoctl      command         argument  regions   Region[count], then     a return value,
//                                                   the readable regions'   count writes:
//                                                   bytes in order          Write[count] and
//                                                                           their bytes
//   kSetFlags   FNDELAY|FNONBLOCK -       -         -                       error
//   kPoll       -               -         -         -                       a poll bits
//   kClose      -               -         -         -                       error
//   kInterrupt  id to interrupt -         -         -                       (none)
//
// Open flags are the kernel's FREAD 0x01, FWRITE 0x02, FNDELAY 0x04 and FNONBLOCK 0x80;
// poll bits are the stream head's (in 0x01, out 0x04, error 0x08, hangup 0x10). A device
// number is major << 18 | minor. kStat needs no open: a program may connect, ask and hang up.
//
// User memory: the kernel side reaches the program's memory only through the regions an
// ioctl request declares. A region is a range of the program's addresses: the ioctl's own
// argument (a record, or for I_STR the strioctl and its data buffer) or a registered buffer
// whose address is a 32-bit handle (records that carry a 32-bit buffer address). Readable
// regions travel with the request; the ranges the driver copied out to are sent back with
// the result as writes, which the program applies. A copy that falls outside every region
// fails with EFAULT. No copy waits on the program while the kernel runs.
//
// Interrupts: when a signal ends the program's wait for a result, it sends kInterrupt for
// that id; qdhost posts a signal to every kernel context running a call of the connection,
// a close included (and a call that has not started yet starts with one), so cv_wait_sig
// returns 0 and the call usually ends with EINTR. The program then waits for the result as
// before.
//
// Readiness: a one-byte packet (kReady) from qdhost says the stream has data, a hangup or an
// error. At most one is outstanding: qdhost sends one when the stream becomes readable, none
// is outstanding and no request of the program is unanswered, and after each result (which the
// program reads after every earlier packet) sends a fresh one if the stream is still readable. The
// program discards notices while it waits for results. So the socket is readable exactly while the
// stream is, and a program that only selects and reads sees no stray byte.
//
// End: the program closes its socket after kClose; if it dies instead, qdhost interrupts its
// calls and closes the stream for it, as for an exiting process: the close waits for the
// port's output a bounded time (qdhost's --drain-bound), then gets a signal.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qdev::wire {

enum class Op : std::uint32_t {
  kOpen = 1,
  kStat = 2,
  kRead = 3,
  kWrite = 4,
  kIoctl = 5,
  kSetFlags = 6,
  kPoll = 7,
  kClose = 8,
  kInterrupt = 9,
  kResult = 0x80,
};

struct Header {
  std::uint32_t op;
  std::uint32_t id;
  std::int64_t a;
  std::int64_t b;
  std::int32_t error; // results: 0 or the errno
  std::uint32_t count;
};
static_assert(sizeof(Header) == 32);

inline constexpr std::uint32_t kRegionIn = 0x1;  // bytes travel with the request
inline constexpr std::uint32_t kRegionOut = 0x2; // the driver may write it

struct Region {
  std::uint64_t addr;
  std::uint32_t len;
  std::uint32_t flags;
};
static_assert(sizeof(Region) == 16);

struct Write {
  std::uint64_t addr;
  std::uint32_t len;
  std::uint32_t pad;
};
static_assert(sizeof(Write) == 16);

// The readiness notice: the only one-byte packet.
inline constexpr unsigned char kReady = 'R';

inline constexpr std::int64_t kFread = 0x01;
inline constexpr std::int64_t kFwrite = 0x02;
inline constexpr std::int64_t kFndelay = 0x04;
inline constexpr std::int64_t kFnonblock = 0x80;

inline constexpr unsigned kPollIn = 0x01;
inline constexpr unsigned kPollOut = 0x04;
inline constexpr unsigned kPollErr = 0x08;
inline constexpr unsigned kPollHup = 0x10;

// Largest read or write payload in one packet; longer transfers take several requests.
inline constexpr std::size_t kMaxData = 64 * 1024;
// Largest memory one ioctl may expose (all its regions together).
inline constexpr std::size_t kMaxRegionBytes = 256 * 1024;
// Regions per ioctl request, and write records per result (qdhost merges what the driver
// copied out into ranges, and falls back to one range per region beyond this many).
inline constexpr std::size_t kMaxRegions = 64;
inline constexpr std::size_t kMaxWrites = 256;
// Largest packet either side sends or accepts.
inline constexpr std::size_t kMaxPacket =
    sizeof(Header) + kMaxWrites * sizeof(Write) + kMaxRegionBytes;
// Socket buffer both sides ask for, so that the largest packet fits.
inline constexpr int kSocketBuffer = 1024 * 1024;

} // namespace qdev::wire
