#include "qdnet/socket_util.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

namespace qdnet {

sockaddr_in ipv4_address(in_addr_t addr_net, unsigned short port_net) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = port_net;
  sa.sin_addr.s_addr = addr_net;
  return sa;
}

int connect_with_timeout(int fd, const sockaddr_in& to, int timeout_ms) {
  const auto* sa = reinterpret_cast<const sockaddr*>(&to);
  if (timeout_ms <= 0) {
    return ::connect(fd, sa, sizeof to);
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    return -1;
  }
  int rc = ::connect(fd, sa, sizeof to);
  int err = rc == 0 ? 0 : errno;
  if (rc < 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    const int n = ::poll(&p, 1, timeout_ms);
    if (n == 0) {
      err = ETIMEDOUT;
    } else if (n < 0) {
      err = errno;
    } else {
      socklen_t len = sizeof err;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) {
        err = errno;
      }
    }
  }
  ::fcntl(fd, F_SETFL, flags);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return 0;
}

int set_io_timeout(int fd, int timeout_ms) {
  timeval tv{};
  if (timeout_ms > 0) {
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
  }
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) {
    return -1;
  }
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void perror_to(std::FILE* out, const char* text) {
  const int err = errno;
  std::fprintf(out, "%s: %s\n", text, std::strerror(err));
  errno = err;
}

} // namespace qdnet
