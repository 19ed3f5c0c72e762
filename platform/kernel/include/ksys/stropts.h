// What programs pass to the stream head's own ioctls: the strioctl record of I_STR, the
// module requests and the flush classes. Kept apart from ksys/stream.h so that programs can
// include it beside the host's <fcntl.h>, whose FNDELAY macro would break ksys/types.h.
#pragma once

// M_FLUSH's first byte and the argument of I_FLUSH.
inline constexpr unsigned char FLUSHR = 0x01;
inline constexpr unsigned char FLUSHW = 0x02;
inline constexpr unsigned char FLUSHRW = 0x03;

// ---- Stream head ioctls ---------------------------------------------------------------------

struct strioctl {
  int ic_cmd;
  int ic_timout; // seconds; 0 the default (15 s), -1 no limit
  int ic_len;    // request bytes; on return the reply's
  char* ic_dp;
};

inline constexpr int STR = 'S' << 8;
inline constexpr int I_PUSH = STR | 0x02;  // argument: module name
inline constexpr int I_POP = STR | 0x03;   // removes the top module
inline constexpr int I_LOOK = STR | 0x04;  // argument: buffer of FMNAMESZ + 1 bytes
inline constexpr int I_FLUSH = STR | 0x05; // argument: FLUSHR, FLUSHW or FLUSHRW
inline constexpr int I_STR = STR | 0x08;   // argument: strioctl
inline constexpr int FMNAMESZ = 8;

// Seconds, for I_STR with ic_timout 0: longer than the driver's 15-second unit lock check, so
// a lock that cannot be had comes back refused (EBUSY) rather than timed out.
inline constexpr int STR_DEFAULT_TIMEOUT = 30;
