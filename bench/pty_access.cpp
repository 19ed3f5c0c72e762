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

// Passes back what arrives until the other side goes.
int echo_on(int fd) {
  std::vector<char> buf(8192);
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
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
  }
}

} // namespace

PortAccess pty_access() {
  PortAccess a;
  a.prepare = [](unsigned) { return open_raw_pair(&g_master, &g_slave); };
  a.open_writer = [](unsigned) { return g_master; };
  a.open_reader = [](unsigned) { return g_slave; };
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
    ::_exit(echo_on(slave) == 0 ? 0 : 1);
  }
  ::close(slave);
  return pid;
}

} // namespace qdbench
