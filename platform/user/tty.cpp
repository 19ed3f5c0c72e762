// Terminal settings on port nodes, through the System V terminal ioctls.
#include <cerrno>

#include "qdev/qdev.h"
#include "qdev/tty.h"

namespace qdev {
namespace {

constexpr speed_t kMaxSpeed = B460800;

int only_devices(int fd) {
  if (!is_device(fd)) {
    errno = ENOTTY;
    return -1;
  }
  return 0;
}

speed_t decode(tcflag_t field, bool ext) {
  return field + (ext ? 16 : 0);
}

} // namespace

int tcgetattr(int fd, termios* t) {
  if (only_devices(fd) != 0) {
    return -1;
  }
  return ioctl(fd, TCGETS, t) < 0 ? -1 : 0;
}

int tcsetattr(int fd, int action, const termios* t) {
  if (only_devices(fd) != 0) {
    return -1;
  }
  if (action != TCSANOW && action != TCSADRAIN && action != TCSAFLUSH) {
    errno = EINVAL;
    return -1;
  }
  return ioctl(fd, action, t) < 0 ? -1 : 0;
}

speed_t cfgetospeed(const termios* t) {
  return decode(t->c_cflag & CBAUD, (t->c_cflag & CBAUDEXT) != 0);
}

speed_t cfgetispeed(const termios* t) {
  return decode((t->c_cflag & CIBAUD) >> IBSHIFT, (t->c_cflag & CIBAUDEXT) != 0);
}

int cfsetospeed(termios* t, speed_t speed) {
  if (speed > kMaxSpeed) {
    errno = EINVAL;
    return -1;
  }
  t->c_cflag &= ~(CBAUD | CBAUDEXT);
  t->c_cflag |= speed > B38400 ? CBAUDEXT | (speed - 16) : speed;
  return 0;
}

int cfsetispeed(termios* t, speed_t speed) {
  if (speed > kMaxSpeed) {
    errno = EINVAL;
    return -1;
  }
  t->c_cflag &= ~(CIBAUD | CIBAUDEXT);
  t->c_cflag |= speed > B38400 ? CIBAUDEXT | ((speed - 16) << IBSHIFT) : speed << IBSHIFT;
  return 0;
}

int tcflush(int fd, int queue) {
  return only_devices(fd) != 0 ? -1 : ioctl(fd, TCFLSH, queue) < 0 ? -1 : 0;
}

int tcflow(int fd, int action) {
  return only_devices(fd) != 0 ? -1 : ioctl(fd, TCXONC, action) < 0 ? -1 : 0;
}

int tcsendbreak(int fd, int /*duration*/) {
  return only_devices(fd) != 0 ? -1 : ioctl(fd, TCSBRK, 0) < 0 ? -1 : 0;
}

int tcdrain(int fd) {
  return only_devices(fd) != 0 ? -1 : ioctl(fd, TCSBRK, 1) < 0 ? -1 : 0;
}

int get_modem(int fd, int* bits) {
  return only_devices(fd) != 0 ? -1 : ioctl(fd, TIOCMGET, bits) < 0 ? -1 : 0;
}

int set_modem(int fd, int bits) {
  return only_devices(fd) != 0 ? -1 : ioctl(fd, TIOCMSET, &bits) < 0 ? -1 : 0;
}

} // namespace qdev
