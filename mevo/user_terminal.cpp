// The user's terminal on the host's <termios.h>; the port's records stay in port_device.cpp.
#include "user_terminal.h"

#include <termios.h>

#include <cstdio>

namespace mevo {

struct UserTerminal::Modes {
  struct termios t;
};

UserTerminal::UserTerminal(int fd) : fd_(fd), save_(std::make_unique<Modes>()) {}

UserTerminal::~UserTerminal() = default;

int UserTerminal::save_user_params() {
  if (::tcgetattr(fd_, &save_->t) != 0) {
    std::perror("save_user_params: tcgetattr");
    return -1;
  }
  saved_ = true;
  return 0;
}

int UserTerminal::set_user_params() {
  struct termios t {};
  if (::tcgetattr(fd_, &t) != 0) {
    std::perror("set_user_params: tcgetattr");
    return -1;
  }
  t.c_lflag = 0;
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 1;
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
    std::perror("set_user_params: tcsetattr");
    return -1;
  }
  return 0;
}

int UserTerminal::restore_user_params() {
  if (::tcsetattr(fd_, TCSANOW, &save_->t) != 0) {
    std::perror("restore_user_params: tcsetattr");
    saved_ = false;
    return -1;
  }
  return 0;
}

} // namespace mevo
