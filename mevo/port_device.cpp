// The port's side of mevo on the System V records; the user's terminal is handled apart
// (user_terminal.cpp) on the host's own.
#include "port_device.h"

#include <cerrno>

#include "port_termios.h"
#include "qdev/qdev.h"

namespace mevo {

DevicePort::~DevicePort() {
  if (fd_ >= 0) {
    qdev::close(fd_);
  }
}

ssize_t DevicePort::read(void* buf, std::size_t n) {
  return qdev::read(fd_, buf, n);
}

ssize_t DevicePort::write(const void* buf, std::size_t n) {
  return qdev::write(fd_, buf, n);
}

Applied DevicePort::apply(const Settings& line, int speed) {
  termios t{};
  if (qdev::tcgetattr(fd_, &t) != 0) {
    return Applied::kGetFailed;
  }
  const termios want = make_port_termios(t, line, static_cast<speed_t>(speed));
  if (qdev::tcsetattr(fd_, qdev::TCSANOW, &want) != 0) {
    return errno == EINVAL ? Applied::kRefused : Applied::kSetFailed;
  }
  return Applied::kApplied;
}

int DevicePort::read_settings(PortReading* out) {
  termios t{};
  if (qdev::tcgetattr(fd_, &t) != 0) {
    return -1;
  }
  *out = reading_of(t);
  return 0;
}

int DevicePort::get_modem(int* tiocm) {
  return qdev::get_modem(fd_, tiocm);
}

int DevicePort::set_modem(int tiocm) {
  return qdev::set_modem(fd_, tiocm);
}

int DevicePort::send_break() {
  return qdev::ioctl(fd_, TCSBRK, 0);
}

int DevicePort::flush_output() {
  return qdev::tcflush(fd_, TCOFLUSH);
}

int DevicePort::set_baud_exten(int /*index*/) {
  return 1;
}

} // namespace mevo
