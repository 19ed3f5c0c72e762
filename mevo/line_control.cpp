#include "line_control.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "baud_table.h"

namespace mevo {

int internal_modem_bits(int tiocm) {
  int bits = 0;
  bits |= (tiocm & kTiocmCar) != 0 ? MS_CAR : 0;
  bits |= (tiocm & kTiocmDtr) != 0 ? MS_DTR : 0;
  bits |= (tiocm & kTiocmRts) != 0 ? MS_RTS : 0;
  bits |= (tiocm & kTiocmCts) != 0 ? MS_CTS : 0;
  bits |= (tiocm & kTiocmDsr) != 0 ? MS_DSR : 0;
  return bits;
}

int tiocm_of(int mdmsigs) {
  return ((mdmsigs & MS_DTR) != 0 ? kTiocmDtr : 0) | ((mdmsigs & MS_RTS) != 0 ? kTiocmRts : 0);
}

Step set_tty_params(Session& s, Port& port) {
  const int row = row_of_rate(s.line.baudrate);
  if (row == kEndRow) {
    const std::string text = "Can't set baudrate " + std::to_string(s.line.baudrate) + "\n";
    ssize_t ignored = ::write(s.screen_fd, text.data(), text.size());
    (void)ignored;
    return Step::kRefused;
  }
  if (s.baud_exten_supported != 0 && port.set_baud_exten(baudtab[row].exten) != 0) {
    return Step::kRefused;
  }
  switch (port.apply(s.line, baudtab[row].speed)) {
  case Applied::kApplied:
    return Step::kDone;
  case Applied::kRefused:
    return Step::kRefused;
  case Applied::kGetFailed:
    std::perror("set_tty_params: tcgetattr");
    return Step::kFailed;
  case Applied::kSetFailed:
    std::perror("tcsetattr");
    return Step::kFailed;
  }
  return Step::kFailed;
}

Step set_modem(Session& s, Port& port) {
  return port.set_modem(tiocm_of(s.mdmsigs)) == 0 ? Step::kDone : Step::kFailed;
}

int get_modem(Port& port) {
  int tiocm = 0;
  return port.get_modem(&tiocm) == 0 ? internal_modem_bits(tiocm) : -1;
}

Step take_port_settings(Session& s, Port& port) {
  PortReading r;
  if (port.read_settings(&r) != 0) {
    std::perror("set_tty_params: tcgetattr");
    return Step::kFailed;
  }
  s.line.baudrate = rate_of_speed(r.speed);
  s.line.swfc = r.swfc ? 1 : 0;
  s.line.hwfc = r.hwfc ? 1 : 0;
  return Step::kDone;
}

} // namespace mevo
