// Requests and results on a node's socket: sending, waiting, interrupting, and putting aside
// what belongs to another waiting call.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device.h"

namespace qdev::detail {
namespace {

bool send_packet(Device& d, const wire::Header& h, std::span<const iovec> payload) {
  std::vector<iovec> iov;
  iov.reserve(payload.size() + 1);
  iov.push_back({const_cast<wire::Header*>(&h), sizeof h});
  iov.insert(iov.end(), payload.begin(), payload.end());
  msghdr msg{};
  msg.msg_iov = iov.data();
  msg.msg_iovlen = iov.size();
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

bool take_stashed(Device& d, std::uint32_t id, Packet& out) {
  auto it =
      std::find_if(d.stash.begin(), d.stash.end(), [id](const Packet& p) { return p.h.id == id; });
  if (it == d.stash.end()) {
    return false;
  }
  out = std::move(*it);
  d.stash.erase(it);
  return true;
}

int await(Device& d, std::uint32_t id, Packet& out) {
  // Each nesting level has a buffer of its own, so a handler's call cannot overwrite a packet
  // the interrupted call has not parsed yet.
  std::vector<std::byte> deep;
  std::vector<std::byte>& buf = d.depth >= 1 && d.depth <= kDepths ? d.rx[d.depth - 1] : deep;
  if (buf.size() < wire::kMaxPacket) {
    buf.resize(wire::kMaxPacket);
  }
  bool interrupted = false;
  for (;;) {
    // A call made from a signal handler may have read this result for us.
    if (take_stashed(d, id, out)) {
      return 0;
    }
    if (d.gone) {
      return EIO;
    }
    ssize_t n = ::recv(d.fd, buf.data(), buf.size(), 0);
    if (n < 0) {
      if (errno != EINTR) {
        d.gone = true;
        continue;
      }
      if (take_stashed(d, id, out)) {
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
    if (n == 1 && buf[0] == std::byte{wire::kReady}) {
      continue; // the caller is about to find out for itself
    }
    wire::Header h{};
    if (n < static_cast<ssize_t>(sizeof h)) {
      d.gone = true; // end of the conversation, or nonsense
      continue;
    }
    std::memcpy(&h, buf.data(), sizeof h);
    if (h.op != static_cast<std::uint32_t>(wire::Op::kResult)) {
      d.gone = true;
      continue;
    }
    Packet p;
    p.h = h;
    p.payload.assign(buf.begin() + sizeof h, buf.begin() + n);
    if (h.id == id) {
      out = std::move(p);
      return 0;
    }
    d.stash.push_back(std::move(p));
  }
}

} // namespace

int transact(Device& d, wire::Header req, std::span<const iovec> payload, Packet& out) {
  if (d.gone) {
    return EIO;
  }
  std::uint32_t id = d.next_id++;
  if (id == 0) {
    id = d.next_id++;
  }
  req.id = id;
  if (!send_packet(d, req, payload)) {
    return EIO;
  }
  return await(d, id, out);
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
