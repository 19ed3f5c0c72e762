#include "kvetherd/relay.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace kvetherd {

Outcome relay(const RelayPorts& p) {
  std::array<char, kRelayBuffer> buf;
  const int vrn = p.node.fd();
  const int nfds = std::max(p.sock, vrn) + 1;
  int remaining = kIdleLimit;
  std::time_t before = p.clock.now();
  const auto failed = [&p](Outcome outcome, int flags, const char* text) {
    if (p.stop != 0) {
      return Outcome::terminated;
    }
    p.log.log(flags, text);
    return outcome;
  };

  for (;;) {
    // Driver traffic alone can use up the time between two waits.
    if (remaining <= 0) {
      p.log.log(kEvent, "select() timed out");
      return Outcome::retry;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(p.sock, &readable);
    FD_SET(vrn, &readable);
    const int ready = p.clock.wait_readable(nfds, &readable, remaining);
    if (ready < 0) {
      return failed(Outcome::retry, kSystemError, "select");
    }
    if (ready == 0) {
      p.log.log(kEvent, "select() timed out");
      return Outcome::retry;
    }
    const std::time_t now = p.clock.now();

    if (FD_ISSET(vrn, &readable)) {
      remaining -= static_cast<int>(now - before);
      errno = 0; // an end of file leaves it alone
      const ssize_t n = p.node.read(buf.data(), buf.size());
      if (n <= 0) {
        return failed(Outcome::fatal, kSystemError, "read from driver");
      }
      const auto to_socket = [&p](const char* b, std::size_t len) {
        return ::send(p.sock, b, len, MSG_NOSIGNAL);
      };
      if (write_all(to_socket, buf.data(), static_cast<std::size_t>(n)) < 0) {
        return failed(Outcome::retry, kSystemError, "write to socket");
      }
    }
    if (FD_ISSET(p.sock, &readable)) {
      remaining = kIdleLimit;
      errno = 0;
      const ssize_t n = ::read(p.sock, buf.data(), buf.size());
      if (n <= 0) {
        return failed(Outcome::retry, kSystemError, "read from socket");
      }
      const auto to_node = [&p](const char* b, std::size_t len) { return p.node.write(b, len); };
      if (write_all(to_node, buf.data(), static_cast<std::size_t>(n)) < 0) {
        return failed(Outcome::fatal, kSystemError, "write to driver");
      }
    }
    before = now;
  }
}

} // namespace kvetherd
