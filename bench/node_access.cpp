#include <fcntl.h>

#include "port_access.h"
#include "qdev/qdev.h"
#include "qdev/tty.h"

namespace qdbench {

int open_port_node(const std::string& path, int oflag, bool configure) {
  // No wait for carrier; blocking again once it is set.
  const int fd = qdev::open(path.c_str(), oflag | O_NDELAY);
  if (fd < 0) {
    return -1;
  }
  termios t{};
  const bool set = !configure || (qdev::tcgetattr(fd, &t) == 0 && [&t] {
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL | CRTSCTS;
    return qdev::cfsetospeed(&t, B115200) == 0;
  }() && qdev::tcsetattr(fd, qdev::TCSANOW, &t) == 0);
  if (!set || qdev::fcntl(fd, F_SETFL, 0) != 0) {
    const int err = errno;
    qdev::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

PortAccess node_access(std::vector<std::string> nodes) {
  PortAccess a;
  a.open_writer = [nodes](unsigned port) { return open_port_node(nodes.at(port), O_RDWR); };
  a.open_reader = [nodes](unsigned port) {
    return open_port_node(nodes.at(port), O_RDONLY, false);
  };
  return a;
}

} // namespace qdbench
