// open, close, read, write, fcntl and stat on nodes, and the fall-through to the system
// calls for everything else.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device.h"
#include "qdev/qdev.h"

namespace qdev {
namespace {

using detail::Busy;
using detail::Device;
using detail::Packet;

constexpr int kNdelayFlag = O_NONBLOCK; // the host's O_NDELAY

int fail(int err) {
  errno = err;
  return -1;
}

std::int64_t wire_delay_flags(int flags) {
  return ((flags & kNdelayFlag) != 0 ? wire::kFndelay : 0) |
         ((flags & kNonblock) != 0 ? wire::kFnonblock : 0);
}

std::int64_t wire_open_flags(int oflag) {
  std::int64_t f = 0;
  switch (oflag & O_ACCMODE) {
  case O_RDONLY:
    f = wire::kFread;
    break;
  case O_WRONLY:
    f = wire::kFwrite;
    break;
  default:
    f = wire::kFread | wire::kFwrite;
    break;
  }
  return f | wire_delay_flags(oflag);
}

// The host's flags for a descriptor that is not a node.
int host_flags(int flags) {
  return (flags & ~kNonblock) | ((flags & kNonblock) != 0 ? O_NONBLOCK : 0);
}

wire::Header request(wire::Op op, std::int64_t a = 0) {
  wire::Header h{};
  h.op = static_cast<std::uint32_t>(op);
  h.a = a;
  return h;
}

// A node's socket path when path names one that has a socket; else empty (and *mapped is
// the path the system call should use).
std::string served_node(const char* path, std::string* mapped) {
  std::string sock = node_socket_path(path);
  *mapped = sock.empty() ? std::string(path != nullptr ? path : "") : sock;
  struct ::stat st {};
  if (sock.empty() || ::lstat(sock.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
    return {};
  }
  return sock;
}

} // namespace

bool is_device(int fd) {
  Device* d = detail::lookup(fd);
  return d != nullptr && !d->closing;
}

int open(const char* path, int oflag, mode_t mode) {
  std::string mapped;
  std::string sock = served_node(path, &mapped);
  if (sock.empty()) {
    return ::open(mapped.c_str(), host_flags(oflag), mode);
  }
  int fd = detail::connect_node(sock.c_str());
  if (fd < 0) {
    return -1;
  }
  auto d = std::make_unique<Device>();
  d->fd = fd;
  d->oflag = oflag & (O_ACCMODE | kNdelayFlag | kNonblock);
  int err = 0;
  {
    Busy busy(*d);
    Packet res;
    err = detail::transact(*d, request(wire::Op::kOpen, wire_open_flags(oflag)), {}, res);
    if (err == 0) {
      err = res.h.error;
    }
  }
  if (err != 0) {
    ::close(fd);
    return fail(err);
  }
  if (!detail::adopt(std::move(d))) {
    ::close(fd);
    return fail(EMFILE);
  }
  return fd;
}

int close(int fd) {
  Device* d = detail::lookup(fd);
  if (d == nullptr) {
    return ::close(fd);
  }
  if (d->closing) {
    return fail(EBADF);
  }
  int err = 0;
  {
    Busy busy(*d);
    if (d->inherited) {
      // Others may hold the same connection: the stream closes when its last holder lets go.
      d->closing = true;
      return 0;
    }
    Packet res;
    err = detail::transact(*d, request(wire::Op::kClose), {}, res);
    if (err == 0) {
      err = res.h.error;
    } else if (d->gone) {
      err = 0; // nothing left to close on the other side
    }
    d->closing = true;
  }
  return err != 0 ? fail(err) : 0;
}

ssize_t read(int fd, void* buf, std::size_t n) {
  Device* d = detail::lookup(fd);
  if (d == nullptr) {
    return ::read(fd, buf, n);
  }
  if (d->closing) {
    return fail(EBADF);
  }
  if (n == 0) {
    return 0; // never waits for data it could not take
  }
  Busy busy(*d);
  const std::size_t want = std::min(n, wire::kMaxData);
  Packet res;
  int err =
      detail::transact(*d, request(wire::Op::kRead, static_cast<std::int64_t>(want)), {}, res);
  if (err != 0) {
    return d->gone ? 0 : fail(err); // qdhost gone: as after a hangup
  }
  if (res.h.error != 0) {
    return fail(res.h.error);
  }
  std::size_t got = std::min(
      {static_cast<std::size_t>(std::max<std::int64_t>(res.h.a, 0)), res.payload.size(), want});
  if (got > 0) {
    std::memcpy(buf, res.payload.data(), got);
  }
  return static_cast<ssize_t>(got);
}

ssize_t write(int fd, const void* buf, std::size_t n) {
  Device* d = detail::lookup(fd);
  if (d == nullptr) {
    return ::write(fd, buf, n);
  }
  if (d->closing) {
    return fail(EBADF);
  }
  Busy busy(*d);
  const auto* p = static_cast<const char*>(buf);
  std::size_t done = 0;
  while (done < n) {
    const std::size_t chunk = std::min(n - done, wire::kMaxData);
    iovec iov{const_cast<char*>(p + done), chunk};
    Packet res;
    int err = detail::transact(*d, request(wire::Op::kWrite), {&iov, 1}, res);
    if (err == 0) {
      err = res.h.error;
    }
    if (err != 0) {
      return done > 0 ? static_cast<ssize_t>(done) : fail(err);
    }
    auto wrote = static_cast<std::size_t>(
        std::clamp<std::int64_t>(res.h.a, 0, static_cast<std::int64_t>(chunk)));
    done += wrote;
    if (wrote < chunk) {
      break;
    }
  }
  return static_cast<ssize_t>(done);
}

int fcntl(int fd, int cmd, int arg) {
  Device* d = detail::lookup(fd);
  if (d == nullptr) {
    if (cmd == F_SETFL) {
      return ::fcntl(fd, cmd, host_flags(arg));
    }
    return ::fcntl(fd, cmd, arg);
  }
  if (d->closing) {
    return fail(EBADF);
  }
  switch (cmd) {
  case F_GETFL:
    return d->oflag;
  case F_SETFL: {
    Busy busy(*d);
    Packet res;
    int err = detail::transact(*d, request(wire::Op::kSetFlags, wire_delay_flags(arg)), {}, res);
    if (err == 0) {
      err = res.h.error;
    }
    if (err != 0) {
      return fail(err);
    }
    d->oflag = (d->oflag & O_ACCMODE) | (arg & (kNdelayFlag | kNonblock));
    return 0;
  }
  default:
    return ::fcntl(fd, cmd, arg);
  }
}

int stat(const char* path, struct ::stat* st) {
  std::string mapped;
  std::string sock = served_node(path, &mapped);
  if (sock.empty()) {
    return ::stat(mapped.c_str(), st);
  }
  struct ::stat file {};
  if (::lstat(sock.c_str(), &file) != 0) {
    return -1;
  }
  int fd = detail::connect_node(sock.c_str());
  if (fd < 0) {
    return -1;
  }
  Device d;
  d.fd = fd;
  int err = 0;
  Packet res;
  {
    Busy busy(d);
    err = detail::transact(d, request(wire::Op::kStat), {}, res);
  }
  ::close(fd);
  if (err == 0) {
    err = res.h.error;
  }
  if (err != 0) {
    return fail(err);
  }
  *st = file;
  const auto spec = static_cast<mode_t>(res.h.b);
  st->st_mode = (spec == S_IFBLK ? S_IFBLK : S_IFCHR) | (file.st_mode & 07777);
  st->st_rdev = static_cast<dev_t>(res.h.a);
  st->st_size = 0;
  st->st_blocks = 0;
  return 0;
}

} // namespace qdev
