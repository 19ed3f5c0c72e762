// Requests and results on a node's socket: sending, waiting, interrupting, and putting aside
// what belongs to another waiting call.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>

#include "device.h"

namespace qdev::detail {
namespace {

// One nesting level: the receive buffer of its call, and where a deeper call (a signal
// handler's) puts this call's result when it reads it first. Static: a call allocates
// nothing, so that a handler may make one.
struct Level {
  Device* dev = nullptr;
  std::uint32_t id = 0;                 // the result this level waits for
  volatile std::sig_atomic_t kept = -1; // bytes in `keep` for it, -1 while none
  std::byte rx[wire::kMaxPacket];
  std::byte keep[wire::kMaxPacket];
};
Level g_levels[kDepths];
volatile std::sig_atomic_t g_level = 0; // calls in progress

bool send_packet(Device& d, const wire::Header& h, std::span<const iovec> payload) {
  iovec iov[2 + wire::kMaxRegions];
  if (payload.size() >= std::size(iov)) {
    return false;
  }
  iov[0] = {const_cast<wire::Header*>(&h), sizeof h};
  std::copy(payload.begin(), payload.end(), iov + 1);
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = payload.size() + 1;
  // The effective ids, as a call on a Unix host carries them; the kernel refuses ids the
  // sender does not have.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_CREDENTIALS;
  c->cmsg_len = CMSG_LEN(sizeof(ucred));
  const ucred self{::getpid(), ::geteuid(), ::getegid()};
  std::memcpy(CMSG_DATA(c), &self, sizeof self);
  for (;;) {
    // A packet goes whole or not at all, so a signal here cannot leave half a request.
    if (::sendmsg(d.fd, &msg, MSG_NOSIGNAL) >= 0) {
      return true;
    }
    if (errno != EINTR) {
      d.gone = true;
      return false;
    }
  }
}

// The result a deeper call read for this level, if one did.
bool take_kept(Level& l, Packet& out) {
  const std::sig_atomic_t n = l.kept;
  if (n < 0) {
    return false;
  }
  std::atomic_signal_fence(std::memory_order_acquire);
  std::memcpy(&out.h, l.keep, sizeof out.h);
  out.payload = {l.keep + sizeof out.h, static_cast<std::size_t>(n) - sizeof out.h};
  return true;
}

// A result for a call this one interrupted: kept for it.
void keep_for_outer(Device& d, int level, const wire::Header& h, const std::byte* p,
                    std::size_t n) {
  for (int i = 0; i < level; ++i) {
    Level& l = g_levels[i];
    if (l.dev == &d && l.id == h.id && l.kept < 0) {
      std::memcpy(l.keep, p, n);
      std::atomic_signal_fence(std::memory_order_release);
      l.kept = static_cast<std::sig_atomic_t>(n);
      return;
    }
  }
}

int await(Device& d, int level, std::uint32_t id, Packet& out) {
  Level& l = g_levels[level];
  bool interrupted = false;
  for (;;) {
    // A call made from a signal handler may have read this result for us.
    if (take_kept(l, out)) {
      return 0;
    }
    if (d.gone) {
      return EIO;
    }
    ssize_t n = ::recv(d.fd, l.rx, sizeof l.rx, 0);
    if (n < 0) {
      if (errno != EINTR) {
        d.gone = true;
        continue;
      }
      if (take_kept(l, out)) {
        return 0;
      }
      if (!interrupted) {
        wire::Header h{};
        h.op = static_cast<std::uint32_t>(wire::Op::kInterrupt);
        h.a = id;
        send_packet(d, h, {});
        interrupted = true;
      }
      continue;
    }
    if (n == 1 && l.rx[0] == std::byte{wire::kReady}) {
      continue; // the caller is about to find out for itself
    }
    wire::Header h{};
    if (n < static_cast<ssize_t>(sizeof h)) {
      d.gone = true; // end of the conversation, or nonsense
      continue;
    }
    std::memcpy(&h, l.rx, sizeof h);
    if (h.op != static_cast<std::uint32_t>(wire::Op::kResult)) {
      d.gone = true;
      continue;
    }
    if (h.id == id) {
      out.h = h;
      out.payload = {l.rx + sizeof h, static_cast<std::size_t>(n) - sizeof h};
      return 0;
    }
    keep_for_outer(d, level, h, l.rx, static_cast<std::size_t>(n));
  }
}

} // namespace

void enter_call() {
  g_level = g_level + 1;
}

void leave_call() {
  g_level = g_level - 1;
}

int transact(Device& d, wire::Header req, std::span<const iovec> payload, Packet& out) {
  if (d.gone) {
    return EIO;
  }
  const int level = g_level - 1; // this call's, made by its Busy
  if (level < 0 || level >= kDepths) {
    return EBUSY;
  }
  std::uint32_t id = d.next_id++;
  if (id == 0) {
    id = d.next_id++;
  }
  req.id = id;
  Level& l = g_levels[level];
  l.dev = &d;
  l.id = id;
  l.kept = -1;
  if (!send_packet(d, req, payload)) {
    return EIO;
  }
  const int err = await(d, level, id, out);
  l.dev = nullptr;
  return err;
}

int connect_node(const char* socket_path) {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (std::strlen(socket_path) >= sizeof sa.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::strcpy(sa.sun_path, socket_path);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  int size = wire::kSocketBuffer;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    int err = errno;
    ::close(fd);
    // A socket file that nobody listens on is a node without a server.
    errno = err == ECONNREFUSED || err == ENOTSOCK || err == EPROTOTYPE ? ENXIO : err;
    return -1;
  }
  return fd;
}

} // namespace qdev::detail
