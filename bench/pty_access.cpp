#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "port_access.h"
#include "qdtest/child_guard.h"

namespace qdbench {

namespace {

// The pair of the port's processes: opened in the first, inherited by the others.
int g_master = -1;
int g_slave = -1;

int open_raw_pair(int* master, int* slave) {
  if (::openpty(master, slave, nullptr, nullptr, nullptr) != 0) {
    return errno;
  }
  termios t{};
  if (::tcgetattr(*slave, &t) != 0) {
    return errno;
  }
  ::cfmakeraw(&t);
  return ::tcsetattr(*slave, TCSANOW, &t) == 0 ? 0 : errno;
}

// Passes back what arrives, `limit` bytes or until the other side goes.
int echo_on(int fd, std::size_t limit) {
  std::vector<char> buf(8192);
  for (std::size_t done = 0; done < limit;) {
    const ssize_t n = ::read(fd, buf.data(), std::min(buf.size(), limit - done));
    if (n <= 0) {
      return n < 0 && errno != EIO ? errno : 0; // EIO: the master closed
    }
    for (ssize_t off = 0; off < n;) {
      const ssize_t w = ::write(fd, buf.data() + off, static_cast<std::size_t>(n - off));
      if (w <= 0) {
        return errno;
      }
      off += w;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

} // namespace

PortAccess pty_access() {
  PortAccess a;
  a.prepare = [](unsigned) { return open_raw_pair(&g_master, &g_slave); };
  a.open_writer = [](unsigned) { return g_master; };
  a.open_reader = [](unsigned) { return g_master; };
  a.far_end = [](unsigned, std::size_t bytes) { return echo_on(g_slave, bytes); };
  return a;
}

pid_t start_pty_echo(int* master) {
  int slave = -1;
  if (const int err = open_raw_pair(master, &slave); err != 0) {
    errno = err;
    return -1;
  }
  const pid_t pid = qdtest::fork_child();
  if (pid == 0) {
    ::close(*master);
    ::_exit(echo_on(slave, static_cast<std::size_t>(-1)) == 0 ? 0 : 1);
  }
  ::close(slave);
  return pid;
}

} // namespace qdbench
