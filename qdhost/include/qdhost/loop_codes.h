// The loopback driver's nodes, ioctl codes and records, as programs see them. Free of kernel
// headers so that program-side code and tests can include it beside the host's own.
//
// The loopback driver ("qdloop") stands in for a real driver when device access is checked
// without one: qdhost loads it under --test-loop, and the tests load it in-process.
#pragma once

#include <cstdint>

namespace qdhost::loop {

inline constexpr const char kDriverName[] = "qdloop";

// Nodes of its one pseudo instance.
inline constexpr const char kEchoNode[] = "loop0";       // minor 0, serial: echoes writes
inline constexpr const char kDialoutNode[] = "loop0,cu"; // minor 0x20000, the same
inline constexpr const char kBlockNode[] = "loopwait";   // minor 1: open waits for a signal
inline constexpr const char kCtlNode[] = "loopctl";      // minor 0xffff, pseudo: echoes too
inline constexpr const char kBlockDevNode[] = "loopblk"; // minor 2, a block node: not served
inline constexpr std::uint32_t kEchoMinor = 0;
inline constexpr std::uint32_t kDialoutMinor = 0x20000;
inline constexpr std::uint32_t kBlockMinor = 1;
inline constexpr std::uint32_t kCtlMinor = 0xffff;

inline constexpr int kLoopIoc = 'L' << 8;
// I_STR: the data comes back reversed; the return value is its length.
inline constexpr int kReverse = kLoopIoc | 1;
// I_STR: refused with the errno held in the data's first int.
inline constexpr int kFail = kLoopIoc | 2;
// I_STR with a LoopFetch: the driver copies `len` bytes of `fill` to the 32-bit address
// `addr` itself (as a trace fetch does), then acknowledges with the record unchanged.
inline constexpr int kFetch = kLoopIoc | 3;
// I_STR that the driver never answers (use ic_timout -1); dropped at close.
inline constexpr int kHang = kLoopIoc | 4;
// I_STR with a LoopCred: filled with the caller's credentials.
inline constexpr int kCred = kLoopIoc | 5;
// I_STR: acknowledged, then the stream is hung up.
inline constexpr int kHangup = kLoopIoc | 6;
// Transparent, argument the address of a LoopCopy: the driver copies the record in, then
// `len` bytes from `addr`, and copies them back to `addr` in upper case.
inline constexpr int kUpcase = kLoopIoc | 7;
// Transparent with a plain value: the return value is the value times two.
inline constexpr int kTwice = kLoopIoc | 8;
// I_STR: the data is sent up the read side one tick later, from a callout.
inline constexpr int kLater = kLoopIoc | 9;

struct LoopFetch {
  std::uint8_t fill;
  std::uint8_t pad[3];
  std::uint32_t len;
  std::uint32_t addr; // a 32-bit user address
};
static_assert(sizeof(LoopFetch) == 12);

struct LoopCopy {
  std::uint32_t len;
  std::uint32_t addr; // a 32-bit user address
};
static_assert(sizeof(LoopCopy) == 8);

struct LoopCred {
  std::uint32_t uid, gid, ruid, rgid;
};
static_assert(sizeof(LoopCred) == 16);

} // namespace qdhost::loop
