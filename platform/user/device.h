// The library's record of one opened node and the exchange of requests and results on its
// socket. Internal to platform/user.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "qdev/wire.h"

namespace qdev::detail {

// A result: its payload lies in the receive buffer of the call's nesting level, valid until
// the next request of that level (so for as long as the call that made it runs).
struct Packet {
  wire::Header h{};
  std::span<const std::byte> payload;
};

// Calls in progress at once, a signal handler's inside the call it interrupted: each level
// has fixed buffers of its own, so that no call allocates (one from a handler may not).
inline constexpr int kDepths = 4;

struct Device {
  int fd = -1;
  int oflag = 0; // what F_GETFL reports
  std::uint32_t next_id = 1;
  int depth = 0;          // calls in progress on it
  bool closing = false;   // closed while a call was in progress: the outermost call releases it
  bool gone = false;      // qdhost hung up or broke the conversation
  bool inherited = false; // opened by another program and passed on
};

// A call begins and ends (on any node), which makes its nesting level.
void enter_call();
void leave_call();

// The node descriptor fd, or null.
Device* find(int fd);
// The same, and a descriptor this process did not open is taken over when it is connected
// to a node of the device directory.
Device* lookup(int fd);
// Takes ownership; false when fd is beyond the table (the caller closes it).
bool adopt(std::unique_ptr<Device> d);
// Closes the socket and forgets the descriptor.
void release(int fd);

// Marks a call in progress; the outermost one releases a descriptor closed meanwhile.
class Busy {
public:
  explicit Busy(Device& d) : d_(d) {
    ++d_.depth;
    enter_call();
  }
  ~Busy();
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

private:
  Device& d_;
};

// Sends a request (header and payload pieces) and waits for its result, within a Busy.
// 0, or the errno of a failed exchange (EIO when qdhost is gone, EBUSY nested too deep). A
// signal while waiting sends kInterrupt and waits on.
int transact(Device& d, wire::Header req, std::span<const iovec> payload, Packet& out);

// A connected socket to a node's socket path, or -1 with errno (ENOENT no such node,
// ENXIO nobody serves it).
int connect_node(const char* socket_path);

} // namespace qdev::detail
